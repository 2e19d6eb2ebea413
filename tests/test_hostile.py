"""Hostile and careless input, grouped by attack: values that change or free what was
converted before them, damaged encodings, the corners of Python's protocols, and methods
and classmethods called oddly. Whatever happens, nothing crashes, nothing is stored but a
value as it was when converted, a refusal leaves the message exactly as it was, and no
error text quotes a message's contents or a value's repr."""


# Damaged encodings
#
# ZelMsg.from_smf checks every length of the SMF framing against its parent and the data
# before libsolclient parses it, since the library's parser reads wild memory on one that
# points past its end. The round-trip corpus and the fuzzer are tests/smf_corpus.py and
# scripts/fuzz-smf.

import functools  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import pathlib  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402

import pytest  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import smf_corpus  # noqa: E402
from zelmsg import (Destination, Direct, Float32, Int8, Int16, Int32, NonPersistent, Persistent, Queue,  # noqa: E402
                    Topic, UInt8, UInt16, UInt32, UInt64, WChar, ZelMsg)

DECODE_REFUSED = "ZelMsg.from_smf: libsolclient could not decode the data"

# A Persistent message to a/b with a reply-to, a correlation id, a user property and a map,
# as the genuine library encodes it: the header ends at 59, the map attachment at 87, then the
# binary metadata (a stream holding the header-field map "h" and the property map "p").
SAMPLE = bytes.fromhex(
    "138d00ff0000003b000000969806612f62009606221c423f030304900301010600000000920affffffffffffffff910a"
    "00000000000000002600032b0000001c1c046d002f00000013080a00000000000000011c047800010000003a2f000000"
    "3a18040a002b000000311c0468002b000000181c0572740020050072001c056369001c0463001c0470002b0000000c1c"
    "046b00080301")
METADATA = 87
# Where the metadata's stream and maps keep their 4-byte lengths: no text in it holds '+' or '/'.
CONTAINER_LENGTHS = [at + 1 for at in range(METADATA, len(SAMPLE)) if SAMPLE[at] in (0x2B, 0x2F)]


def damaged(at, new, data=SAMPLE):
    return data[:at] + new + data[at + len(new):]


def inserted(at, extra, grow_message=False):
    data = SAMPLE[:at] + extra + SAMPLE[at:]
    return damaged(8, len(data).to_bytes(4, "big"), data) if grow_message else data


def with_parameter(parameter):
    """A header parameter put after the fixed header, both lengths there grown to match."""
    grown = [(int.from_bytes(SAMPLE[at:at + 4], "big") + len(parameter)).to_bytes(4, "big") for at in (4, 8)]
    return SAMPLE[:4] + b"".join(grown) + parameter + SAMPLE[12:]


def deep_message(levels):
    """Built by hand: maps nested levels deep as the user properties, deeper than zelmsg makes."""
    def item(code, value, width=4):
        return bytes([code << 2 | width - 1]) + (1 + width + len(value)).to_bytes(width, "big") + value

    inner = item(10, b"")
    for _ in range(levels - 1):
        inner = item(10, item(7, b"a\0", 1) + inner)
    block = item(11, item(6, b"\x80\x80", 1) + item(10, item(7, b"p\0", 1) + inner))
    metadata = b"\x01\x00" + len(block).to_bytes(3, "big") + block
    parameters = b"\x98\x04a\x00\x96\x07\x45" + len(metadata).to_bytes(4, "big")
    header = 12 + len(parameters)
    lengths = header.to_bytes(4, "big") + (header + len(metadata)).to_bytes(4, "big")
    return b"\x03\x8d\x00\xff" + lengths + parameters + metadata


