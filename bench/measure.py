"""Times operations in this interpreter and writes the samples as JSON. bench/run.py runs
it once per role and environment; it is not meant to be run by hand.

    python bench/measure.py --role zelmsg --out FILE
    python bench/measure.py --role floor --floor-dir build/bench --repr-lengths N,N --smf-lengths N,N --out FILE
    python bench/measure.py --role peer --vendor-site DIR --out FILE
    python bench/measure.py --role capi --module PATH --out FILE

Roles, each in a process of its own:
  zelmsg  every zelmsg operation, and the codecs called directly
  floor   the empty pybind11 properties and methods of binding_floor (built into
          --floor-dir), a plain __slots__ attribute read, and the Python objects that
          operations make or read, through the C API in binding_floor's C loops
  peer    one outbound message built per iteration, by zelmsg and by the vendor's API
  capi    zelmsg's C API, timed by the C loops of the example module examples/native
          (built by scripts/native-example, at --module)

Each operation is a statement repeated UNROLL times in a loop; a sample is one run of
that loop lasting about --sample-ms of process CPU time, and the empty loop's cost per
statement is subtracted. A C loop times itself and reports the CPU time per iteration,
with nothing to subtract. The rounds visit every operation once each, in a shuffled
order, so that a noisy moment spreads over all of them rather than over one.
"""

import argparse
import gc
import itertools
import json
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import payloads  # noqa: E402

UNROLL = 10

# A message with a destination, a delivery mode, a class of service and a json payload, made
# in one call, and the same four attributes set one by one on ZelMsg().
BUILD = "m = ZelMsg.build(dest=dest, delivery_mode=mode, cos=2, json=value)"
ONE_BY_ONE = "m = ZelMsg(); m.dest = dest; m.delivery_mode = mode; m.cos = 2; m.json = value"


class Case:
    """An operation to time: stmt in a Python loop, or, given a timer, a C loop that the
    timer runs for n iterations, returning the ns per iteration."""

    def __init__(self, name, group, stmt, names, prepare=None, timer=None, **info):
        self.name, self.group, self.stmt, self.names = name, group, stmt, names
        self.prepare = prepare or (lambda: None)
        self.info = info
        self.samples = []
        self.iterations = 0
        self.native = timer is not None
        # Either way, run(n) gives the CPU time of n * UNROLL operations.
        self.run = (lambda n: timer(n * UNROLL) * n * UNROLL) if timer else compile_loop(stmt, names)


def compile_loop(stmt, names):
    params = ", ".join(names)
    lines = "".join(f"        {stmt}\n" for _ in range(UNROLL))
    source = (f"def run(_n, {params}):\n"
              f"    _start = _clock()\n"
              f"    for _ in _repeat(None, _n):\n{lines}"
              f"    return _clock() - _start\n")
    namespace = {"_clock": time.process_time_ns, "_repeat": itertools.repeat}
    exec(compile(source, f"<{stmt}>", "exec"), namespace)
    run = namespace["run"]
    return lambda n: run(n, **names)


def calibrate(case, sample_ns):
    case.prepare()
    n = 1
    while True:
        elapsed = case.run(n)
        if elapsed >= sample_ns / 4 or n >= 1 << 30:
            break
        n *= 4
    case.iterations = max(1, round(n * sample_ns / max(elapsed, 1)))


def measure(cases, rounds, sample_ns):
    loop = Case("empty loop", "loop", "pass", {})
    calibrate(loop, sample_ns)
    for case in cases:
        calibrate(case, sample_ns)
    loop_samples = []
    for round_ in range(rounds):
        order = list(cases)
        random.Random(round_).shuffle(order)
        for case in [loop] + order:
            case.prepare()
            elapsed = case.run(case.iterations)
            per_statement = elapsed / (case.iterations * UNROLL)
            if case is loop:
                loop_samples.append(per_statement)
            else:
                case.samples.append(per_statement)
    # The loop's own share of each statement, taken off every sample.
    loop_ns = statistics.median(loop_samples)
    for case in cases:
        if not case.native:
            case.samples = [sample - loop_ns for sample in case.samples]
    return loop_ns


