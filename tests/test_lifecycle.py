"""A message's life: allocation, its failure and the log line it writes, release."""

import ctypes
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


def prime_heap_with_garbage(size=16, blocks=8):
    """Frees a few blocks of the C heap that hold non-zero bytes, as uninitialised storage
    of that size would be made of."""
    libc = ctypes.CDLL(None)
    libc.malloc.restype, libc.malloc.argtypes, libc.free.argtypes = (
        ctypes.c_void_p,
        [ctypes.c_size_t],
        [ctypes.c_void_p],
    )
    chunks = [libc.malloc(size) for _ in range(blocks)]
    for chunk in chunks:
        ctypes.memset(chunk, 0xAB, size)
    for chunk in chunks:
        libc.free(chunk)


def test_an_object_that_init_never_ran_on_holds_no_message(lib):
    gc.collect()
    live = lib.standin_live_messages() if lib.has_control else None
    for touch in range(2):
        msg = zelmsg.ZelMsg.__new__(zelmsg.ZelMsg)
        prime_heap_with_garbage()
        if touch:  # reached first through a write
            msg.body = b"dropped"
        assert (msg.dest.dest, msg.cos, msg.body, msg.content_type, msg.text) == ("", 1, b"", "", None)
        for prop, value in (
            ("dest", zelmsg.Destination("d")),
            ("cos", 2),
            ("body", b"x"),
            ("correlation_id", "c"),
            ("is_reply", True),
        ):
            setattr(msg, prop, value)
            assert getattr(msg, prop) != value
        assert repr(msg) == ""
        del msg
    if lib.has_control:
        gc.collect()
        assert lib.standin_live_messages() == live
        assert lib.standin_foreign_handles() == 0  # the library only ever saw null handles
        assert lib.calls("solClient_msg_free") == 0
