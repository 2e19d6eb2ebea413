"""How libsolclient behaves for the calls the module makes. The same tests run on the
stand-in and the genuine library, except those marked standin_only: they use the stand-in's
test control, or check what it settles where the genuine library was not measured."""

import ctypes
import os
import re
import threading
from concurrent.futures import ThreadPoolExecutor
from ctypes import byref, c_char_p, c_uint32, c_void_p

import pytest

from solclient import (DESTINATION_SIZE, DIRECT, FAIL, NON_PERSISTENT, NOT_FOUND, OK,
                       OPERATIONS, PERSISTENT, QUEUE, QUEUE_TEMP, TOPIC, TOPIC_TEMP,
                       Destination, name_address)

standin_only = pytest.mark.standin_only

DESTINATION = ("solClient_msg_getDestination", "solClient_msg_setDestination")
REPLY_TO = ("solClient_msg_getReplyTo", "solClient_msg_setReplyTo")
FLAGS = [("solClient_msg_isReplyMsg", "solClient_msg_setAsReplyMsg"),
         ("solClient_msg_isElidingEligible", "solClient_msg_setElidingEligible")]
FLAG_GETTERS = [getter for getter, _ in FLAGS]
MAP_OPERATIONS = ["solClient_container_closeMapStream", "solClient_container_getStringPtr",
                  "solClient_container_addString"]
MESSAGE_OPERATIONS = [op for op in OPERATIONS if op not in MAP_OPERATIONS
                      and op not in ("solClient_msg_alloc", "solClient_getLastErrorInfo")]
SENTINEL = 0x5E57


@pytest.fixture
def msg(lib):
    handle = lib.alloc()
    yield handle
    lib.free(handle)


@pytest.fixture(params=["null", pytest.param("freed", marks=standin_only),
                        pytest.param("map", marks=standin_only)])
def bad_handle(lib, msg, request):
    """A null handle, the handle of a freed message whose place a newer one took, or a map
    handle where a message's is due."""
    if request.param == "freed":
        stale = lib.alloc()
        lib.free(stale)
        newer = lib.alloc()
        yield stale
        lib.free(newer)
    else:
        yield lib.new_map(msg)[1] if request.param == "map" else None


@pytest.fixture(params=[DESTINATION, REPLY_TO], ids=["destination", "reply-to"])
def pair(request):
    return request.param


class Outputs:
    """Output arguments preset to values no call writes, to see which ones a call wrote."""

    def __init__(self):
        self.pointer, self.text = c_void_p(SENTINEL), c_char_p(b"sentinel")
        self.number, self.record = c_uint32(SENTINEL), Destination(77, b"sentinel")
        self.buffer = ctypes.create_string_buffer(b"\x01" * 63)

    def values(self):
        return (self.pointer.value, self.text.value, self.number.value, self.record.destType,
                self.record.dest, self.buffer.raw)


