"""repr() of a message: the library's own dump, as far as its 4096-byte buffer holds it."""

import pytest
import zelmsg
from solclient import NON_PERSISTENT, QUEUE, TOPIC

DUMP_LIMIT = 4094  # the library writes at most its buffer size less two


@pytest.fixture
def raw(lib):
    """A message made through the library directly, to compare dumps with."""
    handle = lib.alloc()
    yield handle
    lib.free(handle)


def set_content_type(lib, handle, text):
    _, container = lib.new_map(handle)
    lib.solClient_container_addString(container, text, b"ct")


def test_repr_is_the_library_dump_of_the_same_message(lib, raw):
    msg = zelmsg.ZelMsg()
    assert repr(msg) == lib.dump(raw)[1].decode()

    msg.dest = zelmsg.Destination("orders/eu/new")
    msg.reply2 = zelmsg.Destination("reply-q", zelmsg.Queue)
    msg.delivery_mode = zelmsg.NonPersistent
    msg.cos = 3
    msg.is_reply = True
    msg.elide = True
    msg.content_type = "json"
    msg.body = bytes(range(40))
    lib.set_destination(raw, TOPIC, b"orders/eu/new")
    lib.set_destination(raw, QUEUE, b"reply-q", setter="solClient_msg_setReplyTo")
    lib.solClient_msg_setDeliveryMode(raw, NON_PERSISTENT)
    lib.solClient_msg_setClassOfService(raw, 2)
    lib.solClient_msg_setAsReplyMsg(raw, 1)
    lib.solClient_msg_setElidingEligible(raw, 1)
    set_content_type(lib, raw, b"json")
    lib.solClient_msg_setBinaryAttachment(raw, bytes(range(40)), 40)

    text = repr(msg)
    assert text == lib.dump(raw)[1].decode()
    assert str(msg) == text
    assert "orders/eu/new" in text and "reply-q" in text


def test_repr_holds_what_fits_in_the_buffer(lib, raw):
    msg = zelmsg.ZelMsg()
    msg.body = bytes(range(256)) * 40
    lib.solClient_msg_setBinaryAttachment(raw, bytes(range(256)) * 40, 10240)
    text = repr(msg)
    assert len(text) == DUMP_LIMIT
    assert text == lib.dump(raw)[1].decode()


@pytest.mark.parametrize("char", ["é", "€", "😀"])
def test_repr_drops_a_character_the_buffer_cut_in_two(lib, raw, char):
    """Whatever the offset, a multi-byte character cut at the limit goes, and nothing else."""
    width = len(char.encode())
    for pad in range(width):
        text = ("x" * pad + char * (5000 // width)).encode()
        msg = zelmsg.ZelMsg()
        msg.content_type = text
        set_content_type(lib, raw, text)
        cut = lib.dump(raw)[1]
        assert len(cut) == DUMP_LIMIT
        shown = repr(msg)
        assert cut.startswith(shown.encode())
        assert len(cut) - len(shown.encode()) < width
        assert shown.endswith(char)


@pytest.mark.parametrize(
    "text", [b"\xff\xfejson", b"\x80" * 5000, b"\xff" * 5000], ids=["short", "continuations", "cut-invalid"]
)
def test_repr_shows_bytes_that_are_not_utf8_escaped(raw, lib, text):
    """The dump is diagnostics: it never raises, and bytes that are not UTF-8 show as \\x
    escapes, but for a character the buffer cut in two, which goes."""
    msg = zelmsg.ZelMsg()
    msg.content_type = text
    set_content_type(lib, raw, text)
    assert repr(msg) == str(msg) == lib.dump(raw)[1].decode(errors="backslashreplace")


@pytest.mark.standin_only
def test_repr_of_an_empty_message_is_what_the_library_left(lib):
    lib.fail_next("solClient_msg_alloc", -1)
    msg = zelmsg.ZelMsg()
    assert repr(msg) == ""
    lib.fail_next("solClient_msg_dump", -1)
    assert repr(zelmsg.ZelMsg()) == ""
