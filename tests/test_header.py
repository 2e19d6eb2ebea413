"""Header properties of ZelMsg: destination and reply-to, the point-to-point and request
tests, the reply and eliding flags, delivery mode and class of service."""

import pytest

from solclient import FAIL, NOT_FOUND, OK
from zelmsg import DeliveryMode, Destination, DestinationType, ZelMsg

standin_only = pytest.mark.standin_only
Topic, Queue, Null = DestinationType.Topic, DestinationType.Queue, DestinationType.Null
Direct, Persistent, NonPersistent = (DeliveryMode.Direct, DeliveryMode.Persistent,
                                     DeliveryMode.NonPersistent)


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
def test_a_name_reaches_the_library_cut_at_its_first_nul(msg, prop):
    setattr(msg, prop, Destination("a\x00b", Queue))
    assert plain(getattr(msg, prop)) == ("a", Queue)


@pytest.mark.parametrize("dest_type", [Topic, Queue])
@pytest.mark.parametrize("name, p2p", [("#P2P", True), ("#P2P/v:router/inbox", True),
                                       ("#P2", False), ("#p2p/x", False), ("x#P2P", False)])
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
    assert lib.calls_made(lambda: msg.is_request) == {
        "solClient_msg_getReplyTo": 1, "solClient_msg_isReplyMsg": 1}
    # Both failed: the last error the library recorded is the flag's, so it came second.
    assert "solClient_msg_isReplyMsg" in lib.last_error_text()


@pytest.mark.parametrize("prop", ["is_reply", "elide"])
@pytest.mark.parametrize("value, stored", [(True, True), (False, False), (None, False),
                                           (2, True), (0.0, False), (0.5, True)])
def test_flags_take_any_value_with_a_truth_value(msg, prop, value, stored):
    setattr(msg, prop, not stored)
    setattr(msg, prop, value)
    assert getattr(msg, prop) is stored


@pytest.mark.parametrize("mode, read", [(Persistent, Persistent), (NonPersistent, NonPersistent),
                                        (Direct, Direct),
                                        # an unnamed number goes on unchecked; both libraries
                                        # keep only its mode bits (0x30)
                                        (DeliveryMode(17), Persistent)])
def test_delivery_mode_round_trips(msg, mode, read):
    msg.delivery_mode = Direct if read != Direct else Persistent
    msg.delivery_mode = mode
    assert type(msg.delivery_mode) is DeliveryMode and msg.delivery_mode == read


class Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize("value, read", [(1, 1), (3, 3), (True, 1), (Index(), 3),
                                         # refused by the library, so cos stays 2;
                                         # 0 wraps to 4294967295
                                         (0, 2), (4, 2), (4294967295, 2)])
def test_cos_is_numbered_from_one(msg, value, read):
    msg.cos = 2
    msg.cos = value
    assert msg.cos == read


@standin_only
def test_cos_zero_reaches_the_library_which_refuses_it(lib, msg):
    lib.set_error_text("refused in this test")
    assert lib.calls_made(lambda: setattr(msg, "cos", 0)) == {
        "solClient_msg_setClassOfService": 1}
    assert lib.last_error_text() == "refused in this test"


@pytest.mark.parametrize("prop, value", [
    ("dest", None), ("dest", "orders"), ("dest", 1),
    ("reply2", None), ("reply2", "orders"), ("reply2", 1),
    ("delivery_mode", 16), ("delivery_mode", 0), ("delivery_mode", Queue), ("delivery_mode", None),
    ("is_reply", "yes"), ("is_reply", []), ("elide", "yes"),
    ("cos", 1.0), ("cos", -1), ("cos", 4294967296), ("cos", None), ("cos", "2"),
    ("is_request", True), ("is_p2p", False),
], ids=lambda v: repr(v) if not isinstance(v, str) else v)
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
    "reply2": (Destination("r"), ["solClient_msg_getReplyTo"], "solClient_msg_setReplyTo"),
    "is_reply": (True, ["solClient_msg_isReplyMsg"], "solClient_msg_setAsReplyMsg"),
    "is_request": (None, ["solClient_msg_getReplyTo", "solClient_msg_isReplyMsg"], None),
    "is_p2p": (None, ["solClient_msg_getDestination"], None),
    "delivery_mode": (Persistent, ["solClient_msg_getDeliveryMode"],
                      "solClient_msg_setDeliveryMode"),
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
        lib.fail_next(write, FAIL)
        assert lib.calls_made(lambda: setattr(msg, prop, value)) == {write: 1}
        assert plain(getattr(msg, prop)) == before
        assert lib.calls_made(lambda: setattr(msg, prop, value)) == {write: 1}
        assert plain(getattr(msg, prop)) == plain(value) != before


@standin_only
@pytest.mark.parametrize("code", [NOT_FOUND, FAIL])
@pytest.mark.parametrize("prop, op, expected", [
    ("dest", "solClient_msg_getDestination", ("", Null)),
    ("reply2", "solClient_msg_getReplyTo", ("", Null)),
    ("is_p2p", "solClient_msg_getDestination", False),
    ("delivery_mode", "solClient_msg_getDeliveryMode", Direct),
    ("cos", "solClient_msg_getClassOfService", 1),
])
def test_a_failed_read_gives_the_starting_value(lib, msg, prop, op, expected, code):
    msg.dest, msg.reply2 = Destination("#P2P/x", Queue), Destination("r", Queue)
    msg.delivery_mode, msg.cos = NonPersistent, 3
    lib.fail_next(op, code)
    assert plain(getattr(msg, prop)) == expected


@standin_only
def test_a_message_the_library_could_not_allocate_reads_defaults_and_takes_writes(lib):
    lib.fail_next("solClient_msg_alloc", FAIL)
    msg = ZelMsg()
    writes = {"dest": Destination("d"), "reply2": Destination("r"), "is_reply": True,
              "delivery_mode": Persistent, "content_type": "json", "elide": True, "cos": 2,
              "json": {"a": 1}, "msgpack": {"a": 1}, "body": b"abc"}
    for _ in range(2):  # before and after every write
        assert plain(msg.dest) == plain(msg.reply2) == ("", Null)
        assert (msg.is_reply, msg.is_request, msg.is_p2p, msg.elide) == (False,) * 4
        assert msg.delivery_mode == Direct and msg.cos == 1
        assert msg.content_type == "" and msg.body == b""
        for prop, value in writes.items():
            setattr(msg, prop, value)