# (damaged data, the reason from_smf gives): each is refused before the library sees it.
DAMAGE = {
    # The crashes seen: lengths inside the metadata far past the end, and bytes inserted with
    # the message length left as it was.
    **{f"metadata length {n} at {value:#x}": (damaged(at, value.to_bytes(4, "big")), "runs past its container")
       for n, at in enumerate(CONTAINER_LENGTHS) for value in (0x7FFF, 0x7FFFFFFF, 0xFFFFFFFF)},
    "metadata length 0": (damaged(CONTAINER_LENGTHS[1], bytes(4)), "shorter than its own tag and length"),
    "9 bytes inserted in the metadata": (inserted(120, b"\x2b\xff" * 4 + b"\x00"), "message length is not the data's"),
    "a 9-byte field inserted, message length to match": (
        inserted(CONTAINER_LENGTHS[-1] + 4, b"\x18\x09" + bytes(7), True), "runs past its container"),
    # What made the library free a data block twice: a contents summary entry changed.
    "summary entry resized": (damaged(22, b"\x23"), "contents summary entry runs past its parameter"),
    "binary-size parameter": (with_parameter(b"\x0c\x03\x00"), "binary-size header parameter"),
    "last parameter past the header": (damaged(56, b"\x04\x05\x00"), "runs past the header"),
    "extended parameter under 6 bytes": (with_parameter(b"\x04\x00\x00\x00\x00\x05"), "shorter than its own type"),
    "lightweight parameter of the wrong size": (with_parameter(b"\x2d\x00"), "lightweight header parameter"),
    "trailing byte": (SAMPLE + b"\x00", "message length is not the data's"),
    "cut short": (SAMPLE[:11], "shorter than the fixed header"),
    "not version 3": (damaged(0, b"\x14"), "not SMF version 3"),
    "header length past the message": (damaged(4, (151).to_bytes(4, "big")), "header length lies outside"),
    "header length under 12": (damaged(4, (11).to_bytes(4, "big")), "header length lies outside"),
    "topic past the header": (damaged(13, b"\x7f"), "runs past the header"),
    "topic without its NUL": (damaged(17, b"c"), "topic without its closing NUL"),
    "topic offset past the topic": (damaged(57, b"\x00\x04"), "offset outside the topic"),
    "block length one short": (damaged(91, b"\x39"), "runs past its container"),
    "block count one more": (damaged(87, b"\x02"), "block runs past its section"),
    "block count 0": (damaged(87, b"\x00"), "do not fill their section"),
    # In the map attachment: its key at 64, the stream's integer at 73 and text at 83.
    "map key not a string": (damaged(64, b"\x18"), "map key that is not a string"),
    "unknown field type": (damaged(73, b"\x30"), "unknown type"),
    "character of 8 bytes": (damaged(73, b"\x14"), "character field of the wrong width"),
    "text without its NUL": (damaged(86, b"y"), "without its closing NUL"),
    f"nesting past {smf_corpus.MAX_DEPTH + 100} levels": (deep_message(1200), "nested too deep"),
}


@pytest.mark.parametrize("name", DAMAGE)
def test_damaged_framing_is_refused_before_the_library_parses_it(name):
    data, reason = DAMAGE[name]
    with pytest.raises(ValueError) as refused:
        ZelMsg.from_smf(data)
    text = str(refused.value)
    assert text.startswith(f"{DECODE_REFUSED}: ") and reason in text, text


@pytest.mark.genuine_only
def test_the_sample_and_the_deepest_nesting_zelmsg_writes_decode():
    for data in (SAMPLE, deep_message(smf_corpus.MAX_DEPTH + 3)):  # the metadata adds three levels
        assert ZelMsg.from_smf(data).user_properties


@functools.cache
def corpus():
    return list(smf_corpus.cases(huge=True))


def decodes_as_sent(msg, wire, facts):
    try:
        received = ZelMsg.from_smf(wire)
    except ValueError:
        return False
    return smf_corpus.same(smf_corpus.attributes(received), smf_corpus.expected(msg, **facts))


@pytest.mark.genuine_only
@pytest.mark.parametrize("group", ["header", "payload", "properties", "mix", "huge"])
def test_the_corpus_decodes_to_what_was_sent(group):
    cases = [case for case in corpus() if case[0].startswith(group)]
    assert cases and [name for name, *case in cases if not decodes_as_sent(*case)] == []


EXAMPLES = int(os.environ.get("ZELMSG_HYPOTHESIS_EXAMPLES", "100"))
texts = st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\0"), max_size=30)
names = texts.filter(bool)
destinations = st.builds(Destination, names, st.sampled_from([Topic, Queue]))
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-2**63, 2**64 - 1), st.floats(), st.floats(width=32).map(Float32),
    texts, st.binary(max_size=300), destinations,
    st.characters(max_codepoint=0xFFFF, exclude_categories=("Cs",)).map(WChar),
    *[st.integers(low, high).map(kind) for kind, low, high in [
        (Int8, -2**7, 2**7 - 1), (Int16, -2**15, 2**15 - 1), (Int32, -2**31, 2**31 - 1), (UInt8, 0, 2**8 - 1),
        (UInt16, 0, 2**16 - 1), (UInt32, 0, 2**32 - 1), (UInt64, 0, 2**64 - 1)]])
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(names, inner, max_size=4),
                      max_leaves=12)
