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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import payloads  # noqa: E402
import zelmsg  # noqa: E402

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
    operation measured: a set and a get of every property of ZelMsg (a get alone of a
    read-only one), with bench/payloads.py's values, each get following its set so that the
    codecs read their own encoding; then the view's, the copies', the wire's and the
    subclasses'."""
    msg.dest = payloads.MESSAGE["dest"]  # for the wire encoding, which needs one
    wire = msg.to_smf() if "stand-in" not in zelmsg.library_version()[2] else b""
    dest = msg.dest
    payload = payloads.SMALL
    body = bytes(range(256)) * 4

    # Held by every operation: the message, zelmsg's types and the codec functions.
    common = [("message", msg)] + [(name, value) for name, value in vars(zelmsg).items() if isinstance(value, type)]
    common += [
        (f"{module.__name__}.{function}", getattr(module, function))
        for module in (orjson, msgpack)
        for function in ("dumps", "loads")
    ]

    def create_destroy(_):
        zelmsg.ZelMsg()

    def set_(name, value):
        return f"set {name}", lambda m: setattr(m, name, value), [(f"{name} value", v) for v in parts(value)]

    def get(name):
        return f"get {name}", lambda m: getattr(m, name), []

    # What the measurement itself shows, to read the other rows against.
    ops = [("nothing", lambda _: None, [])]
    ops += [("ZelMsg() and release", create_destroy, []), ("repr", repr, [])]
    for name, prop in vars(zelmsg.ZelMsg).items():
        if isinstance(prop, property):
            value = (
                next(iter(payloads.VARIANTS[name].values())) if name in payloads.VARIANTS else payloads.VALUES.get(name)
            )
            ops += [set_(name, value)] if prop.fset else []
            ops += [get(name)]
            if isinstance(value, dict) and not isinstance(getattr(payloads.message(**{name: value}), name), dict):
                # A view: read whole, and one item written and read.
                key, item = payloads.ITEM
                ops += [
                    (f"get {name}, whole", lambda m, name=name: dict(getattr(m, name)), []),
                    (f"set {name}[k]", lambda m, name=name: getattr(m, name).__setitem__(key, item), []),
                    (f"get {name}[k]", lambda m, name=name: getattr(m, name)[key], []),
                ]
    ops += [
        ("copy", copy.copy, []),
        ("deepcopy", copy.deepcopy, []),
        ("build", lambda m: zelmsg.ZelMsg.build(dest=dest, cos=2, json=payload), [("payload", payload)]),
    ]
    slotted = Slotted.build(dest=dest, body=body)
    slotted.note, slotted.extra = ["n"], {"e": 1}

    def keeps_its_view(_):  # a cycle the collector frees
        kept = Slotted.build(body=body)
        kept.view = kept.user_properties

    ops += [
        ("build of an eager subclass", lambda m: Eager.build(dest=dest, body=body), []),
        ("copy of an eager subclass", lambda m: copy.copy(Eager.build(body=body)), []),
        ("copy with slots", lambda m: copy.copy(slotted), []),
        ("deepcopy with slots", lambda m: copy.deepcopy(slotted), []),
        ("a message keeping its view", keeps_its_view, []),
    ]
    if wire:  # the wire encoding is the genuine library's
        ops += [
            ("to_smf", lambda m: m.to_smf(), []),
            ("from_smf", lambda m: zelmsg.ZelMsg.from_smf(wire), []),
            ("pickle round trip", lambda m: pickle.loads(pickle.dumps(m)), []),
            ("pickle with slots", lambda m: pickle.loads(pickle.dumps(slotted)), []),
        ]
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
    changed = {objects[i][0]: refs[count + i] - refs[i] for i in range(count) if refs[count + i] != refs[i]}
    return marks[0], marks[2], marks[1], marks[3], changed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=10**6)
    parser.add_argument(
        "--limit-kib",
        type=int,
        default=1024,
        help="resident memory growth per operation counted as a leak (default 1024)",
    )
    parser.add_argument(
        "--limit-traced-kib",
        type=int,
        default=64,
        help="traced memory growth per operation counted as a leak (default 64)",
    )
    args = parser.parse_args()

    library = next(line.split()[-1] for line in open("/proc/self/maps") if "libsolclient" in line)
    print(f"libsolclient: {library}")
    print(f"{args.iterations} iterations per operation; resident memory in KiB, tracemalloc's traced total in bytes\n")
    print(f"{'':<24}{'resident':>30}{'traced':>36}")
    print(
        f"{'operation':<24}{'before':>10}{'after':>10}{'growth':>10}"
        f"{'before':>12}{'after':>12}{'growth':>12}  reference counts"
    )
    tracemalloc.start()
    findings = []
    msg = zelmsg.ZelMsg()
    for name, function, objects in operations(msg):
        rss_before, rss_after, traced_before, traced_after, changed = measure(function, msg, objects, args.iterations)
        rss_growth, traced_growth = rss_after - rss_before, traced_after - traced_before
        refs = ", ".join(f"{label} {delta:+d}" for label, delta in changed.items())
        print(
            f"{name:<24}{rss_before:>10}{rss_after:>10}{rss_growth:>10}"
            f"{traced_before:>12}{traced_after:>12}{traced_growth:>12}"
            f"  {refs or f'flat ({len(objects)} objects)'}",
            flush=True,
        )
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
