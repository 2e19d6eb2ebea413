"""The content-type tag, with its fallback to the HTTP content type, and the raw body."""

import pytest
from solclient import FAIL, NOT_FOUND, OK
from zelmsg import ZelMsg

standin_only = pytest.mark.standin_only


@pytest.fixture
def msg():
    return ZelMsg()


@pytest.fixture
def handle(lib, msg):
    """The library's handle of msg, to shape the message behind the module's back."""
    return lib.standin_last_message()


def test_a_fresh_message_has_no_content_type_and_an_empty_body(msg):
    assert msg.content_type == "" and msg.body == b""


@pytest.mark.parametrize(
    "value, read",
    [
        ("json", "json"),
        ("application/json; charset=utf-8", "application/json; charset=utf-8"),
        ("ünï/cødé ✓", "ünï/cødé ✓"),
        ("", ""),
        (b"text/plain", "text/plain"),
        (bytearray(b"caf\xc3\xa9"), "café"),
    ],
)
def test_content_type_round_trips(msg, value, read):
    msg.content_type = "previous"
    msg.content_type = value
    assert msg.content_type == read


def content_type_and_calls(lib, msg):
    reads = []
    calls = lib.calls_made(lambda: reads.append(msg.content_type))
    return reads[0], calls


MAP, TAG, HTTP, CLOSE = (
    "solClient_msg_getUserPropertyMap",
    "solClient_container_getStringPtr",
    "solClient_msg_getHttpContentType",
    "solClient_container_closeMapStream",
)


@standin_only
def test_content_type_falls_back_to_the_http_content_type_when_there_is_no_tag(lib, msg, handle):
    lib.solClient_msg_setHttpContentType(handle, b"text/html")
    assert content_type_and_calls(lib, msg) == ("text/html", {MAP: 1, HTTP: 1})
    rc, new_map = lib.new_map(handle)  # a map without a "ct" entry
    assert rc == OK and lib.close(new_map)[0] == OK
    assert content_type_and_calls(lib, msg) == ("text/html", {MAP: 1, TAG: 1, CLOSE: 1, HTTP: 1})
    for tag in ("json", ""):  # a tag, even an empty one, hides the HTTP content type
        msg.content_type = tag
        assert content_type_and_calls(lib, msg) == (tag, {MAP: 1, TAG: 1, CLOSE: 1})


@standin_only
@pytest.mark.parametrize("op", [MAP, TAG])
@pytest.mark.parametrize("code, read", [(NOT_FOUND, "text/html"), (FAIL, ""), (7, "")])
def test_only_a_missing_map_or_tag_falls_back(lib, msg, handle, op, code, read):
    lib.solClient_msg_setHttpContentType(handle, b"text/html")
    msg.content_type = "json"
    lib.fail_next(op, code)
    # A map handed out is closed, whatever its reading came to.
    expected = {MAP: 1} | ({TAG: 1, CLOSE: 1} if op == TAG else {}) | ({HTTP: 1} if code == NOT_FOUND else {})
    assert content_type_and_calls(lib, msg) == (read, expected)
    assert msg.content_type == "json"


@standin_only
@pytest.mark.parametrize("code", [NOT_FOUND, FAIL])
def test_a_failed_fallback_reads_as_no_content_type(lib, msg, handle, code):
    lib.solClient_msg_setHttpContentType(handle, b"text/html")
    lib.fail_next("solClient_msg_getHttpContentType", code)
    assert msg.content_type == ""


@standin_only
def test_a_tag_that_is_not_utf8_raises_on_read_and_stays(msg):
    msg.content_type = b"\xffjson"
    for _ in range(2):
        with pytest.raises(ValueError, match="^ZelMsg.content_type holds text that is not UTF-8$"):
            msg.content_type


class Payload(bytes):
    pass


@pytest.mark.parametrize(
    "value",
    [
        b"x",
        b"\x00\x01\xff\x00",
        bytes(range(256)) * 400,
        Payload(b"from a subclass"),
    ],
)
def test_body_round_trips_bytes_and_bytes_subclasses(msg, value):
    msg.body = b"previous"
    msg.body = value
    read = msg.body
    assert type(read) is bytes and read == value


@standin_only
def test_an_empty_body_replaces_the_old_one(msg):
    msg.body = b"previous"
    msg.body = b""
    assert msg.body == b""


def test_each_body_read_is_a_new_copy(msg):
    msg.body = b"first body"
    first, second = msg.body, msg.body
    assert first is not second
    msg.body = b"second body"
    assert first == second == b"first body"


@pytest.mark.parametrize("value", ["js\x00on", b"json\x00junk", "x\udc80"])
def test_a_tag_with_a_nul_or_no_utf8_form_is_refused_before_any_library_call(lib, msg, value):
    msg.content_type = "kept"

    def assign():
        with pytest.raises(ValueError, match="^ZelMsg.content_type: the text"):
            msg.content_type = value

    lib.check_refusal(assign)
    assert msg.content_type == "kept"


@pytest.mark.parametrize(
    "prop, value",
    [
        ("content_type", 1),
        ("content_type", None),
        ("content_type", memoryview(b"json")),
        ("content_type", ["json"]),
        ("body", bytearray(b"abc")),
        ("body", memoryview(b"abc")),
        ("body", "abc"),
        ("body", None),
        ("body", 5),
    ],
)
def test_other_values_are_refused_before_any_library_call(lib, msg, prop, value):
    msg.content_type, msg.body = "kept", b"kept"

    def assign():
        with pytest.raises(TypeError):
            setattr(msg, prop, value)

    lib.check_refusal(assign)
    assert (msg.content_type, msg.body) == ("kept", b"kept")


