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
