"""zelmsg's benchmark: every operation against its floors and against the vendor's API.

scripts/bench builds what this needs and runs it; it runs, in one go:
  - the native floors (library_floor_*): each operation's libsolclient calls timed from
    C++ with Google Benchmark, on the stand-in and on the genuine library;
  - bench/measure.py in .venv-standin (stand-in) and in .venv (genuine library): every
    zelmsg operation, and the codecs called directly;
  - bench/measure.py for the binding's floor, in a process without zelmsg: the empty
    pybind11 properties and methods of binding_floor, a __slots__ attribute, and the
    Python objects that operations make or read, through the C API in C loops;
  - bench/measure.py as the peer, in .venv with the vendor's package on the path:
    one outbound message built by zelmsg and by the vendor's message builder, and one
    with ten user properties;
  - bench/measure.py for zelmsg's C API in both environments: the C loops of the example
    module examples/native, built against each zelmsg (--standin-capi, --genuine-capi);
  - python -X importtime -c "import zelmsg" in fresh processes, in both environments;
  - bench/memory.py in both environments (10^6 uses of each operation);
then prints the tables and writes results.json and results.png into --out-dir.

Times are process CPU time per operation, in ns: the median over the samples, with the
spread as the interquartile range. Floors:
  property   the library's calls + the empty pybind11 property of the same shape
  json, msgpack  the codec called directly + the library's calls + one copy of the body
             (a read copies the attachment out; a write's copy is the library's own)
  user properties, map, copy, wire
             the library's calls + the empty pybind11 calls the statement makes (dict(v):
             keys() and one __getitem__ per key) + the same Python objects made or read
             through the C API; from_smf adds allocating the ZelMsg around the message
             (the C API's adopt() + release, less the library's alloc + free)
Overhead is zelmsg minus its floor. ZelMsg.build is held to the same attributes set one
by one on ZelMsg(), both zelmsg. The C API has no floor: handle() is held to a bound
in ns, and adopt() + release to ZelMsg() + release. The targets are reported, never
enforced: the exit status says only whether every part could be measured.
"""

import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import payloads  # noqa: E402

PROPERTY_TARGET = 1.3
CODEC_TARGET = 1.15
PEER_TARGET = 20.0
BUILD_TARGET = 0.9
HANDLE_TARGET = 10.0
LIBRARIES = ("standin", "genuine")
LIBRARY_NAMES = {"standin": "stand-in", "genuine": "genuine"}


