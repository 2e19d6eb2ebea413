"""Every attribute of zelmsg as typed code; CI checks it with mypy --strict."""

from typing import Any

import zelmsg
from zelmsg import DeliveryMode, Destination, DestinationType, ZelMsg


def build_request(order: dict[str, Any]) -> ZelMsg:
    msg = ZelMsg()
    msg.dest = Destination("orders/eu/new")
    msg.reply2 = Destination(dest="order-replies", dest_type=DestinationType.Queue)
    msg.is_reply = False
    msg.delivery_mode = zelmsg.Persistent
    msg.content_type = "json"
    msg.elide = True
    msg.cos = 2
    msg.json = order
    return msg


def describe(msg: ZelMsg) -> str:
    dest: Destination = msg.dest
    kind: DestinationType = dest.dest_type
    mode: DeliveryMode = msg.delivery_mode
    flags: tuple[bool, bool, bool, bool] = (msg.is_reply, msg.is_request, msg.is_p2p, msg.elide)
    cos: int = msg.cos
    payload: dict[str, Any] = msg.json
    return f"{dest.dest} {kind.name} {mode.value} {flags} {cos} {msg.content_type} {payload} {msg.reply2.dest}"


def as_msgpack(msg: ZelMsg, payload: dict[Any, Any]) -> tuple[dict[Any, Any], bytes]:
    msg.msgpack = payload
    encoded: bytes = msg.body
    msg.body = encoded
    return msg.msgpack, encoded


if __name__ == "__main__":
    message = build_request({"order": 1042})
    print(describe(message), as_msgpack(message, {"order": 1042}), repr(message)[:11])
    print(int(zelmsg.NonPersistent) | int(zelmsg.Direct), zelmsg.Topic < zelmsg.Queue, zelmsg.Null, zelmsg.TopicTemp,
          zelmsg.QueueTemp)
