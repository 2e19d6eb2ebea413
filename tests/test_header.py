"""Header properties of ZelMsg: destination and reply-to, the point-to-point and request
tests, the reply and eliding flags, delivery mode and class of service."""

import pytest
from solclient import FAIL, NOT_FOUND, OK
from zelmsg import DeliveryMode, Destination, DestinationType, ZelMsg

standin_only = pytest.mark.standin_only
Topic, Queue, Null = DestinationType.Topic, DestinationType.Queue, DestinationType.Null
Direct, Persistent, NonPersistent = (DeliveryMode.Direct, DeliveryMode.Persistent, DeliveryMode.NonPersistent)


def plain(value):
    """A Destination as a comparable tuple; any other value as it is."""
    return (value.dest, value.dest_type) if isinstance(value, Destination) else value


@pytest.fixture
def msg():
    return ZelMsg()


def test_a_fresh_message_reads_the_starting_values(msg):
    assert plain(msg.dest) == plain(msg.reply2) == ("", Null)
    assert (msg.is_reply, msg.elide, msg.is_request, msg.is_p2p) == (False,) * 4
    assert type(msg.delivery_mode) is DeliveryMode and msg.delivery_mode == Direct
    assert msg.cos == 1


class Route(Destination):
    pass


@pytest.mark.parametrize("prop, other", [("dest", "reply2"), ("reply2", "dest")])
@pytest.mark.parametrize("dest_type", [Topic, Queue])
def test_destinations_round_trip_as_values_linked_to_no_message(msg, prop, other, dest_type):
    assigned = Route("orders/eu/new", dest_type)  # subclasses are taken too
    setattr(msg, prop, assigned)
    assigned.dest = "changed after assignment"
    first, second = getattr(msg, prop), getattr(msg, prop)
    assert first is not second and first is not assigned
    first.dest, first.dest_type = "changed after reading", Null
    assert plain(second) == plain(getattr(msg, prop)) == ("orders/eu/new", dest_type)
    assert plain(getattr(msg, other)) == ("", Null)


@pytest.mark.parametrize("prop", ["dest", "reply2"])
def test_a_name_holding_a_nul_is_refused_where_the_library_would_cut_it(lib, msg, prop):
    setattr(msg, prop, Destination("orders", Topic))

    def assign():
        with pytest.raises(ValueError, match="NUL"):
            setattr(msg, prop, Destination("orders\x00secret", Queue))

    lib.check_refusal(assign)
    assert plain(getattr(msg, prop)) == ("orders", Topic)


@pytest.mark.parametrize("dest_type", [Topic, Queue])
@pytest.mark.parametrize(
    "name, p2p", [("#P2P", True), ("#P2P/v:router/inbox", True), ("#P2", False), ("#p2p/x", False), ("x#P2P", False)]
)
def test_is_p2p_wants_the_exact_prefix_on_the_destination(msg, dest_type, name, p2p):
    msg.reply2 = Destination("#P2P/reply")  # the reply-to does not count
    assert msg.is_p2p is False
    msg.dest = Destination(name, dest_type)
    assert msg.is_p2p is p2p


def test_is_request_wants_a_reply_to_and_no_reply_flag(msg):
    assert msg.is_request is False
    msg.reply2 = Destination("")  # present, though empty
    assert msg.is_request is True
    msg.is_reply = True
    assert msg.is_request is False
    msg.is_reply = False
    assert msg.is_request is True


@standin_only
@pytest.mark.parametrize("code", [NOT_FOUND, FAIL, 7])
def test_is_request_is_false_whenever_the_reply_to_lookup_fails(lib, msg, code):
    msg.reply2 = Destination("replies", Queue)
    lib.fail_next("solClient_msg_getReplyTo", code)
    assert msg.is_request is False
    assert msg.is_request is True


@standin_only
def test_is_request_goes_by_the_lookup_code_not_the_record(lib, msg):
    lib.fail_next("solClient_msg_getReplyTo", OK)  # code 0, record left untouched
    assert msg.is_request is True


@standin_only
def test_is_request_reads_the_reply_to_then_the_flag_always_both(lib, msg):
    lib.fail_next("solClient_msg_getReplyTo")
    lib.fail_next("solClient_msg_isReplyMsg")
    assert lib.calls_made(lambda: msg.is_request) == {"solClient_msg_getReplyTo": 1, "solClient_msg_isReplyMsg": 1}
    # Both failed: the last error the library recorded is the flag's, so it came second.
    assert "solClient_msg_isReplyMsg" in lib.last_error_text()