def zelmsg_cases():
    import msgpack
    import orjson
    import zelmsg

    def message(**fields):
        msg = zelmsg.ZelMsg()
        msg.dest = zelmsg.Destination(payloads.TOPIC)
        msg.reply2 = zelmsg.Destination(payloads.REPLY_QUEUE, zelmsg.Queue)
        msg.delivery_mode = zelmsg.Persistent
        msg.cos = 2
        msg.elide = True
        msg.content_type = payloads.CONTENT_TYPE
        for name, value in fields.items():
            setattr(msg, name, value)
        return msg

    cases = [Case("ZelMsg()", "zelmsg", "ZelMsg()", {"ZelMsg": zelmsg.ZelMsg}),
             Case("reset()", "zelmsg", "msg.reset()", {"msg": message()})]
    values = [("dest", zelmsg.Destination(payloads.TOPIC)),
              ("reply2", zelmsg.Destination(payloads.REPLY_QUEUE, zelmsg.Queue)),
              ("is_reply", False), ("delivery_mode", zelmsg.Persistent),
              ("content_type", payloads.CONTENT_TYPE), ("elide", True), ("cos", 2)]
    # The rest of the header and the text work on a message holding all of them, as the
    # native floor's do; the base message, on which the rest is timed, holds none.
    for name, value in values + list(payloads.FIELDS.items()):
        held = payloads.FIELDS if name in payloads.FIELDS else {}
        cases.append(Case(f"get {name}", "zelmsg", f"msg.{name}", {"msg": message(**held)}))
        cases.append(Case(f"set {name}", "zelmsg", f"msg.{name} = value", {"msg": message(**held), "value": value}))
    for name in ("is_request", "is_p2p"):
        cases.append(Case(f"get {name}", "zelmsg", f"msg.{name}", {"msg": message()}))
    for label, size in payloads.BODY_SIZES.items():
        msg = message()
        msg.body = b"x" * size
        cases.append(Case(f"get body {label}", "zelmsg", "msg.body", {"msg": msg}, size=size))
        cases.append(Case(f"set body {label}", "zelmsg", "msg.body = value",
                          {"msg": message(), "value": b"x" * size}, size=size))
    for codec in ("json", "msgpack"):
        for label, value in payloads.DICTS.items():
            msg = message()
            setattr(msg, codec, value)
            cases.append(Case(f"get {codec} {label}", "zelmsg", f"msg.{codec}", {"msg": msg}))
            cases.append(Case(f"set {codec} {label}", "zelmsg", f"msg.{codec} = value",
                              {"msg": message(), "value": value}))
    shown = message()
    shown.json = payloads.SMALL
    cases.append(Case("repr", "zelmsg", "repr(msg)", {"msg": shown, "repr": repr}, length=len(repr(shown))))

    # The rest of the header on a message that holds all of it, with FIELDS and the text; what a
    # receiver learns, read on that same message, which nobody received: each reads as absent.
    everything = {**payloads.FIELDS, **payloads.HEADER}
    for name, value in payloads.HEADER.items():
        cases.append(Case(f"get {name}", "zelmsg", f"msg.{name}", {"msg": message(**everything)}))
        cases.append(Case(f"set {name}", "zelmsg", f"msg.{name} = value", {"msg": message(**everything), "value": value}))
    for name in payloads.RECEIVED:
        cases.append(Case(f"get {name}", "zelmsg", f"msg.{name}", {"msg": message(**everything)}))

    # User properties and the map payload, on a message holding the same ten entries.
    properties = payloads.properties(zelmsg.Int16)

    def with_properties():
        msg = message()
        msg.user_properties = properties
        return msg

    key, value = payloads.PROPERTY_KEY, payloads.PROPERTY_VALUE
    cases.append(Case("get user_properties", "zelmsg", "dict(msg.user_properties)",
                      {"msg": with_properties(), "dict": dict}))
    cases.append(Case("set user_properties", "zelmsg", "msg.user_properties = value",
                      {"msg": with_properties(), "value": properties}))
    cases.append(Case("get user property", "zelmsg", "v[k]", {"v": with_properties().user_properties, "k": key}))
    cases.append(Case("set user property", "zelmsg", "v[k] = value",
                      {"v": with_properties().user_properties, "k": key, "value": value}))
    for verb in ("get", "set"):
        msg = message(map=properties)
        stmt = "msg.map" if verb == "get" else "msg.map = value"
        cases.append(Case(f"{verb} map", "zelmsg", stmt, {"msg": msg, "value": properties}))
    # The codecs' properties on the same entries, to set beside the map: JSON has no bytes, so
    # the json rows take the token as its hex text.
    as_json = {**properties, "token": properties["token"].hex()}
    for codec, entries in (("json", as_json), ("msgpack", properties)):
        msg = message()
        setattr(msg, codec, entries)
        cases.append(Case(f"get {codec} 10 mixed", "beside", f"msg.{codec}", {"msg": msg}))
        cases.append(Case(f"set {codec} 10 mixed", "beside", f"msg.{codec} = value",
                          {"msg": message(), "value": entries}))

    # Copies, and a message built in one call against the same four attributes set one by one.
    cases.append(Case("__copy__", "zelmsg", "msg.__copy__()", {"msg": shown}))
    built = {"ZelMsg": zelmsg.ZelMsg, "dest": zelmsg.Destination(payloads.TOPIC), "mode": zelmsg.Persistent,
             "value": payloads.SMALL}
    cases.append(Case("build, 4 attributes", "build", BUILD, built))
    cases.append(Case("one by one, 4 attributes", "build", ONE_BY_ONE, built))

    # The wire, where the library has it (the stand-in refuses to encode): the same message as
    # the native floor's, with a body of each size.
    for label, size in payloads.WIRE_SIZES.items():
        msg = message(body=b"x" * size)
        try:
            data = msg.to_smf()
        except ValueError:
            break
        cases.append(Case(f"to_smf {label}", "zelmsg", "msg.to_smf()", {"msg": msg}, length=len(data)))
        cases.append(Case(f"from_smf {label}", "zelmsg", "ZelMsg.from_smf(data)",
                          {"ZelMsg": zelmsg.ZelMsg, "data": data}, size=len(data)))

    # The codecs called directly on the same dicts and encodings, as zelmsg calls them
    # (msgpack with raw=False, so that strings decode as str whatever msgpack's default),
    # in this same process: msgpack.dumps takes a 256 KiB buffer from malloc on every call,
    # whose cost depends on the state of the C heap.
    for codec, module in (("json", orjson), ("msgpack", msgpack)):
        for label, value in payloads.DICTS.items():
            encoded = module.dumps(value)
            cases.append(Case(f"{codec} dumps {label}", "codec", "dumps(value)",
                              {"dumps": module.dumps, "value": value}, size=len(encoded)))
            loads = "loads(value, raw=False)" if codec == "msgpack" else "loads(value)"
            cases.append(Case(f"{codec} loads {label}", "codec", loads,
                              {"loads": module.loads, "value": encoded}, size=len(encoded)))
    cases.append(Case("msgpack loads 10 fields, default options", "codec", "loads(value)",
                      {"loads": msgpack.loads, "value": msgpack.dumps(payloads.SMALL)}))
    return cases


