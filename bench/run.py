"""zelmsg's benchmark: every operation against its floors and against the vendor's API.

scripts/bench builds what this needs and runs it; it runs, in one go:
  - the native floors (library_floor_*): each operation's libsolclient calls timed from
    C++ with Google Benchmark, on the stand-in and on the genuine library;
  - bench/measure.py in .venv-standin (stand-in) and in .venv (genuine library): every
    zelmsg operation, and the codecs called directly;
  - bench/measure.py for the binding's floor, in a process without zelmsg: the empty
    pybind11 properties of binding_floor and a __slots__ attribute;
  - bench/measure.py as the peer, in .venv with the vendor's package on the path:
    one outbound message built by zelmsg and by the vendor's message builder;
  - bench/measure.py for zelmsg's C API in both environments: the C loops of the example
    module examples/native, built against each zelmsg (--standin-capi, --genuine-capi);
  - bench/memory.py in both environments (10^6 uses of each operation);
then prints the tables and writes results.json and results.png into --out-dir.

Times are process CPU time per operation, in ns: the median over the samples, with the
spread as the interquartile range. Floors:
  property   the library's calls + the empty pybind11 property of the same shape
  json, msgpack  the codec called directly + the library's calls + one copy of the body
             (a read copies the attachment out; a write's copy is the library's own)
Overhead is zelmsg minus its floor. The C API has no floor: handle() is held to a bound
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
HANDLE_TARGET = 10.0
LIBRARIES = ("standin", "genuine")
LIBRARY_NAMES = {"standin": "stand-in", "genuine": "genuine"}


def log(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------
# What each operation is compared with.

def operations(sizes):
    """[(operation, kind, native parts, binding floor, codec floor)]: kind is "property",
    "codec" or "other"; native parts are names of library_floor benchmarks whose medians
    add up to the library's share."""
    def get_and_set(shapes):
        return [(f"{verb} {name}", "property", [f"{verb} {name}"], f"{verb} {shape}", None)
                for name, shape in shapes.items() for verb in ("get", "set")]

    def text(name):
        return f"optional str {len(payloads.FIELDS[name])} chars"

    ops = [("ZelMsg()", "other", ["ZelMsg()"], "Empty()", None)]
    ops += get_and_set({"dest": "Destination", "reply2": "Destination", "is_reply": "bool",
                        "delivery_mode": "enum", "content_type": "str", "elide": "bool", "cos": "unsigned"})
    for name in ("is_request", "is_p2p"):
        ops.append((f"get {name}", "property", [f"get {name}"], "get bool read-only", None))
    ops += get_and_set({"dmq_eligible": "bool", "ttl": "int64", "priority": "optional int32",
                        "correlation_id": text("correlation_id"),
                        "application_message_id": text("application_message_id"),
                        "sender_timestamp": "optional int64", "sequence_number": "optional uint64",
                        "text": text("text")})
    for label, size in payloads.BODY_SIZES.items():
        ops.append((f"get body {label}", "property", [f"get attachment/{size}"], f"get bytes {label}", None))
        ops.append((f"set body {label}", "property", [f"set attachment/{size}"], f"set bytes {label}", None))
    for codec in ("json", "msgpack"):
        for label in payloads.DICTS:
            size = sizes[(codec, label)]
            # A read asks the library for the attachment and copies it out once; a write
            # tags the content type and hands the encoding over, which the library copies.
            ops.append((f"get {codec} {label}", "codec", [f"get attachment/{size}", f"copy/{size}"], "get dict",
                        f"{codec} loads {label}"))
            ops.append((f"set {codec} {label}", "codec", [f"set tag+attachment/{size}"], "set dict",
                        f"{codec} dumps {label}"))
    ops.append(("repr", "other", ["repr"], "repr", None))
    return ops


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
    command = [executable, "--sizes=" + ",".join(str(size) for size in sizes), "--dump-body=" + dump_body,
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

def derive(measured, floor, native, sizes):
    """Rows of the table for one library."""
    cases = measured["cases"]
    floors = floor["cases"]
    rows = []
    for op, kind, parts, binding, codec in operations(sizes):
        zelmsg = cases[f"zelmsg:{op}"]
        library = sum(native[part]["median"] for part in parts)
        if binding == "repr":
            binding = repr_floor(measured)
        binding_ns = floors[f"binding:{binding}"]["median"] if binding else None
        codec_ns = cases[f"codec:{codec}"]["median"] if codec else None
        # The codec target's floor leaves the property's own dispatch out; the ratio with
        # it in (the empty dict property) is given beside it.
        if kind == "codec":
            floor = library + codec_ns
            with_binding = zelmsg["median"] / (floor + binding_ns)
        else:
            floor = library + (binding_ns or 0)
            with_binding = None
        target = {"property": PROPERTY_TARGET, "codec": CODEC_TARGET}.get(kind)
        ratio = zelmsg["median"] / floor
        rows.append({"operation": op, "kind": kind, "zelmsg": {k: zelmsg[k] for k in ("median", "p25", "p75")},
                     "library_calls": parts, "library_ns": library, "binding_floor": binding,
                     "binding_ns": binding_ns, "codec_floor": codec, "codec_ns": codec_ns, "floor_ns": floor,
                     "overhead_ns": zelmsg["median"] - floor, "ratio": ratio, "target": target,
                     "met": None if target is None else ratio <= target,
                     "ratio_with_binding": with_binding})
    return rows


def derive_peer(peer, floor, measured, native, sizes):
    """The per-message comparison, with zelmsg's own floor for the same message: the
    library's calls, the binding's four operations and the encoding."""
    rows = []
    cases = peer["cases"]
    floors = floor["cases"]
    binding = sum(floors[f"binding:{name}"]["median"] for name in ("Empty()", "set enum", "set unsigned", "set dict"))
    for label in payloads.DICTS:
        zelmsg = cases[f"peer:zelmsg {label}"]["median"]
        library = native[f"build message/{sizes[('json', label)]}"]["median"]
        zelmsg_floor = library + binding + measured["cases"][f"codec:json dumps {label}"]["median"]
        for variant in ("properties per message", "preset builder"):
            vendor = cases[f"peer:vendor, {variant} {label}"]["median"]
            rows.append({"payload": label, "vendor_variant": variant, "zelmsg_ns": zelmsg, "vendor_ns": vendor,
                         "zelmsg_floor_ns": zelmsg_floor, "library_ns": library,
                         "speedup": vendor / zelmsg, "speedup_at_floor": vendor / zelmsg_floor,
                         "target": PEER_TARGET, "met": vendor / zelmsg >= PEER_TARGET})
    return rows


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
    rows = []
    for index, row in enumerate(derived[primary]):
        cells = [row["operation"]]
        if both:
            cells.append(spread(derived["standin"][index]["zelmsg"]))
        with_binding = row["ratio_with_binding"]
        cells += [spread(row["zelmsg"]), ns(row["library_ns"]), ns(row["binding_ns"]), ns(row["codec_ns"]),
                  ns(row["overhead_ns"]), f"{row['ratio']:.2f}",
                  f"{with_binding:.2f}" if with_binding is not None else "-",
                  f"<= {row['target']}" if row["target"] else "-",
                  "-" if row["target"] is None else ("yes" if row["met"] else "NO")]
        rows.append(cells)
    headers = ["operation"] + (["zelmsg, stand-in"] if both else [])
    headers += [f"zelmsg, {name}", f"{name} library calls", "empty property", "codec alone", "overhead",
                "ratio to floor", "with property", "target", "met"]
    return format_table(headers, rows)


def peer_table(result):
    cases = result["peer"]["cases"]
    rows = []
    for row in result["derived_peer"]:
        zelmsg = cases[f"peer:zelmsg {row['payload']}"]
        vendor = cases[f"peer:vendor, {row['vendor_variant']} {row['payload']}"]
        rows.append([row["payload"], spread(zelmsg), ns(row["zelmsg_floor_ns"]), row["vendor_variant"], spread(vendor),
                     f"{row['speedup']:.1f}x", f"{row['speedup_at_floor']:.1f}x", f">= {PEER_TARGET:.0f}x",
                     "yes" if row["met"] else "NO"])
    return format_table(["payload", "zelmsg", "zelmsg's floor", "vendor's builder", "vendor", "zelmsg faster by",
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
        for kind, target in (("property", PROPERTY_TARGET), ("codec", CODEC_TARGET)):
            chosen = [row for row in rows if row["kind"] == kind]
            missed = [f"{row['operation']} ({row['ratio']:.2f})" for row in chosen if not row["met"]]
            worst = max(chosen, key=lambda row: row["ratio"])
            lines.append(f"{LIBRARY_NAMES[library]}: {kind} ratio <= {target}: "
                         f"{len(chosen) - len(missed)}/{len(chosen)} met, worst {worst['operation']} "
                         f"{worst['ratio']:.2f}" + (f"; missed: {', '.join(missed)}" if missed else ""))
    for library, capi in result["derived_capi"].items():
        lines.append(f"{LIBRARY_NAMES[library]}: C API handle() {capi['calls']['handle()']['median']:.1f} ns "
                     f"(target < {HANDLE_TARGET:.0f}): " + ("met" if capi["handle_met"] else "missed")
                     + f"; adopt() + release {capi['adopt_ratio']:.2f}x ZelMsg() + release (target <= 1): "
                     + ("met" if capi["adopt_met"] else "missed"))
    for row in result.get("derived_peer", []):
        lines.append(f"build a message ({row['payload']}), vendor {row['vendor_variant']}: "
                     f"{row['speedup']:.1f}x faster (target >= {PEER_TARGET:.0f}x): "
                     + ("met" if row["met"] else "missed"))
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
               label="floor: library calls + empty pybind11 property (+ codec called directly)")
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
            ratios.barh([p + offset for p in positions], [row["ratio"] for row in result["derived"][library]],
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
        for label in payloads.DICTS:
            chosen = [row for row in peer if row["payload"] == label]
            labels += [f"zelmsg, {label}", f"zelmsg's floor, {label}"]
            values += [chosen[0]["zelmsg_ns"], chosen[0]["zelmsg_floor_ns"]]
            colours += ["#e6550d", "#c6dbef"]
            for row in chosen:
                labels.append(f"vendor, {row['vendor_variant']},\n{label}: zelmsg {row['speedup']:.1f}x faster")
                values.append(row["vendor_ns"])
                colours.append("#756bb1")
        where = list(range(len(values)))[::-1]
        build.barh(where, values, color=colours)
        build.set_yticks(where, labels, fontsize=8)
        build.set_xscale("log")
        build.set_xlabel("ns per message built, genuine library")
        build.set_title(f"one outbound message (target: {PEER_TARGET:.0f}x faster)")
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
    args = parser.parse_args()

    started = time.time()
    result = {"machine": machine_facts(), "settings": {k: v for k, v in vars(args).items()},
              "targets": {"property": PROPERTY_TARGET, "codec": CODEC_TARGET, "peer": PEER_TARGET,
                          "handle_ns": HANDLE_TARGET},
              "native": {}, "measured": {}, "derived": {}, "capi": {}, "derived_capi": {}, "memory": {}}
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
        log("empty pybind11 properties")
        lengths = ",".join(str(m["cases"]["zelmsg:repr"]["length"]) for m in result["measured"].values())
        result["floor"] = run_measure(args.standin_python, "floor", "floor", workdir, args,
                                      ["--floor-dir", args.floor_dir, "--repr-lengths", lengths])
        for library in pythons:
            result["derived"][library] = derive(result["measured"][library], result["floor"],
                                                result["native"][library], sizes)
        for library, module in capi_modules.items():
            log(f"zelmsg's C API from C, {LIBRARY_NAMES[library]} library ({module})")
            result["capi"][library] = run_measure(pythons[library], "capi", library, workdir, args,
                                                  ["--module", module])
            result["derived_capi"][library] = derive_capi(result["capi"][library])
        if args.genuine_python and args.vendor_site:
            log("one outbound message, zelmsg and the vendor's API")
            result["peer"] = run_measure(args.genuine_python, "peer", "genuine", workdir, args,
                                         ["--vendor-site", args.vendor_site])
            result["derived_peer"] = derive_peer(result["peer"], result["floor"], result["measured"]["genuine"],
                                                 result["native"]["genuine"], sizes)
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
    if result.get("derived_peer"):
        versions = result["peer"].get("versions", {})
        print("\nOne outbound message per iteration, genuine library, collector on. zelmsg: ZelMsg(), "
              "delivery_mode, cos, json. Vendor (solace-pubsubplus "
              f"{versions.get('solace-pubsubplus', '?')}, built with no broker): its message builder with class "
              "of service and the user property ct=json, per message or preset once, then build() with the same "
              "dict through an orjson converter; its builder has no delivery mode (its publisher sets one). "
              "zelmsg's floor: the library's calls + the empty properties (construct, enum, unsigned, dict) "
              "+ orjson.dumps.\n")
        print(peer_table(result))
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
