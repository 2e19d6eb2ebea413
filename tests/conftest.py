import ctypes
import importlib.util
import os
import pathlib
import platform
import shutil
import subprocess
import sysconfig

import pytest
import zelmsg
from solclient import Library

ROOT = pathlib.Path(__file__).resolve().parent.parent


def loaded_libsolclient():
    """The libsolclient file this process loaded for zelmsg: the tests drive that very copy."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split(maxsplit=5)[-1].strip()
            if os.path.basename(path).startswith("libsolclient.so"):
                return path
    raise RuntimeError("zelmsg is imported but no libsolclient is mapped")


LIB = Library(ctypes.CDLL(loaded_libsolclient()))


def pytest_configure(config):
    config.addinivalue_line("markers", "standin_only: needs the stand-in library's test-control interface")
    config.addinivalue_line(
        "markers", "genuine_only: needs what only the genuine library does, such as its wire encoding"
    )


def pytest_collection_modifyitems(config, items):
    marker, reason = (
        ("genuine_only", "needs the genuine library")
        if LIB.has_control
        else ("standin_only", "needs the stand-in library's test-control interface")
    )
    skip = pytest.mark.skip(reason=reason)
    for item in items:
        if marker in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def lib():
    return LIB


class CAPI(ctypes.Structure):
    # Python-API function types: ctypes raises the exception a NULL result leaves set.
    _fields_ = [
        ("version", ctypes.c_int),
        ("check", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)),
        ("handle", ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object)),
        ("adopt", ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p)),
    ]


@pytest.fixture(scope="session")
def capi():
    """zelmsg's C API table, as native code reaches it."""
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return CAPI.from_address(get_pointer(zelmsg._C_API, b"zelmsg._C_API"))


@pytest.fixture(autouse=True)
def _fresh_standin():
    """Each test starts with no injected faults and zeroed counters."""
    if LIB.has_control:
        LIB.standin_reset()


# The GNU C++ compiler for this interpreter's processor: the host's own, or its cross
# compiler when the interpreter runs under emulation.
GXX = shutil.which(f"{platform.machine()}-linux-gnu-g++") or shutil.which("g++")


def build_peer(compiler, folder):
    """The file of tests/peer built with COMPILER and this environment's pybind11."""
    if compiler is None:
        pytest.skip("no C++ compiler to build the peer module")
    import pybind11

    include = pathlib.Path(sysconfig.get_paths()["include"])
    out = folder / f"zelmsg_peer{sysconfig.get_config_var('EXT_SUFFIX')}"
    subprocess.run(
        [
            compiler,
            "-std=c++20",
            "-O1",
            "-shared",
            "-fPIC",
            "-fvisibility=hidden",
            "-I",
            str(ROOT / "src/core"),
            "-I",
            str(ROOT / "src/messaging"),
            "-isystem",
            pybind11.get_include(),
            "-isystem",
            str(include),
            str(ROOT / "tests/peer/zelmsg_peer.cpp"),
            "-o",
            str(out),
        ],
        check=True,
    )
    return out


@pytest.fixture(scope="session")
def peer(tmp_path_factory):
    """A second extension module built with the same compiler and pybind11 as zelmsg: CXX
    names that compiler where it is not gcc."""
    compiler = os.environ.get("CXX")
    out = build_peer(shutil.which(compiler) if compiler else GXX, tmp_path_factory.mktemp("peer"))
    spec = importlib.util.spec_from_file_location("zelmsg_peer", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def gcc_peer_file(request, tmp_path_factory):
    """The peer module's file built with gcc and libstdc++, as most pybind11 modules on Linux
    are. pybind11 gives a process one module of a name, so another process loads it."""
    if not os.environ.get("CXX"):
        return request.getfixturevalue("peer").__file__
    return build_peer(GXX, tmp_path_factory.mktemp("gcc-peer"))