def log(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------
# What each operation is compared with.

def operation(op, kind, native, binding=None, codec=None, objects=(), adopt=False, group=None):
    """One row of the comparison. kind: "property" (held to PROPERTY_TARGET), "codec" (to
    CODEC_TARGET) or "other" (no target); group: the part of the surface it belongs to, for
    the summary. Its floor adds up: native, names of library_floor benchmarks (the library's
    calls); binding, a case of the floor role (the empty pybind11 call or calls of the same
    shape); objects, its "objects" cases (the same Python objects made or read through the C
    API); adopt, the C API's adopt() + release less the library's alloc + free (allocating
    the ZelMsg around a message the library made); codec, the codec called directly."""
    return {"op": op, "kind": kind, "native": list(native), "binding": binding, "codec": codec,
            "objects": list(objects), "adopt": adopt, "group": group or kind}


def operations(sizes, smf_lengths):
    """Every row, in table order."""
    def get_and_set(shapes, group="property"):
        return [operation(f"{verb} {name}", "property", [f"{verb} {name}"], f"{verb} {shape}", group=group)
                for name, shape in shapes.items() for verb in ("get", "set")]

    def text(value):
        return f"optional str {len(value)} chars"

    ops = [operation("ZelMsg()", "other", ["ZelMsg()"], "Empty()"),
           # Emptying a message for reuse, which should cost less than a new one.
           operation("reset()", "other", ["reset()"], "method")]
    ops += get_and_set({"dest": "Destination", "reply2": "Destination", "is_reply": "bool",
                        "delivery_mode": "enum", "content_type": "str", "elide": "bool", "cos": "unsigned"})
    for name in ("is_request", "is_p2p"):
        ops.append(operation(f"get {name}", "property", [f"get {name}"], "get bool read-only"))
    ops += get_and_set({"dmq_eligible": "bool", "ttl": "int64", "priority": "optional int32",
                        "correlation_id": text(payloads.CORRELATION_ID),
                        "application_message_id": text(payloads.APPLICATION_MESSAGE_ID),
                        "sender_timestamp": "optional int64", "sequence_number": "optional uint64",
                        "text": text(payloads.TEXT)})
    for label, size in payloads.BODY_SIZES.items():
        ops.append(operation(f"get body {label}", "property", [f"get attachment/{size}"], f"get bytes {label}"))
        ops.append(operation(f"set body {label}", "property", [f"set attachment/{size}"], f"set bytes {label}"))
    for codec in ("json", "msgpack"):
        for label in payloads.DICTS:
            size = sizes[(codec, label)]
            # A read asks the library for the attachment and copies it out once; a write
            # tags the content type and hands the encoding over, which the library copies.
            ops.append(operation(f"get {codec} {label}", "codec", [f"get attachment/{size}", f"copy/{size}"],
                                 "get dict", f"{codec} loads {label}"))
            ops.append(operation(f"set {codec} {label}", "codec", [f"set tag+attachment/{size}"], "set dict",
                                 f"{codec} dumps {label}"))
    ops.append(operation("repr", "other", ["repr"], "repr"))

    # The rest of the header, and what a receiver learns (read on a sent message: absent).
    header = payloads.HEADER
    ops += get_and_set({"application_message_type": text(header["application_message_type"]),
                        "sender_id": text(header["sender_id"]),
                        "http_content_type": text(header["http_content_type"]),
                        "http_content_encoding": text(header["http_content_encoding"]),
                        "expiration": "int64 expiration", "ack_immediately": "bool",
                        "user_data": "optional bytes", "xml": "optional bytes",
                        "correlation_tag": "optional bytes"}, group="header")
    for name in payloads.RECEIVED:
        shape = "get bool read-only" if name in ("redelivered", "discard_indication") else "get optional absent"
        ops.append(operation(f"get {name}", "property", [f"get {name}"], shape, group="header"))

    # User properties and the map payload: library calls, Python objects and the calls the
    # statement makes into the binding.
    ops += [operation("get user_properties", "property", ["get user_properties"], "dict(view)",
                      objects=["read properties"], group="container"),
            operation("set user_properties", "property", ["set user_properties"], "set dict",
                      objects=["write properties"], group="container"),
            operation("get user property", "property", ["get user property"], "view[key]",
                      objects=["read property"], group="container"),
            operation("set user property", "property", ["set user property"], "view[key] = value",
                      objects=["write property"], group="container"),
            operation("get map", "property", ["get map"], "get dict", objects=["read map"], group="container"),
            operation("set map", "property", ["set map"], "set dict", objects=["write properties"],
                      group="container")]

    # Copies, and the wire (genuine library only).
    ops.append(operation("__copy__", "property", ["__copy__"], "Empty()", group="message"))
    for label, size in payloads.WIRE_SIZES.items():
        if label in smf_lengths:
            ops.append(operation(f"to_smf {label}", "property", [f"to_smf/{size}"], "method",
                                 objects=[f"bytes {smf_lengths[label]}"], group="wire"))
            ops.append(operation(f"from_smf {label}", "property", [f"from_smf/{size}"], "classmethod", adopt=True,
                                 group="wire"))
    return ops


def smf_lengths(measured):
    """{body label: length of its encoding}, from whichever zelmsg could encode."""
    lengths = {}
    for run in measured.values():
        for label in payloads.WIRE_SIZES:
            case = run["cases"].get(f"zelmsg:to_smf {label}")
            if case:
                lengths[label] = case["length"]
    return lengths


def repr_floor(measured):
    return f"repr {measured['cases']['zelmsg:repr']['length']} chars"


# ---------------------------------------------------------------------------------------
# Running the parts.

def summary(samples):
    quartiles = statistics.quantiles(samples, n=4, method="inclusive") if len(samples) > 1 else [samples[0]] * 3
    return {"median": statistics.median(samples), "p25": quartiles[0], "p75": quartiles[2],
            "min": min(samples), "max": max(samples), "count": len(samples)}


def run_native(executable, sizes, dump_body, repetitions, workdir):
    out = os.path.join(workdir, os.path.basename(executable) + ".json")
    properties = os.path.join(workdir, "properties")
    with open(properties, "w") as file:
        # Any int subclass stands for zelmsg's Int16 here.
        file.write("\n".join(payloads.describe(payloads.properties(type("Int16", (int,), {})))) + "\n")
    header = payloads.HEADER
    command = [executable, "--sizes=" + ",".join(str(size) for size in sizes), "--dump-body=" + dump_body,
               "--properties=" + properties, "--property-key=" + payloads.PROPERTY_KEY,
               "--property-value=" + payloads.PROPERTY_VALUE,
               "--wire-sizes=" + ",".join(str(size) for size in payloads.WIRE_SIZES.values()),
               "--application-message-type=" + header["application_message_type"],
               "--sender-id=" + header["sender_id"], "--http-content-type=" + header["http_content_type"],
               "--http-content-encoding=" + header["http_content_encoding"],
               f"--expiration={header['expiration']}", "--user-data=" + header["user_data"].hex(),
               "--xml=" + header["xml"].hex(), "--correlation-tag=" + header["correlation_tag"].hex(),
               "--topic=" + payloads.TOPIC, "--reply-queue=" + payloads.REPLY_QUEUE,
               "--content-type=" + payloads.CONTENT_TYPE, "--correlation-id=" + payloads.CORRELATION_ID,
               "--application-message-id=" + payloads.APPLICATION_MESSAGE_ID, "--text=" + payloads.TEXT,
               f"--ttl={payloads.TTL_MS}", f"--priority={payloads.PRIORITY}",
               f"--sender-timestamp={payloads.SENDER_TIMESTAMP_MS}", f"--sequence-number={payloads.SEQUENCE_NUMBER}",
               f"--benchmark_repetitions={repetitions}", "--benchmark_min_time=0.01",
               "--benchmark_enable_random_interleaving=true", "--benchmark_out_format=json",
               f"--benchmark_out={out}"]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:
        sys.stderr.write(done.stdout + done.stderr)
        raise SystemExit(f"bench: {executable} failed with status {done.returncode}")
    with open(out) as file:
        report = json.load(file)
    samples = {}
    for entry in report["benchmarks"]:
        if entry.get("run_type") != "iteration":
            continue
        assert entry["time_unit"] == "ns"
        samples.setdefault(entry["run_name"], []).append(entry["cpu_time"])
    return {name: {**summary(values), "samples": values} for name, values in samples.items()}


def run_measure(python, role, tag, workdir, args, extra):
    out = os.path.join(workdir, f"measure-{role}-{tag}.json")
    command = [python, os.path.join(HERE, "measure.py"), "--role", role, "--rounds", str(args.rounds),
               "--sample-ms", str(args.sample_ms), "--out", out, *extra]
    subprocess.run(command, check=True)
    with open(out) as file:
        return json.load(file)


def run_memory(python, iterations):
    """bench/memory.py's verdict (its exit status) and, per operation, the resident
    memory it printed: the first three numbers of each row (before, after, growth)."""
    command = [python, os.path.join(HERE, "memory.py"), "--iterations", str(iterations)]
    done = subprocess.run(command, capture_output=True, text=True)
    rows, in_table = [], False
    for line in done.stdout.splitlines():
        if line.lstrip().startswith("operation"):
            in_table = True
            continue
        match = re.match(r"^(\S.*?)\s{2,}(-?\d+)\s+(-?\d+)\s+(-?\d+)(.*)$", line) if in_table else None
        if match:
            rows.append({"operation": match[1].strip(), "before_kib": int(match[2]), "after_kib": int(match[3]),
                         "growth_kib": int(match[4]), "rest": " ".join(match[5].split())})
        elif in_table and not line.strip():
            in_table = bool(not rows)
    verdict = [line for line in done.stdout.splitlines() if line.strip()][-1:] or [""]
    return {"flat": done.returncode == 0 and bool(rows), "exit_status": done.returncode, "rows": rows,
            "verdict": verdict[0], "iterations": iterations, "output": done.stdout + done.stderr}


# ---------------------------------------------------------------------------------------
# Deriving the comparison.

def derive(measured, floor, native, sizes, lengths, capi=None):
    """Rows of the table for one library; a row its library cannot do is left out."""
    cases = measured["cases"]
    floors = floor["cases"]
    rows = []
    for entry in operations(sizes, lengths):
        op, kind = entry["op"], entry["kind"]
        zelmsg = cases.get(f"zelmsg:{op}")
        if zelmsg is None or any(part not in native for part in entry["native"]):
            continue
        library = sum(native[part]["median"] for part in entry["native"])
        binding = repr_floor(measured) if entry["binding"] == "repr" else entry["binding"]
        binding_ns = floors[f"binding:{binding}"]["median"] if binding else None
        codec_ns = cases[f"codec:{entry['codec']}"]["median"] if entry["codec"] else None
        objects_ns = sum(floors[f"objects:{name}"]["median"] for name in entry["objects"]) if entry["objects"] else None
        if entry["adopt"]:
            # Allocating the ZelMsg around a message: the C API's adopt() and release, less
            # the library's own alloc and free in it.
            if not capi:
                continue
            objects_ns = (objects_ns or 0) + capi["cases"]["capi:adopt() + release"]["median"] - native["ZelMsg()"]["median"]
        # The codec target's floor leaves the property's own dispatch out; the ratio with
        # it in (the empty dict property) is given beside it.
        if kind == "codec":
            total = library + codec_ns
            with_binding = zelmsg["median"] / (total + binding_ns)
        else:
            total = library + (binding_ns or 0) + (objects_ns or 0)
            with_binding = None
        target = {"property": PROPERTY_TARGET, "codec": CODEC_TARGET}.get(kind)
        ratio = zelmsg["median"] / total
        rows.append({"operation": op, "kind": kind, "group": entry["group"],
                     "zelmsg": {k: zelmsg[k] for k in ("median", "p25", "p75")},
                     "library_calls": entry["native"], "library_ns": library, "binding_floor": binding,
                     "binding_ns": binding_ns, "objects_floor": entry["objects"] + (["adopt"] if entry["adopt"] else []),
                     "objects_ns": objects_ns, "codec_floor": entry["codec"], "codec_ns": codec_ns, "floor_ns": total,
                     "overhead_ns": zelmsg["median"] - total, "ratio": ratio, "target": target,
                     "met": None if target is None else ratio <= target,
                     "ratio_with_binding": with_binding})
    return rows


def derive_build(measured):
    """ZelMsg.build against the same attributes set one by one, both in zelmsg."""
    cases = measured["cases"]
    build = cases["build:build, 4 attributes"]
    one_by_one = cases["build:one by one, 4 attributes"]
    ratio = build["median"] / one_by_one["median"]
    return {"build": {k: build[k] for k in ("median", "p25", "p75")},
            "one_by_one": {k: one_by_one[k] for k in ("median", "p25", "p75")},
            "ratio": ratio, "target": BUILD_TARGET, "met": ratio <= BUILD_TARGET}


def derive_peer(peer, floor, measured, native, sizes):
    """The per-message comparison, with zelmsg's own floor for the same message: the
    library's calls, the binding's four operations and the encoding. Then, with no floor
    and no target, the same message made by ZelMsg.build, and a message with ten user
    properties against the vendor's two ways of giving them."""
    rows = []
    cases = peer["cases"]
    floors = floor["cases"]

    def row(message, zelmsg_case, variant, vendor_case, zelmsg_floor=None, target=None):
        zelmsg = cases[f"peer:{zelmsg_case}"]["median"]
        vendor = cases[f"peer:{vendor_case}"]["median"]
        rows.append({"payload": message, "vendor_variant": variant, "zelmsg_case": zelmsg_case,
                     "vendor_case": vendor_case, "zelmsg_ns": zelmsg, "vendor_ns": vendor,
                     "zelmsg_floor_ns": zelmsg_floor, "speedup": vendor / zelmsg,
                     "speedup_at_floor": vendor / zelmsg_floor if zelmsg_floor else None,
                     "target": target, "met": None if target is None else vendor / zelmsg >= target})

    binding = sum(floors[f"binding:{name}"]["median"] for name in ("Empty()", "set enum", "set unsigned", "set dict"))
    for label in payloads.DICTS:
        library = native[f"build message/{sizes[('json', label)]}"]["median"]
        zelmsg_floor = library + binding + measured["cases"][f"codec:json dumps {label}"]["median"]
        for variant in ("properties per message", "preset builder"):
            row(label, f"zelmsg {label}", variant, f"vendor, {variant} {label}", zelmsg_floor, PEER_TARGET)
    for label in payloads.DICTS:
        for variant in ("properties per message", "preset builder"):
            row(f"{label}, ZelMsg.build", f"zelmsg build {label}", variant, f"vendor, {variant} {label}")
    for variant in ("from_properties", "with_property"):
        row("10 user properties", "zelmsg 10 user properties", variant, f"vendor, {variant} 10 user properties")
    return rows


def import_times(python, runs):
    """zelmsg's import in fresh processes, as -X importtime reports it: its own time and
    the cumulative one (what it imports and initialises), in microseconds."""
    own, cumulative = [], []
    for _ in range(runs):
        done = subprocess.run([python, "-X", "importtime", "-c", "import zelmsg"], capture_output=True, text=True,
                              check=True)
        line = next(line for line in done.stderr.splitlines() if line.rstrip().endswith("| zelmsg"))
        fields = [field.strip() for field in line.split(":", 1)[1].split("|")]
        own.append(int(fields[0]))
        cumulative.append(int(fields[1]))
    return {"own_us": summary(own), "cumulative_us": summary(cumulative), "runs": runs}


def derive_capi(capi):
    """The C API's figures for one library, as the example module's C loops timed them."""
    cases = capi["cases"]
    entries = {name: {k: cases[f"capi:{name}"][k] for k in ("median", "p25", "p75")}
               for name in ("handle()", "adopt() + release", "ZelMsg() + release")}
    handle = entries["handle()"]["median"]
    ratio = entries["adopt() + release"]["median"] / entries["ZelMsg() + release"]["median"]
    return {"calls": entries, "handle_target_ns": HANDLE_TARGET, "handle_met": handle < HANDLE_TARGET,
            "adopt_ratio": ratio, "adopt_met": ratio <= 1.0}


# ---------------------------------------------------------------------------------------
# Output.

def ns(value):
    if value is None:
        return "-"
    if abs(value) >= 10000:
        return f"{value / 1000:.1f}k"
    if abs(value) >= 100:
        return f"{value:.0f}"
    return f"{value:.1f}"


def spread(entry):
    return f"{ns(entry['median'])} [{ns(entry['p25'])}-{ns(entry['p75'])}]"


def format_table(headers, rows, align=None):
    align = align or ["<"] + [">"] * (len(headers) - 1)
    widths = [max(len(str(x)) for x in column) for column in zip(headers, *rows)]
    line = lambda cells: "| " + " | ".join(f"{str(c):{a}{w}}" for c, a, w in zip(cells, align, widths)) + " |"
    rule = "|" + "|".join((":" if a == "<" else "") + "-" * (w + 1) + (":" if a == ">" else "-")
                          for a, w in zip(align, widths)) + "|"
    return "\n".join([line(headers), rule] + [line(row) for row in rows])


def main_table(result):
    derived = result["derived"]
    primary = "genuine" if "genuine" in derived else "standin"
    name = LIBRARY_NAMES[primary]
    both = primary == "genuine" and "standin" in derived
    standin = {row["operation"]: row for row in derived.get("standin", [])} if both else {}
    rows = []
    for row in derived[primary]:
        cells = [row["operation"]]
        other = standin.get(row["operation"])
        if both:
            cells.append(spread(other["zelmsg"]) if other else "-")
        with_binding = row["ratio_with_binding"]
        met = [row["met"]] + ([other["met"]] if other else [])
        cells += [spread(row["zelmsg"]), ns(row["library_ns"]), ns(row["binding_ns"]), ns(row["objects_ns"]),
                  ns(row["codec_ns"]), ns(row["overhead_ns"]), f"{row['ratio']:.2f}",
                  f"{with_binding:.2f}" if with_binding is not None else "-"]
        if both:
            cells.append(f"{other['ratio']:.2f}" if other else "-")
        cells += [f"<= {row['target']}" if row["target"] else "-",
                  "-" if row["target"] is None else ("yes" if all(met) else "NO")]
        rows.append(cells)
    headers = ["operation"] + (["zelmsg, stand-in"] if both else [])
    headers += [f"zelmsg, {name}", f"{name} library calls", "empty binding", "Python objects", "codec alone",
                "overhead", "ratio to floor", "with property"]
    headers += ["stand-in ratio"] if both else []
    headers += ["target", "met"]
    return format_table(headers, rows)


def build_table(result):
    """ZelMsg.build against the same four attributes set one by one, on each library."""
    rows = []
    for library, build in result["derived_build"].items():
        rows.append([LIBRARY_NAMES[library], spread(build["build"]), spread(build["one_by_one"]),
                     f"{build['ratio']:.2f}", f"<= {build['target']}", "yes" if build["met"] else "NO"])
    return format_table(["library", "ZelMsg.build(4 attributes)", "ZelMsg() and 4 set one by one", "ratio",
                         "target", "met"], rows)


def beside_table(result):
    """The map payload beside json and msgpack, for the same ten entries."""
    rows = []
    for verb in ("get", "set"):
        for what, case in ((f"{verb} map", f"zelmsg:{verb} map"), (f"{verb} json", f"beside:{verb} json 10 mixed"),
                           (f"{verb} msgpack", f"beside:{verb} msgpack 10 mixed")):
            rows.append([what] + [spread(result["measured"][library]["cases"][case]) for library in LIBRARIES
                                  if library in result["measured"]])
    return format_table(["10 mixed entries"] + [f"zelmsg, {LIBRARY_NAMES[library]}" for library in LIBRARIES
                                                if library in result["measured"]], rows)


def import_table(result):
    rows = []
    for library, times in result["import"].items():
        rows.append([LIBRARY_NAMES[library], spread(times["cumulative_us"]), spread(times["own_us"]),
                     str(times["runs"])])
    return format_table(["library", "import zelmsg, us (cumulative)", "zelmsg itself, us", "processes"], rows)


def peer_table(result):
    cases = result["peer"]["cases"]
    rows = []
    for row in result["derived_peer"]:
        zelmsg = cases[f"peer:{row['zelmsg_case']}"]
        vendor = cases[f"peer:{row['vendor_case']}"]
        rows.append([row["payload"], spread(zelmsg), ns(row["zelmsg_floor_ns"]), row["vendor_variant"], spread(vendor),
                     f"{row['speedup']:.1f}x",
                     f"{row['speedup_at_floor']:.1f}x" if row["speedup_at_floor"] else "-",
                     f">= {row['target']:.0f}x" if row["target"] else "-",
                     "-" if row["met"] is None else ("yes" if row["met"] else "NO")])
    return format_table(["message", "zelmsg", "zelmsg's floor", "vendor's builder", "vendor", "zelmsg faster by",
                         "at zelmsg's floor", "target", "met"], rows, ["<", ">", ">", "<", ">", ">", ">", ">", ">"])


def capi_table(result):
    derived = result["derived_capi"]
    libraries = [library for library in LIBRARIES if library in derived]
    both = lambda key: "yes" if all(derived[library][key] for library in libraries) else "NO"
    calls = lambda name: [spread(derived[library]["calls"][name]) for library in libraries]
    rows = [["handle()"] + calls("handle()") + [f"< {HANDLE_TARGET:.0f} ns", both("handle_met")],
            ["adopt() + release"] + calls("adopt() + release") + ["<= ZelMsg() + release", both("adopt_met")],
            ["ZelMsg() + release"] + calls("ZelMsg() + release") + ["-", "-"],
            ["adopt() / ZelMsg()"] + [f"{derived[library]['adopt_ratio']:.2f}" for library in libraries]
            + ["<= 1.00", both("adopt_met")]]
    return format_table(["C API"] + [LIBRARY_NAMES[library] for library in libraries] + ["target", "met"], rows)


def floors_table(result):
    rows = [[f"binding: {case['name']}", "-", spread(case)] for case in result["floor"]["cases"].values()]
    for library in LIBRARIES:
        for case in result["measured"].get(library, {"cases": {}})["cases"].values():
            if case["group"] == "codec":
                rows.append([f"codec: {case['name']}", f"{LIBRARY_NAMES[library]} process", spread(case)])
    for library in LIBRARIES:
        for name, entry in sorted(result["native"].get(library, {}).items()):
            rows.append([f"library call: {name}", LIBRARY_NAMES[library], spread(entry)])
    return format_table(["floor", "library", "ns"], rows, ["<", "<", ">"])


def memory_table(result):
    libraries = [library for library in LIBRARIES if library in result["memory"]]
    growth = {library: {row["operation"]: row["growth_kib"] for row in result["memory"][library]["rows"]}
              for library in libraries}
    names = list(dict.fromkeys(name for library in libraries for name in growth[library]))
    rows = [[name] + [str(growth[library].get(name, "-")) for library in libraries] for name in names]
    return format_table(["operation"] + [f"resident growth KiB, {LIBRARY_NAMES[l]}" for l in libraries], rows)


def targets_summary(result):
    lines = []
    for library in LIBRARIES:
        rows = result["derived"].get(library)
        if not rows:
            continue
        groups = {"property": ("properties", PROPERTY_TARGET), "codec": ("json and msgpack", CODEC_TARGET),
                  "header": ("the rest of the header", PROPERTY_TARGET),
                  "container": ("user properties and map", PROPERTY_TARGET),
                  "message": ("copy", PROPERTY_TARGET), "wire": ("the wire", PROPERTY_TARGET)}
        for group, (label, target) in groups.items():
            chosen = [row for row in rows if row["group"] == group]
            if not chosen:
                continue
            missed = [f"{row['operation']} ({row['ratio']:.2f})" for row in chosen if not row["met"]]
            worst = max(chosen, key=lambda row: row["ratio"])
            lines.append(f"{LIBRARY_NAMES[library]}: {label}, ratio <= {target}: "
                         f"{len(chosen) - len(missed)}/{len(chosen)} met, worst {worst['operation']} "
                         f"{worst['ratio']:.2f}" + (f"; missed: {', '.join(missed)}" if missed else ""))
        build = result["derived_build"].get(library)
        if build:
            lines.append(f"{LIBRARY_NAMES[library]}: ZelMsg.build {build['ratio']:.2f}x the attributes set one by one "
                         f"(target <= {build['target']}): " + ("met" if build["met"] else "missed"))
    for library, capi in result["derived_capi"].items():
        lines.append(f"{LIBRARY_NAMES[library]}: C API handle() {capi['calls']['handle()']['median']:.1f} ns "
                     f"(target < {HANDLE_TARGET:.0f}): " + ("met" if capi["handle_met"] else "missed")
                     + f"; adopt() + release {capi['adopt_ratio']:.2f}x ZelMsg() + release (target <= 1): "
                     + ("met" if capi["adopt_met"] else "missed"))
    for row in result.get("derived_peer", []):
        lines.append(f"build a message ({row['payload']}), vendor {row['vendor_variant']}: "
                     f"{row['speedup']:.1f}x faster" + ("" if row["target"] is None else
                                                        f" (target >= {row['target']:.0f}x): "
                                                        + ("met" if row["met"] else "missed")))
    for library, times in result["import"].items():
        lines.append(f"{LIBRARY_NAMES[library]}: import zelmsg {times['cumulative_us']['median'] / 1000:.1f} ms "
                     f"(median of {times['runs']} processes, -X importtime cumulative)")
    for library, memory in result["memory"].items():
        grown = max(memory["rows"], key=lambda row: row["growth_kib"]) if memory["rows"] else None
        lines.append(f"memory flat over {memory['iterations']} uses of each operation, {LIBRARY_NAMES[library]}: "
                     + ("yes" if memory["flat"] else "NO")
                     + (f" (largest resident growth {grown['growth_kib']} KiB, {grown['operation']})" if grown else "")
                     + f"; bench/memory.py: {memory['verdict']}")
    return "\n".join(lines)


def chart(result, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    primary = "genuine" if "genuine" in result["derived"] else "standin"
    rows = result["derived"][primary]
    names = [row["operation"] for row in rows]
    peer = result.get("derived_peer", [])
    figure, axes = plt.subplots(1, 3 if peer else 2, figsize=(22 if peer else 16, max(12, 0.38 * len(rows))),
                                gridspec_kw={"width_ratios": [3, 2, 2] if peer else [3, 2]})
    positions = list(range(len(rows)))[::-1]
    height = 0.38

    # Times: zelmsg beside its floor, whose library share is drawn over it.
    times = axes[0]
    upper = [p + height / 2 for p in positions]
    lower = [p - height / 2 for p in positions]
    floor_total = [row["floor_ns"] + (row["binding_ns"] if row["kind"] == "codec" else 0) for row in rows]
    times.barh(upper, floor_total, height, color="#c6dbef",
               label="floor: library calls + empty pybind11 calls (+ Python objects from C, or codec called directly)")
    times.barh(upper, [row["library_ns"] for row in rows], height, color="#6baed6",
               label=f"of which the {LIBRARY_NAMES[primary]} library's calls, timed from C++")
    errors = [[row["zelmsg"]["median"] - row["zelmsg"]["p25"] for row in rows],
              [row["zelmsg"]["p75"] - row["zelmsg"]["median"] for row in rows]]
    times.barh(lower, [row["zelmsg"]["median"] for row in rows], height, xerr=errors, color="#e6550d",
               label=f"zelmsg on the {LIBRARY_NAMES[primary]} library (median, interquartile range)")
    times.set_xscale("log")
    times.set_yticks(positions, names)
    times.set_ylim(-1, len(rows))
    times.set_xlabel("ns per operation (process CPU time)")
    times.set_title("zelmsg and its floor")
    times.legend(loc="upper center", bbox_to_anchor=(0.5, -0.05), fontsize=8)
    times.grid(axis="x", which="both", alpha=0.3)

    # Ratios, with each row's own target.
    ratios = axes[1]
    for offset, library, colour in ((height / 2, "standin", "#74c476"), (-height / 2, "genuine", "#e6550d")):
        if library in result["derived"]:
            # A library may lack rows (the stand-in has no wire encoding): matched by name.
            found = {row["operation"]: row["ratio"] for row in result["derived"][library]}
            shown = [(p, found[name]) for p, name in zip(positions, names) if name in found]
            ratios.barh([p + offset for p, _ in shown], [r for _, r in shown],
                        height, color=colour, label=f"{LIBRARY_NAMES[library]} library")
    with_binding = [(p, row["ratio_with_binding"]) for p, row in zip(positions, rows) if row["ratio_with_binding"]]
    ratios.scatter([r for _, r in with_binding], [p - height / 2 for p, _ in with_binding], marker="o",
                   facecolors="none", edgecolors="black", zorder=3,
                   label=f"{LIBRARY_NAMES[primary]}, floor with the empty property")
    for position, row in zip(positions, rows):
        if row["target"]:
            ratios.plot([row["target"]] * 2, [position - 0.45, position + 0.45], color="black", linewidth=1.5)
    ratios.plot([], [], color="black", linewidth=1.5, label="target")
    ratios.axvline(1.0, color="grey", linewidth=0.5)
    ratios.set_yticks(positions, names)
    ratios.set_ylim(-1, len(rows))
    ratios.set_xlabel("zelmsg / floor (medians)")
    ratios.set_title("ratio to the floor")
    ratios.legend(loc="upper center", bbox_to_anchor=(0.5, -0.05), fontsize=8)
    ratios.grid(axis="x", alpha=0.3)

    if peer:
        build = axes[2]
        labels, values, colours = [], [], []
        for label in dict.fromkeys(row["payload"] for row in peer):
            chosen = [row for row in peer if row["payload"] == label]
            labels.append(f"zelmsg, {label}")
            values.append(chosen[0]["zelmsg_ns"])
            colours.append("#e6550d")
            if chosen[0]["zelmsg_floor_ns"]:
                labels.append(f"zelmsg's floor, {label}")
                values.append(chosen[0]["zelmsg_floor_ns"])
                colours.append("#c6dbef")
            for row in chosen:
                labels.append(f"vendor, {row['vendor_variant']},\n{label}: zelmsg {row['speedup']:.1f}x faster")
                values.append(row["vendor_ns"])
                colours.append("#756bb1")
        where = list(range(len(values)))[::-1]
        build.barh(where, values, color=colours)
        build.set_yticks(where, labels, fontsize=8)
        build.set_xscale("log")
        build.set_xlabel("ns per message built, genuine library")
        build.set_title(f"one outbound message (target {PEER_TARGET:.0f}x, first four)")
        build.grid(axis="x", which="both", alpha=0.3)

    machine = result["machine"]
    figure.suptitle(f"zelmsg benchmark, {time.strftime('%Y-%m-%d', time.gmtime(result['finished']))}: "
                    f"{describe(machine)}; load average {machine['load_start'][0]:.2f} at start, "
                    f"{machine['load_end'][0]:.2f} at end")
    figure.tight_layout(rect=(0, 0, 1, 1 - 0.3 / figure.get_figheight()))
    figure.savefig(path, dpi=110)
    plt.close(figure)


# ---------------------------------------------------------------------------------------

def machine_facts():
    facts = {"cpu": platform.processor() or "unknown CPU", "cores": os.cpu_count(), "kernel": platform.release(),
             "python": platform.python_version(), "load_start": os.getloadavg()}
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    except OSError:
        lscpu = ""
    fields = dict(line.split(":", 1) for line in lscpu.splitlines() if ":" in line)
    fields = {key.strip(): value.strip() for key, value in fields.items()}
    facts["cpu"] = fields.get("Model name", facts["cpu"])
    for key in ("CPU family", "Model", "Hypervisor vendor", "L2 cache", "L3 cache"):
        if key in fields:
            facts[key.lower().replace(" ", "_")] = fields[key]
    try:
        with open("/proc/cpuinfo") as info:
            facts["mhz"] = next(line.split(":", 1)[1].strip() for line in info if line.startswith("cpu MHz"))
    except (OSError, StopIteration):
        pass
    with open("/proc/meminfo") as info:
        facts["memory_gib"] = round(int(info.readline().split()[1]) / 2**20)
    return facts


def describe(machine):
    """The machine in one line."""
    cpu = machine["cpu"]
    if "cpu_family" in machine:
        cpu += f" (family {machine['cpu_family']}, model {machine['model']})"
    where = f", {machine['hypervisor_vendor']} virtual machine" if "hypervisor_vendor" in machine else ""
    return (f"{cpu} at {float(machine.get('mhz', 0)):.0f} MHz, {machine['cores']} cores, {machine['memory_gib']} GiB"
            f"{where}, Linux {machine['kernel']}, Python {machine['python']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor-dir", required=True, help="build folder of bench/floor")
    parser.add_argument("--standin-python", required=True)
    parser.add_argument("--genuine-python", help="omitted when the genuine library is not to be had")
    parser.add_argument("--vendor-site", help="folder holding the vendor's solace-pubsubplus")
    parser.add_argument("--standin-capi", help="examples/native built against .venv-standin's zelmsg")
    parser.add_argument("--genuine-capi", help="examples/native built against .venv's zelmsg")
    parser.add_argument("--out-dir", default=os.path.join(HERE, "results"))
    parser.add_argument("--rounds", type=int, default=50, help="samples per Python operation")
    parser.add_argument("--sample-ms", type=float, default=5.0, help="CPU time of one sample")
    parser.add_argument("--native-repetitions", type=int, default=30)
    parser.add_argument("--memory-iterations", type=int, default=10**6)
    parser.add_argument("--import-runs", type=int, default=30, help="fresh processes that import zelmsg")
    args = parser.parse_args()

    started = time.time()
    result = {"machine": machine_facts(), "settings": {k: v for k, v in vars(args).items()},
              "targets": {"property": PROPERTY_TARGET, "codec": CODEC_TARGET, "peer": PEER_TARGET,
                          "handle_ns": HANDLE_TARGET, "build": BUILD_TARGET},
              "native": {}, "measured": {}, "derived": {}, "derived_build": {}, "capi": {}, "derived_capi": {},
              "import": {}, "memory": {}}
    pythons = {"standin": args.standin_python}
    if args.genuine_python:
        pythons["genuine"] = args.genuine_python
    capi_modules = {library: module for library, module in
                    (("standin", args.standin_capi), ("genuine", args.genuine_capi)) if module and library in pythons}

    sizes = payloads.encoded_sizes()
    result["encoded_sizes"] = {f"{codec} {label}": size for (codec, label), size in sizes.items()}
    attachment_sizes = sorted(set(payloads.BODY_SIZES.values()) | set(sizes.values()))
    import orjson

    with tempfile.TemporaryDirectory() as workdir:
        dump_body = os.path.join(workdir, "dump-body")
        with open(dump_body, "wb") as file:
            file.write(orjson.dumps(payloads.SMALL))
        for library, python in pythons.items():
            log(f"library calls from C++, {LIBRARY_NAMES[library]} library")
            result["native"][library] = run_native(os.path.join(args.floor_dir, f"library_floor_{library}"),
                                                   attachment_sizes, dump_body, args.native_repetitions, workdir)
            log(f"zelmsg's operations and the codecs alone, {LIBRARY_NAMES[library]} library ({python})")
            result["measured"][library] = run_measure(python, "zelmsg", library, workdir, args, [])
        log("empty pybind11 properties, and the Python objects from C")
        lengths = ",".join(str(m["cases"]["zelmsg:repr"]["length"]) for m in result["measured"].values())
        encodings = smf_lengths(result["measured"])
        result["floor"] = run_measure(args.standin_python, "floor", "floor", workdir, args,
                                      ["--floor-dir", args.floor_dir, "--repr-lengths", lengths,
                                       "--smf-lengths", ",".join(str(n) for n in encodings.values())])
        for library, module in capi_modules.items():
            log(f"zelmsg's C API from C, {LIBRARY_NAMES[library]} library ({module})")
            result["capi"][library] = run_measure(pythons[library], "capi", library, workdir, args,
                                                  ["--module", module])
            result["derived_capi"][library] = derive_capi(result["capi"][library])
        for library in pythons:
            result["derived"][library] = derive(result["measured"][library], result["floor"],
                                                result["native"][library], sizes, encodings,
                                                result["capi"].get(library))
            result["derived_build"][library] = derive_build(result["measured"][library])
        if args.genuine_python and args.vendor_site:
            log("one outbound message, zelmsg and the vendor's API")
            result["peer"] = run_measure(args.genuine_python, "peer", "genuine", workdir, args,
                                         ["--vendor-site", args.vendor_site])
            result["derived_peer"] = derive_peer(result["peer"], result["floor"], result["measured"]["genuine"],
                                                 result["native"]["genuine"], sizes)
        if args.import_runs:
            for library, python in pythons.items():
                log(f"import zelmsg, {args.import_runs} fresh processes, {LIBRARY_NAMES[library]} library")
                result["import"][library] = import_times(python, args.import_runs)
        if args.memory_iterations:
            for library, python in pythons.items():
                log(f"resident memory over {args.memory_iterations} uses, {LIBRARY_NAMES[library]} library")
                result["memory"][library] = run_memory(python, args.memory_iterations)

    result["machine"]["load_end"] = os.getloadavg()
    result["machine"]["uptime"] = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    result["finished"] = time.time()
    result["seconds"] = round(result["finished"] - started)

    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, "results.json"), "w") as file:
        json.dump(result, file, indent=1)
    chart(result, os.path.join(args.out_dir, "results.png"))

    machine = result["machine"]
    print(f"\nzelmsg benchmark: {describe(machine)}")
    print(f"load average {machine['load_start'][0]:.2f} at start, {machine['load_end'][0]:.2f} at end "
          f"({machine['uptime']}); {result['seconds']} s")
    print(f"ns per operation, process CPU time: median [interquartile range] of {args.rounds} samples "
          f"(library calls: {args.native_repetitions} repetitions).")
    print("Floor of a property: its library calls timed from C++ + the empty pybind11 property of the same "
          "shape. Floor of json/msgpack: the codec called directly + the library calls + one copy of the body; "
          "'with property' adds the empty dict property to it. Overhead: zelmsg minus its floor. Encoded sizes: "
          + ", ".join(f"{name} {size} B" for name, size in result["encoded_sizes"].items()) + ".\n")
    print(main_table(result))
    print("\nUser properties, map, copy and wire rows: floor = their library calls + the empty pybind11 calls the "
          "statement makes + the same Python objects made or read through the C API (from_smf: allocating the "
          "ZelMsg, the C API's adopt() + release less the library's alloc + free). The user property and map rows "
          f"work on ten mixed entries; a single read and write on {payloads.PROPERTY_KEY!r}. The received-message "
          "facts are read on a sent message, where each is absent.\n")
    if result["derived_build"]:
        print("A message with dest, delivery_mode, cos and a 10-field json payload, made by ZelMsg.build, and by "
              "ZelMsg() with the four set one by one.\n")
        print(build_table(result))
    print("\nThe map payload beside json and msgpack for the same ten entries (json: the bytes entry as hex text).\n")
    print(beside_table(result))
    if result.get("derived_peer"):
        versions = result["peer"].get("versions", {})
        print("\nOne outbound message per iteration, genuine library, collector on. zelmsg: ZelMsg(), "
              "delivery_mode, cos, json. Vendor (solace-pubsubplus "
              f"{versions.get('solace-pubsubplus', '?')}, built with no broker): its message builder with class "
              "of service and the user property ct=json, per message or preset once, then build() with the same "
              "dict through an orjson converter; its builder has no delivery mode (its publisher sets one). "
              "zelmsg's floor: the library's calls + the empty properties (construct, enum, unsigned, dict) "
              "+ orjson.dumps. ZelMsg.build: the same in one call, with a destination too. "
              "10 user properties: zelmsg ZelMsg(), user_properties, body; the vendor's "
              "from_properties(...).build(body), or ten with_property calls then build(body); 64-byte body, "
              "bytes as bytearray and Int16 as int for the vendor.\n")
        print(peer_table(result))
    if result["import"]:
        print("\nImporting zelmsg in a fresh process (python -X importtime -c 'import zelmsg'): median "
              "[interquartile range] in microseconds.\n")
        print(import_table(result))
    if result["derived_capi"]:
        print("\nzelmsg's C API, timed by the C loops of examples/native: handle() on one ZelMsg; adopt() of a "
              "message the library allocates, then its release; ZelMsg() called from C, then its release.\n")
        print(capi_table(result))
    if result["memory"]:
        print(f"\nResident memory growth over {args.memory_iterations} uses of each operation "
              "(bench/memory.py; it also watches traced memory and reference counts)\n")
        print(memory_table(result))
    print("\nFloors\n")
    print(floors_table(result))
    print("\nTargets\n")
    print(targets_summary(result))
    print(f"\nwrote {os.path.join(args.out_dir, 'results.json')} and {os.path.join(args.out_dir, 'results.png')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
