"""Importing zelmsg: the interpreter check, start-up, what the module exports and shares."""

import ast
import glob
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import textwrap
import tomllib

import pytest
import zelmsg

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_python(code, python=sys.executable):
    return subprocess.run([python, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def other_cpythons():
    """CPython interpreters of other minor versions on this machine, for this interpreter's
    processor (one for another processor cannot load the module at all), newest first."""
    found = {}
    candidates = glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"))
    candidates += [shutil.which(f"python3.{minor}") for minor in range(8, 20)]
    for path in filter(None, candidates):
        probe = run_python(
            "import sys, platform; print(platform.python_implementation(), platform.machine(), *sys.version_info[:2])",
            path,
        )
        impl, machine, major, minor = probe.stdout.split() if probe.returncode == 0 else ("", "", 0, 0)
        if impl == "CPython" and machine == platform.machine() and (int(major), int(minor)) != (3, 14):
            found.setdefault((int(major), int(minor)), path)
    return [found[v] for v in sorted(found, reverse=True)]


def test_other_interpreter_version_is_refused_before_anything_is_made():
    others = other_cpythons()
    if not others:
        pytest.skip(f"no CPython of another version for {platform.machine()} on this machine")
    # The file names a 3.14 tag and uses newer functions: load it by hand, lazily bound.
    result = run_python(
        f"""
        import importlib.machinery, importlib.util, os, sys
        sys.setdlopenflags(os.RTLD_LAZY)
        loader = importlib.machinery.ExtensionFileLoader("zelmsg", {zelmsg.__file__!r})
        spec = importlib.util.spec_from_file_location("zelmsg", {zelmsg.__file__!r}, loader=loader)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            print(error)
            print("zelmsg" in sys.modules)
        """,
        others[0],
    )
    assert result.returncode == 0, result.stderr
    message, in_modules = result.stdout.splitlines()
    version = run_python("import sys; print(sys.version)", others[0]).stdout.strip()
    assert message == (
        "Python version mismatch: module was compiled for Python 3.14, "
        f"but the interpreter version is incompatible: {version}."
    )
    assert in_modules == "False"


def test_reimport_returns_the_same_module_without_registering_again():
    result = run_python(
        """
        import sys, zelmsg
        first, message_type = zelmsg, zelmsg.ZelMsg
        del sys.modules["zelmsg"]
        import zelmsg
        print(zelmsg is first, zelmsg.ZelMsg is message_type)
        """
    )
    assert result.stdout.split() == ["True", "True"], result.stderr


def test_subinterpreter_is_refused_by_cpython():
    result = run_python(
        """
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec("import zelmsg")
        except interpreters.ExecutionFailed as failure:
            print(failure.excinfo.type.__name__, failure.excinfo.msg)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError")
    assert "does not support loading in subinterpreters" in result.stdout


TYPED_CLASSES = ["Int8", "Int16", "Int32", "UInt8", "UInt16", "UInt32", "UInt64", "Float32", "WChar"]
LATER_CLASSES = ["Smf", "UnknownField", "ReplicationGroupMessageId"]
# What the module registers after its enums, Destination and ZelMsg, in that order.
ADDED_IN_ORDER = [
    "_C_API",
    "get_include",
    "get_cmake_dir",
    "library_version",
    *TYPED_CLASSES,
    "UserProperties",
    "TraceContext",
    "CacheStatus",
    *LATER_CLASSES,
]


def stub_properties(cls):
    """The properties of cls in the installed stub, in the order it declares them."""
    tree = ast.parse((pathlib.Path(zelmsg.__file__).parent / "zelmsg-stubs" / "__init__.pyi").read_text())
    body = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == cls).body
    return [
        node.name
        for node in body
        if isinstance(node, ast.FunctionDef)
        and any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)
    ]


def test_module_holds_exactly_its_surface():
    own = {name for name in vars(zelmsg) if not name.startswith("__")}
    assert own == {
        "DestinationType",
        "Null",
        "Topic",
        "Queue",
        "TopicTemp",
        "QueueTemp",
        "DeliveryMode",
        "Direct",
        "Persistent",
        "NonPersistent",
        "Destination",
        "ZelMsg",
        *ADDED_IN_ORDER,
    }
    # Each addition is registered after what came before it.
    assert [name for name in vars(zelmsg) if name in own][-len(ADDED_IN_ORDER) :] == ADDED_IN_ORDER
    # The stub is written by hand, so it is the independent record of the properties' order.
    properties = [name for name, value in vars(zelmsg.ZelMsg).items() if isinstance(value, property)]
    assert properties == stub_properties("ZelMsg")
    assert list(vars(zelmsg.ZelMsg))[-9:] == [
        "__copy__",
        "__deepcopy__",
        "build",
        "to_smf",
        "from_smf",
        "__reduce__",
        "__setstate__",
        "dump",
        "reset",
    ]
    assert zelmsg.__doc__ == "\n\n  "
    for cls in (
        zelmsg.DestinationType,
        zelmsg.DeliveryMode,
        zelmsg.Destination,
        zelmsg.ZelMsg,
        zelmsg.UserProperties,
        zelmsg.TraceContext,
        zelmsg.CacheStatus,
        *(getattr(zelmsg, name) for name in (*TYPED_CLASSES, *LATER_CLASSES)),
    ):
        assert cls.__module__ == "zelmsg" and cls.__qualname__ == cls.__name__


def test_the_reference_lists_every_property_in_order_with_what_it_takes():
    """docs/reference.md's table is the surface a user reads: it cannot drift from the module."""
    rows = [
        line.split("|")[1:4] for line in (ROOT / "docs/reference.md").read_text().splitlines() if line.startswith("| `")
    ]
    documented = [(name.strip().strip("`"), takes.strip() == "read-only") for name, _, takes in rows]
    assert documented == [
        (name, value.fset is None) for name, value in vars(zelmsg.ZelMsg).items() if isinstance(value, property)
    ]


# The version records of the vendor's builds of the genuine library that the wheels carry.
GENUINE_VERSIONS = {
    "x86_64": ("7.33.0.3", "Apr 14 2025 11:58:57", "Linux26-x86_64_opt - C SDK"),
    "aarch64": ("7.33.0.3", "Apr 14 2025 11:58:14", "Linux-aarch64_opt - C SDK"),
}


def test_versions_name_the_distribution_and_the_library_it_runs_on(lib):
    with open(ROOT / "pyproject.toml", "rb") as file:
        assert zelmsg.__version__ == tomllib.load(file)["project"]["version"]
    version = zelmsg.library_version()
    assert all(type(text) is str and text for text in version)
    if lib.has_control:
        assert "stand-in" in version[2]
    else:
        assert version == GENUINE_VERSIONS[platform.machine()]


TOOLCHAIN_INITIALISERS = {"x86_64": 1, "aarch64": 2}


def test_module_exports_only_its_entry_point_and_runs_nothing_on_load():
    nm = shutil.which("nm")
    readelf = shutil.which("readelf")
    if not (nm and readelf):
        pytest.skip("binutils are not installed")
    exported = subprocess.run([nm, "-D", "--defined-only", zelmsg.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in exported.stdout.splitlines()] == ["PyInit_zelmsg"]
    # The only load-time initialisers are the toolchain's: no constructor of the module's
    # own (no .ctors, and .init_array holds the toolchain's entries alone). gcc's is
    # frame_dummy, and on aarch64 also libgcc's check for the processor's atomic
    # instructions, which its default outline atomics ask for; zig's linker needs none.
    sections = subprocess.run([readelf, "-SW", zelmsg.__file__], capture_output=True, text=True, check=True).stdout
    assert ".ctors" not in sections
    init_array = re.search(r"\.init_array\s+\S+\s+\S+\s+\S+\s+([0-9a-f]+)", sections)
    assert init_array is None or int(init_array.group(1), 16) == 8 * TOOLCHAIN_INITIALISERS[platform.machine()]


def test_module_needs_no_library_path(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    result = subprocess.run(
        [sys.executable, "-c", "import zelmsg; zelmsg.ZelMsg()"],
        env=env,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr


def test_types_cross_to_another_module_through_the_shared_registry(peer):
    moved = peer.reroute(zelmsg.Destination("orders"))
    assert type(moved) is zelmsg.Destination
    assert (moved.dest, moved.dest_type) == ("orders/peer", zelmsg.Queue)
    assert type(peer.next_type(zelmsg.Topic)) is zelmsg.DestinationType
    assert peer.next_type(zelmsg.Topic) == zelmsg.Queue
    assert type(peer.upgrade(zelmsg.Direct)) is zelmsg.DeliveryMode
    assert peer.upgrade(zelmsg.Direct) == zelmsg.Persistent
    msg = zelmsg.ZelMsg()
    assert peer.same_message(msg, msg) and not peer.same_message(msg, zelmsg.ZelMsg())
    with pytest.raises(TypeError):
        peer.next_type(1)


def test_types_cross_to_a_gcc_module_only_from_a_libstdcxx_build(gcc_peer_file):
    """pybind11 shares types between modules of one C++ runtime. Most pybind11 modules on
    Linux are built with gcc and libstdc++, as zelmsg's usual wheels are; the x86_64 wheel
    for glibc older than 2.34 has libc++ linked in, and a gcc module does not see its types:
    the C API is the way across (docs/native.md)."""
    with open(zelmsg.__file__, "rb") as module:
        on_libstdcxx = b"libstdc++.so.6\0" in module.read()
    result = run_python(
        f"""
        import importlib.util, zelmsg
        spec = importlib.util.spec_from_file_location("zelmsg_peer", {str(gcc_peer_file)!r})
        peer = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(peer)
        msg = zelmsg.ZelMsg()
        for call, arguments in [(peer.reroute, [zelmsg.Destination("orders")]), (peer.next_type, [zelmsg.Topic]),
                                (peer.upgrade, [zelmsg.Direct]), (peer.same_message, [msg, msg])]:
            try:
                print(repr(call(*arguments)))
            except TypeError as error:
                print("TypeError:", str(error).splitlines()[0])
        """
    )
    assert result.returncode == 0, result.stderr
    if on_libstdcxx:
        assert result.stdout.splitlines() == [
            "Destination('orders/peer', DestinationType.Queue)",
            "<DestinationType.Queue: 1>",
            "<DeliveryMode.Persistent: 16>",
            "True",
        ]
    else:  # the enum's own caster names the type it takes, pybind11 the others
        refused = "incompatible function arguments. The following argument types are supported:"
        assert result.stdout.splitlines() == [
            f"TypeError: reroute(): {refused}",
            "TypeError: Destination.dest_type takes a DestinationType; got zelmsg.DestinationType",
            f"TypeError: upgrade(): {refused}",
            f"TypeError: same_message(): {refused}",
        ]


def standin_path():
    """The stand-in zelmsg loads, found without importing zelmsg."""
    import importlib.util

    origin = importlib.util.find_spec("zelmsg").origin
    return os.path.join(os.path.dirname(origin), "zelmsg.libs", "libsolclient.so.1")


@pytest.mark.standin_only
def test_the_library_is_initialised_once_and_a_refusal_fails_the_import():
    result = run_python(f"""
        import ctypes, sys
        lib = ctypes.CDLL({standin_path()!r})
        calls = lambda: lib.standin_calls(b"solClient_initialize")
        lib.standin_calls.restype = ctypes.c_ulong
        lib.standin_set_error_text(b"no resources for the library")
        lib.standin_fail_next(b"solClient_initialize", -1, 1)
        try:
            import zelmsg
        except ImportError as error:
            print(error)
        import zelmsg
        del sys.modules["zelmsg"]
        import zelmsg
        print(calls())
    """)
    assert result.stdout.splitlines() == ["libsolclient could not be initialised: no resources for the library", "2"], (
        result.stderr
    )


def test_importing_starts_no_thread_and_changes_no_signal_disposition():
    result = run_python("""
        def state():
            lines = open("/proc/self/status").read().splitlines()
            return [line for line in lines if line.split(":")[0] in ("Threads", "SigBlk", "SigIgn", "SigCgt")]
        before = state()
        import zelmsg
        zelmsg.ZelMsg().cos = 5
        print(before == state(), len(before))
    """)
    assert result.stdout.split() == ["True", "4"], result.stderr


def test_a_message_made_before_a_session_initialises_the_library_keeps_its_own_values():
    result = run_python("""
        import ctypes, os, zelmsg
        msg = zelmsg.ZelMsg()
        msg.dest = zelmsg.Destination("made-at-import")
        path = next(line.split()[-1] for line in open("/proc/self/maps") if "libsolclient" in line)
        lib = ctypes.CDLL(path)
        # What a session module does first; it would discard every message made before it.
        print(lib.solClient_initialize(5, None))
        other = zelmsg.ZelMsg()
        other.dest = zelmsg.Destination("made-after")
        print(msg.dest.dest, other.dest.dest)
    """)
    assert result.stdout.split() == ["0", "made-at-import", "made-after"], result.stderr
