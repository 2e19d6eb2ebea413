"""Threads hammering messages: eight threads of mixed operations on shared and on private
messages, starting with the first use of both codecs in a fresh process.

Each run is a child process, made by running this file as a script: its codec slots start
empty, and a crash or a deadlock ends that child rather than the test session (a deadlock
while the interpreter lock is held would stop every thread, a watchdog included).

ZELMSG_THREAD_OPS sets the operations per thread of the long run (default 10^5).
"""

import argparse
import os
import random
import re
import subprocess
import sys
import threading
import time
import traceback

OPS = int(os.environ.get("ZELMSG_THREAD_OPS", "100000"))
THREADS = 8
TIMEOUT = 300  # seconds a child may take before it counts as deadlocked

# Values every thread draws from. Each is one the library takes, so a private message
# reads back exactly what was written, and a shared one reads back some value written.
NAMES = ["orders/eu/new", "q/1", "#P2P/v:host/inbox", "é/€/😀", "n" * 249, "x/" + "y" * 200]
DEST_TYPES = ["Topic", "Queue", "TopicTemp", "QueueTemp"]
CONTENT_TYPES = ["text/plain", "application/json", "", "é" * 10, "c" * 300]
# 0xc1 is a byte MessagePack never uses and JSON never starts with: neither codec reads these.
BODIES = [b"", b"\xc1", b"\xc1" + bytes(range(256)), b"\xc1\x00" * 600]
JSON_DICTS = [{}, {"n": 1, "items": ["tea", "scones"]}, {"s": "x" * 300, "nested": {"k": [1, 2]}}]
MSGPACK_DICTS = [{"m": 2}, {"bin": b"\x00\x01", "list": [1, "two", 3.5]}, {"deep": {"a": {"b": []}}}]
SETTERS = ["dest", "reply2", "is_reply", "elide", "delivery_mode", "content_type", "cos", "json", "msgpack", "body"]
GETTERS = SETTERS + ["is_request", "is_p2p"]


def run_child(*args):
    """Runs this file as a child process; returns its stdout, failing on a crash or hang."""
    try:
        child = subprocess.run([sys.executable, __file__, *args], capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        raise AssertionError(f"no end after {TIMEOUT} s: deadlocked?\n{expired.stdout}\n{expired.stderr}")
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stdout}\n{child.stderr}"
    return child.stdout


def test_eight_threads_of_mixed_operations():
    out = run_child("--ops", str(OPS))
    print(out)
    assert f"{THREADS} threads x {OPS} operations" in out


def test_first_use_of_the_codecs_from_eight_threads_at_once():
    # Each codec's import is slowed, so other threads reach the module's empty codec slots
    # while the first import is still running.
    out = run_child("--ops", "2000", "--slow-import")
    overlaps = re.search(r"codec uses during a codec import: (\d+)", out)
    assert overlaps and int(overlaps[1]) > 0, out


def test_first_use_of_the_codecs_with_threads_switching_all_the_time():
    for _ in range(3):
        run_child("--ops", "2000", "--switch-interval", "0.000001")


# The child: python tests/test_threads.py --ops N


