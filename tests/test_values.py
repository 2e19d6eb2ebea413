"""The value types: DestinationType, DeliveryMode and Destination."""

import pickle

import pytest
import zelmsg
from zelmsg import DeliveryMode, Destination, DestinationType


def test_enum_members_carry_the_library_codes_and_are_module_attributes():
    assert {m.name: int(m) for m in DestinationType.__members__.values()} == {
        "Null": -1,
        "Topic": 0,
        "Queue": 1,
        "TopicTemp": 2,
        "QueueTemp": 3,
    }
    assert {m.name: int(m) for m in DeliveryMode.__members__.values()} == {
        "Direct": 0,
        "Persistent": 16,
        "NonPersistent": 32,
    }
    assert zelmsg.Topic is DestinationType.Topic and zelmsg.Persistent is DeliveryMode.Persistent
    assert zelmsg.Null == -1 and zelmsg.Persistent == 16 and int(zelmsg.NonPersistent) == 32


def test_enums_are_arithmetic():
    assert DestinationType.Topic < DestinationType.Queue
    assert DeliveryMode.Persistent | DeliveryMode.NonPersistent == 48
    assert DeliveryMode.NonPersistent & 0x20 == 32
    assert hash(DeliveryMode.Persistent) == hash(16)
    assert DeliveryMode(16) == DeliveryMode.Persistent
    assert pickle.loads(pickle.dumps(DestinationType.QueueTemp)) == DestinationType.QueueTemp


def test_docstrings_are_only_where_they_belong():
    assert DestinationType.__doc__.startswith("Solace Msg DestinationType")
    for name in ("Null", "Topic", "Queue", "TopicTemp", "QueueTemp"):
        assert f"{name} : {name}" in DestinationType.__doc__
    assert DeliveryMode.__doc__.startswith("Solace Msg DeliveryMode")
    for name in ("Direct", "Persistent", "NonPersistent"):
        assert f"{name} : {name}" in DeliveryMode.__doc__
    assert zelmsg.ZelMsg.__doc__ is None and Destination.__doc__ is None


def test_destination_defaults_to_a_topic_and_takes_keywords():
    assert Destination("orders").dest_type == DestinationType.Topic
    d = Destination(dest_type=DestinationType.Queue, dest="q/1")
    assert (d.dest, d.dest_type) == ("q/1", DestinationType.Queue)
    empty = Destination("")
    assert empty.dest == ""


def test_destination_refuses_plain_numbers_for_its_type():
    with pytest.raises(TypeError):
        Destination("orders", 1)
    d = Destination("orders")
    with pytest.raises(TypeError):
        d.dest_type = 1
    with pytest.raises(TypeError):
        Destination(None)


def test_destination_is_a_plain_value():
    name = bytearray(b"orders")
    d = Destination(name.decode())
    name[0:1] = b"X"
    assert d.dest == "orders"
    d.dest, d.dest_type = "replies", DestinationType.QueueTemp
    assert (d.dest, d.dest_type) == ("replies", DestinationType.QueueTemp)


def test_destinations_compare_by_name_and_type_and_are_unhashable():
    assert Destination("orders") == Destination("orders", DestinationType.Topic)
    assert not Destination("orders") != Destination("orders")
    assert Destination("orders") != Destination("orders", DestinationType.Queue)
    assert Destination("orders") != Destination("orders/eu")
    assert Destination("orders") != "orders" and Destination("orders") != zelmsg.ZelMsg().dest
    d = Destination("orders")
    d.dest_type = DestinationType.Queue
    assert d == Destination("orders", DestinationType.Queue)
    with pytest.raises(TypeError, match="unhashable"):
        hash(d)


@pytest.mark.parametrize(
    "d, text",
    [
        (Destination("orders/eu/new"), "Destination('orders/eu/new', DestinationType.Topic)"),
        (Destination('it\'s \\ "q"', DestinationType.QueueTemp), None),
        (Destination("ünï ✓\n"), None),
        (Destination(b"\xff\xfe"), "Destination(b'\\xff\\xfe', DestinationType.Topic)"),
        (Destination("x", DestinationType(7)), "Destination('x', DestinationType(7))"),
    ],
)
def test_destination_repr_evaluates_to_an_equal_destination(d, text):
    assert text is None or repr(d) == text
    assert eval(repr(d), vars(zelmsg)) == d


def test_classes_take_no_new_attributes():
    with pytest.raises(AttributeError):
        Destination("orders").colour = "red"
    with pytest.raises(AttributeError):
        zelmsg.ZelMsg().colour = "red"


def test_classes_can_be_subclassed():
    class Route(Destination):
        pass

    class Envelope(zelmsg.ZelMsg):
        pass

    envelope = Envelope()
    envelope.dest = Route("orders", DestinationType.Queue)
    assert (envelope.dest.dest, envelope.dest.dest_type) == ("orders", DestinationType.Queue)