def call(lib, op, msg, container=None):
    """Makes one well-formed call of op; returns its result, the outputs and the handles."""
    out, msg_box, map_box = Outputs(), c_void_p(msg), c_void_p(container)
    args = {
        "solClient_msg_alloc": [byref(out.pointer)],
        "solClient_msg_free": [byref(msg_box)],
        "solClient_msg_dump": [msg, out.buffer, len(out.buffer)],
        "solClient_container_closeMapStream": [byref(map_box)],
        "solClient_msg_getDestination": [msg, byref(out.record), DESTINATION_SIZE],
        "solClient_msg_setDestination": [msg, byref(Destination(QUEUE, b"q")), DESTINATION_SIZE],
        "solClient_msg_getReplyTo": [msg, byref(out.record), DESTINATION_SIZE],
        "solClient_msg_setReplyTo": [msg, byref(Destination(QUEUE, b"r")), DESTINATION_SIZE],
        "solClient_msg_isReplyMsg": [msg],
        "solClient_msg_setAsReplyMsg": [msg, 1],
        "solClient_msg_isElidingEligible": [msg],
        "solClient_msg_setElidingEligible": [msg, 1],
        "solClient_msg_getDeliveryMode": [msg, byref(out.number)],
        "solClient_msg_setDeliveryMode": [msg, PERSISTENT],
        "solClient_msg_getClassOfService": [msg, byref(out.number)],
        "solClient_msg_setClassOfService": [msg, 2],
        "solClient_msg_getBinaryAttachmentPtr": [msg, byref(out.pointer), byref(out.number)],
        "solClient_msg_setBinaryAttachment": [msg, b"body", 4],
        "solClient_msg_getUserPropertyMap": [msg, byref(out.pointer)],
        "solClient_msg_createUserPropertyMap": [msg, byref(out.pointer), 64],
        "solClient_container_getStringPtr": [container, byref(out.text), b"ct"],
        "solClient_container_addString": [container, b"json", b"ct"],
        "solClient_msg_getHttpContentType": [msg, byref(out.text)],
        "solClient_msg_setHttpContentType": [msg, b"text/plain"],
    }[op]
    return getattr(lib, op)(*args), out.values(), (msg_box.value, map_box.value)


def field(label, value):
    return f"{label:<40}{value}"


def dump_lines(lib, msg):
    rc, text = lib.dump(msg, 1 << 20)
    assert rc == OK and text.endswith(b"\n")
    return [line.rstrip() for line in text.decode().split("\n")[:-1]]


# Lifecycle and handles

def test_alloc_gives_a_handle_and_free_clears_it(lib):
    handle = c_void_p()
    assert lib.solClient_msg_alloc(byref(handle)) == OK and handle.value
    assert lib.solClient_msg_free(byref(handle)) == OK and handle.value is None
    assert lib.solClient_msg_free(byref(handle)) == FAIL


def test_fresh_message_holds_only_defaults(lib, msg):
    for getter, _ in (DESTINATION, REPLY_TO):
        record = Destination(77, b"keep")
        before = name_address(record)
        assert getattr(lib, getter)(msg, byref(record), DESTINATION_SIZE) == NOT_FOUND
        assert (record.destType, name_address(record)) == (77, before)
    assert lib.uint32("solClient_msg_getDeliveryMode", msg) == (OK, DIRECT)
    assert lib.uint32("solClient_msg_getClassOfService", msg) == (OK, 0)
    assert [getattr(lib, getter)(msg) for getter in FLAG_GETTERS] == [0, 0]
    assert lib.attachment(msg) == (NOT_FOUND, None, 0, b"")
    assert lib.user_map(msg)[0] == NOT_FOUND
    assert lib.http_content_type(msg)[0] == NOT_FOUND


def test_five_thousand_live_messages_keep_their_own_values(lib):
    handles = [lib.alloc() for _ in range(5000)]
    assert len(set(handles)) == len(handles)
    for i, handle in enumerate(handles):
        assert lib.solClient_msg_setClassOfService(handle, i % 3) == OK
    assert [lib.uint32("solClient_msg_getClassOfService", h)[1] for h in handles] == \
        [i % 3 for i in range(len(handles))]
    assert all(lib.free(handle) == OK for handle in handles)


@pytest.mark.parametrize("op", MESSAGE_OPERATIONS)
def test_bad_message_handle_fails_and_writes_nothing(lib, op, bad_handle):
    result, outputs, handles = call(lib, op, bad_handle)
    assert result == (0 if op in FLAG_GETTERS else FAIL)
    assert outputs == Outputs().values() and handles[0] == bad_handle
    assert lib.last_error_text()


def test_threads_work_on_their_own_messages(lib):
    def work(thread):
        for i in range(2000):
            handle, name = lib.alloc(), f"t{thread}/{i}".encode()
            assert lib.set_destination(handle, QUEUE, name) == OK
            assert lib.get_destination(handle) == (OK, QUEUE, name)
            assert lib.free(handle) == OK

    with ThreadPoolExecutor(4) as pool:
        for future in [pool.submit(work, n) for n in range(4)]:
            future.result()


