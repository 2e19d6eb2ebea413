"""The values every part of the benchmark uses: the message its rows work on, and what each
property's rows write. They are data: which properties there are, the rows read from the
module itself."""

import msgpack
import orjson
import zelmsg

# Names longer than a short-string buffer (15 bytes in libstdc++), as most real ones are.
TOPIC = "orders/eu-west/new/v1"
REPLY_QUEUE = "order-replies/eu-west"
SENDER_TIMESTAMP_MS = 1_733_652_900_000

# The message every row starts from: the header a sender fills in. A UUID for the correlation
# id, a minute to live, the highest priority but two, a timestamp in milliseconds, an
# expiration a day later, a 16-byte trace id as user data.
MESSAGE = {
    "dest": zelmsg.Destination(TOPIC),
    "reply2": zelmsg.Destination(REPLY_QUEUE, zelmsg.Queue),
    "delivery_mode": zelmsg.Persistent,
    "content_type": "application/json",
    "elide": True,
    "cos": 2,
    "dmq_eligible": True,
    "ttl": 60_000,
    "priority": 7,
    "correlation_id": "3f2b8c1e-9d4a-4e7f-b6c0-5a1d2e3f4b60",
    "application_message_id": "orders-eu-west-1042",
    "sender_timestamp": SENDER_TIMESTAMP_MS,
    "sequence_number": 1042,
    "application_message_type": "order.created",
    "sender_id": "eu-west-gw-07",
    "http_content_type": "application/json",
    "http_content_encoding": "gzip",
    "expiration": SENDER_TIMESTAMP_MS + 86_400_000,
    "ack_immediately": True,
    "user_data": bytes.fromhex("4bf92f3577b34da6a3ce929d0e0e4736"),
    "xml": b'<order id="42"/>',
    "correlation_tag": b"ack:order-00042",
}

# Ten fields of the kinds an order message carries.
SMALL = {
    "order": 1042,
    "customer": "C-20931",
    "items": ["tea", "scones"],
    "total": 12.5,
    "currency": "GBP",
    "paid": True,
    "note": "leave at the door",
    "priority": 2,
    "region": "eu-west",
    "placed": "2024-12-08T10:15:00Z",
}

# About 10 KiB once encoded as JSON (less as MessagePack): 120 order lines.
LARGE = {
    f"line{i:03d}": {
        "sku": f"SKU-{i:05d}",
        "qty": i % 7 + 1,
        "price": round(1.25 * i, 2),
        "tags": ["boxed", "fragile"] if i % 3 == 0 else ["boxed"],
        "gift": i % 2 == 0,
    }
    for i in range(120)
}

# Ten entries of mixed kinds, which the user property, map and stream rows work on: int, str,
# float, bool, bytes, a typed Int16, a list and a dict.
MIXED = {
    "order": 1042,
    "customer": "C-20931",
    "total": 12.5,
    "paid": True,
    "region": "eu-west",
    "token": bytes.fromhex("9f86d081884c7d659a2feaa0c55ad015"),
    "lines": zelmsg.Int16(2),
    "items": ["tea", "scones"],
    "address": {"city": "Leeds", "postcode": "LS1 4AP"},
    "placed": "2024-12-08T10:15:00Z",
}

# What each property's rows write (a message holding it is what its getter reads); read-only
# properties are read on MESSAGE's message. JSON has no bytes: its mixed entries carry the
# token as hex text.
# A W3C trace context as a traced sender sets it, and its baggage.
CONTEXT = zelmsg.TraceContext.from_w3c("00-4bf92f3577b34da6a3ce929d0e0e4736-00f067aa0ba902b7-01", "congo=t61rcWkgMzE")
BAGGAGE = "userId=alice,serverNode=DF%2028,isProduction=false"

VALUES = {
    **MESSAGE,
    "creation_context": CONTEXT,
    "transport_context": CONTEXT,
    "baggage": BAGGAGE,
    "is_reply": False,
    "text": "order 1042 for C-20931: tea, scones; total 12.50 GBP, paid; leave at the door; eu-west, 10:15:00 UTC",
    "user_properties": MIXED,
    "map": MIXED,
    "stream": list(MIXED.values()),
}
VARIANTS = {
    "json": {"10 fields": SMALL, "10 KiB": LARGE, "10 mixed": {**MIXED, "token": MIXED["token"].hex()}},
    "msgpack": {"10 fields": SMALL, "10 KiB": LARGE, "10 mixed": MIXED},
    "body": {"64 B": b"x" * 64, "1 KiB": b"x" * 1024, "64 KiB": b"x" * 65536},
}

# The codec of a dict property, called as zelmsg calls it (msgpack with raw=False, so that
# strings decode as str whatever msgpack's default).
CODECS = {"json": (orjson, "loads(data)"), "msgpack": (msgpack, "loads(data, raw=False)")}

# The name that a single read and write of a user property work on, and the value written: a
# str in the middle of the map, replaced by one as long.
ITEM = ("region", "us-east")

# Bodies of the messages the wire rows encode and decode (genuine library only).
WIRE_SIZES = {"100 B": 100, "10 KiB": 10240}


def message(**values):
    """A ZelMsg holding MESSAGE, then values."""
    msg = zelmsg.ZelMsg()
    for name, value in {**MESSAGE, **values}.items():
        setattr(msg, name, value)
    return msg