@pytest.mark.parametrize("prop", ["is_reply", "elide"])
@pytest.mark.parametrize(
    "value, stored", [(True, True), (False, False), (None, False), (2, True), (0.0, False), (0.5, True)]
)
def test_flags_take_any_value_with_a_truth_value(msg, prop, value, stored):
    setattr(msg, prop, not stored)
    setattr(msg, prop, value)
    assert getattr(msg, prop) is stored


@pytest.mark.parametrize(
    "mode, read",
    [
        (Persistent, Persistent),
        (NonPersistent, NonPersistent),
        (Direct, Direct),
        # an unnamed number goes on unchecked; both libraries
        # keep only its mode bits (0x30)
        (DeliveryMode(17), Persistent),
    ],
)
def test_delivery_mode_round_trips(msg, mode, read):
    msg.delivery_mode = Direct if read != Direct else Persistent
    msg.delivery_mode = mode
    assert type(msg.delivery_mode) is DeliveryMode and msg.delivery_mode == read


class Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "value, read",
    [
        (1, 1),
        (3, 3),
        (True, 1),
        (Index(), 3),
        # refused by the library, so cos stays 2;
        # 0 wraps to 4294967295
        (0, 2),
        (4, 2),
        (4294967295, 2),
    ],
)
def test_cos_is_numbered_from_one(msg, value, read):
    msg.cos = 2
    msg.cos = value
    assert msg.cos == read


@standin_only
def test_cos_zero_reaches_the_library_which_refuses_it(lib, msg):
    lib.set_error_text("refused in this test")
    assert lib.calls_made(lambda: setattr(msg, "cos", 0)) == {"solClient_msg_setClassOfService": 1}
    assert lib.last_error_text() == "refused in this test"


@pytest.mark.parametrize(
    "prop, value",
    [
        ("dest", None),
        ("dest", "orders"),
        ("dest", 1),
        ("reply2", "orders"),
        ("reply2", 1),
        ("delivery_mode", 16),
        ("delivery_mode", 0),
        ("delivery_mode", Queue),
        ("delivery_mode", None),
        ("is_reply", "yes"),
        ("is_reply", []),
        ("elide", "yes"),
        ("cos", 1.0),
        ("cos", -1),
        ("cos", 4294967296),
        ("cos", None),
        ("cos", "2"),
        ("is_request", True),
        ("is_p2p", False),
    ],
    ids=lambda v: repr(v) if not isinstance(v, str) else v,
)
def test_a_value_of_the_wrong_type_is_refused_before_any_library_call(lib, msg, prop, value):
    msg.dest, msg.reply2 = Destination("d", Queue), Destination("r", Queue)
    msg.is_reply = msg.elide = True
    msg.delivery_mode, msg.cos = Persistent, 3
    before = plain(getattr(msg, prop))
    error = AttributeError if prop in ("is_request", "is_p2p") else TypeError

    def assign():
        with pytest.raises(error):
            setattr(msg, prop, value)

    lib.check_refusal(assign)
    assert plain(getattr(msg, prop)) == before


# property: (a value to write, the calls a read makes, the call a write makes)
ACCESSES = {
    "dest": (Destination("d"), ["solClient_msg_getDestination"], "solClient_msg_setDestination"),
    "reply2": (Destination("r"), ["solClient_msg_getReplyTo"], "solClient_msg_setReplyTo"),  # see below
    "is_reply": (True, ["solClient_msg_isReplyMsg"], "solClient_msg_setAsReplyMsg"),
    "is_request": (None, ["solClient_msg_getReplyTo", "solClient_msg_isReplyMsg"], None),
    "is_p2p": (None, ["solClient_msg_getDestination"], None),
    "delivery_mode": (Persistent, ["solClient_msg_getDeliveryMode"], "solClient_msg_setDeliveryMode"),
    "elide": (True, ["solClient_msg_isElidingEligible"], "solClient_msg_setElidingEligible"),
    "cos": (2, ["solClient_msg_getClassOfService"], "solClient_msg_setClassOfService"),
}


