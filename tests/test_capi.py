"""zelmsg's C API: native code reaching a ZelMsg's library message, and adopting one."""

import gc
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest
import zelmsg
from solclient import OK, QUEUE, TOPIC
from zelmsg import Destination, ZelMsg

ROOT = pathlib.Path(__file__).resolve().parent.parent
standin_only = pytest.mark.standin_only


@pytest.fixture(scope="session")
def example_dir(tmp_path_factory):
    """examples/native built through zelmsg's CMake package config, for this interpreter."""
    if not (shutil.which("gcc") and (pathlib.Path(sys.prefix) / "bin/cmake").exists()):
        pytest.skip("needs gcc and the environment's cmake")
    build = tmp_path_factory.mktemp("native-example")
    subprocess.run([ROOT / "scripts/native-example", sys.prefix, build], check=True, capture_output=True)
    return build


@pytest.fixture(scope="session")
def example(example_dir):
    path = next(example_dir.glob("native_example*.so"))
    spec = importlib.util.spec_from_file_location("native_example", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_python(code, path):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ, PYTHONPATH=str(path)),
    )


def test_the_header_compiles_alone_as_c_and_as_cpp(tmp_path):
    include = pathlib.Path(sysconfig.get_paths()["include"])
    source = tmp_path / "use.c"
    source.write_text(
        '#include <Python.h>\n#include "zelmsg/capi.h"\nint imported(void) { return ZelMsg_ImportCAPI() != NULL; }\n'
    )
    for compiler, language in (("gcc", "c"), ("g++", "c++")):
        if not shutil.which(compiler):
            pytest.skip(f"no {compiler}")
        built = subprocess.run(
            [
                compiler,
                "-x",
                language,
                "-Wall",
                "-Wextra",
                "-Werror",
                "-fsyntax-only",
                "-isystem",
                include,
                "-I",
                zelmsg.get_include(),
                source,
            ],
            capture_output=True,
            text=True,
        )
        assert built.returncode == 0, built.stderr


def test_native_code_reads_the_message_behind_a_zelmsg(example):
    for name, kind in (("orders/eu/new", zelmsg.Topic), ("order-replies", zelmsg.Queue)):
        msg = ZelMsg()
        msg.dest = Destination(name, kind)
        read = example.read_dest(msg)
        assert (read.dest, read.dest_type) == (name, kind)


def test_a_message_built_natively_is_adopted_and_freed_once(lib, example):
    gc.collect()
    live = lib.standin_live_messages() if lib.has_control else None
    msg = example.make_message("prices/gbp", 1, b"\x00payload")
    assert (msg.dest.dest, msg.dest.dest_type, msg.cos, msg.body) == ("prices/gbp", zelmsg.Topic, 2, b"\x00payload")
    if lib.has_control:
        assert lib.standin_live_messages() == live + 1
        frees = lib.calls("solClient_msg_free")
        del msg
        assert lib.standin_live_messages() == live
        assert lib.calls("solClient_msg_free") == frees + 1


def test_check_tells_zelmsg_objects_from_any_other(capi):
    class Sub(ZelMsg):
        pass

    assert capi.version == 1
    assert [capi.check(obj) for obj in (ZelMsg(), Sub(), ZelMsg.__new__(ZelMsg))] == [1, 1, 1]
    assert [capi.check(obj) for obj in (None, 1, "msg", Destination("a"), ZelMsg, object())] == [0] * 6


def test_handle_is_the_library_message_of_a_live_zelmsg(lib, capi):
    class Sub(ZelMsg):
        pass

    for msg in (ZelMsg(), Sub()):
        msg.dest = Destination("q", zelmsg.Queue)
        handle = capi.handle(msg)
        assert lib.get_destination(handle) == (OK, QUEUE, b"q")
        assert capi.handle(msg) == handle


def test_handle_refuses_other_objects_and_objects_holding_no_message(capi):
    for obj in (None, 7, Destination("a"), ZelMsg):
        with pytest.raises(TypeError, match="expected a zelmsg.ZelMsg"):
            capi.handle(obj)
    unset = ZelMsg.__new__(ZelMsg)
    with pytest.raises(ValueError, match="holds no message"):
        capi.handle(unset)  # never touched: pybind11 has not even allocated it
    unset.cos  # noqa: B018 (now allocated, zero-filled)
    with pytest.raises(ValueError, match="holds no message"):
        capi.handle(unset)