class Pools:
    """The values to write, and what reading them back may give."""

    def __init__(self, zelmsg):
        types = [getattr(zelmsg.DestinationType, name) for name in DEST_TYPES]
        self.destinations = [(name, kind) for name in NAMES for kind in types]
        # A reply-to name may have 249 bytes at most, so the longest name is kept out.
        self.replies = [(name, kind) for name, kind in self.destinations if len(name.encode()) <= 249]
        self.modes = list(zelmsg.DeliveryMode.__members__.values())
        self.none = ("", int(zelmsg.DestinationType.Null))
        # Temporary types read back as plain ones.
        self.dest_reads = {(name, int(kind) & 1) for name, kind in self.destinations} | {self.none}
        self.reply_reads = {(name, int(kind) & 1) for name, kind in self.replies} | {self.none}
        self.content_reads = set(CONTENT_TYPES) | {"json", "msgpack", ""}
        self.zelmsg = zelmsg
        self._bodies = None

    def value(self, rng, prop):
        if prop in ("dest", "reply2"):
            name, kind = rng.choice(self.destinations if prop == "dest" else self.replies)
            return self.zelmsg.Destination(name, kind)
        if prop in ("is_reply", "elide"):
            return rng.random() < 0.5
        if prop == "delivery_mode":
            return rng.choice(self.modes)
        if prop == "content_type":
            return rng.choice(CONTENT_TYPES)
        if prop == "cos":
            return rng.randint(1, 3)
        if prop == "json":
            return rng.choice(JSON_DICTS)
        if prop == "msgpack":
            return rng.choice(MSGPACK_DICTS)
        return rng.choice(BODIES)

    @staticmethod
    def encoding(codec, value):
        # Imported only here, once this thread's first use of the module's codecs is done.
        import msgpack
        import orjson

        return orjson.dumps(value) if codec == "json" else msgpack.dumps(value)

    def body_reads(self):
        if self._bodies is None:
            self._bodies = (
                set(BODIES)
                | {self.encoding("json", d) for d in JSON_DICTS}
                | {self.encoding("msgpack", d) for d in MSGPACK_DICTS}
            )
        return self._bodies


def read(msg, prop):
    """("value", what the getter returned) or ("raises", the exception)."""
    try:
        value = getattr(msg, prop)
    except (ValueError, TypeError) as error:
        return "raises", error
    if prop in ("dest", "reply2"):
        return "value", (value.dest, int(value.dest_type))
    return "value", value


def check_shared(pools, prop, outcome):
    """A read of a shared message must give something some thread wrote, or the start."""
    kind, value = outcome
    if prop in ("json", "msgpack"):
        # The body may be another codec's or raw bytes, which the reader refuses.
        assert kind == "raises" or value in (JSON_DICTS if prop == "json" else MSGPACK_DICTS), value
        return
    assert kind == "value", f"{prop} read raised {value!r}"
    if prop == "dest":
        assert value in pools.dest_reads, value
    elif prop == "reply2":
        assert value in pools.reply_reads, value
    elif prop in ("is_reply", "elide", "is_request", "is_p2p"):
        assert type(value) is bool
    elif prop == "delivery_mode":
        assert value in pools.modes and type(value) is pools.zelmsg.DeliveryMode, value
    elif prop == "cos":
        assert value in (1, 2, 3), value
    elif prop == "content_type":
        assert value in pools.content_reads, value
    elif prop == "body":
        assert value in pools.body_reads(), value[:40]


class Private:
    """A message of one thread's own, with what it must read as."""

    def __init__(self, pools):
        self.pools = pools
        self.msg = pools.zelmsg.ZelMsg()
        self.expected = {
            "dest": pools.none,
            "reply2": pools.none,
            "is_reply": False,
            "elide": False,
            "delivery_mode": pools.zelmsg.Direct,
            "cos": 1,
            "content_type": "",
            "body": b"",
        }
        self.payload = None  # ("json" or "msgpack", the dict) while the body is an encoding

    def write(self, prop, value):
        setattr(self.msg, prop, value)
        if prop in ("dest", "reply2"):
            self.expected[prop] = (value.dest, int(value.dest_type) & 1)
        elif prop in ("json", "msgpack"):
            self.payload = (prop, value)
            self.expected["content_type"] = prop
            self.expected["body"] = None  # known once the codecs may be imported here
        else:
            self.expected[prop] = value
            if prop == "body":
                self.payload = None

    def check(self, prop):
        kind, value = read(self.msg, prop)
        if prop in ("json", "msgpack"):
            if self.payload and self.payload[0] == prop:
                assert (kind, value) == ("value", self.payload[1])
            else:
                assert kind == "raises", value  # another codec's body, or raw bytes
            return
        assert kind == "value", f"{prop} read raised {value!r}"
        e = self.expected
        if prop == "is_request":
            assert value == (e["reply2"] != self.pools.none and not e["is_reply"])
        elif prop == "is_p2p":
            assert value == e["dest"][0].startswith("#P2P")
        elif prop == "body" and e["body"] is None:
            assert value == self.pools.encoding(*self.payload)
        else:
            assert value == e[prop], (prop, value, e[prop])