# Destinations

@pytest.mark.parametrize("dest_type, read_type",
                         [(TOPIC, TOPIC), (QUEUE, QUEUE), (TOPIC_TEMP, TOPIC), (QUEUE_TEMP, QUEUE)])
@pytest.mark.parametrize("name", [b"orders/eu/new", b"x", b"n" * 250, b"a/*/>", b"\xff\xfe raw"])
def test_destination_round_trip(lib, msg, pair, dest_type, read_type, name):
    assert lib.set_destination(msg, dest_type, name, pair[1]) == OK
    assert lib.get_destination(msg, pair[0]) == (OK, read_type, name)


def test_name_is_copied_and_read_from_the_message(lib, msg, pair):
    source = ctypes.create_string_buffer(b"orders/eu")
    record = Destination(TOPIC, ctypes.cast(source, c_char_p))
    assert getattr(lib, pair[1])(msg, byref(record), DESTINATION_SIZE) == OK
    source.value = b"changed!!"
    first, second = Destination(), Destination()
    for read in (first, second):
        assert getattr(lib, pair[0])(msg, byref(read), DESTINATION_SIZE) == OK
    assert first.dest == b"orders/eu"
    assert name_address(first) == name_address(second) != ctypes.addressof(source)


def test_name_ends_at_its_first_nul(lib, msg, pair):
    assert lib.set_destination(msg, TOPIC, b"n" * 250 + b"\0" + b"x" * 10, pair[1]) == OK
    assert lib.get_destination(msg, pair[0]) == (OK, TOPIC, b"n" * 250)


@pytest.mark.parametrize("dest_type, name, size", [
    (TOPIC, b"n" * 251, DESTINATION_SIZE), (TOPIC, None, DESTINATION_SIZE),
    (-1, b"t", DESTINATION_SIZE), (4, b"t", DESTINATION_SIZE), (2**31 - 1, b"t", DESTINATION_SIZE),
    (TOPIC, b"t", 8), (TOPIC, b"t", 24),
], ids=["251 bytes", "null name", "type -1", "type 4", "type max", "size 8", "size 24"])
def test_refused_destination_changes_nothing(lib, msg, pair, dest_type, name, size):
    assert lib.set_destination(msg, QUEUE, b"before", pair[1]) == OK
    assert getattr(lib, pair[1])(msg, byref(Destination(dest_type, name)), size) == FAIL
    assert lib.get_destination(msg, pair[0]) == (OK, QUEUE, b"before")


def test_empty_name_is_refused_for_destination_but_taken_for_reply_to(lib, msg):
    assert lib.set_destination(msg, TOPIC, b"") == FAIL
    assert lib.get_destination(msg)[0] == NOT_FOUND
    assert lib.set_destination(msg, TOPIC, b"", REPLY_TO[1]) == OK
    assert lib.get_destination(msg, REPLY_TO[0]) == (OK, TOPIC, b"")


# Flags, delivery mode and class of service

@pytest.mark.parametrize("start, mode, rc, stored", [
    (PERSISTENT, DIRECT, OK, DIRECT), (DIRECT, PERSISTENT, OK, PERSISTENT),
    (DIRECT, NON_PERSISTENT, OK, NON_PERSISTENT), (DIRECT, 1, OK, DIRECT), (DIRECT, 5, OK, DIRECT),
    (PERSISTENT, 48, FAIL, PERSISTENT),
    # The stand-in reads only the two mode bits, 0x30.
    pytest.param(PERSISTENT, 1, OK, DIRECT, marks=standin_only),
    pytest.param(DIRECT, 0x21, OK, NON_PERSISTENT, marks=standin_only),
    pytest.param(PERSISTENT, 0x100, OK, DIRECT, marks=standin_only),
    pytest.param(PERSISTENT, 0x31, FAIL, PERSISTENT, marks=standin_only),
])
def test_delivery_mode(lib, msg, start, mode, rc, stored):
    assert lib.solClient_msg_setDeliveryMode(msg, start) == OK
    assert lib.solClient_msg_setDeliveryMode(msg, mode) == rc
    assert lib.uint32("solClient_msg_getDeliveryMode", msg) == (OK, stored)


