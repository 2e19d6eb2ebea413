"""How a build picks its libsolclient: the genuine library by default, for the target's
processor, never the stand-in unless asked for, and a clear stop where neither genuine source
can be reached or zelmsg has no build for the platform."""

import importlib.util
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import sysconfig
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


@pytest.mark.parametrize(
    "settings, environment, needs_vendor",
    [
        ({}, {}, True),
        ({"cmake.define.ZELMSG_STANDIN": "ON"}, {}, False),
        ({"cmake.define.ZELMSG_STANDIN": "OFF"}, {}, True),
        ({}, {"SKBUILD_CMAKE_DEFINE": "ZELMSG_STANDIN=ON"}, False),
        ({"cmake.define.ZELMSG_SOLCLIENT_DIR": "/opt/sdk/lib"}, {}, False),
        ({}, {"ZELMSG_SOLCLIENT_DIR": "/opt/sdk/lib"}, False),
    ],
)
def test_only_a_default_build_asks_for_the_vendors_package(backend, monkeypatch, settings, environment, needs_vendor):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    with open(ROOT / "pyproject.toml", "rb") as file:
        pinned = tomllib.load(file)["tool"]["zelmsg"]["solclient"]
    assert pinned.startswith("solace-pubsubplus==")
    for hook in (backend.get_requires_for_build_wheel, backend.get_requires_for_build_editable):
        assert (pinned in hook(settings)) is needs_vendor
    assert pinned not in backend.get_requires_for_build_sdist(settings)


PINNED = "solace-pubsubplus=="
BUILDS = {
    "default": {},
    "SDK": {"cmake.define.ZELMSG_SOLCLIENT_DIR": "/opt/sdk/lib"},
    "stand-in": {"cmake.define.ZELMSG_STANDIN": "ON"},
}


# The target is the platform the wheel is tagged for, _PYTHON_HOST_PLATFORM's in a cross build.
@pytest.mark.parametrize(
    "target, soabi, default, sdk",
    [
        ("linux-x86_64", "cpython-314-x86_64-linux-gnu", PINNED, None),
        ("linux-aarch64", "cpython-314-aarch64-linux-gnu", PINNED, None),
        (
            "linux-x86_64",
            "cpython-314-x86_64-linux-musl",
            "musllinux-x86_64 yet: .*musl build environment",
            "musllinux-x86_64 yet",
        ),
        ("macosx-11.0-arm64", "cpython-314-darwin", "macosx-11.0-arm64 yet: .*Mach-O", "macosx-11.0-arm64 yet"),
        ("win-amd64", "cp314-win_amd64", "win-amd64 yet: .*import library", "win-amd64 yet"),
        (
            "linux-ppc64le",
            "cpython-314-powerpc64le-linux-gnu",
            "Linux on x86_64 and aarch64 .*not for linux-ppc64le: .*ZELMSG_SOLCLIENT_DIR.*ZELMSG_STANDIN=ON",
            None,
        ),
    ],
)
def test_a_genuine_build_targets_only_the_platforms_zelmsg_builds_for(
    backend, monkeypatch, target, soabi, default, sdk
):
    monkeypatch.setenv("_PYTHON_HOST_PLATFORM", target)
    config_var = sysconfig.get_config_var
    monkeypatch.setattr(sysconfig, "get_config_var", lambda name: soabi if name == "SOABI" else config_var(name))
    for build, expected in (("default", default), ("SDK", sdk), ("stand-in", None)):
        if expected in (None, PINNED):
            requirements = backend.get_requires_for_build_wheel(BUILDS[build])
            assert any(r.startswith(PINNED) for r in requirements) is (expected == PINNED), build
        else:
            with pytest.raises(RuntimeError, match=expected):
                backend.get_requires_for_build_wheel(BUILDS[build])


