"""W3C trace contexts and baggage in a message, what a receiver learns of caches and
consumers, and a message encoded again after it changed."""

import copy
import importlib.util
import pickle

import pytest
import zelmsg
from hypothesis import given, settings
from hypothesis import strategies as st
from solclient import OK
from zelmsg import Destination, TraceContext, ZelMsg

genuine_only = pytest.mark.genuine_only
standin_only = pytest.mark.standin_only
SECRET = "s3cr3t-4111111111111111"
IDS = st.binary(min_size=16, max_size=16).filter(any), st.binary(min_size=8, max_size=8).filter(any)
STATES = st.one_of(st.none(), st.text(st.characters(min_codepoint=0x21, max_codepoint=0x7E), min_size=1, max_size=512))
CONTEXTS = st.builds(TraceContext, *IDS, st.booleans(), STATES)
CREATION, TRANSPORT = 1, 0


@given(context=CONTEXTS)
@settings(max_examples=200, deadline=None, database=None)
def test_a_context_is_a_value_that_goes_through_every_form_unchanged(context):
    headers = context.to_w3c()
    assert set(headers) == {"traceparent"} | ({"tracestate"} if context.trace_state else set())
    assert headers["traceparent"] == f"00-{context.trace_id.hex()}-{context.span_id.hex()}-{int(context.sampled):02x}"
    for again in (
        TraceContext.from_w3c(headers["traceparent"], headers.get("tracestate")),
        eval(repr(context), {"TraceContext": TraceContext}),
        pickle.loads(pickle.dumps(context)),
        copy.deepcopy(context),
    ):
        assert again == context and hash(again) == hash(context) and type(again) is TraceContext
    assert context != TraceContext(bytes(a ^ 1 for a in context.trace_id), context.span_id, context.sampled)
    with pytest.raises(AttributeError):
        context.sampled = not context.sampled


TID, SID = bytes(range(1, 17)), bytes(range(1, 9))
PARENT = f"00-{TID.hex()}-{SID.hex()}-01"


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: TraceContext(TID[:15], SID), ValueError),
        (lambda: TraceContext(TID, SID + b"\x01"), ValueError),
        (lambda: TraceContext(bytes(16), SID), ValueError),
        (lambda: TraceContext(TID, bytes(8)), ValueError),
        (lambda: TraceContext(TID.hex(), SID), TypeError),
        (lambda: TraceContext(TID), TypeError),
        (lambda: TraceContext(TID, SID, trace_state="k=" + "v" * 511), ValueError),
        (lambda: TraceContext(TID, SID, trace_state="k=v\0" + SECRET), ValueError),
        (lambda: TraceContext(TID, SID, trace_state="k=\udc80"), ValueError),
        (lambda: TraceContext(TID, SID, trace_state=5), TypeError),
        *(
            (lambda p=p: TraceContext.from_w3c(p), ValueError)
            for p in [
                PARENT.upper(),
                "01" + PARENT[2:],
                PARENT[:-1],
                PARENT + "-00",
                PARENT.replace("-", "_"),
                f"00-{bytes(16).hex()}-{SID.hex()}-01",
                f"00-{TID.hex()}-{bytes(8).hex()}-00",
                "",
                SECRET,
                PARENT[:20] + "g" + PARENT[21:],
            ]
        ),
        (lambda: TraceContext.from_w3c(PARENT.encode()), TypeError),
        (lambda: TraceContext.from_w3c(PARENT, b"k=v"), TypeError),
        (lambda: TraceContext.from_w3c(), TypeError),
        (lambda: TraceContext.from_w3c(PARENT, None, SECRET), TypeError),
    ],
)
def test_a_malformed_context_is_refused_with_a_text_that_quotes_nothing(make, error):
    with pytest.raises(error) as raised:
        make()
    assert SECRET not in str(raised.value) and PARENT[3:35] not in str(raised.value)