@standin_only
@pytest.mark.parametrize("prop", ACCESSES)
def test_each_access_makes_its_library_calls_and_a_failed_write_changes_nothing(lib, msg, prop):
    value, reads, write = ACCESSES[prop]
    before = plain(getattr(msg, prop))
    assert lib.calls_made(lambda: getattr(msg, prop)) == {op: 1 for op in reads}
    if write:
        # The reply-to setter reads the old one first, and puts it back (or, as here, where
        # there was none, removes what the refused call left) when the library refuses.
        keep = {"solClient_msg_getReplyTo": 1} if prop == "reply2" else {}
        undo = {"solClient_msg_deleteReplyTo": 1} if prop == "reply2" else {}
        lib.fail_next(write, FAIL)
        assert lib.calls_made(lambda: setattr(msg, prop, value)) == {write: 1, **keep, **undo}
        assert plain(getattr(msg, prop)) == before
        assert lib.calls_made(lambda: setattr(msg, prop, value)) == {write: 1, **keep}
        assert plain(getattr(msg, prop)) == plain(value) != before


@pytest.mark.parametrize(
    "refused",
    [Destination("x" * 250), Destination("q", Null), Destination("q", DestinationType(7))],
    ids=["long", "null", "unknown"],
)
def test_a_refused_reply_to_leaves_the_old_one_and_none_removes_it(msg, refused):
    msg.reply2 = Destination("replies", Queue)
    msg.reply2 = refused
    assert plain(msg.reply2) == ("replies", Queue) and msg.is_request
    msg.reply2 = None
    assert plain(msg.reply2) == ("", Null) and not msg.is_request
    msg.reply2 = refused
    assert plain(msg.reply2) == ("", Null)
    msg.reply2 = Destination("")  # an empty name is a reply-to all the same
    assert plain(msg.reply2) == ("", Topic) and msg.is_request


@standin_only
@pytest.mark.parametrize("code", [NOT_FOUND, FAIL])
@pytest.mark.parametrize(
    "prop, op, expected",
    [
        ("dest", "solClient_msg_getDestination", ("", Null)),
        ("reply2", "solClient_msg_getReplyTo", ("", Null)),
        ("is_p2p", "solClient_msg_getDestination", False),
        ("delivery_mode", "solClient_msg_getDeliveryMode", Direct),
        ("cos", "solClient_msg_getClassOfService", 1),
    ],
)
def test_a_failed_read_gives_the_starting_value(lib, msg, prop, op, expected, code):
    msg.dest, msg.reply2 = Destination("#P2P/x", Queue), Destination("r", Queue)
    msg.delivery_mode, msg.cos = NonPersistent, 3
    lib.fail_next(op, code)
    assert plain(getattr(msg, prop)) == expected


@standin_only
def test_a_message_the_library_could_not_allocate_reads_defaults_and_takes_writes(lib):
    lib.fail_next("solClient_msg_alloc", FAIL)
    msg = ZelMsg()
    writes = {
        "dest": Destination("d"),
        "reply2": Destination("r"),
        "is_reply": True,
        "delivery_mode": Persistent,
        "content_type": "json",
        "elide": True,
        "cos": 2,
        "json": {"a": 1},
        "msgpack": {"a": 1},
        "body": b"abc",
    }
    for _ in range(2):  # before and after every write
        assert plain(msg.dest) == plain(msg.reply2) == ("", Null)
        assert (msg.is_reply, msg.is_request, msg.is_p2p, msg.elide) == (False,) * 4
        assert msg.delivery_mode == Direct and msg.cos == 1
        assert msg.content_type == "" and msg.body == b""
        for prop, value in writes.items():
            setattr(msg, prop, value)


# The rest of the header: DMQ eligibility, time to live, priority, the two ids, the sender
# timestamp, the sequence number, the application message type, sender id, HTTP content type
# and encoding, expiration, ack-immediately and user data

REST = {
    "dmq_eligible": False,
    "ttl": 0,
    "priority": None,
    "correlation_id": None,
    "application_message_id": None,
    "sender_timestamp": None,
    "sequence_number": None,
    "application_message_type": None,
    "sender_id": None,
    "http_content_type": None,
    "http_content_encoding": None,
    "expiration": 0,
    "ack_immediately": False,
    "user_data": None,
}
TEXTS = [
    "correlation_id",
    "application_message_id",
    "application_message_type",
    "sender_id",
    "http_content_type",
    "http_content_encoding",
]


def test_a_fresh_message_has_none_of_the_rest_of_the_header(msg):
    assert {prop: getattr(msg, prop) for prop in REST} == REST


IDS = [
    ("req-42", "req-42"),
    ("", ""),
    ("ünï ✓", "ünï ✓"),
    (b"raw", "raw"),
    (bytearray(b"ba"), "ba"),
    ("x" * 70000, "x" * 70000),
    (None, None),
]


