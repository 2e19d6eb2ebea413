"""Shows whether zelmsg's operations leave memory and reference counts flat.

Runs each operation --iterations times (10^6 by default) after a warm-up and prints, per
operation, the resident set size before and after, tracemalloc's traced total before and
after, and how the reference counts of the objects it involves changed: the values it
writes and everything inside them, the message, the codec functions, and zelmsg's types
(every live instance holds a reference to its type, so a leaked result shows there).
Immortal objects (True, small ints, built-in types) have no count to watch and are left
out. Run it with the interpreter of the build to measure (.venv for the genuine library,
.venv-standin for the stand-in):

    .venv/bin/python bench/memory.py [--iterations N]

Exits 1 when an operation grows resident memory by more than --limit-kib, grows the traced
total by more than --limit-traced-kib, or changes any watched reference count at all.
"""

import argparse
import array
import copy
import gc
import os
import pickle
import sys
import tracemalloc

import msgpack
import orjson

import zelmsg

PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_KIB


def immortal(obj):
    return sys._is_immortal(obj)


def parts(value):
    """value and, for a container, everything inside it."""
    yield value
    if isinstance(value, dict):
        for key, item in value.items():
            yield from parts(key)
            yield from parts(item)
    elif isinstance(value, (list, tuple)):
        for item in value:
            yield from parts(item)


def watched(pairs):
    """(label, object) for each mortal object among pairs, each object once."""
    seen, kept = set(), []
    for label, obj in pairs:
        if id(obj) not in seen and not immortal(obj):
            seen.add(id(obj))
            kept.append((label, obj))
    return kept


def operations(msg):
    """(name, function of one message, objects whose counts it must leave alone) for every
    operation measured. Each read follows the write of the same property, so the codec
    reads find their own encoding."""
    dest = zelmsg.Destination("orders/eu/new")
    msg.dest = dest  # for the wire encoding, which needs one
    wire = msg.to_smf() if "stand-in" not in zelmsg.library_version()[2] else b""
    reply = zelmsg.Destination("order-replies", zelmsg.Queue)
    payload = {"order": 1042, "items": ["tea", "scones"], "paid": True, "note": "x" * 100,
               "total": 12.5, "big": 2**40}
    body = bytes(range(256)) * 4

    # Held by every operation: the message, zelmsg's types and the codec functions.
    common = [("message", msg)]
    common += [(name, getattr(zelmsg, name))
               for name in ("ZelMsg", "Destination", "DestinationType", "DeliveryMode", "UserProperties",
                             "Int8", "UInt8", "UInt32", "Float32", "WChar")]
    common += [(f"{module.__name__}.{function}", getattr(module, function))
               for module in (orjson, msgpack) for function in ("dumps", "loads")]

    def create_destroy(_):
        zelmsg.ZelMsg()

    def set_(name, value):
        return f"set {name}", lambda m: setattr(m, name, value), [(f"{name} value", v) for v in parts(value)]

    def get(name):
        return f"get {name}", lambda m: getattr(m, name), []

    # What the measurement itself shows, to read the other rows against.
    ops = [("nothing", lambda _: None, [])]
    ops += [("ZelMsg() and release", create_destroy, []), ("repr", repr, [])]
    for name, value in [("dest", dest), ("reply2", reply), ("is_reply", True),
                        ("delivery_mode", zelmsg.Persistent), ("content_type", "application/json"),
                        ("elide", True), ("cos", 2), ("json", payload), ("msgpack", payload),
                        ("body", body), ("dmq_eligible", True), ("ttl", 60_000), ("priority", 7),
                        ("correlation_id", "req-42"), ("application_message_id", "app-7"),
                        ("sender_timestamp", 1_700_000_000_123), ("sequence_number", 2**63 + 5),
                        ("text", "hello " * 50)]:
        ops += [set_(name, value), get(name)]
    ops += [get("is_request"), get("is_p2p")]
    properties = {"order": 1042, "region": "eu", "priority": zelmsg.UInt8(3), "rate": 1.5,
                  "tags": ["a", "b"], "where": {"lat": zelmsg.Float32(1.5)}, "blob": b"\x00" * 20}
    ops += [set_("user_properties", properties), ("get user_properties", lambda m: dict(m.user_properties), []),
            ("set one user property", lambda m: m.user_properties.__setitem__("region", "us"), []),
            ("get one user property", lambda m: m.user_properties["order"], [])]
    for name, value in [("map", properties), ("stream", list(properties.values()))]:
        ops += [set_(name, value), get(name)]
    for name, value in [("application_message_type", "order"), ("sender_id", "me"), ("http_content_type", "text/plain"),
                        ("http_content_encoding", "gzip"), ("expiration", 1_700_000_000_000),
                        ("ack_immediately", True), ("user_data", b"\x00" * 36)]:
        ops += [set_(name, value), get(name)]
    ops += [get(name) for name in ("redelivered", "delivery_count", "receive_timestamp", "topic_sequence_number",
                                   "message_id", "replication_group_message_id", "discard_indication")]
    ops += [("copy", copy.copy, []), ("deepcopy", copy.deepcopy, []),
            ("build", lambda m: zelmsg.ZelMsg.build(dest=dest, cos=2, json=payload), [("payload", payload)])]
    slotted = Slotted.build(dest=dest, body=body)
    slotted.note, slotted.extra = ["n"], {"e": 1}

    def keeps_its_view(_):  # a cycle the collector frees
        kept = Slotted.build(body=body)
        kept.view = kept.user_properties

    ops += [("build of an eager subclass", lambda m: Eager.build(dest=dest, body=body), []),
            ("copy of an eager subclass", lambda m: copy.copy(Eager.build(body=body)), []),
            ("copy with slots", lambda m: copy.copy(slotted), []), ("deepcopy with slots", lambda m: copy.deepcopy(slotted), []),
            ("a message keeping its view", keeps_its_view, [])]
    if "stand-in" not in zelmsg.library_version()[2]:  # the wire encoding is the genuine library's
        ops += [("to_smf", lambda m: m.to_smf(), []), ("from_smf", lambda m: zelmsg.ZelMsg.from_smf(wire), []),
                ("pickle round trip", lambda m: pickle.loads(pickle.dumps(m)), []),
                ("pickle with slots", lambda m: pickle.loads(pickle.dumps(slotted)), [])]
    # Reads too must leave the written values alone, so every operation watches all of them.
    everything = [pair for _, _, pairs in ops for pair in pairs]
    return [(name, function, watched(pairs + common + everything)) for name, function, pairs in ops]