headers = st.fixed_dictionaries({"dest": destinations}, optional={
    "reply2": destinations, "is_reply": st.booleans(), "elide": st.booleans(), "dmq_eligible": st.booleans(),
    "delivery_mode": st.sampled_from([Direct, Persistent, NonPersistent]), "cos": st.integers(1, 3),
    "ttl": st.integers(0, 315_360_000_000), "priority": st.none() | st.integers(0, 255),
    "correlation_id": texts, "application_message_id": texts, "application_message_type": texts,
    "sender_id": texts, "http_content_type": texts, "http_content_encoding": texts, "content_type": texts,
    "sender_timestamp": st.integers(0, 2**63 - 1), "sequence_number": st.integers(0, 2**64 - 1),
    "user_data": st.binary(max_size=36), "ack_immediately": st.booleans(),
    "user_properties": st.dictionaries(names, values, max_size=6)})
payloads = st.one_of(st.just({}), st.binary(min_size=1).map(lambda data: {"body": data}),
                     texts.map(lambda text: {"text": text}), st.dictionaries(names, values).map(lambda m: {"map": m}),
                     st.lists(values).map(lambda items: {"stream": items}))


@pytest.mark.genuine_only
@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(headers, payloads)
def test_any_message_decodes_to_what_was_sent(header, payload):
    msg = ZelMsg.build(**header, **payload)
    assert decodes_as_sent(msg, msg.to_smf(), {})


@pytest.mark.standin_only
@settings(max_examples=EXAMPLES * 5, deadline=None, database=None)
@given(st.lists(st.tuples(st.integers(0, len(SAMPLE)), st.binary(max_size=9), st.integers(0, 9)), max_size=4))
def test_the_check_reads_no_byte_outside_the_data(edits):
    """Damage of any kind, on the stand-in, which decodes nothing: what runs is the check
    alone, which the sanitized run watches for a read past the data."""
    data = SAMPLE
    for at, new, cut in edits:
        data = data[:at] + new + data[at + cut:]
    with pytest.raises(ValueError, match=f"^{DECODE_REFUSED}"):
        ZelMsg.from_smf(data)


FUZZ = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "fuzz-smf"


def fuzz(*options):
    """Runs the fuzzer; (its exit status, its figures)."""
    done = subprocess.run([sys.executable, FUZZ, *options], capture_output=True, text=True, timeout=600)
    return done.returncode, json.loads(done.stdout.splitlines()[-1]) if done.stdout else done.stderr[-3000:]


@pytest.mark.genuine_only
def test_damaged_encodings_never_crash(tmp_path):
    """A few thousand damaged encodings of the corpus, in fresh interpreters: each is refused
    or decodes to a message that reads whole, and the library never complains."""
    status, figures = fuzz("--cases", "5000", "--seed", "20261209", "--out", tmp_path)
    assert status == 0, figures
    assert (figures["cases"], figures["crashes"], figures["exceptions"], figures["complaints"]) == (5000, 0, 0, 0)
    assert figures["decoded"] > 100 and figures["refused"] > 1000


@pytest.mark.genuine_only
def test_the_fuzzer_isolates_what_kills_a_child(tmp_path):
    """Children whose from_smf aborts on every input of a length divisible by 53: each such
    input that comes up is counted and saved alone, and the run fails."""
    (tmp_path / "sitecustomize.py").write_text(
        "import os, zelmsg\n"
        "decode = zelmsg.ZelMsg.from_smf\n"
        "zelmsg.ZelMsg.from_smf = staticmethod(lambda data: os.abort() if len(data) % 53 == 0 else decode(data))\n")
    python = tmp_path / "python"
    python.write_text(f"#!/bin/sh\nPYTHONPATH={tmp_path} exec {sys.executable} \"$@\"\n")
    python.chmod(0o755)
    status, figures = fuzz("--cases", "200", "--batch", "50", "--tries", "1", "--python", python, "--out", tmp_path)
    saved = [smf_cases.read_bytes() for smf_cases in tmp_path.glob("crash-*.cases")]
    assert status == 1 and figures["crashes"] == figures["reproducers"] == len(saved) > 0
    assert all(int.from_bytes(data[:4], "big") == len(data) - 4 and (len(data) - 4) % 53 == 0 for data in saved)