@pytest.mark.parametrize(
    "prop, writes",
    [
        ("dmq_eligible", [(True, True), (0, False), (2, True), (None, False)]),
        ("ttl", [(60_000, 60_000), (315_360_000_000, 315_360_000_000), (0, 0)]),
        ("priority", [(0, 0), (255, 255), (None, None), (9, 9)]),
        *((text, IDS) for text in TEXTS),
        ("ack_immediately", [(True, True), (0, False), (2, True), (None, False)]),
        ("expiration", [(1_700_000_000_000, 1_700_000_000_000), (2**63 - 1, 2**63 - 1), (0, 0)]),
        ("user_data", [(b"\x00\xff", b"\x00\xff"), (b"u" * 36, b"u" * 36), (None, None), (b"x", b"x"), (b"", None)]),
        (
            "sender_timestamp",
            [
                (1_700_000_000_123, 1_700_000_000_123),
                (-1, -1),
                (2**63 - 1, 2**63 - 1),
                (-(2**63), -(2**63)),
                (None, None),
            ],
        ),
        ("sequence_number", [(0, 0), (2**63, 2**63), (2**64 - 1, 2**64 - 1), (None, None)]),
    ],
)
def test_the_rest_of_the_header_round_trips_and_none_removes(msg, prop, writes):
    for value, read in writes:
        setattr(msg, prop, value)
        assert getattr(msg, prop) == read and type(getattr(msg, prop)) is type(read)
    assert {other: getattr(msg, other) for other in REST if other != prop} == {
        other: fresh for other, fresh in REST.items() if other != prop
    }


@pytest.mark.parametrize(
    "prop, kept, refused",
    [
        ("ttl", 5, [-1, 315_360_000_001, 2**63 - 1, -(2**63)]),
        ("expiration", 5, [-1, -(2**63)]),
    ],
)
def test_values_the_library_refuses_leave_the_old_one(msg, prop, kept, refused):
    setattr(msg, prop, kept)
    for value in refused:
        setattr(msg, prop, value)
        assert getattr(msg, prop) == kept


@pytest.mark.parametrize(
    "prop, value, error",
    [
        ("dmq_eligible", "yes", TypeError),
        ("ttl", 1.5, TypeError),
        ("ttl", "1", TypeError),
        ("ttl", None, TypeError),
        ("ttl", 2**63, TypeError),
        ("priority", 2**31, TypeError),
        ("priority", 1.0, TypeError),
        ("priority", -1, TypeError),
        ("priority", 256, TypeError),
        ("priority", -2, TypeError),
        ("priority", 2**31 - 1, TypeError),
        ("sender_timestamp", 2**63, TypeError),
        ("sender_timestamp", "0", TypeError),
        ("sequence_number", -1, TypeError),
        ("sequence_number", 2**64, TypeError),
        ("correlation_id", 1, TypeError),
        ("application_message_id", ["id"], TypeError),
        ("correlation_id", "\ud800", ValueError),
        ("sender_id", 5, TypeError),
        ("http_content_encoding", [b"x"], TypeError),
        ("expiration", None, TypeError),
        ("expiration", 2**63, TypeError),
        ("expiration", "1", TypeError),
        ("ack_immediately", "yes", TypeError),
        ("user_data", "text", TypeError),
        ("user_data", bytearray(b"x"), TypeError),
        # The library would cut the text at a NUL: refused before anything is written.
        ("correlation_id", "req\x00-42", ValueError),
        ("application_message_id", b"\x00", ValueError),
        ("application_message_type", "a\0", ValueError),
        ("http_content_type", b"\0", ValueError),
        # More user data than a message can be sent with.
        ("user_data", b"u" * 37, ValueError),
    ],
)
def test_a_value_that_cannot_be_stored_whole_is_refused_before_any_library_call(lib, msg, prop, value, error):
    msg.dmq_eligible, msg.ttl, msg.priority = True, 5, 7
    for text in TEXTS:
        setattr(msg, text, "kept")
    msg.sender_timestamp, msg.sequence_number = 1, 2
    msg.expiration, msg.ack_immediately, msg.user_data = 3, True, b"kept"
    before = {other: getattr(msg, other) for other in REST}

    def assign():
        with pytest.raises(error):
            setattr(msg, prop, value)

    lib.check_refusal(assign)
    assert {other: getattr(msg, other) for other in REST} == before