# Subclasses: one whose __new__ reaches its native storage before a message is in it, and one
# with slots and a __dict__ (at module level, so that it pickles).
class Eager(zelmsg.ZelMsg):
    def __new__(cls):
        made = super().__new__(cls)
        made.dest  # noqa: B018 (the read is the point)
        return made


class Slotted(zelmsg.ZelMsg):
    __slots__ = ("note", "__dict__")


def repeat(function, msg, iterations):
    for _ in range(iterations):
        function(msg)


def measure(function, msg, objects, iterations):
    """(resident before, after, traced before, after, reference count changes by label).

    The readings go into arrays made beforehand, so that taking them allocates nothing that
    would still be live at the second reading and show as growth."""
    repeat(function, msg, max(iterations // 100, 1000))
    count = len(objects)
    refs = array.array("q", [0] * (2 * count))
    marks = array.array("q", [0] * 4)
    for phase in (0, 1):
        if phase:
            repeat(function, msg, iterations)
        gc.collect()
        for i in range(count):
            refs[phase * count + i] = sys.getrefcount(objects[i][1])
        marks[2 * phase] = rss_kib()
        marks[2 * phase + 1] = tracemalloc.get_traced_memory()[0]
    changed = {objects[i][0]: refs[count + i] - refs[i]
               for i in range(count) if refs[count + i] != refs[i]}
    return marks[0], marks[2], marks[1], marks[3], changed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=10**6)
    parser.add_argument("--limit-kib", type=int, default=1024,
                        help="resident memory growth per operation counted as a leak (default 1024)")
    parser.add_argument("--limit-traced-kib", type=int, default=64,
                        help="traced memory growth per operation counted as a leak (default 64)")
    args = parser.parse_args()

    library = next(line.split()[-1] for line in open("/proc/self/maps") if "libsolclient" in line)
    print(f"libsolclient: {library}")
    print(f"{args.iterations} iterations per operation; resident memory in KiB, "
          "tracemalloc's traced total in bytes\n")
    print(f"{'':<24}{'resident':>30}{'traced':>36}")
    print(f"{'operation':<24}{'before':>10}{'after':>10}{'growth':>10}"
          f"{'before':>12}{'after':>12}{'growth':>12}  reference counts")
    tracemalloc.start()
    findings = []
    msg = zelmsg.ZelMsg()
    for name, function, objects in operations(msg):
        rss_before, rss_after, traced_before, traced_after, changed = measure(
            function, msg, objects, args.iterations)
        rss_growth, traced_growth = rss_after - rss_before, traced_after - traced_before
        refs = ", ".join(f"{label} {delta:+d}" for label, delta in changed.items())
        print(f"{name:<24}{rss_before:>10}{rss_after:>10}{rss_growth:>10}"
              f"{traced_before:>12}{traced_after:>12}{traced_growth:>12}"
              f"  {refs or f'flat ({len(objects)} objects)'}", flush=True)
        if rss_growth > args.limit_kib:
            findings.append(f"{name}: resident memory grew by {rss_growth} KiB")
        if traced_growth > args.limit_traced_kib * 1024:
            findings.append(f"{name}: traced memory grew by {traced_growth} bytes")
        if changed:
            findings.append(f"{name}: reference counts changed: {refs}")
    tracemalloc.stop()
    if findings:
        print("\n" + "\n".join(findings))
        return 1
    print("\nresident memory, traced memory and reference counts stayed flat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