def test_adopt_refuses_a_null_handle(capi):
    with pytest.raises(ValueError, match="null message handle"):
        capi.adopt(None)


def test_an_adopted_stale_handle_reads_as_empty_and_is_released_harmlessly(lib, capi):
    handle = lib.alloc()
    lib.set_destination(handle, TOPIC, b"gone")
    assert lib.free(handle) == OK
    msg = capi.adopt(handle)
    assert type(msg) is ZelMsg
    assert (msg.dest.dest, msg.cos, msg.body, msg.content_type) == ("", 1, b"", "")
    msg.cos = 2
    if lib.has_control:
        before = lib.calls("solClient_msg_free")
        del msg
        assert lib.calls("solClient_msg_free") == before + 1


def test_import_capi_refuses_an_older_table_and_a_missing_capsule(example_dir):
    forged_older = """
        import ctypes, zelmsg
        table = (ctypes.c_int * 8)(0)
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        zelmsg._C_API = new(ctypes.addressof(table), b"zelmsg._C_API", None)
        try:
            import native_example
        except ImportError as error:
            print(error)
    """
    result = run_python(forged_older, example_dir)
    assert result.stdout.strip() == (
        "zelmsg's C API is version 0, older than version 1 that this code was built for"
    ), result.stderr
    result = run_python(
        """
        import zelmsg
        del zelmsg._C_API
        try:
            import native_example
        except ImportError as error:
            print(type(error.__cause__).__name__, error)
    """,
        example_dir,
    )
    assert result.stdout.strip() == "AttributeError zelmsg has no usable C API (zelmsg._C_API)", result.stderr


@pytest.mark.parametrize("first", ["zelmsg", "native_example"])
def test_one_library_instance_serves_both_modules_whichever_loads_first(example_dir, first):
    second = {"zelmsg": "native_example", "native_example": "zelmsg"}[first]
    result = run_python(
        f"""
        import ctypes, {first}, {second}
        import zelmsg, native_example
        by_soname = ctypes.CDLL("libsolclient.so.1")  # the loader answers with the copy loaded
        paths = {{line.split()[-1] for line in open("/proc/self/maps") if "libsolclient" in line}}
        same = by_soname._handle == ctypes.CDLL(paths.pop())._handle
        msg = zelmsg.ZelMsg()
        msg.dest = zelmsg.Destination("shared")
        print(len(paths) + 1, same, native_example.read_dest(msg).dest)
    """,
        example_dir,
    )
    assert result.stdout.split() == ["1", "True", "shared"], result.stderr


# The library's own wire encoding: what a session sends and a receiver decodes.

READABLE = [
    "dest",
    "reply2",
    "is_reply",
    "is_request",
    "is_p2p",
    "delivery_mode",
    "content_type",
    "elide",
    "cos",
    "body",
    "text",
    "dmq_eligible",
    "ttl",
    "priority",
    "correlation_id",
    "application_message_id",
    "sender_timestamp",
    "sequence_number",
]


@pytest.mark.genuine_only
@pytest.mark.parametrize(
    "payload, value",
    [
        ("json", {"order": 1042, "items": ["tea", "scones"]}),
        ("msgpack", {"order": 1042, "blob": b"\x00\xff"}),
        ("body", b"\x00raw\xff"),
        ("text", "héllo ☃"),
    ],
)
def test_a_message_survives_the_librarys_wire_encoding(lib, capi, payload, value):
    msg = ZelMsg()
    msg.dest, msg.reply2 = Destination("orders/eu/new"), Destination("order-replies", zelmsg.Queue)
    msg.is_reply, msg.elide, msg.delivery_mode, msg.cos = True, True, zelmsg.Persistent, 3
    msg.dmq_eligible, msg.ttl, msg.priority = True, 315_360_000_000, 7
    msg.correlation_id, msg.application_message_id = "req-42", ""
    msg.sender_timestamp, msg.sequence_number = 1_700_000_000_123, 2**63 + 5
    msg.content_type = "application/octet-stream"
    setattr(msg, payload, value)
    wire = lib.encode(capi.handle(msg))
    assert lib.encode(capi.handle(msg)) == wire  # encoding changes nothing
    received = capi.adopt(lib.decode(wire))
    assert {prop: getattr(received, prop) for prop in READABLE} == {prop: getattr(msg, prop) for prop in READABLE}
    assert getattr(received, payload) == value
