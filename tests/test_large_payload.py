"""A payload of 4 GiB is longer than an attachment's 32-bit length can say: body, json and
msgpack refuse it with ValueError before the message is touched, rather than store it cut.

Set ZELMSG_LARGE_PAYLOAD_TESTS=0 to skip these. bytes(2**32) is zero-filled on demand, so it
costs address space rather than memory; still, at most one is alive at a time: the codec
check runs first, in its own interpreter, and the in-process object is made after it."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
from solclient import OPERATIONS
from zelmsg import ZelMsg

pytestmark = pytest.mark.skipif(
    os.environ.get("ZELMSG_LARGE_PAYLOAD_TESTS", "1") == "0", reason="ZELMSG_LARGE_PAYLOAD_TESTS=0"
)

FOUR_GIB = 2**32
TESTS = pathlib.Path(__file__).resolve().parent

# Encoders whose output is the 4 GiB object; the codec functions are kept per process, so
# they must be in place before the first use, in a fresh interpreter.
FAKE_CODEC = """
import sys
def dumps(value):
    return sys.modules["__main__"].BIG
class Packer:  # msgpack's: dumps(value) is Packer().pack(value)
    pack = staticmethod(dumps)
"""

CODEC_CHECK = """
import ctypes, sys
sys.path[:0] = [{fakes!r}, {tests!r}]
import zelmsg
from solclient import Library, OPERATIONS
lib = Library(ctypes.CDLL({library!r}))
BIG = bytes({size})
msg = zelmsg.ZelMsg()
msg.content_type, msg.body = "kept", b"kept"
before = {{op: lib.calls(op) for op in OPERATIONS}} if lib.has_control else None
for codec in ("json", "msgpack"):
    try:
        setattr(msg, codec, {{"a": 1}})
    except ValueError:
        pass
    else:
        raise AssertionError(codec + " took a 4 GiB encoding")
if before is not None:
    assert {{op: lib.calls(op) for op in OPERATIONS}} == before
assert (msg.content_type, msg.body) == ("kept", b"kept")
"""


def test_codec_setters_refuse_an_encoding_of_4_gib(lib, tmp_path):
    for name in ("orjson", "msgpack"):
        (tmp_path / f"{name}.py").write_text(textwrap.dedent(FAKE_CODEC))
    code = CODEC_CHECK.format(fakes=str(tmp_path), tests=str(TESTS), library=lib.cdll._name, size=FOUR_GIB)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def four_gib():
    return bytes(FOUR_GIB)


def test_body_refuses_4_gib_and_writes_nothing(lib, four_gib):
    msg = ZelMsg()
    msg.content_type, msg.body = "kept", b"kept"
    before = {op: lib.calls(op) for op in OPERATIONS} if lib.has_control else None
    with pytest.raises(ValueError):
        msg.body = four_gib
    if before is not None:
        assert {op: lib.calls(op) for op in OPERATIONS} == before
    assert (msg.content_type, msg.body) == ("kept", b"kept")


def test_body_passes_the_longest_payload_a_32_bit_length_can_say_to_the_library(lib):
    msg = ZelMsg()
    msg.body = b"kept"
    writes = lib.calls("solClient_msg_setBinaryAttachment") if lib.has_control else None
    msg.body = bytes(FOUR_GIB - 1)  # the library refuses it before copying a byte
    if writes is not None:
        assert lib.calls("solClient_msg_setBinaryAttachment") == writes + 1
        assert msg.body == b""  # a refused attachment drops the old one, as the genuine library does


# The structured string's 32-bit length counts the tag, itself and the NUL: 6 bytes more
# than the text. These need the text itself in memory, 4 GiB, one at a time.
MAX_TEXT = 2**32 - 1 - 6


def test_text_refuses_one_byte_more_than_a_structured_string_can_carry(lib):
    msg = ZelMsg()
    msg.text = "kept"
    before = {op: lib.calls(op) for op in OPERATIONS} if lib.has_control else None
    with pytest.raises(ValueError, match="4294967289"):
        msg.text = "a" * (MAX_TEXT + 1)
    if before is not None:
        assert {op: lib.calls(op) for op in OPERATIONS} == before
    assert msg.text == "kept"


def test_text_passes_the_longest_a_structured_string_can_carry_to_the_library(lib):
    msg = ZelMsg()
    writes = lib.calls("solClient_msg_setBinaryAttachmentString") if lib.has_control else None
    msg.text = "a" * MAX_TEXT  # longer than the library's largest data block: it refuses
    if writes is not None:
        assert lib.calls("solClient_msg_setBinaryAttachmentString") == writes + 1