@pytest.mark.parametrize("cos, rc, stored", [
    (0, OK, 0), (1, OK, 1), (2, OK, 2), (3, FAIL, 1), (2**32 - 1, FAIL, 1)])
def test_class_of_service(lib, msg, cos, rc, stored):
    assert lib.solClient_msg_setClassOfService(msg, 1) == OK
    assert lib.solClient_msg_setClassOfService(msg, cos) == rc
    assert lib.uint32("solClient_msg_getClassOfService", msg) == (OK, stored)


@pytest.mark.parametrize("getter, setter", FLAGS, ids=["reply", "eliding"])
@pytest.mark.parametrize("value, read", [(1, 1), (2, 1), (255, 1), (0, 0)])
def test_flags_read_back_as_0_or_1(lib, msg, getter, setter, value, read):
    assert getattr(lib, setter)(msg, 1 - read) == OK
    assert getattr(lib, setter)(msg, value) == OK
    assert getattr(lib, getter)(msg) == read


# Binary attachment

def test_attachment_is_copied_into_the_message(lib, msg):
    payload = b"payload\0with\0nuls"
    source = ctypes.create_string_buffer(payload, len(payload))
    assert lib.solClient_msg_setBinaryAttachment(msg, source, len(payload)) == OK
    ctypes.memset(source, 0, len(payload))
    rc, pointer, size, data = lib.attachment(msg)
    assert (rc, size, data) == (OK, len(payload), payload)
    assert pointer == lib.attachment(msg)[1] != ctypes.addressof(source)


def test_large_attachment(lib, msg):
    payload = bytes(range(256)) * (128 << 10)
    assert lib.solClient_msg_setBinaryAttachment(msg, payload, len(payload)) == OK
    assert lib.attachment(msg)[3] == payload


@pytest.mark.parametrize("empty", [None, b"x"], ids=["null", "pointer"])
def test_size_zero_removes_the_attachment(lib, msg, empty):
    assert lib.solClient_msg_setBinaryAttachment(msg, b"abc", 3) == OK
    assert lib.solClient_msg_setBinaryAttachment(msg, empty, 0) == OK
    assert lib.attachment(msg) == (NOT_FOUND, None, 0, b"")


def test_null_bytes_with_a_size_fail(lib, msg):
    assert lib.solClient_msg_setBinaryAttachment(msg, b"abc", 3) == OK
    assert lib.solClient_msg_setBinaryAttachment(msg, None, 3) == FAIL
    assert lib.attachment(msg)[3] == b"abc"


# User property map and content type

def test_map_stores_strings_by_name(lib, msg):
    rc, created = lib.new_map(msg, 0)
    assert rc == OK and created
    assert lib.get_string(created, b"ct") == (NOT_FOUND, None)
    entries = {b"ct": b"json", b"empty": b"", b"big": b"v" * 100_000}
    for name, value in entries.items():
        assert lib.solClient_container_addString(created, value, name) == OK
    rc, found = lib.user_map(msg)
    assert rc == OK
    assert {name: lib.get_string(found, name) for name in entries} == \
        {name: (OK, value) for name, value in entries.items()}


def test_new_map_replaces_the_old_one(lib, msg):
    first = lib.new_map(msg)[1]
    assert lib.solClient_container_addString(first, b"json", b"ct") == OK
    assert lib.new_map(msg)[0] == OK
    assert lib.get_string(lib.user_map(msg)[1], b"ct") == (NOT_FOUND, None)


def test_replaced_maps_are_reclaimed(lib, msg):
    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def churn(times):
        for _ in range(times):
            lib.solClient_container_addString(lib.new_map(msg)[1], b"x" * 200, b"ct")

    churn(1000)
    before = resident()
    churn(100_000)
    assert resident() - before < 4 << 20


