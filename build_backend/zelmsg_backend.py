"""zelmsg's build backend: scikit-build-core's, plus the package that carries the genuine
libsolclient when a build links against that one.

A default build links against, and ships, the libsolclient inside the vendor's wheel
`solace-pubsubplus`, at the version pinned in pyproject.toml ([tool.zelmsg]). A build
given an SDK folder (ZELMSG_SOLCLIENT_DIR) or the stand-in (ZELMSG_STANDIN=ON) needs no
such package, so that offline SDK builds work; sdists never need it.
"""

import os
import pathlib
import platform
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
    if _define(config_settings, "ZELMSG_SOLCLIENT_DIR") or os.environ.get("ZELMSG_SOLCLIENT_DIR"):
        return None
    if platform.system() != "Linux" or platform.machine() not in ("x86_64", "AMD64"):
        raise RuntimeError(
            f"zelmsg: solace-pubsubplus carries libsolclient for x86_64 Linux only, not for "
            f"{platform.system()} {platform.machine()}: set ZELMSG_SOLCLIENT_DIR to the folder "
            f"of the C SDK's libsolclient.so, or build on the stand-in for tests "
            f"(-Ccmake.define.ZELMSG_STANDIN=ON)")
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
