"""Prints the path of the genuine libsolclient for a target processor inside the installed
solace-pubsubplus package, then the package's version, one per line; exits 1 saying why
when there is none.

    python vendor_solclient.py PROCESSOR    (CMake's CMAKE_SYSTEM_PROCESSOR: x86_64, aarch64)

The library follows the build's target, not the machine the build runs on, so that a cross
build finds the target's library in a package installed for the target. Reads the
package's installed file list only: importing the package would load and initialise the
library in the build's own interpreter.
"""

import importlib.metadata
import sys

PACKAGE = "solace-pubsubplus"
ELF_64_LITTLE = b"\x7fELF\x02\x01"
# ELF machine numbers of the processors the vendor builds libsolclient for on Linux.
MACHINES = {"x86_64": 62, "aarch64": 183}


def elf_machine(path):
    """The ELF machine number of a 64-bit little-endian ELF file, else None."""
    with open(path, "rb") as file:
        header = file.read(20)
    return int.from_bytes(header[18:20], "little") if header.startswith(ELF_64_LITTLE) else None


def main(processor):
    machine = MACHINES.get(processor)
    if machine is None:
        sys.exit(f"{PACKAGE} carries no Linux libsolclient for {processor}")
    found = list(importlib.metadata.distributions(name=PACKAGE))
    if not found:
        sys.exit(f"{PACKAGE} is not installed in {sys.prefix}")
    # A wheel may carry builds for several machines, and a cross build may see the build
    # machine's copy of the package beside the target's: take the target's library.
    for distribution in found:
        for file in distribution.files or ():
            if file.name == "libsolclient.so":
                path = file.locate()
                if path.is_file() and elf_machine(path) == machine:
                    print(path.resolve())
                    print(distribution.version)
                    return
    versions = ", ".join(sorted({distribution.version for distribution in found}))
    sys.exit(f"{PACKAGE} {versions} holds no libsolclient.so for {processor}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: vendor_solclient.py PROCESSOR")
    main(sys.argv[1])