REST_ACCESSES = {
    "dmq_eligible": (True, ["solClient_msg_isDMQEligible"], ["solClient_msg_setDMQEligible"]),
    "ttl": (9, ["solClient_msg_getTimeToLive"], ["solClient_msg_setTimeToLive"]),
    "priority": (9, ["solClient_msg_getPriority"], ["solClient_msg_setPriority"]),
    "correlation_id": (
        "c",
        ["solClient_msg_getCorrelationId"],
        ["solClient_msg_setCorrelationId", "solClient_msg_deleteCorrelationId"],
    ),
    "application_message_id": (
        "a",
        ["solClient_msg_getApplicationMessageId"],
        ["solClient_msg_setApplicationMessageId", "solClient_msg_deleteApplicationMessageId"],
    ),
    "sender_timestamp": (
        9,
        ["solClient_msg_getSenderTimestamp"],
        ["solClient_msg_setSenderTimestamp", "solClient_msg_deleteSenderTimestamp"],
    ),
    "sequence_number": (
        9,
        ["solClient_msg_getSequenceNumber"],
        ["solClient_msg_setSequenceNumber", "solClient_msg_deleteSequenceNumber"],
    ),
    **{
        prop: ("t", [f"solClient_msg_get{name}"], [f"solClient_msg_set{name}", f"solClient_msg_delete{name}"])
        for prop, name in [
            ("application_message_type", "ApplicationMsgType"),
            ("sender_id", "SenderId"),
            ("http_content_type", "HttpContentType"),
            ("http_content_encoding", "HttpContentEncoding"),
        ]
    },
    "expiration": (9, ["solClient_msg_getExpiration"], ["solClient_msg_setExpiration"]),
    "ack_immediately": (True, ["solClient_msg_isAckImmediately"], ["solClient_msg_setAckImmediately"]),
    "user_data": (b"u", ["solClient_msg_getUserDataPtr"], ["solClient_msg_setUserData", "solClient_msg_setUserData"]),
}


@standin_only
@pytest.mark.parametrize("prop", REST_ACCESSES)
def test_each_access_to_the_rest_makes_its_call_and_a_failed_one_reads_fresh(lib, msg, prop):
    value, (read,), writes = REST_ACCESSES[prop]
    assert lib.calls_made(lambda: setattr(msg, prop, value)) == {writes[0]: 1}
    if len(writes) > 1:
        assert lib.calls_made(lambda: setattr(msg, prop, None)) == {writes[1]: 1}
        setattr(msg, prop, value)
    for code in (FAIL, NOT_FOUND):
        lib.fail_next(read, code)
        assert lib.calls_made(lambda: getattr(msg, prop)) == {read: 1}
        lib.fail_next(read, code)
        assert getattr(msg, prop) == REST[prop]
    assert getattr(msg, prop) == value


# What a receiver learns: read-only, and fresh on a message that was never received

RECEIVED = {
    "redelivered": False,
    "delivery_count": None,
    "receive_timestamp": None,
    "topic_sequence_number": None,
    "message_id": None,
    "replication_group_message_id": None,
    "discard_indication": False,
}


def test_a_message_never_received_reads_fresh_and_takes_no_receive_side_writes(msg):
    for made in (msg, ZelMsg.__new__(ZelMsg)):
        assert {prop: getattr(made, prop) for prop in RECEIVED} == RECEIVED
        for prop in RECEIVED:
            with pytest.raises(AttributeError):
                setattr(made, prop, RECEIVED[prop])


def test_a_received_message_reads_what_it_was_received_with(lib, capi):
    msg = capi.adopt(lib.received(redelivered=1, topic_sequence_number=7, message_id=2**63 - 2**64))
    assert (msg.redelivered, msg.topic_sequence_number, msg.message_id) == (True, 7, 2**63)


@standin_only
def test_the_rest_of_what_a_receiver_learns(lib, capi):
    msg = ZelMsg()
    handle = capi.handle(msg)
    for fact, value in [("delivery_count", 3), ("receive_timestamp", 1_700_000_000_000)]:
        assert lib.set_received(handle, fact, value) == 0
    assert lib.standin_set_replication_group_message_id(handle, bytes(range(1, 17)), 16) == 0
    assert (msg.delivery_count, msg.receive_timestamp) == (3, 1_700_000_000_000)
    assert msg.replication_group_message_id == "rmid1:01020-30405060708-090a0b0c-0d0e0f10"
    lib.fail_next("solClient_replicationGroupMessageId_toString")
    assert msg.replication_group_message_id is None
