"""Prints the path of the genuine libsolclient inside the installed solace-pubsubplus
package, then the package's version, one per line; exits 1 saying why when there is none.

Reads the package's installed file list only: importing the package would load and
initialise the library in the build's own interpreter.
"""

import importlib.metadata
import sys

PACKAGE = "solace-pubsubplus"
ELF_64_LITTLE = b"\x7fELF\x02\x01"
X86_64 = 62


def is_x86_64_library(path):
    with open(path, "rb") as file:
        header = file.read(20)
    return header.startswith(ELF_64_LITTLE) and int.from_bytes(header[18:20], "little") == X86_64


def main():
    try:
        distribution = importlib.metadata.distribution(PACKAGE)
    except importlib.metadata.PackageNotFoundError:
        sys.exit(f"{PACKAGE} is not installed in {sys.prefix}")
    # The wheel may carry builds for several machines: take the x86-64 one.
    for file in distribution.files or ():
        if file.name == "libsolclient.so":
            path = file.locate()
            if path.is_file() and is_x86_64_library(path):
                print(path.resolve())
                print(distribution.version)
                return
    sys.exit(f"{PACKAGE} {distribution.version} holds no x86-64 libsolclient.so")


main()