def floor_cases(floor_dir, repr_lengths, smf_lengths):
    """The binding's own cost, in a process without zelmsg: pybind11 finds a type by
    hashing its C++ name in a table that every loaded module shares, so another module's
    types would change the collisions, and the cost, of zelmsg's."""
    sys.path.insert(0, floor_dir)
    import binding_floor

    assert "zelmsg" not in sys.modules
    empty = binding_floor.Empty()

    def configure(size=64, dump_length=0, text=payloads.CONTENT_TYPE, signed64=payloads.TTL_MS):
        return lambda: binding_floor.configure(
            text=text, buffer_size=size, place=payloads.TOPIC, dump="x" * dump_length, signed64=signed64,
            int32=payloads.PRIORITY, int64=payloads.SENDER_TIMESTAMP_MS, uint64=payloads.SEQUENCE_NUMBER)

    # The user properties as the floor's own objects: its Int16 is an int subclass as zelmsg's is.
    properties = payloads.properties(binding_floor.Int16)
    binding_floor.configure_properties(properties, payloads.PROPERTY_KEY, payloads.PROPERTY_VALUE)
    view = empty.view

    # Empty properties of each shape, returning values as long as zelmsg's.
    cases = []
    floor = [("Empty()", "Empty()", {"Empty": binding_floor.Empty}),
             ("get Destination", "e.place", {}),
             ("set Destination", "e.place = value", {"value": binding_floor.Place(payloads.TOPIC)}),
             ("get bool", "e.flag", {}),
             ("set bool", "e.flag = value", {"value": True}),
             ("get bool read-only", "e.flag_readonly", {}),
             ("get enum", "e.mode", {}),
             ("set enum", "e.mode = value", {"value": binding_floor.Persistent}),
             ("get str", "e.text", {}),
             ("set str", "e.text = value", {"value": payloads.CONTENT_TYPE}),
             ("get unsigned", "e.number", {}),
             ("set unsigned", "e.number = value", {"value": 2}),
             ("get dict", "e.dict", {}),
             ("set dict", "e.dict = value", {"value": payloads.SMALL}),
             ("get int64", "e.signed64", {}),
             ("set int64", "e.signed64 = value", {"value": payloads.TTL_MS}),
             ("get optional int32", "e.maybe_int32", {}),
             ("set optional int32", "e.maybe_int32 = value", {"value": payloads.PRIORITY}),
             ("get optional int64", "e.maybe_int64", {}),
             ("set optional int64", "e.maybe_int64 = value", {"value": payloads.SENDER_TIMESTAMP_MS}),
             ("get optional uint64", "e.maybe_uint64", {}),
             ("set optional uint64", "e.maybe_uint64 = value", {"value": payloads.SEQUENCE_NUMBER}),
             ("get optional absent", "e.absent", {}),
             ("get optional bytes", "e.maybe_bytes", {}),
             ("set optional bytes", "e.maybe_bytes = value", {"value": payloads.HEADER["user_data"]}),
             # dict(v) on the view a property hands out: keys(), then __getitem__ per key.
             ("dict(view)", "dict(e.view)", {"dict": dict}),
             ("view[key]", "v[k]", {"v": view, "k": payloads.PROPERTY_KEY}),
             ("view[key] = value", "v[k] = value", {"v": view, "k": payloads.PROPERTY_KEY,
                                                    "value": payloads.PROPERTY_VALUE}),
             ("method", "e.to_data()", {}),
             ("classmethod", "Empty.from_data(value)", {"Empty": binding_floor.Empty, "value": b"x"})]
    for name, stmt, names in floor:
        cases.append(Case(name, "binding", stmt, {"e": empty, **names}, configure()))
    expiration = payloads.HEADER["expiration"]
    cases.append(Case("get int64 expiration", "binding", "e.signed64", {"e": empty}, configure(signed64=expiration)))
    cases.append(Case("set int64 expiration", "binding", "e.signed64 = value", {"e": empty, "value": expiration},
                      configure(signed64=expiration)))
    # The Python objects alone, made or read through the C API by a C loop of binding_floor.
    for name in ("read properties", "read map", "write properties", "read property", "write property"):
        cases.append(Case(name, "objects", name, {}, timer=lambda n, name=name: binding_floor.time_objects(name, n)))
    for length in sorted(set(smf_lengths)):
        cases.append(Case(f"bytes {length}", "objects", "bytes", {},
                          timer=lambda n, length=length: binding_floor.time_objects("bytes", n, length)))
    # The optional text shape at each length that zelmsg's text fields have.
    texts = {len(value): value for value in [*payloads.FIELDS.values(), *payloads.HEADER.values()]
             if isinstance(value, str)}
    for _, text in sorted(texts.items()):
        cases.append(Case(f"get optional str {len(text)} chars", "binding", "e.maybe_text", {"e": empty},
                          configure(text=text)))
        cases.append(Case(f"set optional str {len(text)} chars", "binding", "e.maybe_text = value",
                          {"e": empty, "value": text}, configure(text=text)))
    for length in sorted(set(repr_lengths)):
        cases.append(Case(f"repr {length} chars", "binding", "repr(e)", {"e": empty, "repr": repr},
                          configure(dump_length=length), length=length))
    for label, size in payloads.BODY_SIZES.items():
        cases.append(Case(f"get bytes {label}", "binding", "e.bytes", {"e": empty}, configure(size)))
        cases.append(Case(f"set bytes {label}", "binding", "e.bytes = value",
                          {"e": empty, "value": b"x" * size}, configure(size)))

    class Slots:
        __slots__ = ("value",)

    slots = Slots()
    slots.value = 2
    cases.append(Case("__slots__ attribute", "binding", "s.value", {"s": slots}))

    return cases