class SlowImport:
    """An audit hook that, on an import of a codec module not yet loaded, sleeps (without
    the interpreter lock) before the import goes on, and tells while it does."""

    def __init__(self):
        self.importing = 0
        self.overlaps = 0  # codec uses that began while an import slept

    def __call__(self, event, args):
        if event == "import" and args[0] in ("orjson", "msgpack"):
            self.importing += 1
            time.sleep(0.2)
            self.importing -= 1


SLOW_IMPORT = SlowImport()


def worker(pools, shared, ops, seed, barrier, errors):
    try:
        rng = random.Random(seed)
        private = Private(pools)
        barrier.wait(timeout=TIMEOUT / 10)
        # First use of the codecs: every thread at once, writes and reads, shared and private.
        for prop in ("json", "msgpack") if seed % 2 else ("msgpack", "json"):
            if SLOW_IMPORT.importing:
                SLOW_IMPORT.overlaps += 1
            target = shared[seed % len(shared)]
            setattr(target, prop, pools.value(rng, prop))
            check_shared(pools, prop, read(target, prop))
            private.write(prop, pools.value(rng, prop))
            private.check(prop)
        for step in range(ops):
            choice = rng.random()
            if choice < 0.3:
                setattr(rng.choice(shared), prop := rng.choice(SETTERS), pools.value(rng, prop))
            elif choice < 0.6:
                prop = rng.choice(GETTERS)
                check_shared(pools, prop, read(rng.choice(shared), prop))
            elif choice < 0.8:
                prop = rng.choice(SETTERS)
                private.write(prop, pools.value(rng, prop))
                private.check(prop)
            elif choice < 0.9:
                private.check(rng.choice(GETTERS))
            elif choice < 0.95:
                assert isinstance(repr(rng.choice([private.msg, *shared])), str)
            else:
                # A message made, written and dropped, and the private one replaced now and then.
                temporary = pools.zelmsg.ZelMsg()
                temporary.dest = pools.value(rng, "dest")
                temporary.json = pools.value(rng, "json")
                if step % 97 == 0:
                    private = Private(pools)
    except BaseException:  # noqa: BLE001 (reported by the main thread)
        errors.append(traceback.format_exc())


def child_main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--ops", type=int, required=True)
    parser.add_argument("--switch-interval", type=float)
    parser.add_argument("--slow-import", action="store_true")
    args = parser.parse_args(argv)
    if args.switch_interval:
        sys.setswitchinterval(args.switch_interval)
    if args.slow_import:
        sys.addaudithook(SLOW_IMPORT)

    import zelmsg

    # The codec slots must start empty, and the module must still have to import them.
    assert "orjson" not in sys.modules and "msgpack" not in sys.modules

    live = None
    if hasattr(ctypes_library(), "standin_live_messages"):
        live = ctypes_library().standin_live_messages()
    pools = Pools(zelmsg)
    shared = [zelmsg.ZelMsg() for _ in range(3)]
    barrier = threading.Barrier(THREADS)
    errors = []
    threads = [
        threading.Thread(target=worker, args=(pools, shared, args.ops, seed, barrier, errors))
        for seed in range(THREADS)
    ]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - started
    del threads, shared
    if live is not None:
        import gc

        gc.collect()
        assert ctypes_library().standin_live_messages() == live, "messages left alive"
    print(f"{THREADS} threads x {args.ops} operations in {elapsed:.1f} s, {len(errors)} failed")
    if args.slow_import:
        print(f"codec uses during a codec import: {SLOW_IMPORT.overlaps}")
    for error in errors[:3]:
        print(error)
    return 1 if errors else 0


def ctypes_library():
    """The libsolclient this process loaded for zelmsg, through ctypes."""
    import ctypes

    with open("/proc/self/maps") as maps:
        path = next(line.split()[-1] for line in maps if "libsolclient.so" in line)
    library = ctypes.CDLL(path)
    if hasattr(library, "standin_live_messages"):
        library.standin_live_messages.restype = ctypes.c_long
    return library


if __name__ == "__main__":
    sys.exit(child_main(sys.argv[1:]))
