"""The stand-in library's own C ABI handed bad input: the native tests of tests/native (null,
freed and foreign handles, null pointers, a null pointer with a size, destination records
of the wrong size, over-long names, every dump buffer size, an attachment of 4294967295
bytes). They are built from source with the environment's CMake and run one case per
process. In the sanitized run (scripts/test-sanitized) they are built with the same
instrumentation, so any access outside what a call was handed fails there too."""

import fcntl
import pathlib
import re
import subprocess

import ninja
import pytest

import cmake

standin_only = pytest.mark.standin_only  # they build and test the stand-in itself

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests/native"
CASES = re.findall(r"^TEST_CASE\((\w+)\)", (SOURCE / "standin_abi_tests.cpp").read_text(), re.M)


def sanitized():
    """Whether this interpreter runs with the sanitizer runtime loaded."""
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


def run(command, **options):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True, **options)
    assert result.returncode == 0, f"{command[0]} exited with {result.returncode}\n{result.stdout}{result.stderr}"
    return result.stdout


@pytest.fixture(scope="session")
def native_tests():
    instrumented = sanitized()
    build = ROOT / "build" / ("native-sanitized" if instrumented else "native")
    build.mkdir(parents=True, exist_ok=True)
    # Another run on this tree may be building the same folder.
    with open(build / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        run(
            [
                pathlib.Path(cmake.CMAKE_BIN_DIR) / "cmake",
                "-S",
                SOURCE,
                "-B",
                build,
                "-G",
                "Ninja",
                f"-DCMAKE_MAKE_PROGRAM={pathlib.Path(ninja.BIN_DIR) / 'ninja'}",
                f"-DZELMSG_SANITIZE={'ON' if instrumented else 'OFF'}",
            ]
        )
        run([pathlib.Path(cmake.CMAKE_BIN_DIR) / "cmake", "--build", build])
    binary = build / "standin_abi_tests"
    assert run([binary, "--list"]).split() == CASES
    return binary


@standin_only
@pytest.mark.parametrize("case", CASES)
def test_native(native_tests, case):
    output = run([native_tests, case], timeout=600)
    assert re.search(r"1 cases, \d+ checks, 0 failed", output), output
