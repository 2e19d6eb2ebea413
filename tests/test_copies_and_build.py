"""Copies of a message, and messages built in one expression: copy.copy, copy.deepcopy and
ZelMsg.build."""

import copy
import gc

import pytest
from smf_corpus import HEADERS
from zelmsg import Destination, Int8, Persistent, ZelMsg

standin_only = pytest.mark.standin_only


def full_message():
    return ZelMsg.build(
        user_properties={"k": Int8(1), "nested": {"l": [1, "two"]}},
        **HEADERS["everything"],
        expiration=1_700_000_000_000,
        map={"a": [1, {"b": None}]},
    )


def carried(msg):
    return repr(msg), dict(msg.user_properties), msg.map, msg.sender_id, msg.user_data, msg.redelivered


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_a_copy_carries_everything_and_is_independent_both_ways(make_copy):
    original = full_message()
    copied = make_copy(original)
    assert type(copied) is ZelMsg and carried(copied) == carried(original)
    before = carried(original)
    copied.user_properties["k"] = 2
    copied.map = {"other": 1}
    copied.sender_id, copied.dest = "them", Destination("elsewhere")
    assert carried(original) == before
    copied_again = make_copy(original)
    original.user_properties.clear()
    original.body = b"replaced"
    assert copied_again.map == {"a": [1, {"b": None}]} and copied_again.user_properties["k"] == 1


class Sub(ZelMsg):
    def __init__(self):
        raise AssertionError("a copy or a build never runs __init__")


def test_a_subclass_copies_to_its_class_with_its_attributes_shallow_or_deep():
    original = Sub.build(dest=Destination("a"))
    original.notes = ["first"]
    shallow, deep = copy.copy(original), copy.deepcopy(original)
    assert type(shallow) is type(deep) is Sub and shallow.dest == deep.dest == Destination("a")
    assert shallow.notes is original.notes and deep.notes == original.notes and deep.notes is not original.notes
    loop = Sub.build()
    loop.me = loop
    assert copy.deepcopy(loop).me.me is not loop


def test_copying_a_zelmsg_that_holds_no_message_raises():
    with pytest.raises(ValueError, match="holds no message"):
        copy.copy(ZelMsg.__new__(ZelMsg))


@standin_only
def test_a_copy_carries_what_the_message_was_received_with(lib, capi):
    msg = ZelMsg()
    lib.standin_set_received(capi.handle(msg), b"redelivered", 1)
    assert msg.redelivered and copy.copy(msg).redelivered and copy.deepcopy(msg).redelivered


def test_build_applies_every_attribute_as_assigning_it_would():
    built = ZelMsg.build(cos=3, json={"a": 1}, dest=Destination("t"), delivery_mode=Persistent)
    assigned = ZelMsg()
    assigned.dest, assigned.delivery_mode, assigned.cos, assigned.json = Destination("t"), Persistent, 3, {"a": 1}
    assert repr(built) == repr(assigned)
    # The whole user property map comes first, whatever the keywords' order, so the
    # content type written after it stays.
    assert ZelMsg.build(content_type="x", user_properties={"ct": "y", "z": 1}).user_properties == {"z": 1, "ct": "x"}
    sub = Sub.build(priority=4)
    assert type(sub) is Sub and sub.priority == 4


@pytest.mark.parametrize(
    "attributes, error",
    [
        ({"nope": 1}, "no attribute 'nope'"),
        ({"is_p2p": True}, "no read-only attribute 'is_p2p'"),
        ({"\udc80": 1}, "no attribute"),  # a name with no UTF-8 form
        ({"redelivered": True}, "read-only"),
        ({"body": b"x", "text": "y"}, "at most one"),
        ({"map": {}, "stream": []}, "at most one"),
        ({"json": {}, "content_type": "x"}, "not both"),
    ],
)
def test_build_refuses_names_before_any_message_exists(lib, attributes, error):
    gc.collect()
    live = lib.standin_live_messages() if lib.has_control else None
    with pytest.raises(TypeError, match=error):
        ZelMsg.build(**attributes)
    if live is not None:
        assert lib.calls("solClient_msg_alloc") == 0 and lib.standin_live_messages() == live


@pytest.mark.parametrize(
    "attributes, error",
    [
        ({"dest": Destination("a"), "cos": "2"}, TypeError),
        ({"user_data": b"x" * 37}, ValueError),
        ({"user_properties": {"a": object()}}, TypeError),
        ({"correlation_id": "a\0b"}, ValueError),
    ],
)
def test_a_value_that_raises_makes_build_raise_and_free_its_message(lib, attributes, error):
    gc.collect()
    live = lib.standin_live_messages() if lib.has_control else None
    with pytest.raises(error):
        ZelMsg.build(**attributes)
    gc.collect()
    if live is not None:
        assert lib.standin_live_messages() == live
