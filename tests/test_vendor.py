"""What users of the vendor's own Python API meet, seen through that API's public surface.

The vendor's package loads and initialises its own copy of the genuine library when it is
imported, so these run in a child process, on the genuine library only; they need the
package, which scripts/venv installs beside zelmsg's build requirements.
"""

import importlib.util
import subprocess
import sys
import textwrap

import pytest

pytestmark = [
    pytest.mark.genuine_only,
    pytest.mark.skipif(
        importlib.util.find_spec("solace") is None, reason="the vendor's package solace-pubsubplus is not installed"
    ),
]

PRELUDE = """
from solace.messaging.config.solace_properties import (authentication_properties, message_properties,
                                                       service_properties, transport_layer_properties)
from solace.messaging.messaging_service import MessagingService
import zelmsg

# A service hands out message builders; it is built, never connected.
service = MessagingService.builder().from_properties({
    transport_layer_properties.HOST: "127.0.0.1", service_properties.VPN_NAME: "default",
    authentication_properties.SCHEME_BASIC_USER_NAME: "test",
    authentication_properties.SCHEME_BASIC_PASSWORD: "test"}).build()

def lines(dump, *labels):
    return [line for line in dump.splitlines() if line.startswith(labels)]
"""


def run_with_vendor(code):
    script = textwrap.dedent(PRELUDE) + textwrap.dedent(code)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_the_vendors_numbering_defaults_and_text_payload_as_zelmsg_sees_them():
    run_with_vendor("""
        for vendor_cos in (0, 1, 2):
            theirs = service.message_builder().from_properties(
                {message_properties.CLASS_OF_SERVICE: vendor_cos}).build(bytearray(b"x"))
            ours = zelmsg.ZelMsg()
            ours.cos = vendor_cos + 1
            assert lines(str(theirs), "Class Of Service:") == lines(repr(ours), "Class Of Service:")
            assert theirs.get_class_of_service() == ours.cos - 1

        theirs, ours = service.message_builder().build("héllo ☃"), zelmsg.ZelMsg()
        assert lines(str(theirs), "DMQ Eligible") and not lines(repr(ours), "DMQ Eligible")
        ours.dmq_eligible, ours.text = True, "héllo ☃"
        labels = ("DMQ Eligible", "Binary Attachment", "  ")
        assert lines(str(theirs), *labels) == lines(repr(ours), *labels)
        assert theirs.get_payload_as_string() == ours.text
    """)


def test_user_properties_become_the_fields_the_vendors_api_makes_of_them():
    """The vendor's API is a second, independent conversion of Python values into the
    library's fields: for every kind both write, zelmsg must write what it does."""
    run_with_vendor("""
        import random
        rng = random.Random(20261209)
        words = ["a", "order", "é", "☃ snow", "", "x" * 40]

        def value(depth):
            kind = rng.randrange(9 if depth < 3 else 7)
            return [lambda: rng.choice([True, False]), lambda: rng.randrange(-2**63, 2**63),
                    lambda: rng.uniform(-1e9, 1e9), lambda: rng.choice(words), lambda: None,
                    lambda: bytearray(rng.randbytes(rng.randrange(1, 9)).replace(b"\\0", b"\\1")),
                    lambda: rng.choice([0, -1, 2**62]),
                    lambda: {f"k{i}": value(depth + 1) for i in range(rng.randrange(4))},
                    lambda: [value(depth + 1) for _ in range(rng.randrange(4))]][kind]()

        for _ in range(200):
            properties = {f"p{i}": value(0) for i in range(rng.randrange(1, 6))}
            theirs = service.message_builder().from_properties(properties).build(bytearray(b"x"))
            ours = zelmsg.ZelMsg.build(user_properties=properties, body=b"x")
            assert lines(str(theirs), "  ") == lines(repr(ours), "  "), properties
    """)


def test_the_whole_dump_and_replication_ids_agree_with_the_vendors():
    run_with_vendor("""
        from solace.messaging.receiver.inbound_message import ReplicationGroupMessageId as Theirs

        # Its str() of a message is the library's dump in a buffer of 10,000 bytes and three a
        # payload byte: whole for a small payload, cut for a large one, where dump() is whole.
        for size in (1000, 10_240):
            payload = bytes(range(256)) * (size // 256) + bytes(size % 256)
            theirs = service.message_builder().build(bytearray(payload))
            ours = zelmsg.ZelMsg.build(dmq_eligible=True, body=payload)
            whole = ours.dump()
            assert len(repr(ours)) == 4094 and whole.startswith(str(theirs))
            assert len(str(theirs)) == min(len(whole), 10_000 + 3 * size - 2) < 48_900

        first, later, elsewhere = ("rmid1:01020-30405060708-090a0b0c-0d0e0f10",
                                   "rmid1:01020-30405060708-090a0b0c-0d0e0f11",
                                   "rmid1:11020-30405060708-090a0b0c-0d0e0f10")
        for a in (first, later):
            assert str(Theirs.of(a)) == str(zelmsg.ReplicationGroupMessageId(a)) == a
            for b in (first, later):
                assert Theirs.of(a).compare(Theirs.of(b)) == \\
                    zelmsg.ReplicationGroupMessageId(a).compare(zelmsg.ReplicationGroupMessageId(b))
        for compare in (lambda: Theirs.of(first).compare(Theirs.of(elsewhere)),
                        lambda: zelmsg.ReplicationGroupMessageId(first).compare(
                            zelmsg.ReplicationGroupMessageId(elsewhere))):
            try:
                compare()
            except Exception as error:
                assert "different origins" in str(error)
            else:
                raise AssertionError("ids of different origins compared")
    """)
