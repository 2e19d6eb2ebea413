"""Times zelmsg's operations against their floors, in pairs, in this interpreter, and writes
the rows as JSON. bench/run.py runs it once in each environment; it is not meant to be run by
hand.

    python bench/measure.py --floor-dir DIR [--capi PATH] [--vendor-site DIR] --out FILE

A row is a zelmsg statement and its floor, the sum of parts (bench/floor/floor.cpp): the
library's calls made inside an empty pybind11 call of the same shape, one operation at a time as
zelmsg makes them; the Python objects made or read through the C API; the codec called
directly. Every part is a timer t(n): n runs, in a Python loop unrolled UNROLL times or in a C
loop, giving the process CPU time in ns. A pair is one sample of zelmsg's statement and one of
each floor part, in a shuffled order, each about --sample-ms long: its ratio is zelmsg's time
over the floor's. Every round takes one pair of every row, the rows in a shuffled order, so that
a slow moment falls on both sides of a pair, and on all rows alike. bench/run.py reports the
median of a row's ratios, with their quartiles.

The rows come from the module itself: a get row for every property of zelmsg.ZelMsg, in the
order it registers them, and a set row for each that has a setter, with the values of
bench/payloads.py. A property's library floor is floor.cpp's of the same name; its binding floor
is the empty property whose getter returns the same type.
"""

import argparse
import collections.abc
import gc
import itertools
import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import payloads  # noqa: E402
import zelmsg  # noqa: E402

UNROLL = 10

PROPERTY_TARGET = 1.3
CODEC_TARGET = 1.15
BUILD_TARGET = 0.9
PEER_TARGET = 1 / 20  # the vendor's time is the floor: zelmsg 20x faster

# A message built in one call, and the same attributes set one by one on ZelMsg().
BUILD = "m = ZelMsg.build(dest=dest, delivery_mode=mode, cos=2, json=value)"
ONE_BY_ONE = "m = ZelMsg(); m.dest = dest; m.delivery_mode = mode; m.cos = 2; m.json = value"


