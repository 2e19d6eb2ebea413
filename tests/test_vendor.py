"""What users of the vendor's own Python API meet, seen through that API's public surface.

The vendor's package loads its own copy of the genuine library by path, so these run in a
child process; they need the package, which scripts/test-genuine names in ZELMSG_VENDOR_SITE.
"""

import os
import subprocess
import sys
import textwrap

import pytest

VENDOR_SITE = os.environ.get("ZELMSG_VENDOR_SITE")
pytestmark = pytest.mark.skipif(not VENDOR_SITE, reason="the vendor's package is not at hand (ZELMSG_VENDOR_SITE)")

PRELUDE = """
import sys
sys.path.append({site!r})
from solace.messaging.config.solace_properties import (authentication_properties, message_properties,
                                                       service_properties, transport_layer_properties)
from solace.messaging.messaging_service import MessagingService
import zelmsg

# A service hands out message builders; it is built, never connected.
service = MessagingService.builder().from_properties({{
    transport_layer_properties.HOST: "127.0.0.1", service_properties.VPN_NAME: "default",
    authentication_properties.SCHEME_BASIC_USER_NAME: "test",
    authentication_properties.SCHEME_BASIC_PASSWORD: "test"}}).build()

def lines(dump, *labels):
    return [line for line in dump.splitlines() if line.startswith(labels)]
"""


def run_with_vendor(code):
    script = textwrap.dedent(PRELUDE).format(site=VENDOR_SITE) + textwrap.dedent(code)
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