def peer_cases(vendor_site):
    import orjson
    import zelmsg

    sys.path.insert(0, vendor_site)
    from solace.messaging.config.solace_properties import (authentication_properties, message_properties,
                                                           service_properties, transport_layer_properties)
    from solace.messaging.messaging_service import MessagingService
    from solace.messaging.utils.converter import ObjectToBytes

    # A service is what hands out message builders; it is built, never connected.
    service = MessagingService.builder().from_properties({
        transport_layer_properties.HOST: "127.0.0.1",
        service_properties.VPN_NAME: "default",
        authentication_properties.SCHEME_BASIC_USER_NAME: "bench",
        authentication_properties.SCHEME_BASIC_PASSWORD: "bench",
    }).build()

    class Json(ObjectToBytes):
        def to_bytes(self, src):
            return orjson.dumps(src)

    # The same properties as zelmsg's message: class of service 2 (the vendor numbers it
    # from 0) and the content type that zelmsg's json setter writes into the user
    # property map. The vendor's builder has no delivery mode: its publisher sets one.
    properties = {message_properties.CLASS_OF_SERVICE: 1, "ct": "json"}
    converter = Json()
    per_message = service.message_builder()
    preset = service.message_builder().from_properties(properties)

    check = preset.build(payloads.SMALL, converter=converter)
    assert check.get_class_of_service() == 1 and orjson.loads(check.get_payload_as_bytes()) == payloads.SMALL
    zcheck = zelmsg.ZelMsg()
    zcheck.delivery_mode = zelmsg.Persistent
    zcheck.cos = 2
    zcheck.json = payloads.SMALL
    dumps = {"vendor": str(check), "zelmsg": repr(zcheck)}

    cases = []
    for label, value in payloads.DICTS.items():
        cases.append(Case(f"zelmsg {label}", "peer",
                          "m = ZelMsg(); m.delivery_mode = mode; m.cos = 2; m.json = value",
                          {"ZelMsg": zelmsg.ZelMsg, "mode": zelmsg.Persistent, "value": value}))
        cases.append(Case(f"vendor, properties per message {label}", "peer",
                          "m = builder.from_properties(properties).build(value, converter=converter)",
                          {"builder": per_message, "properties": properties, "value": value,
                           "converter": converter}))
        cases.append(Case(f"vendor, preset builder {label}", "peer",
                          "m = builder.build(value, converter=converter)",
                          {"builder": preset, "value": value, "converter": converter}))
        # The same message made by ZelMsg.build, which also sets a destination (the vendor's
        # publisher, not its builder, takes one).
        cases.append(Case(f"zelmsg build {label}", "peer", BUILD,
                          {"ZelMsg": zelmsg.ZelMsg, "dest": zelmsg.Destination(payloads.TOPIC),
                           "mode": zelmsg.Persistent, "value": value}))

    # A message with ten user properties and a 64-byte body. The vendor's builder refuses
    # bytes, as a property and as a payload, and takes a bytearray (a BYTEARRAY field either
    # way); it has no Int16, whose value it writes as an INT64.
    properties = payloads.properties(zelmsg.Int16)
    vendor_properties = {**payloads.properties(), "token": bytearray(properties["token"])}
    body = b"x" * payloads.BODY_SIZES["64 B"]
    with_property = "m = builder" + "".join(f".with_property(k{i}, v{i})" for i in range(len(vendor_properties)))
    pairs = {name: item for i, (key, value) in enumerate(vendor_properties.items())
             for name, item in ((f"k{i}", key), (f"v{i}", value))}
    cases.append(Case("zelmsg 10 user properties", "peer", "m = ZelMsg(); m.user_properties = value; m.body = body",
                      {"ZelMsg": zelmsg.ZelMsg, "value": properties, "body": body}))
    cases.append(Case("vendor, from_properties 10 user properties", "peer",
                      "m = builder.from_properties(properties).build(body)",
                      {"builder": service.message_builder(), "properties": vendor_properties,
                       "body": bytearray(body)}))
    cases.append(Case("vendor, with_property 10 user properties", "peer", with_property + ".build(body)",
                      {"builder": service.message_builder(), **pairs, "body": bytearray(body)}))
    vendor_check = service.message_builder().from_properties(vendor_properties).build(bytearray(body))
    assert vendor_check.get_properties() == {**vendor_properties, "lines": 2}
    zcheck = zelmsg.ZelMsg()
    zcheck.user_properties = properties
    assert dict(zcheck.user_properties) == properties
    return cases, dumps


