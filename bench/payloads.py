"""The values every part of the benchmark uses, so that the Python timings, the native
floors and the vendor's builder all work on the same message."""

# Names longer than a short-string buffer (15 bytes in libstdc++), as most real ones are.
TOPIC = "orders/eu-west/new/v1"
REPLY_QUEUE = "order-replies/eu-west"
CONTENT_TYPE = "application/json"
BODY_SIZES = {"64 B": 64, "1 KiB": 1024, "64 KiB": 65536}

# The rest of the header and a text payload, as a sender fills them in: a UUID for the
# correlation id, a minute to live, the highest priority but two, a timestamp in
# milliseconds since the epoch, and 100 bytes of text.
CORRELATION_ID = "3f2b8c1e-9d4a-4e7f-b6c0-5a1d2e3f4b60"
APPLICATION_MESSAGE_ID = "orders-eu-west-1042"
TTL_MS = 60_000
PRIORITY = 7
SENDER_TIMESTAMP_MS = 1_733_652_900_000
SEQUENCE_NUMBER = 1042
TEXT = "order 1042 for C-20931: tea, scones; total 12.50 GBP, paid; leave at the door; eu-west, 10:15:00 UTC"
FIELDS = {"dmq_eligible": True, "ttl": TTL_MS, "priority": PRIORITY, "correlation_id": CORRELATION_ID,
          "application_message_id": APPLICATION_MESSAGE_ID, "sender_timestamp": SENDER_TIMESTAMP_MS,
          "sequence_number": SEQUENCE_NUMBER, "text": TEXT}

# Ten fields of the kinds an order message carries.
SMALL = {"order": 1042, "customer": "C-20931", "items": ["tea", "scones"], "total": 12.5,
         "currency": "GBP", "paid": True, "note": "leave at the door", "priority": 2,
         "region": "eu-west", "placed": "2024-12-08T10:15:00Z"}

# About 10 KiB once encoded as JSON (less as MessagePack): 120 order lines.
LARGE = {f"line{i:03d}": {"sku": f"SKU-{i:05d}", "qty": i % 7 + 1, "price": round(1.25 * i, 2),
                          "tags": ["boxed", "fragile"] if i % 3 == 0 else ["boxed"], "gift": i % 2 == 0}
         for i in range(120)}

DICTS = {"10 fields": SMALL, "10 KiB": LARGE}

# The rest of the header, as a sender fills it in: on the message the rows of these
# properties work on, beside FIELDS and the text. Expiration a day after the timestamp;
# user data a 16-byte trace id.
HEADER = {"application_message_type": "order.created", "sender_id": "eu-west-gw-07",
          "http_content_type": "application/json", "http_content_encoding": "gzip",
          "expiration": SENDER_TIMESTAMP_MS + 86_400_000, "ack_immediately": True,
          "user_data": bytes.fromhex("4bf92f3577b34da6a3ce929d0e0e4736"),
          # 16 bytes each, as the user data: the optional bytes floor copies that many.
          "xml": b'<order id="42"/>', "correlation_tag": b"ack:order-00042"}
# What a receiver learns: a message a sender holds reads each as absent (None, or False).
RECEIVED = ("redelivered", "delivery_count", "receive_timestamp", "topic_sequence_number", "message_id",
            "replication_group_message_id", "discard_indication")


def properties(int16=int):
    """Ten user properties of mixed kinds, which the user property and map rows all work on:
    int, str, float, bool, bytes, a typed Int16 (int16 makes it: zelmsg.Int16, or the floor
    module's own int subclass in a process without zelmsg), a list and a dict."""
    return {"order": 1042, "customer": "C-20931", "total": 12.5, "paid": True, "region": "eu-west",
            "token": bytes.fromhex("9f86d081884c7d659a2feaa0c55ad015"), "lines": int16(2),
            "items": ["tea", "scones"], "address": {"city": "Leeds", "postcode": "LS1 4AP"},
            "placed": "2024-12-08T10:15:00Z"}


# The one property that a single read and a single write work on, and the value written:
# a str in the middle of the map, replaced by one as long.
PROPERTY_KEY = "region"
PROPERTY_VALUE = "us-east"

# Bodies of the messages the wire rows encode and decode (genuine library only).
WIRE_SIZES = {"100 B": 100, "10 KiB": 10240}


def describe(value):
    """A map's fields as lines for the native floor, one field a line, "kind<TAB>name<TAB>value"
    (bytes as hex), with a list's or dict's own fields between its line and an "end" line."""
    lines = []
    for key, item in (value.items() if isinstance(value, dict) else ((None, v) for v in value)):
        key = key or ""
        if isinstance(item, (dict, list)):
            lines.append(f"{'map' if isinstance(item, dict) else 'stream'}\t{key}\t")
            lines += describe(item)
            lines.append("end\t\t")
        elif isinstance(item, bool):
            lines.append(f"bool\t{key}\t{int(item)}")
        elif isinstance(item, int):
            lines.append(f"{'int64' if type(item) is int else 'int16'}\t{key}\t{int(item)}")
        elif isinstance(item, float):
            lines.append(f"double\t{key}\t{item!r}")
        elif isinstance(item, bytes):
            lines.append(f"bytes\t{key}\t{item.hex()}")
        else:
            lines.append(f"string\t{key}\t{item}")
    return lines


def encoded_sizes():
    """{(codec, dict label): encoded length}: the attachment sizes the codec operations
    leave in a message."""
    import msgpack
    import orjson

    sizes = {}
    for label, value in DICTS.items():
        sizes[("json", label)] = len(orjson.dumps(value))
        sizes[("msgpack", label)] = len(msgpack.dumps(value))
    return sizes