def test_contexts_and_baggage_are_read_and_written_whole_and_apart(lib, capi):
    msg = ZelMsg()
    assert (msg.creation_context, msg.transport_context, msg.baggage) == (None, None, None)
    creation, transport = TraceContext(TID, SID, True, "a=1"), TraceContext.from_w3c(PARENT)
    msg.creation_context, msg.baggage = creation, "user=alice,k=v"
    assert (msg.creation_context, msg.transport_context, msg.baggage) == (creation, None, "user=alice,k=v")
    msg.transport_context = transport
    msg.creation_context = TraceContext(TID, SID)  # written whole: sampled and state go too
    assert (msg.creation_context, msg.transport_context) == (TraceContext(TID, SID), transport)
    for name in ("transport_context", "creation_context", "baggage"):
        setattr(msg, name, None)
        assert getattr(msg, name) is None
    # A context that native code made in part, a trace id alone, is no W3C context.
    handle = capi.handle(msg)
    assert lib.solClient_msg_tracing_setTraceIdByte(handle, CREATION, TID, 16) == OK
    assert msg.creation_context is None
    # What zelmsg writes over a context is a W3C one, whatever the injection standard was.
    assert lib.solClient_msg_tracing_setInjectionStandardByte(handle, CREATION, 0) == OK
    msg.creation_context = creation
    assert lib.injection_standard(capi.handle(msg), CREATION) == (OK, 1)
    for bad in ("00-...", TID, 5):
        with pytest.raises(TypeError, match="^ZelMsg.transport_context takes a TraceContext or None; got"):
            msg.transport_context = bad
    with pytest.raises(ValueError, match="^ZelMsg.baggage: the text holds a NUL"):
        msg.baggage = "k=v\0" + SECRET
    assert msg.creation_context == creation and msg.transport_context is None


def test_the_dump_shows_contexts_and_baggage_as_the_library_writes_them():
    msg = ZelMsg.build(
        creation_context=TraceContext(TID, SID, True, "a=1"), baggage="b=1", transport_context=TraceContext(TID, SID)
    )
    assert repr(msg).splitlines()[-4:] == [
        f"Tracing CreationContext:                 {{traceId={TID.hex()}, spanId={SID.hex()}, sampled=true, traceState=a=1}}",
        f"Trace Context SMF Parameter:             {{traceId={TID.hex()}, spanId={SID.hex()}, sampled=false, traceState=}}",
        "Trace Baggage:                          len=3",
        "  b=1",
    ]


def traced(**more):
    return ZelMsg.build(
        dest=Destination("orders/eu"),
        creation_context=TraceContext(TID, SID, True, "a=1"),
        transport_context=TraceContext.from_w3c(PARENT, "t=2"),
        baggage="user=alice",
        **more,
    )


def test_copies_keep_both_contexts_and_the_baggage(lib):
    msg = traced()
    for made in (copy.copy(msg), copy.deepcopy(msg)) + (
        (pickle.loads(pickle.dumps(msg)),) if not lib.has_control else ()
    ):
        assert (made.creation_context, made.transport_context, made.baggage) == (
            msg.creation_context,
            msg.transport_context,
            msg.baggage,
        )


@genuine_only
def test_the_encoding_keeps_the_creation_context_and_baggage_and_drops_the_transport_context():
    msg = traced()
    received = ZelMsg.from_smf(msg.to_smf())
    assert (received.creation_context, received.transport_context, received.baggage) == (
        msg.creation_context,
        None,
        msg.baggage,
    )


