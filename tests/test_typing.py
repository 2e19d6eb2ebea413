"""The installed type stubs: found by type checkers, true to the module, strict-clean in use."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytest.importorskip("mypy")


def mypy(*args, cwd):
    # Run outside the checkout, so only the installed module and its stubs are seen.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", *args], cwd=cwd, capture_output=True, text=True, timeout=300
    )


def test_typed_usage_is_strict_clean_and_runs(tmp_path):
    example = ROOT / "examples/typed_usage.py"
    checked = mypy("--strict", str(example), cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout
    ran = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr


def test_type_checker_uses_the_stubs_to_catch_misuse(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "import zelmsg\n"
        "msg = zelmsg.ZelMsg()\n"
        "msg.cos = '3'\n"
        "msg.delivery_mode = zelmsg.Queue\n"
        "msg.is_p2p = True\n"
        "msg.body = bytearray(b'x')\n"
    )
    checked = mypy("--strict", str(misuse), cwd=tmp_path)
    errors = [line for line in checked.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["3", "4", "5", "6"], checked.stdout


def test_stubs_match_the_module(tmp_path):
    checked = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zelmsg", "--allowlist", str(ROOT / "tests/stubtest-allowlist.txt")],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert checked.returncode == 0, checked.stdout
