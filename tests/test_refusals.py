"""A value a setter cannot take raises a TypeError that says what went wrong and nothing of
the message: its text names the attribute, what it accepts and the type it was given, and
neither the message's dump nor the value itself ever reaches it."""

import traceback

import pytest
import zelmsg
from zelmsg import Destination

SECRET = "s3cr3t-4111111111111111"

# Values of a type each setter refuses, some carrying the secret themselves; then integers
# outside the setter's C type.
WRONG_TYPES = {
    "dest": [None, SECRET, 0],
    "reply2": [SECRET.encode(), 0],
    "is_reply": [SECRET, b""],
    "elide": [[SECRET]],
    "dmq_eligible": [SECRET],
    "delivery_mode": [16, None, SECRET],
    "content_type": [None, 5, [SECRET]],
    "cos": [SECRET, 2.0, None],
    "json": [[SECRET], None, SECRET],
    "msgpack": [(SECRET,), None],
    "body": [SECRET, None, bytearray(SECRET.encode())],
    "ttl": [SECRET, 1.5, None],
    "priority": [SECRET, 1.5],
    "correlation_id": [5, [SECRET]],
    "application_message_id": [5.0, {SECRET: 1}],
    "sender_timestamp": [SECRET, 1.5],
    "sequence_number": [SECRET, -1.0],
    "text": [5, [SECRET]],
}
OUT_OF_RANGE = {
    "cos": [-1, 2**32],
    "ttl": [2**63, -(2**63) - 1],
    "priority": [2**31, -(2**31) - 1],
    "sender_timestamp": [2**63, -(2**63) - 1],
    "sequence_number": [-1, 2**64],
}
CASES = [(prop, value) for table in (WRONG_TYPES, OUT_OF_RANGE) for prop, values in table.items() for value in values]


def secret_message():
    """A message holding the secret in every text it has and in its payload."""
    msg = zelmsg.ZelMsg()
    msg.dest = Destination(f"orders/{SECRET}")
    msg.reply2 = Destination(SECRET, zelmsg.Queue)
    msg.correlation_id = msg.application_message_id = SECRET
    msg.content_type = SECRET
    msg.body = f"card={SECRET}".encode()
    assert SECRET in repr(msg)
    return msg


@pytest.mark.parametrize("prop, value", CASES, ids=[f"{prop}-{type(value).__name__}" for prop, value in CASES])
def test_a_refused_value_raises_a_type_error_that_holds_nothing_of_the_message(lib, prop, value):
    msg = secret_message()
    before = repr(msg)

    def assign():
        with pytest.raises(TypeError) as raised:
            setattr(msg, prop, value)
        return raised.value

    if lib.has_control:
        calls = lib.calls_made(assign)
        # No library call at all: not even the dump pybind11 would make to quote the message.
        assert calls == {}
    error = assign()
    text = str(error)
    assert text.startswith(f"ZelMsg.{prop} takes ") and text.endswith(f"; got {type(value).__name__}")
    for shown in (text, repr(error), "".join(traceback.format_exception(error))):
        assert SECRET not in shown
    assert repr(msg) == before