def statement(stmt, **names):
    """A timer of a Python statement, in a loop that repeats it UNROLL times a turn."""
    body = "".join(f"        {stmt}\n" for _ in range(UNROLL))
    source = (
        f"def run(_turns, {', '.join(names)}):\n    _start = _clock()\n"
        f"    for _ in _repeat(None, _turns):\n{body}    return _clock() - _start\n"
    )
    namespace = {"_clock": time.process_time_ns, "_repeat": itertools.repeat}
    exec(compile(source, f"<{stmt}>", "exec"), namespace)
    run = namespace["run"]
    return lambda n: run(n // UNROLL, **names)


def native(per_iteration):
    """A timer of a C loop that gives the ns of one iteration."""
    return lambda n: per_iteration(n) * n


class Row:
    """A zelmsg statement and the parts of its floor, timed in pairs; steps, when it has them, are
    timed in the same pairs and only reported: where the time goes."""

    def __init__(self, name, group, target, zelmsg_timer, parts, steps=None):
        self.name, self.group, self.target = name, group, target
        self.parts, self.steps = list(parts), list(steps or {})
        self.timers = {"zelmsg": zelmsg_timer, **parts, **(steps or {})}
        self.counts = {}
        self.samples = {label: [] for label in self.timers}
        self.ratios = []

    def calibrate(self, sample_ns):
        for label, timer in self.timers.items():
            n = UNROLL
            while (elapsed := timer(n)) < sample_ns / 4:
                n *= 4
            self.counts[label] = max(UNROLL, round(n * sample_ns / max(elapsed, 1) / UNROLL) * UNROLL)

    def pair(self, rng):
        """One sample of each timer, in a shuffled order, and zelmsg's ratio to the floor."""
        order = list(self.timers)
        rng.shuffle(order)
        for label in order:
            self.samples[label].append(self.timers[label](self.counts[label]) / self.counts[label])
        if self.parts:
            self.ratios.append(self.samples["zelmsg"][-1] / sum(self.samples[label][-1] for label in self.parts))

    def result(self):
        return {
            "name": self.name,
            "group": self.group,
            "target": self.target,
            "zelmsg": self.samples["zelmsg"],
            "parts": {label: self.samples[label] for label in self.parts},
            "steps": {label: self.samples[label] for label in self.steps},
            "ratios": self.ratios,
        }


def bound(floor, calls, stmt, **names):
    """A timer of a statement calling into floor.Empty, whose every call makes the given library
    calls first."""
    timer = statement(stmt, **names)

    def run(n):
        floor.inside(calls)
        return timer(n)

    return run


def binding_parts(floor, steps, stmt, **names):
    """The floor part of the library calls made inside the empty binding, and for a breakdown,
    each library step in a C loop and the empty binding alone."""
    calls = [timer for _, timer in steps]
    part = {"library calls + empty binding": bound(floor, calls, stmt, **names)}
    apart = {f"library: {step}": timer for step, timer in steps}
    apart["empty binding"] = bound(floor, [], stmt, **names)
    return part, apart


def signature(prop):
    """What a property's getter returns, as pybind11 writes it, with no module name."""
    returned = prop.fget.__doc__.split("->")[-1].strip()
    return returned.replace("zelmsg.", "").replace("bench_floor.", "")


# The empty property whose getter gives the like of a zelmsg getter's value that pybind11 calls
# only an object (a type of the C API's own), by the value's type.
OBJECT_SHAPES = {"UserProperties": "view", "TraceContext": "context"}


def shape_of(shapes, prop, got):
    """The name of the empty property of the same shape as prop, whose getter gave got."""
    returned = signature(prop)
    if returned == "object":
        return OBJECT_SHAPES.get(type(got).__name__)
    # An enum registered after the properties that give it is named by its C++ type there.
    return shapes.get(returned) or shapes.get(type(got).__name__)


def floor_twin(floor, value):
    """value as the floor's own class takes it, where zelmsg's class has a twin there."""
    twin = getattr(floor, type(value).__name__, None)
    if twin is None or type(value).__module__ != "zelmsg":
        return value
    if hasattr(value, "dest"):
        return twin(value.dest, int(value.dest_type))
    return twin(int(value)) if isinstance(value, int) else twin(value)


def property_rows(floor):
    """Every property's rows, in registration order."""
    shapes = {
        signature(v): name
        for name, v in vars(floor.Empty).items()
        if isinstance(v, property) and signature(v) != "object"
    }

    def binding(steps, prop, got, value, stmt):
        empty = floor.Empty()
        empty.configure(value)
        shape = shape_of(shapes, prop, got)
        if shape is None:
            raise SystemExit(f"bench: no empty property returns {signature(prop)}: add one to bench/floor/floor.cpp")
        return binding_parts(
            floor, steps, stmt.replace("SHAPE", f"e.{shape}"), e=empty, value=floor_twin(floor, value), dict=dict
        )

    rows = []
    for name, prop in vars(zelmsg.ZelMsg).items():
        if not isinstance(prop, property):
            continue
        if name in payloads.VARIANTS:
            variants = [(f" {label}", value) for label, value in payloads.VARIANTS[name].items()]
        else:
            variants = [("", payloads.VALUES.get(name))]
        codec = payloads.CODECS.get(name)
        for label, value in variants:
            msg = payloads.message(**({name: value} if prop.fset else {}))
            got = getattr(msg, name)
            view = isinstance(got, collections.abc.Mapping) and not isinstance(got, dict)
            container = view or isinstance(got, (dict, list)) and not codec
            group = "codec" if codec else "container" if container else "property"
            target = CODEC_TARGET if codec else PROPERTY_TARGET
            steps = floor.library(f"get {name}", msg)
            parts, apart = binding(steps, prop, got, dict(got) if view else got, "dict(SHAPE)" if view else "SHAPE")
            if codec:
                module, loads = codec
                data = module.dumps(value)
                parts["Python objects"] = floor.objects("make", data)
                parts["codec"] = statement(loads, loads=module.loads, data=data)
            elif container:
                parts["Python objects"] = floor.objects(
                    "keys and values" if view else "make", dict(got) if view else got
                )
            read = statement(f"dict(msg.{name})" if view else f"msg.{name}", msg=msg, dict=dict)
            rows.append(Row(f"get {name}{label}", group, target, read, parts, apart if codec else None))
            if view:
                rows += item_rows(floor, name, value)
            if not prop.fset:
                continue
            # A message of its own: the library keeps what each write leaves in the message
            # it writes, which would slow the reads of the get row's.
            msg = payloads.message(**{name: value})
            steps = floor.library(f"set {name}", msg)
            parts, apart = binding(steps, prop, got, value, "SHAPE = value")
            if codec:
                parts["codec"] = statement("dumps(value)", dumps=codec[0].dumps, value=value)
            elif container:
                parts["Python objects"] = floor.objects("read", value)
            write = statement(f"msg.{name} = value", msg=msg, value=value)
            rows.append(
                Row(f"set {name}{label}", group, target, write, parts, apart if codec or len(steps) > 1 else None)
            )
    return rows


def item_rows(floor, name, mapping):
    """v[k] and v[k] = x on the view a property hands out, each on a message of its own: a
    lookup, again and again on one view, and a write of one str."""
    key, value = payloads.ITEM
    rows = []
    for verb, stmt, args, objects in (
        ("get", "v[k]", (key,), ("make", mapping[key])),
        ("set", "v[k] = x", (key, value), ("read", [key, value])),
    ):
        msg = payloads.message(**{name: mapping})
        empty = floor.Empty()
        empty.configure(mapping)
        parts, _ = binding_parts(
            floor, floor.library(f"{verb} {name}[k]", msg, *args), stmt, v=empty.item_view(), k=key, x=value
        )
        parts["Python objects"] = floor.objects(*objects)
        rows.append(
            Row(
                f"{verb} {name}[k]",
                "container",
                PROPERTY_TARGET,
                statement(stmt, v=getattr(msg, name), k=key, x=value),
                parts,
            )
        )
    return rows


def method_rows(floor):
    """A message made, shown and copied, and the wire where the library has it."""
    msg = payloads.message()
    shown = floor.Empty()
    shown.configure(repr(msg))

    def row(name, group, target, stmt, operation, empty, objects=None, **names):
        parts, _ = binding_parts(floor, floor.library(operation, msg), empty, Empty=floor.Empty, e=shown, **names)
        if objects is not None:
            parts["Python objects"] = floor.objects("make", objects)
        return Row(name, group, target, statement(stmt, msg=msg, **names), parts)

    rows = [
        row("ZelMsg()", "message", None, "ZelMsg()", "ZelMsg()", "Empty()", ZelMsg=zelmsg.ZelMsg),
        row("repr", "message", None, "repr(msg)", "repr", "repr(e)", repr=repr),
        row("__copy__", "message", PROPERTY_TARGET, "msg.__copy__()", "__copy__", "e.copy_data()"),
    ]
    for label, size in payloads.WIRE_SIZES.items():
        msg = payloads.message(body=b"x" * size)
        try:
            data = msg.to_smf()
        except ValueError:
            break  # the stand-in has no wire encoding
        rows += [
            row(f"to_smf {label}", "wire", PROPERTY_TARGET, "msg.to_smf()", "to_smf", "e.to_data()", data),
            row(
                f"from_smf {label}",
                "wire",
                PROPERTY_TARGET,
                "ZelMsg.from_smf(data)",
                "from_smf",
                "Empty.from_data(data)",
                ZelMsg=zelmsg.ZelMsg,
                data=data,
            ),
        ]
    return rows


def build_rows(capi):
    """ZelMsg.build against the same attributes set one by one, and zelmsg's C API from C (the
    C loops of examples/native): adopt() and release against ZelMsg() and release, and
    handle() alone, which has no floor."""
    names = {
        "ZelMsg": zelmsg.ZelMsg,
        "dest": payloads.MESSAGE["dest"],
        "mode": zelmsg.Persistent,
        "value": payloads.SMALL,
    }
    rows = [
        Row(
            "ZelMsg.build",
            "build",
            BUILD_TARGET,
            statement(BUILD, **names),
            {"set one by one": statement(ONE_BY_ONE, **names)},
        )
    ]
    if capi:
        sys.path.insert(0, os.path.dirname(capi))
        import native_example

        msg = zelmsg.ZelMsg()
        rows += [
            Row(
                "C API adopt() + release",
                "capi",
                1.0,
                native(native_example.time_adopt),
                {"ZelMsg() + release": native(native_example.time_new)},
            ),
            Row("C API handle()", "capi", None, native(lambda n: native_example.time_handle(msg, n)), {}),
        ]
    return rows


def peer_rows(vendor_site):
    """One outbound message per statement, by zelmsg and by the vendor's API (solace-pubsubplus,
    built with no broker): the vendor's time is the floor part, so the ratio is zelmsg's share."""
    import orjson

    sys.path.insert(0, vendor_site)
    from solace.messaging.config.solace_properties import (
        authentication_properties,
        message_properties,
        service_properties,
        transport_layer_properties,
    )
    from solace.messaging.messaging_service import MessagingService
    from solace.messaging.utils.converter import ObjectToBytes

    # A service is what hands out message builders; it is built, never connected.
    service = (
        MessagingService.builder()
        .from_properties(
            {
                transport_layer_properties.HOST: "127.0.0.1",
                service_properties.VPN_NAME: "default",
                authentication_properties.SCHEME_BASIC_USER_NAME: "bench",
                authentication_properties.SCHEME_BASIC_PASSWORD: "bench",
            }
        )
        .build()
    )

    class Json(ObjectToBytes):
        def to_bytes(self, src):
            return orjson.dumps(src)

    # The same message as zelmsg's: class of service 2 (the vendor numbers it from 0) and the
    # content type that zelmsg's json setter writes as the user property ct. The vendor's
    # builder has no delivery mode: its publisher sets one.
    properties = {message_properties.CLASS_OF_SERVICE: 1, "ct": "json"}
    converter = Json()
    check = service.message_builder().from_properties(properties).build(payloads.SMALL, converter=converter)
    assert check.get_class_of_service() == 1 and orjson.loads(check.get_payload_as_bytes()) == payloads.SMALL
    rows = []
    for label in ("10 fields", "10 KiB"):
        value = payloads.VARIANTS["json"][label]
        names = {"ZelMsg": zelmsg.ZelMsg, "dest": payloads.MESSAGE["dest"], "mode": zelmsg.Persistent, "value": value}
        vendor = {
            "properties per message": statement(
                "m = builder.from_properties(properties).build(value, converter=converter)",
                builder=service.message_builder(),
                properties=properties,
                value=value,
                converter=converter,
            ),
            "preset builder": statement(
                "m = builder.build(value, converter=converter)",
                builder=service.message_builder().from_properties(properties),
                value=value,
                converter=converter,
            ),
        }
        for variant, timer in vendor.items():
            rows.append(
                Row(
                    f"{label}, vendor {variant}",
                    "peer",
                    PEER_TARGET,
                    statement("m = ZelMsg(); m.delivery_mode = mode; m.cos = 2; m.json = value", **names),
                    {"vendor": timer},
                )
            )
            # The same message made by ZelMsg.build, which also sets a destination.
            rows.append(
                Row(
                    f"{label}, ZelMsg.build, vendor {variant}",
                    "peer",
                    None,
                    statement(BUILD, **names),
                    {"vendor": timer},
                )
            )
    # Ten user properties and a 64-byte body. The vendor's builder refuses bytes, as a property
    # and as a payload, and takes a bytearray; it has no Int16, whose value it writes as an int.
    body = payloads.VARIANTS["body"]["64 B"]
    vendor_properties = {**payloads.MIXED, "token": bytearray(payloads.MIXED["token"]), "lines": 2}
    pairs = {f"{kind}{i}": item for i, entry in enumerate(vendor_properties.items()) for kind, item in zip("kv", entry)}
    with_property = "".join(f".with_property(k{i}, v{i})" for i in range(len(vendor_properties)))
    zelmsg_timer = statement(
        "m = ZelMsg(); m.user_properties = value; m.body = body", ZelMsg=zelmsg.ZelMsg, value=payloads.MIXED, body=body
    )
    for variant, timer in (
        (
            "from_properties",
            statement(
                "m = builder.from_properties(properties).build(body)",
                builder=service.message_builder(),
                properties=vendor_properties,
                body=bytearray(body),
            ),
        ),
        (
            "with_property",
            statement(
                f"m = builder{with_property}.build(body)",
                builder=service.message_builder(),
                body=bytearray(body),
                **pairs,
            ),
        ),
    ):
        rows.append(Row(f"10 user properties, vendor {variant}", "peer", None, zelmsg_timer, {"vendor": timer}))
    return rows


def run(rows, pairs, sample_ns, seed):
    for row in rows:
        row.calibrate(sample_ns)
    rng = random.Random(seed)
    for _ in range(pairs):
        order = list(rows)
        rng.shuffle(order)
        for row in order:
            row.pair(rng)
    return [row.result() for row in rows]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor-dir", required=True, help="where scripts/bench built bench/floor for this zelmsg")
    parser.add_argument("--capi", help="examples/native built against this zelmsg")
    parser.add_argument("--vendor-site", help="folder holding the vendor's solace-pubsubplus")
    parser.add_argument("--pairs", type=int, required=True)
    parser.add_argument("--sample-ms", type=float, required=True)
    parser.add_argument("--seed", type=int, default=0, help="of the shuffled orders")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    sys.path.insert(0, args.floor_dir)
    import bench_floor

    sample_ns = args.sample_ms * 1e6
    rows = property_rows(bench_floor) + method_rows(bench_floor) + build_rows(args.capi)
    # Collection off while timing, as timeit does; on for whole messages against the vendor's,
    # where the collector's share is part of what a user pays, on both sides.
    gc.collect()
    gc.disable()
    results = run(rows, args.pairs, sample_ns, args.seed)
    gc.enable()
    if args.vendor_site:
        # With the collector on, a sample of half a millisecond holds one of its passes or
        # none, and the pair ratios fall into two heaps: samples eight times as long each hold
        # several, and a quarter as many pairs take twice the time.
        results += run(peer_rows(args.vendor_site), max(args.pairs // 4, 20), sample_ns * 8, args.seed + 1)
    with open("/proc/self/maps") as maps:
        libraries = sorted({line.split()[-1] for line in maps if "libsolclient" in line})
    with open(args.out, "w") as out:
        json.dump({"library": zelmsg.library_version(), "libraries": libraries, "rows": results}, out, indent=1)


if __name__ == "__main__":
    main()
