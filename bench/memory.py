"""Shows whether zelmsg's operations leave resident memory flat.

Runs each operation --iterations times (10^6 by default) after a warm-up and prints the
resident set size before and after, per operation. Run it with the interpreter of the
build to measure (.venv for the stand-in, .venv-genuine for the genuine library):

    .venv/bin/python bench/memory.py [--iterations N]

Exits 1 when an operation grows resident memory by more than --limit-kib.
"""

import argparse
import gc
import os
import sys

import zelmsg

PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_KIB


def operations():
    """(name, function of one message) for every operation measured. Each read follows
    the write of the same property, so the codec reads find their own encoding."""
    dest = zelmsg.Destination("orders/eu/new")
    reply = zelmsg.Destination("order-replies", zelmsg.Queue)
    payload = {"order": 1042, "items": ["tea", "scones"], "paid": True, "note": "x" * 100}
    body = bytes(range(256)) * 4

    def create_destroy(_):
        zelmsg.ZelMsg()

    def set_(name, value):
        return f"set {name}", lambda msg: setattr(msg, name, value)

    def get(name):
        return f"get {name}", lambda msg: getattr(msg, name)

    ops = [("ZelMsg() and release", create_destroy), ("repr", repr)]
    for name, value in [("dest", dest), ("reply2", reply), ("is_reply", True),
                        ("delivery_mode", zelmsg.Persistent), ("content_type", "application/json"),
                        ("elide", True), ("cos", 2), ("json", payload), ("msgpack", payload),
                        ("body", body)]:
        ops += [set_(name, value), get(name)]
    ops += [get("is_request"), get("is_p2p")]
    return ops


def measure(function, msg, iterations):
    for _ in range(max(iterations // 100, 1000)):
        function(msg)
    gc.collect()
    before = rss_kib()
    for _ in range(iterations):
        function(msg)
    gc.collect()
    return before, rss_kib()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=10**6)
    parser.add_argument("--limit-kib", type=int, default=1024,
                        help="growth per operation counted as a leak (default 1024)")
    args = parser.parse_args()

    library = next(line.split()[-1] for line in open("/proc/self/maps") if "libsolclient" in line)
    print(f"libsolclient: {library}")
    print(f"{args.iterations} iterations per operation; resident memory in KiB\n")
    print(f"{'operation':<24}{'before':>10}{'after':>10}{'growth':>10}")
    leaks = []
    msg = zelmsg.ZelMsg()
    for name, function in operations():
        before, after = measure(function, msg, args.iterations)
        print(f"{name:<24}{before:>10}{after:>10}{after - before:>10}", flush=True)
        if after - before > args.limit_kib:
            leaks.append(name)
    if leaks:
        print(f"\ngrew by more than {args.limit_kib} KiB: {', '.join(leaks)}")
        return 1
    print("\nresident memory stayed flat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