def fake_vendor_package(folder, version, machines):
    """An installed solace-pubsubplus holding a libsolclient.so for each ELF machine named."""
    lib = folder / "solace/messaging/lib"
    files = []
    for directory, machine in machines.items():
        (lib / directory).mkdir(parents=True)
        header = b"\x7fELF\x02\x01\x01" + bytes(11) + machine.to_bytes(2, "little")
        (lib / directory / "libsolclient.so").write_bytes(header + bytes(44))
        files.append(f"solace/messaging/lib/{directory}/libsolclient.so")
    dist_info = folder / f"solace_pubsubplus-{version}.dist-info"
    dist_info.mkdir()
    (dist_info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: solace-pubsubplus\nVersion: {version}\n")
    (dist_info / "RECORD").write_text("".join(f"{name},,\n" for name in files))
    return lib


# A cross build sees the build machine's copy of the package beside the target's.
@pytest.mark.parametrize(
    "processor, found, message",
    [
        ("x86_64", ("build", "linux-x86_64", "1.11.0"), None),
        ("aarch64", ("target", "linux-aarch64", "1.10.0"), None),
        ("ppc64le", None, "carries no Linux libsolclient for ppc64le"),
    ],
)
def test_the_vendors_library_follows_the_target_processor(tmp_path, processor, found, message):
    folders = {"build": tmp_path / "build", "target": tmp_path / "target"}
    libs = {
        "build": fake_vendor_package(folders["build"], "1.11.0", {"linux-x86_64": 62}),
        "target": fake_vendor_package(folders["target"], "1.10.0", {"linux-aarch64": 183}),
    }
    result = subprocess.run(
        [sys.executable, "-S", ROOT / "cmake/vendor_solclient.py", processor],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(map(str, folders.values()))},
    )
    if found is None:
        assert (result.returncode, result.stdout, result.stderr.strip()) == (1, "", f"solace-pubsubplus {message}")
    else:
        folder, directory, version = found
        assert result.stdout.splitlines() == [str(libs[folder] / directory / "libsolclient.so"), version]


def test_the_vendors_package_without_the_targets_library_is_named(tmp_path):
    fake_vendor_package(tmp_path, "1.11.0", {"linux-x86_64": 62})
    result = subprocess.run(
        [sys.executable, "-S", ROOT / "cmake/vendor_solclient.py", "aarch64"],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )
    assert (result.returncode, result.stderr.strip()) == (
        1,
        "solace-pubsubplus 1.11.0 holds no libsolclient.so for aarch64",
    )


def test_a_build_without_the_vendors_package_fails_and_names_every_way_out(tmp_path):
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    if cmake is None:
        pytest.skip("no cmake")
    # A native build, with the host's own compiler: under emulation it makes programs for
    # another processor than this interpreter's.
    compiler = shutil.which("c++")
    target = subprocess.run([compiler, "-dumpmachine"], capture_output=True, text=True).stdout if compiler else ""
    if not target.startswith(f"{platform.machine()}-"):
        pytest.skip(
            f"the host's compiler builds for {target.strip() or 'nothing'}, not for this "
            f"{platform.machine()} interpreter"
        )
    # An interpreter of the same version with nothing installed: no solace-pubsubplus.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", tmp_path / "bare"], check=True)
    configured = subprocess.run(
        [
            cmake,
            "-S",
            ROOT,
            "-B",
            tmp_path / "build",
            f"-DPython_EXECUTABLE={tmp_path / 'bare/bin/python'}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
            "-DSKBUILD_PROJECT_VERSION_FULL=0",
            "-DZELMSG_SOLCLIENT_DIR=",
        ],
        # The host's own compiler, whichever CXX names for the peer module's tests.
        capture_output=True,
        text=True,
        timeout=300,
        env={k: v for k, v in os.environ.items() if k not in ("ZELMSG_SOLCLIENT_DIR", "CXX")},
    )
    assert configured.returncode != 0
    message = " ".join(configured.stderr.split())
    assert "No genuine libsolclient to build against" in message
    for way_out in ("solace-pubsubplus", "ZELMSG_SOLCLIENT_DIR", "ZELMSG_STANDIN=ON"):
        assert way_out in message
    assert "stand-in libsolclient" not in configured.stdout