@standin_only
@pytest.mark.parametrize("code", [FAIL, NOT_FOUND, OK])
def test_a_failed_body_read_gives_empty_bytes(lib, msg, code):
    msg.body = b"attached"
    lib.fail_next("solClient_msg_getBinaryAttachmentPtr", code)  # outputs left untouched
    assert msg.body == b""
    assert msg.body == b"attached"


@standin_only
@pytest.mark.parametrize(
    "prop, op, first, second",
    [
        ("content_type", "solClient_msg_getUserPropertyMap", "json", "msgpack"),
        ("content_type", "solClient_container_deleteField", "json", "msgpack"),
        ("body", "solClient_msg_setBinaryAttachment", b"attached", b"replacement"),
    ],
)
def test_a_failed_write_returns_quietly_and_changes_nothing(lib, msg, prop, op, first, second):
    setattr(msg, prop, first)
    made, open_before = lib.calls(op), lib.standin_open_containers()
    lib.fail_next(op, FAIL)
    setattr(msg, prop, second)
    assert lib.calls(op) == made + 1 and lib.standin_open_containers() == open_before
    assert getattr(msg, prop) == first


def test_tag_and_body_do_not_touch_each_other(msg):
    msg.content_type, msg.body = "text/plain", b"hello"
    msg.content_type = "application/octet-stream"
    assert msg.body == b"hello"
    msg.body = b"goodbye"
    assert msg.content_type == "application/octet-stream"


ACCESSES = {
    "get content_type": (lambda m: m.content_type, {MAP: 1, TAG: 1, CLOSE: 1}),
    "set content_type": (
        lambda m: setattr(m, "content_type", "text/plain"),
        {MAP: 1, "solClient_container_deleteField": 1, "solClient_container_addString": 1, CLOSE: 1},
    ),
    "get body": (lambda m: m.body, {"solClient_msg_getBinaryAttachmentPtr": 1}),
    "set body": (lambda m: setattr(m, "body", b"abc"), {"solClient_msg_setBinaryAttachment": 1}),
}


@standin_only
@pytest.mark.parametrize("access", ACCESSES.values(), ids=ACCESSES.keys())
def test_each_access_makes_exactly_its_library_calls(lib, msg, access):
    msg.content_type, msg.body = "json", b"{}"
    action, expected = access
    for _ in range(2):  # nothing is remembered between calls
        assert lib.calls_made(lambda: action(msg)) == expected


# The attachment as the library's structured string, the form the vendor's API writes for a
# str payload: 0x1F, a 4-byte big-endian length of the whole field, the text and a NUL.


def structured(text):
    data = text.encode()
    return b"\x1f" + (len(data) + 6).to_bytes(4, "big") + data + b"\x00"


@pytest.mark.parametrize(
    "value, read",
    [
        ("hello", "hello"),
        ("", ""),
        ("ünï ✓", "ünï ✓"),
        (b"raw", "raw"),
        ("x" * 100_000, "x" * 100_000),
    ],
)
def test_text_is_stored_as_a_structured_string_and_leaves_the_tag_alone(msg, value, read):
    msg.content_type = "text/plain"
    msg.text = value
    assert msg.text == read
    assert msg.body == structured(read)
    assert msg.content_type == "text/plain"


def test_text_and_body_replace_each_other(msg):
    assert msg.text is None
    msg.body = b"raw bytes"
    assert msg.text is None  # a raw attachment is no structured string
    msg.text = "hello"
    assert msg.body == structured("hello")
    msg.body = b"raw again"
    assert msg.text is None
    msg.body = structured("from the wire")  # bytes in that form are one
    assert msg.text == "from the wire"
    msg.text = None  # removes the attachment, whatever its form
    assert (msg.text, msg.body) == (None, b"")


def test_a_malformed_structured_string_reads_as_no_text(lib, capi, msg):
    with pytest.raises(ValueError, match="damaged map, stream or text"):
        msg.body = b"\x1c\x02"
    # Native code can still put one there: the genuine library answers OK with no text for it.
    lib.solClient_msg_setBinaryAttachment(capi.handle(msg), b"\x1c\x02", 2)
    assert msg.text is None and msg.body == b"\x1c\x02"


@pytest.mark.parametrize(
    "value, error",
    [
        ("hel\x00lo", ValueError),
        (b"\x00", ValueError),
        (1, TypeError),
        (["a"], TypeError),
        ("\ud800", ValueError),
        (memoryview(b"a"), TypeError),
    ],
)
def test_a_text_that_cannot_be_stored_whole_is_refused_before_any_library_call(lib, msg, value, error):
    msg.text = "kept"

    def assign():
        with pytest.raises(error):
            msg.text = value

    lib.check_refusal(assign)
    assert msg.text == "kept"


@standin_only
@pytest.mark.parametrize("code", [FAIL, NOT_FOUND])
def test_a_failed_text_read_gives_none(lib, msg, code):
    msg.text = "hello"
    lib.fail_next("solClient_msg_getBinaryAttachmentString", code)
    assert lib.calls_made(lambda: msg.text) == {"solClient_msg_getBinaryAttachmentString": 1}
    assert msg.text == "hello"


@standin_only
def test_the_module_never_asks_for_a_map_size_the_genuine_library_cannot_take(lib, msg):
    # The genuine library corrupts its heap for a map of 8 entries or fewer; the stand-in
    # refuses and counts such a size.
    for prop, value in (("content_type", "text/plain"), ("json", {"a": 1}), ("msgpack", {"a": 1})):
        setattr(msg, prop, value)
        assert msg.content_type == (value if prop == "content_type" else prop)
    assert lib.standin_small_map_sizes() == 0