def capi_cases(module_path):
    """zelmsg's C API as native code calls it: handle() on a message, and a message that
    the library allocated adopted and released, beside ZelMsg() called and released."""
    import zelmsg

    sys.path.insert(0, os.path.dirname(module_path))
    import native_example

    assert os.path.samefile(native_example.__file__, module_path)
    msg = zelmsg.ZelMsg()
    return [Case("handle()", "capi", "time_handle(msg, n)", {}, timer=lambda n: native_example.time_handle(msg, n)),
            Case("adopt() + release", "capi", "time_adopt(n)", {}, timer=native_example.time_adopt),
            Case("ZelMsg() + release", "capi", "time_new(n)", {}, timer=native_example.time_new)]


def summary(samples):
    quartiles = statistics.quantiles(samples, n=4, method="inclusive")
    return {"median": statistics.median(samples), "p25": quartiles[0], "p75": quartiles[2],
            "min": min(samples), "max": max(samples), "count": len(samples)}


def versions():
    from importlib import metadata

    found = {}
    for name in ("zelmsg", "pybind11", "orjson", "msgpack", "solace-pubsubplus"):
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            pass
    return found


def loaded_libraries():
    with open("/proc/self/maps") as maps:
        return sorted({line.split()[-1] for line in maps if "libsolclient" in line})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--role", choices=("zelmsg", "floor", "peer", "capi"), required=True)
    parser.add_argument("--floor-dir")
    parser.add_argument("--repr-lengths", default="", help="lengths of zelmsg's dumps, for the floor")
    parser.add_argument("--smf-lengths", default="", help="lengths of zelmsg's encodings, for the floor")
    parser.add_argument("--vendor-site")
    parser.add_argument("--module", help="the example module built by scripts/native-example")
    parser.add_argument("--rounds", type=int, default=50)
    parser.add_argument("--sample-ms", type=float, default=5.0)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    extra = {}
    if args.role == "zelmsg":
        cases = zelmsg_cases()
    elif args.role == "floor":
        cases = floor_cases(args.floor_dir, [int(n) for n in args.repr_lengths.split(",") if n],
                            [int(n) for n in args.smf_lengths.split(",") if n])
    elif args.role == "capi":
        cases = capi_cases(args.module)
    else:
        cases, extra["dumps"] = peer_cases(args.vendor_site)
    # Collection off while timing, as timeit does, except for whole messages: there the
    # collector's share is part of what a user pays, on both sides.
    if args.role != "peer":
        gc.collect()
        gc.disable()
    loop_ns = measure(cases, args.rounds, args.sample_ms * 1e6)
    result = {
        "role": args.role,
        "python": sys.version.split()[0],
        "libraries": loaded_libraries(),
        "versions": versions(),
        "unroll": UNROLL,
        "loop_ns": loop_ns,
        "rounds": args.rounds,
        "sample_ms": args.sample_ms,
        "cases": {f"{case.group}:{case.name}": {"group": case.group, "name": case.name, "stmt": case.stmt,
                                                 "iterations": case.iterations * UNROLL, **case.info,
                                                 **summary(case.samples), "samples": case.samples}
                  for case in cases},
        **extra,
    }
    with open(args.out, "w") as out:
        json.dump(result, out, indent=1)


if __name__ == "__main__":
    main()
