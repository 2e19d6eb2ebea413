"""zelmsg's benchmark: every operation against its floor, in pairs, and against the vendor's API.

scripts/bench builds what this needs and runs it; it runs, in one go:
  - bench/measure.py in .venv-standin (stand-in library) and in .venv (genuine library): every
    zelmsg operation paired with its floor in the same process (see bench/measure.py), zelmsg's
    C API through examples/native (--standin-capi, --genuine-capi), and in .venv the vendor's API;
  - python -X importtime -c "import zelmsg" in fresh processes, in both environments;
  - bench/memory.py in both environments (10^6 uses of each operation);
then prints the tables and writes results.json and results.png into --out-dir.

Times are process CPU time per operation, in ns. A row's ratio is the median of its pair
ratios (zelmsg over its floor), with their interquartile range; its verdict is that median
against the row's target. The targets are reported, never enforced: the exit status says only
whether every part could be measured.
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
LIBRARIES = {"standin": "stand-in", "genuine": "genuine"}
FLOOR_PARTS = ("library calls + empty binding", "Python objects", "codec")
GROUPS = {
    "property": "properties",
    "codec": "json and msgpack",
    "container": "user properties, map and stream",
    "message": "messages made and copied",
    "wire": "the wire",
}
IMPORT_RUNS = 30


STARTED = time.monotonic()


def log(text):
    print(f"bench: {time.monotonic() - STARTED:.0f} s: {text}", file=sys.stderr, flush=True)


def quartiles(samples):
    q = statistics.quantiles(samples, n=4, method="inclusive")
    return {"median": statistics.median(samples), "p25": q[0], "p75": q[2]}


def import_times(python):
    """zelmsg's import in fresh processes, as -X importtime reports it: its own time and the
    cumulative one (what it imports and initialises), in microseconds."""
    own, cumulative = [], []
    for _ in range(IMPORT_RUNS):
        done = subprocess.run(
            [python, "-X", "importtime", "-c", "import zelmsg"], capture_output=True, text=True, check=True
        )
        line = next(line for line in done.stderr.splitlines() if line.rstrip().endswith("| zelmsg"))
        fields = [field.strip() for field in line.split(":", 1)[1].split("|")]
        own.append(int(fields[0]))
        cumulative.append(int(fields[1]))
    return {"own_us": quartiles(own), "cumulative_us": quartiles(cumulative), "runs": IMPORT_RUNS}


def run_memory(pythons, iterations):
    """Per environment, bench/memory.py's verdict (its exit status), and per operation the
    resident memory growth it printed (the third number of each row). The environments run at
    once: they count memory and references, not time, and they take most of a run."""
    running = {
        library: subprocess.Popen(
            [python, os.path.join(HERE, "memory.py"), "--iterations", str(iterations)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for library, python in pythons.items()
    }
    results = {}
    for library, process in running.items():
        stdout, stderr = process.communicate()
        rows = {
            match[1]: int(match[2])
            for match in re.finditer(r"^(\S.*?)\s{2,}-?\d+\s+-?\d+\s+(-?\d+)\s", stdout, re.MULTILINE)
        }
        verdict = [line for line in stdout.splitlines() if line.strip()][-1:] or [""]
        results[library] = {
            "flat": process.returncode == 0 and bool(rows),
            "growth_kib": rows,
            "verdict": verdict[0],
            "iterations": iterations,
            "output": stdout + stderr,
        }
    return results


# ---------------------------------------------------------------------------------------
# Output.


def ns(value):
    if value is None:
        return "-"
    if abs(value) >= 10000:
        return f"{value / 1000:.1f}k"
    return f"{value:.0f}" if abs(value) >= 100 else f"{value:.1f}"


def spread(entry, show=ns):
    return f"{show(entry['median'])} [{show(entry['p25'])}-{show(entry['p75'])}]"


def ratio(entry):
    return spread(entry, lambda value: f"{value:.2f}")


def verdict(row):
    return "-" if row["met"] is None else "yes" if row["met"] else "NO"


def pool(into, measured):
    """The samples and pair ratios of each row of measured added to into's, row by row: every
    process derives the same rows in the same order."""
    for mine, theirs in zip(into["rows"], measured["rows"], strict=True):
        assert mine["name"] == theirs["name"], (mine["name"], theirs["name"])
        mine["zelmsg"] += theirs["zelmsg"]
        mine["ratios"] += theirs["ratios"]
        for kind in ("parts", "steps"):
            for label, samples in theirs[kind].items():
                mine[kind][label] += samples
    return into


def summarize(row):
    """A row as measure.py's samples give it, with the medians and quartiles of each timer and of
    its pair ratios, and its verdict."""
    ratio = quartiles(row["ratios"]) if row["ratios"] else None
    return {
        "name": row["name"],
        "group": row["group"],
        "target": row["target"],
        "pairs": len(row["zelmsg"]),
        "zelmsg": quartiles(row["zelmsg"]),
        "parts": {k: quartiles(v) for k, v in row["parts"].items()},
        "steps": {k: quartiles(v) for k, v in row["steps"].items()},
        "ratio": ratio,
        "met": None if row["target"] is None or ratio is None else ratio["median"] <= row["target"],
        "ratios": row["ratios"],
    }


def format_table(headers, rows, align=None):
    align = align or ["<"] + [">"] * (len(headers) - 1)
    widths = [max(len(str(x)) for x in column) for column in zip(headers, *rows)]
    line = lambda cells: "| " + " | ".join(f"{str(c):{a}{w}}" for c, a, w in zip(cells, align, widths)) + " |"
    rule = (
        "|"
        + "|".join(
            (":" if a == "<" else "") + "-" * (w + 1) + (":" if a == ">" else "-") for a, w in zip(align, widths)
        )
        + "|"
    )
    return "\n".join([line(headers), rule] + [line(row) for row in rows])


def by_name(result, library, groups):
    return {row["name"]: row for row in result["rows"].get(library, []) if row["group"] in groups}


def main_table(result):
    """Every operation against its floor: the genuine library's parts, both libraries' ratios."""
    standin, genuine = (by_name(result, library, GROUPS) for library in LIBRARIES.values())
    rows = []
    for name in dict.fromkeys([*genuine, *standin]):
        row = genuine.get(name) or standin[name]
        parts = row["parts"]
        cells = [
            name,
            spread(standin[name]["zelmsg"]) if name in standin else "-",
            spread(genuine[name]["zelmsg"]) if name in genuine else "-",
        ]
        cells += [ns(parts[label]["median"]) if label in parts else "-" for label in FLOOR_PARTS]
        cells += [
            ratio(genuine[name]["ratio"]) if name in genuine else "-",
            ratio(standin[name]["ratio"]) if name in standin else "-",
            f"<= {row['target']}" if row["target"] else "-",
            "-"
            if row["target"] is None
            else "yes"
            if all(side[name]["met"] for side in (genuine, standin) if name in side)
            else "NO",
        ]
        rows.append(cells)
    library = "genuine" if genuine else "stand-in"
    return format_table(
        [
            "operation",
            "zelmsg, stand-in",
            "zelmsg, genuine",
            *(f"{part}, {library}" for part in FLOOR_PARTS),
            "ratio, genuine",
            "ratio, stand-in",
            "target",
            "met",
        ],
        rows,
    )


def steps_table(result):
    """Where the time goes: the rows timed step by step, each step beside zelmsg's time and the
    floor's (the library's steps in C loops, the empty binding alone, the Python objects, the
    codec)."""
    rows = []
    for label in LIBRARIES.values():
        for row in result["rows"].get(label, []):
            if row["steps"]:
                floor = sum(part["median"] for part in row["parts"].values())
                apart = {**row["steps"], **{k: v for k, v in row["parts"].items() if k != FLOOR_PARTS[0]}}
                steps = ", ".join(f"{step} {ns(part['median'])}" for step, part in apart.items())
                rows.append(
                    [
                        row["name"],
                        label,
                        ns(row["zelmsg"]["median"]),
                        ns(floor),
                        ns(row["zelmsg"]["median"] - floor),
                        f"{row['ratio']['median']:.2f}",
                        steps,
                    ]
                )
    return format_table(
        ["operation", "library", "zelmsg", "floor", "zelmsg's own", "ratio", "steps apart"],
        rows,
        ["<", "<", ">", ">", ">", ">", "<"],
    )


def other_table(result, group, headers):
    rows = []
    for library in LIBRARIES.values():
        for row in result["rows"].get(library, []):
            if row["group"] == group:
                floor = "; ".join(f"{label} {spread(part)}" for label, part in row["parts"].items()) or "-"
                rows.append(
                    [
                        row["name"],
                        library,
                        spread(row["zelmsg"]),
                        floor,
                        ratio(row["ratio"]) if row["ratio"] else "-",
                        f"<= {row['target']}" if row["target"] else "-",
                        verdict(row),
                    ]
                )
    return format_table(headers, rows, ["<", "<", ">", "<", ">", ">", ">"])


def peer_table(result):
    rows = []
    for row in result["rows"].get("genuine", []):
        if row["group"] == "peer":
            speedup = {k: 1 / v for k, v in row["ratio"].items()}
            rows.append(
                [
                    row["name"],
                    spread(row["zelmsg"]),
                    spread(row["parts"]["vendor"]),
                    f"{speedup['median']:.1f}x [{speedup['p75']:.1f}-{speedup['p25']:.1f}]",
                    f">= {1 / row['target']:.0f}x" if row["target"] else "-",
                    verdict(row),
                ]
            )
    return format_table(["message", "zelmsg", "vendor", "zelmsg faster by", "target", "met"], rows)


def import_table(result):
    rows = [
        [LIBRARIES[library], spread(times["cumulative_us"]), spread(times["own_us"]), str(times["runs"])]
        for library, times in result["import"].items()
    ]
    return format_table(["library", "import zelmsg, us (cumulative)", "zelmsg itself, us", "processes"], rows)


def memory_table(result):
    libraries = list(result["memory"])
    names = list(dict.fromkeys(name for library in libraries for name in result["memory"][library]["growth_kib"]))
    rows = [
        [name] + [str(result["memory"][library]["growth_kib"].get(name, "-")) for library in libraries]
        for name in names
    ]
    return format_table(["operation"] + [f"resident growth KiB, {LIBRARIES[library]}" for library in libraries], rows)


def targets_summary(result):
    lines = []
    for library, label in LIBRARIES.items():
        rows = result["rows"].get(label, [])
        for group, title in GROUPS.items():
            chosen = [row for row in rows if row["group"] == group and row["target"]]
            if chosen:
                missed = [f"{row['name']} ({row['ratio']['median']:.2f})" for row in chosen if not row["met"]]
                worst = max(chosen, key=lambda row: row["ratio"]["median"])
                lines.append(
                    f"{label}: {title}, ratio <= {chosen[0]['target']}: {len(chosen) - len(missed)}/"
                    f"{len(chosen)} met, worst {worst['name']} {worst['ratio']['median']:.2f}"
                    + (f"; missed: {', '.join(missed)}" if missed else "")
                )
        for row in rows:
            if row["group"] in ("build", "capi") and row["target"]:
                lines.append(
                    f"{label}: {row['name']} {row['ratio']['median']:.2f}x its floor "
                    f"(target <= {row['target']}): " + ("met" if row["met"] else "missed")
                )
            if row["name"] == "C API handle()":
                lines.append(
                    f"{label}: C API handle() {row['zelmsg']['median']:.1f} ns (target < 10): "
                    + ("met" if row["zelmsg"]["median"] < 10 else "missed")
                )
            if row["group"] == "peer":
                lines.append(
                    f"build a message ({row['name']}): zelmsg {1 / row['ratio']['median']:.1f}x faster"
                    + (
                        f" (target >= {1 / row['target']:.0f}x): " + ("met" if row["met"] else "missed")
                        if row["target"]
                        else ""
                    )
                )
    for library, times in result["import"].items():
        lines.append(
            f"{LIBRARIES[library]}: import zelmsg {times['cumulative_us']['median'] / 1000:.1f} ms, "
            f"zelmsg itself {times['own_us']['median'] / 1000:.1f} ms (median of {times['runs']} processes)"
        )
    for library, memory in result["memory"].items():
        lines.append(
            f"{LIBRARIES[library]}: memory flat over {memory['iterations']} uses of each operation: "
            + ("yes" if memory["flat"] else "NO")
            + f" ({memory['verdict']})"
        )
    return "\n".join(lines)


def chart(result, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    primary = "genuine" if result["rows"].get("genuine") else "stand-in"
    rows = [row for row in result["rows"][primary] if row["group"] in GROUPS]
    names = [row["name"] for row in rows]
    peer = [row for row in result["rows"].get("genuine", []) if row["group"] == "peer"]
    figure, axes = plt.subplots(
        1,
        3 if peer else 2,
        figsize=(22 if peer else 16, max(12, 0.3 * len(rows))),
        gridspec_kw={"width_ratios": [3, 2, 2] if peer else [3, 2]},
    )
    positions = list(range(len(rows)))[::-1]
    height = 0.38

    times = axes[0]
    upper = [p + height / 2 for p in positions]
    times.barh(
        upper,
        [sum(part["median"] for part in row["parts"].values()) for row in rows],
        height,
        color="#6baed6",
        label="floor: library calls in an empty binding (+ Python objects, codec)",
    )
    times.barh(
        [p - height / 2 for p in positions],
        [row["zelmsg"]["median"] for row in rows],
        height,
        color="#e6550d",
        label=f"zelmsg on the {primary} library",
    )
    times.set_xscale("log")
    times.set_yticks(positions, names, fontsize=8)
    times.set_ylim(-1, len(rows))
    times.set_xlabel("ns per operation (process CPU time, medians)")
    times.set_title("zelmsg and its floor")
    times.legend(loc="upper center", bbox_to_anchor=(0.5, -0.03), fontsize=8)
    times.grid(axis="x", which="both", alpha=0.3)

    ratios = axes[1]
    for offset, library, colour in ((height / 2, "stand-in", "#74c476"), (-height / 2, "genuine", "#e6550d")):
        found = by_name(result, library, GROUPS)
        shown = [(p, found[name]["ratio"]) for p, name in zip(positions, names) if name in found]
        if shown:
            medians = [r["median"] for _, r in shown]
            errors = [[r["median"] - r["p25"] for _, r in shown], [r["p75"] - r["median"] for _, r in shown]]
            ratios.barh(
                [p + offset for p, _ in shown],
                medians,
                height,
                xerr=errors,
                color=colour,
                error_kw={"elinewidth": 0.8},
                label=f"{library} library: median, quartiles of the pairs",
            )
    for position, row in zip(positions, rows):
        if row["target"]:
            ratios.plot([row["target"]] * 2, [position - 0.45, position + 0.45], color="black", linewidth=1.5)
    ratios.plot([], [], color="black", linewidth=1.5, label="target")
    ratios.axvline(1.0, color="grey", linewidth=0.5)
    ratios.set_yticks(positions, names, fontsize=8)
    ratios.set_ylim(-1, len(rows))
    ratios.set_xlabel("zelmsg / floor, per pair")
    ratios.set_title("ratio to the floor")
    ratios.legend(loc="upper center", bbox_to_anchor=(0.5, -0.03), fontsize=8)
    ratios.grid(axis="x", alpha=0.3)

    if peer:
        build = axes[2]
        where = list(range(len(peer)))[::-1]
        build.barh(where, [1 / row["ratio"]["median"] for row in peer], color="#756bb1")
        build.set_yticks(where, [row["name"] for row in peer], fontsize=8)
        build.axvline(1 / peer[0]["target"], color="black", linewidth=1.5, label="target, first four")
        build.set_xlabel("vendor's time / zelmsg's, per pair (median)")
        build.set_title("one outbound message, genuine library")
        build.legend(fontsize=8)
        build.grid(axis="x", alpha=0.3)

    machine = result["machine"]
    figure.suptitle(
        f"zelmsg benchmark, {time.strftime('%Y-%m-%d', time.gmtime(result['finished']))}: "
        f"{describe(machine)}; load average {machine['load_start'][0]:.2f} at start, "
        f"{machine['load_end'][0]:.2f} at end"
    )
    figure.tight_layout(rect=(0, 0, 1, 1 - 0.3 / figure.get_figheight()))
    figure.savefig(path, dpi=100)
    plt.close(figure)


# ---------------------------------------------------------------------------------------


def machine_facts():
    fields = {}
    for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
        key, _, value = line.partition(":")
        fields[key.strip()] = value.strip()
    with open("/proc/meminfo") as info:
        memory_gib = round(int(info.readline().split()[1]) / 2**20)
    return {
        "cpu": fields.get("Model name", platform.processor()),
        "cpu_family": fields.get("CPU family"),
        "model": fields.get("Model"),
        "hypervisor": fields.get("Hypervisor vendor"),
        "cores": os.cpu_count(),
        "mhz": fields.get("CPU MHz"),
        "memory_gib": memory_gib,
        "kernel": platform.release(),
        "python": platform.python_version(),
        "load_start": os.getloadavg(),
    }


def describe(machine):
    """The machine in one line."""
    where = f", {machine['hypervisor']} virtual machine" if machine["hypervisor"] else ""
    mhz = f" at {float(machine['mhz']):.0f} MHz" if machine["mhz"] else ""
    return (
        f"{machine['cpu']} (family {machine['cpu_family']}, model {machine['model']}){mhz}, {machine['cores']} "
        f"cores, {machine['memory_gib']} GiB{where}, Linux {machine['kernel']}, Python {machine['python']}"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor-dir", required=True, help="build folder holding floor-standin and floor-genuine")
    parser.add_argument("--standin-python", required=True)
    parser.add_argument("--genuine-python", help="omitted when the genuine library is not to be had")
    parser.add_argument("--vendor-site", help="folder holding the vendor's solace-pubsubplus")
    parser.add_argument("--standin-capi", help="examples/native built against .venv-standin's zelmsg")
    parser.add_argument("--genuine-capi", help="examples/native built against .venv's zelmsg")
    parser.add_argument("--out-dir", default=os.path.join(HERE, "results"))
    parser.add_argument("--pairs", type=int, default=200, help="pairs per row")
    parser.add_argument("--sample-ms", type=float, default=0.5, help="CPU time of one side of a pair")
    # Where the heap puts a codec's buffer is fixed for a process's life, and can make one
    # call site's msgpack.dumps 1.7 times another's: the pairs are spread over fresh processes.
    parser.add_argument("--processes", type=int, default=4, help="processes per library, each with its share of pairs")
    parser.add_argument("--memory-iterations", type=int, default=10**6)
    args = parser.parse_args()

    started = time.time()
    result = {"machine": machine_facts(), "settings": vars(args), "rows": {}, "import": {}, "memory": {}}
    pythons = {"standin": (args.standin_python, args.standin_capi, None)}
    if args.genuine_python:
        pythons["genuine"] = (args.genuine_python, args.genuine_capi, args.vendor_site)
    with tempfile.TemporaryDirectory() as workdir:
        for library, (python, capi, vendor_site) in pythons.items():
            pooled = None
            for process in range(args.processes):
                log(
                    f"zelmsg and its floors in pairs, {LIBRARIES[library]} library, process {process + 1} of "
                    f"{args.processes} ({python})"
                )
                out = os.path.join(workdir, f"{library}-{process}.json")
                command = [
                    python,
                    os.path.join(HERE, "measure.py"),
                    "--floor-dir",
                    os.path.join(args.floor_dir, f"floor-{library}"),
                    "--pairs",
                    str(max(args.pairs // args.processes, 1)),
                    "--sample-ms",
                    str(args.sample_ms),
                    "--seed",
                    str(2 * process),
                    "--out",
                    out,
                ]
                command += ["--capi", capi] if capi else []
                command += ["--vendor-site", vendor_site] if vendor_site else []
                subprocess.run(command, check=True)
                with open(out) as file:
                    measured = json.load(file)
                pooled = measured if pooled is None else pool(pooled, measured)
            result["rows"][LIBRARIES[library]] = [summarize(row) for row in pooled.pop("rows")]
            result[f"{library}_library"] = pooled
    for library, (python, _, _) in pythons.items():
        log(f"import zelmsg, {IMPORT_RUNS} fresh processes, {LIBRARIES[library]} library")
        result["import"][library] = import_times(python)
    if args.memory_iterations:
        log(
            f"resident memory over {args.memory_iterations} uses, {' and '.join(LIBRARIES[k] for k in pythons)} library"
        )
        result["memory"] = run_memory(
            {library: python for library, (python, _, _) in pythons.items()}, args.memory_iterations
        )
    log("done")

    machine = result["machine"]
    machine["load_end"] = os.getloadavg()
    machine["uptime"] = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    result["finished"] = time.time()
    result["seconds"] = round(result["finished"] - started)
    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, "results.json"), "w") as file:
        json.dump(result, file, indent=1)
    chart(result, os.path.join(args.out_dir, "results.png"))

    print(f"\nzelmsg benchmark: {describe(machine)}")
    print(
        f"load average {machine['load_start'][0]:.2f} at start, {machine['load_end'][0]:.2f} at end "
        f"({machine['uptime']}); {result['seconds']} s"
    )
    print(
        f"ns per operation, process CPU time: median [quartiles] of {args.pairs} samples; a ratio is the median "
        f"[quartiles] of {args.pairs} pair ratios, zelmsg over its floor, each side about {args.sample_ms} ms, both "
        f"in one process, spread over {args.processes} processes (the vendor's rows: a quarter as many pairs, "
        "eight times as long). Floor: the library's calls (as the core makes them, on a copy of the message) + the empty "
        "pybind11 call of the same shape + the Python objects made or read through the C API + the codec called "
        "directly.\n"
    )
    print(main_table(result))
    print("\nWhere the time goes: each step of the floor, timed apart in the same pairs.\n")
    print(steps_table(result))
    print("\nZelMsg.build against the same four attributes set one by one; zelmsg's C API from C (examples/native).\n")
    print(other_table(result, "build", ["operation", "library", "zelmsg", "floor", "ratio", "target", "met"]))
    print(other_table(result, "capi", ["C API", "library", "zelmsg", "floor", "ratio", "target", "met"]))
    if any(row["group"] == "peer" for row in result["rows"].get("genuine", [])):
        print(
            "\nOne outbound message against the vendor's API (solace-pubsubplus, no broker), genuine library, "
            "collector on. zelmsg: ZelMsg(), delivery_mode, cos, json (or ZelMsg.build with a destination too); "
            "vendor: its builder with class of service and ct=json, per message or preset, then build() through "
            "an orjson converter. 10 user properties: user_properties and a 64-byte body, against "
            "from_properties(...).build(body) or ten with_property calls.\n"
        )
        print(peer_table(result))
    print("\nImporting zelmsg in a fresh process (python -X importtime): median [quartiles] in microseconds.\n")
    print(import_table(result))
    if result["memory"]:
        print(
            f"\nResident memory growth over {args.memory_iterations} uses of each operation (bench/memory.py, "
            "which also watches traced memory and reference counts)\n"
        )
        print(memory_table(result))
    print("\nTargets\n")
    print(targets_summary(result))
    print(f"\nwrote {os.path.join(args.out_dir, 'results.json')} and {os.path.join(args.out_dir, 'results.png')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
