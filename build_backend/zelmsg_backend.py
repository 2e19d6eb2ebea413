"""zelmsg's build backend: scikit-build-core's, plus the package that carries the genuine
libsolclient when a build links against that one.

A default build links against, and ships, the libsolclient inside the vendor's wheel
`solace-pubsubplus`, at the version pinned in pyproject.toml ([tool.zelmsg]). A build
given an SDK folder (ZELMSG_SOLCLIENT_DIR) or the stand-in (ZELMSG_STANDIN=ON) needs no
such package, so that offline SDK builds work; sdists never need it.

The backend also decides which platforms a build of the genuine library may target: glibc
Linux on x86_64 and aarch64, where zelmsg is built and tested. The vendor's package also
carries the library for musl Linux, macOS and Windows; a build for one of those stops and
says what it lacks. The target is the platform the wheel is tagged for: the machine's own,
or _PYTHON_HOST_PLATFORM's in a cross build.
"""

import os
import pathlib
import sysconfig
import tomllib

from scikit_build_core import build as _scikit_build
from scikit_build_core.build import (  # noqa: F401  (the hooks this backend passes on as they are)
    build_editable,
    build_sdist,
    build_wheel,
    get_requires_for_build_sdist,
    prepare_metadata_for_build_editable,
    prepare_metadata_for_build_wheel,
)

_TRUE = {"1", "on", "yes", "true", "y"}

# Platforms the vendor's package carries libsolclient for, whose build zelmsg lacks: what a
# build there needs first.
_UNTESTED = {
    "musllinux": "the vendor's package carries libsolclient for musl Linux on x86_64, but zelmsg "
    "has no musl build environment or test run yet (its wheels and tests are for glibc)",
    "macosx": "zelmsg's build is ELF-only (a GNU linker version script, an $ORIGIN run path, the "
    "library's SONAME read with readelf); macOS needs its Mach-O counterparts "
    "(an exported symbols list, @loader_path, install names) and a Mac to test them on",
    "win": "the vendor's package carries libsolclient.dll without the import library (.lib) that "
    "linking against it needs, and zelmsg's build is ELF-only",
}


def _define(config_settings, name):
    """A CMake definition given to this build: -Ccmake.define.NAME=..., or in
    SKBUILD_CMAKE_DEFINE, scikit-build-core's own variable for them."""
    value = (config_settings or {}).get(f"cmake.define.{name}")
    if value is not None:
        return value
    for item in os.environ.get("SKBUILD_CMAKE_DEFINE", "").split(";"):
        key, _, value = item.partition("=")
        if key.split(":")[0].strip() == name:
            return value
    return None


def library_requirement(config_settings=None):
    """The requirement that brings the genuine library, or None when the build takes its
    library from elsewhere."""
    if (_define(config_settings, "ZELMSG_STANDIN") or "").strip().lower() in _TRUE:
        return None
    target = sysconfig.get_platform()
    if "musl" in (sysconfig.get_config_var("SOABI") or ""):
        target = target.replace("linux", "musllinux")
    for prefix, missing in _UNTESTED.items():
        if target.startswith(prefix):
            raise RuntimeError(f"zelmsg does not build for {target} yet: {missing}")
    if _define(config_settings, "ZELMSG_SOLCLIENT_DIR") or os.environ.get("ZELMSG_SOLCLIENT_DIR"):
        return None
    if target not in ("linux-x86_64", "linux-aarch64"):
        raise RuntimeError(
            f"zelmsg: solace-pubsubplus carries libsolclient for Linux on x86_64 and aarch64 (and "
            f"musl Linux, macOS and Windows, which zelmsg does not build for yet), not for {target}: "
            f"set ZELMSG_SOLCLIENT_DIR to the folder of the C SDK's libsolclient.so, or build on the "
            f"stand-in for tests (-Ccmake.define.ZELMSG_STANDIN=ON)"
        )
    with open(pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml", "rb") as file:
        return tomllib.load(file)["tool"]["zelmsg"]["solclient"]


def _with_library(requires, config_settings):
    requirement = library_requirement(config_settings)
    return [*requires, requirement] if requirement else requires


def get_requires_for_build_wheel(config_settings=None):
    return _with_library(_scikit_build.get_requires_for_build_wheel(config_settings), config_settings)


def get_requires_for_build_editable(config_settings=None):
    return _with_library(_scikit_build.get_requires_for_build_editable(config_settings), config_settings)


if __name__ == "__main__":
    # For environments that build without isolation: the requirement they must install.
    print(library_requirement() or "")