def test_http_content_type(lib, msg):
    assert lib.solClient_msg_setHttpContentType(msg, b"application/json") == OK
    assert lib.http_content_type(msg) == (OK, b"application/json")


@standin_only
def test_adding_a_name_again_replaces_its_value(lib, msg):
    container = lib.new_map(msg)[1]
    for value in (b"json", b"msgpack"):
        assert lib.solClient_container_addString(container, value, b"ct") == OK
    assert lib.get_string(container, b"ct") == (OK, b"msgpack")
    assert dump_lines(lib, msg).count("  Key 'ct' (STRING) msgpack") == 1


@standin_only
def test_map_handles_go_stale_when_replaced_or_freed(lib):
    def assert_stale(container):
        for op in MAP_OPERATIONS:
            result, outputs, handles = call(lib, op, None, container)
            assert (result, outputs, handles[1]) == (FAIL, Outputs().values(), container)

    handle = lib.alloc()
    replaced, current = lib.new_map(handle)[1], lib.new_map(handle)[1]
    assert_stale(replaced)
    closed = c_void_p(current)
    assert lib.solClient_container_closeMapStream(byref(closed)) == OK and closed.value is None
    assert lib.user_map(handle) == (OK, current)
    lib.free(handle)
    assert_stale(current)


# Dump

def test_fresh_message_dump(lib, msg):
    expected = [field("Class Of Service:", "COS_1"), field("DeliveryMode:", "DIRECT"),
                "Message from cache"]
    assert lib.dump(msg) == (OK, "".join(line + "\n" for line in expected).encode())


def test_dump_shows_every_item_in_order(lib, msg):
    lib.set_destination(msg, TOPIC, b"orders/eu/new")
    lib.solClient_msg_setHttpContentType(msg, b"text/plain")
    lib.solClient_msg_setClassOfService(msg, 1)
    lib.solClient_msg_setDeliveryMode(msg, NON_PERSISTENT)
    lib.solClient_msg_setElidingEligible(msg, 1)
    lib.solClient_msg_setAsReplyMsg(msg, 1)
    lib.set_destination(msg, QUEUE_TEMP, b"q", REPLY_TO[1])
    lib.solClient_container_addString(lib.new_map(msg)[1], b"json", b"ct")
    lib.solClient_msg_setBinaryAttachment(msg, b"hello", 5)
    expected = [field("Destination:", "Topic 'orders/eu/new'"),
                field("HTTP Content Type:", "text/plain"), field("Class Of Service:", "COS_2"),
                field("DeliveryMode:", "NON-PERSISTENT"), "Eliding Eligible", "Reply Message",
                field("Reply To:", "Queue 'q'"), "User Property Map:", "  Key 'ct' (STRING) json",
                field("Binary Attachment:", "len=5")]
    lines = dump_lines(lib, msg)
    positions = [lines.index(line) for line in expected]
    assert positions == sorted(positions) and "Message from cache" in lines
    assert positions[-3] + 1 == positions[-2]


def test_attachment_hex_dump_rows(lib, msg):
    payload = bytes(range(20))  # nothing printable, so every two-digit token is a byte
    lib.solClient_msg_setBinaryAttachment(msg, payload, len(payload))
    lines = dump_lines(lib, msg)
    at = lines.index(field("Binary Attachment:", "len=20"))
    rows = [[int(token, 16) for token in re.findall(r"\b[0-9a-fA-F]{2}\b", row)]
            for row in lines[at + 1:]]
    assert rows == [list(payload[:16]), list(payload[16:])]


@standin_only
def test_attachment_hex_dump_layout(lib, msg):
    payload = b"Hello, world!\n\x00\x01ABCD"
    lib.solClient_msg_setBinaryAttachment(msg, payload, len(payload))
    assert dump_lines(lib, msg)[-2:] == [
        "  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a 00 01  Hello, world!...",
        f"{'  41 42 43 44':<52}ABCD"]