@genuine_only
@pytest.mark.parametrize(
    "change",
    [
        lambda m: setattr(m, "sequence_number", 2),
        lambda m: setattr(m, "sender_timestamp", 1_700_000_000_999),
        lambda m: setattr(m, "body", b"B" * 64),
        lambda m: setattr(m, "correlation_id", "s"),
        lambda m: setattr(m, "creation_context", TraceContext(TID, SID[::-1], False, "a=2")),
        lambda m: setattr(m, "baggage", "user=bobby"),
        lambda m: m.user_properties.__setitem__("k", "w"),
        lambda m: setattr(m, "priority", 7),
    ],
    ids=["sequence", "timestamp", "body", "id", "context", "baggage", "property", "priority"],
)
def test_a_native_sender_never_sends_stale_bytes(lib, capi, change):
    """The library reuses an encoding it made before; what it encodes from the handle the C
    API gives holds the message as it is now."""
    msg = traced(
        sequence_number=1,
        sender_timestamp=1_700_000_000_000,
        body=b"A" * 64,
        correlation_id="c",
        user_properties={"k": "v"},
    )
    first = ZelMsg.from_smf(lib.encode(capi.handle(msg)))
    change(msg)
    expected = [
        getattr(msg, name)
        for name in (
            "sequence_number",
            "sender_timestamp",
            "body",
            "correlation_id",
            "creation_context",
            "baggage",
            "priority",
        )
    ]
    again = ZelMsg.from_smf(lib.encode(capi.handle(msg)))
    assert [
        getattr(again, name)
        for name in ("sequence_number", "sender_timestamp", "body", "correlation_id", "creation_context", "baggage")
    ] == expected[:-1]
    assert dict(again.user_properties) == dict(msg.user_properties) and again != first
    assert again.priority == (expected[-1] or 4)


def test_a_message_never_received_came_live_from_no_cache_to_no_consumer():
    msg = ZelMsg()
    assert (msg.cache_status, msg.cache_request_id, msg.consumer_ids) == (zelmsg.CacheStatus.Live, None, ())
    assert ZelMsg.__new__(ZelMsg).cache_status == zelmsg.CacheStatus.Invalid


@standin_only
def test_what_a_receiver_learns_of_caches_and_consumers_reads_as_the_library_gives_it(lib):
    msg = ZelMsg()
    handle = lib.standin_last_message()
    lib.set_received(handle, "cache_status", 2)
    lib.set_received(handle, "cache_request_id", 2**64 - 1)
    lib.set_consumer_ids(handle, [7, 0, 2**32 - 1])
    assert (msg.cache_status, msg.cache_request_id, msg.consumer_ids) == (
        zelmsg.CacheStatus.Suspect,
        2**64 - 1,
        (7, 0, 2**32 - 1),
    )
    assert copy.copy(msg).consumer_ids == (7, 0, 2**32 - 1)


@genuine_only
@pytest.mark.skipif(importlib.util.find_spec("opentelemetry") is None, reason="needs opentelemetry-api and -sdk")
@pytest.mark.parametrize("carry", ["wire", "pickle"])
def test_opentelemetry_injects_into_a_message_and_extracts_from_it(carry):
    from opentelemetry import baggage, trace
    from opentelemetry.baggage.propagation import W3CBaggagePropagator
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.trace.propagation.tracecontext import TraceContextTextMapPropagator

    tracer = TracerProvider().get_tracer("zelmsg-tests")
    with tracer.start_as_current_span("publish") as span:
        headers = {}
        TraceContextTextMapPropagator().inject(headers)
        W3CBaggagePropagator().inject(headers, context=baggage.set_baggage("user", "alice"))
        msg = ZelMsg.build(
            dest=Destination("orders/eu"),
            baggage=headers["baggage"],
            creation_context=TraceContext.from_w3c(headers["traceparent"], headers.get("tracestate")),
        )
        msg.transport_context = msg.creation_context
    received = ZelMsg.from_smf(msg.to_smf()) if carry == "wire" else pickle.loads(pickle.dumps(msg))
    context = (received.transport_context or received.creation_context).to_w3c() | {"baggage": received.baggage}
    extracted = W3CBaggagePropagator().extract(context, context=TraceContextTextMapPropagator().extract(context))
    assert trace.get_current_span(extracted).get_span_context().trace_id == span.get_span_context().trace_id
    assert baggage.get_baggage("user", extracted) == "alice"
