"""How a build picks its libsolclient: the genuine library by default, never the stand-in
unless asked for, and a clear stop where neither genuine source can be reached."""

import importlib.util
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import tomllib

import pybind11
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture
def backend(monkeypatch):
    for name in ("ZELMSG_SOLCLIENT_DIR", "SKBUILD_CMAKE_DEFINE"):
        monkeypatch.delenv(name, raising=False)
    spec = importlib.util.spec_from_file_location("zelmsg_backend", ROOT / "build_backend/zelmsg_backend.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("settings, environment, needs_vendor", [
    ({}, {}, True),
    ({"cmake.define.ZELMSG_STANDIN": "ON"}, {}, False),
    ({"cmake.define.ZELMSG_STANDIN": "OFF"}, {}, True),
    ({}, {"SKBUILD_CMAKE_DEFINE": "ZELMSG_STANDIN=ON"}, False),
    ({"cmake.define.ZELMSG_SOLCLIENT_DIR": "/opt/sdk/lib"}, {}, False),
    ({}, {"ZELMSG_SOLCLIENT_DIR": "/opt/sdk/lib"}, False),
])
def test_only_a_default_build_asks_for_the_vendors_package(backend, monkeypatch, settings, environment, needs_vendor):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    with open(ROOT / "pyproject.toml", "rb") as file:
        pinned = tomllib.load(file)["tool"]["zelmsg"]["solclient"]
    assert pinned.startswith("solace-pubsubplus==")
    for hook in (backend.get_requires_for_build_wheel, backend.get_requires_for_build_editable):
        assert (pinned in hook(settings)) is needs_vendor
    assert pinned not in backend.get_requires_for_build_sdist(settings)


def test_a_default_build_stops_on_a_machine_the_vendors_package_has_no_library_for(backend, monkeypatch):
    monkeypatch.setattr(platform, "machine", lambda: "aarch64")
    with pytest.raises(RuntimeError, match="x86_64 Linux only.*ZELMSG_SOLCLIENT_DIR.*ZELMSG_STANDIN=ON"):
        backend.get_requires_for_build_wheel({})
    assert backend.get_requires_for_build_wheel({"cmake.define.ZELMSG_STANDIN": "ON"}) is not None


def test_a_build_without_the_vendors_package_fails_and_names_every_way_out(tmp_path):
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    if cmake is None:
        pytest.skip("no cmake")
    # An interpreter of the same version with nothing installed: no solace-pubsubplus.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", tmp_path / "bare"], check=True)
    configured = subprocess.run(
        [cmake, "-S", ROOT, "-B", tmp_path / "build", f"-DPython_EXECUTABLE={tmp_path / 'bare/bin/python'}",
         f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", "-DSKBUILD_PROJECT_VERSION_FULL=0",
         "-DZELMSG_SOLCLIENT_DIR="],
        capture_output=True, text=True, timeout=300, env={k: v for k, v in os.environ.items()
                                                          if k != "ZELMSG_SOLCLIENT_DIR"})
    assert configured.returncode != 0
    message = " ".join(configured.stderr.split())
    assert "No genuine libsolclient to build against" in message
    for way_out in ("solace-pubsubplus", "ZELMSG_SOLCLIENT_DIR", "ZELMSG_STANDIN=ON"):
        assert way_out in message
    assert "stand-in libsolclient" not in configured.stdout