def test_dump_copies_name_bytes_raw(lib, msg):
    lib.set_destination(msg, QUEUE, b"q\xff\xfe")
    assert field("Destination:", "Queue 'q").encode() + b"\xff\xfe'\n" in lib.dump(msg)[1]


def test_dump_is_cut_at_size_minus_two(lib, msg):
    lib.set_destination(msg, TOPIC, "é/".encode() * 80)
    lib.solClient_msg_setBinaryAttachment(msg, bytes(4096), 4096)
    full = lib.dump(msg, 1 << 20)[1]
    mid_character = full.index(b"\xc3") + 3
    assert len(full) > 4096
    for size in (2, 3, mid_character, 100, 4096):
        assert lib.dump(msg, size) == (OK, full[:size - 2])
    assert lib.dump(msg, mid_character)[1].endswith(b"\xc3")


def test_dump_into_no_room_fails(lib, msg):
    buffer = ctypes.create_string_buffer(b"\x01" * 8, 8)
    assert lib.solClient_msg_dump(msg, buffer, 0) == FAIL
    assert buffer.raw == b"\x01" * 8


# Test control

@standin_only
@pytest.mark.parametrize("op", [op for op in OPERATIONS if op != "solClient_getLastErrorInfo"])
def test_injected_failure_writes_and_changes_nothing(lib, msg, op):
    container = lib.new_map(msg)[1]
    state = lib.dump(msg)
    lib.standin_reset()
    lib.fail_next(op, 7)
    result, outputs, handles = call(lib, op, msg, container)
    assert result == (0 if op in FLAG_GETTERS else 7)
    assert (outputs, handles) == (Outputs().values(), (msg, container))
    assert lib.calls(op) == 1 and lib.dump(msg) == state
    assert lib.last_error_text().startswith(op)


@standin_only
def test_injected_failures_run_out_and_every_call_counts(lib, msg):
    op = "solClient_msg_setClassOfService"
    lib.fail_next(op, FAIL, 2)
    assert [lib.solClient_msg_setClassOfService(msg, 2) for _ in range(3)] == [FAIL, FAIL, OK]
    assert lib.solClient_msg_setClassOfService(None, 2) == FAIL
    assert (lib.calls(op), lib.calls("solClient_msg_noSuchCall")) == (4, 0)
    lib.standin_reset()
    assert lib.calls(op) == 0


@standin_only
def test_failed_alloc_leaves_the_handle_null_with_the_set_error_text(lib):
    lib.set_error_text("no room at the inn")
    lib.fail_next("solClient_msg_alloc")
    handle = c_void_p()
    assert lib.solClient_msg_alloc(byref(handle)) == FAIL and handle.value is None
    assert lib.last_error_text() == "no room at the inn"
    lib.standin_reset()
    assert lib.solClient_msg_setClassOfService(None, 0) == FAIL
    assert lib.last_error_text() != "no room at the inn"


@standin_only
def test_last_message_and_live_count(lib):
    live = lib.standin_live_messages()
    handle = lib.alloc()
    assert lib.standin_last_message() == handle
    assert lib.standin_live_messages() == live + 1
    lib.free(handle)
    assert lib.standin_live_messages() == live


@standin_only
def test_each_thread_has_its_own_error_record(lib, msg):
    barrier = threading.Barrier(2)

    def fail_and_read(failing_call):
        assert failing_call() == FAIL
        barrier.wait()  # both have failed before either reads
        info = lib.solClient_getLastErrorInfo().contents
        return ctypes.addressof(info), info.errorStr

    with ThreadPoolExecutor(2) as pool:
        (cos_record, cos_text), (free_record, free_text) = pool.map(fail_and_read, [
            lambda: lib.solClient_msg_setClassOfService(msg, 9), lambda: lib.free(None)])
    assert cos_record != free_record
    assert b"class of service" in cos_text and b"solClient_msg_free" in free_text
