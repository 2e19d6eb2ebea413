"""A message's life: allocation, its failure and the log line it writes, release."""

import gc
import pathlib
import re

import pytest

import zelmsg

standin_only = pytest.mark.standin_only
SOURCE = pathlib.Path(__file__).resolve().parent.parent / "src/core/zelmsg.cpp"


def log_call_line():
    """The line of the allocation-failure log call, as the record must name it."""
    for number, line in enumerate(SOURCE.read_text().splitlines(), start=1):
        if "source_loc{__FILE__, __LINE__" in line:
            return number
    raise AssertionError("no logging call in zelmsg.cpp")


@standin_only
def test_each_message_is_freed_exactly_once(lib):
    gc.collect()  # messages that earlier tests left in reference cycles go first
    lib.standin_reset()
    live = lib.standin_live_messages()
    messages = [zelmsg.ZelMsg() for _ in range(100)]
    assert lib.standin_live_messages() == live + 100
    del messages
    gc.collect()
    assert lib.standin_live_messages() == live
    assert lib.calls("solClient_msg_alloc") == lib.calls("solClient_msg_free") == 100
    assert lib.calls("solClient_container_closeMapStream") == 0


@standin_only
def test_message_dropped_while_an_exception_is_pending_is_freed(lib):
    gc.collect()
    live = lib.standin_live_messages()

    def fail_with_message():
        msg = zelmsg.ZelMsg()  # noqa: F841 (released while the error propagates)
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        fail_with_message()
    assert lib.standin_live_messages() == live


@standin_only
def test_failed_allocation_logs_one_line_and_returns_an_empty_message(lib, capfd):
    lib.set_error_text("out of message buffers")
    lib.fail_next("solClient_msg_alloc", -1)
    msg = zelmsg.ZelMsg()
    out, err = capfd.readouterr()
    assert err == ""
    assert re.fullmatch(
        r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[error\] "
        rf"\[zelmsg\.cpp:{log_call_line()}\] ZelMsg alloc failed, error: out of message buffers\n",
        out,
    ), out
    # The empty message still answers, with the library refusing its null handle.
    assert msg.cos == 1 and msg.body == b"" and msg.dest.dest == ""
    msg.cos = 2
    del msg
    gc.collect()
    assert lib.calls("solClient_msg_free") == 0
    assert lib.calls("solClient_container_closeMapStream") == 0
    assert capfd.readouterr().out == ""


@standin_only
def test_each_failed_allocation_logs_again(lib, capfd):
    lib.fail_next("solClient_msg_alloc", -1, times=2)
    zelmsg.ZelMsg(), zelmsg.ZelMsg()
    zelmsg.ZelMsg()
    assert capfd.readouterr().out.count("ZelMsg alloc failed, error: ") == 2


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError):
        zelmsg.ZelMsg(1)
    with pytest.raises(TypeError):
        zelmsg.ZelMsg(dest=zelmsg.Destination("orders"))
