// A message's W3C trace contexts and baggage, as the library keeps them.
#include "pyzelmsg.hpp"

#include <utility>

namespace zelmsg {
namespace {

const char *context_name(solClient_msg_tracing_context_type_t type) {
    return type == SOLCLIENT_CONTEXT_TYPE_CREATION_CONTEXT ? "ZelMsg.creation_context" : "ZelMsg.transport_context";
}

}  // namespace

py::object PyZelMsg::read_context(solClient_msg_tracing_context_type_t type) const {
    TraceContext context;
    solClient_bool_t sampled = 0;
    const char *state = nullptr;
    std::size_t state_size = 0;
    if (solClient_msg_tracing_getTraceIdByte(msg_, type, context.trace_id.data(), context.trace_id.size()) !=
            SOLCLIENT_OK ||
        solClient_msg_tracing_getSpanIdByte(msg_, type, context.span_id.data(), context.span_id.size()) !=
            SOLCLIENT_OK ||
        solClient_msg_tracing_isSampled(msg_, type, &sampled) != SOLCLIENT_OK ||
        solClient_msg_tracing_getTraceStatePtr(msg_, type, &state, &state_size) != SOLCLIENT_OK) {
        return py::none();
    }
    // A context that native code made only in part (a trace id, and a span id still zero) is
    // no W3C context: it reads as none.
    if (!context.valid()) return py::none();
    context.sampled = sampled != 0;
    if (state) context.trace_state.assign(state, state_size);
    return trace_context_object(std::move(context), context_name(type));
}

solClient_returnCode_t PyZelMsg::write_context(solClient_msg_tracing_context_type_t type, const TraceContext *context) {
    if (!context) return solClient_msg_tracing_deleteContext(msg_, type);
    // Each part of a context that a received message held is written over, the injection
    // standard included: what zelmsg writes is a W3C context. The library refuses none of
    // these for a valid context, whose trace state is at most 512 bytes and holds no NUL.
    solClient_returnCode_t rc =
        solClient_msg_tracing_setTraceIdByte(msg_, type, context->trace_id.data(), context->trace_id.size());
    if (rc == SOLCLIENT_OK)
        rc = solClient_msg_tracing_setSpanIdByte(msg_, type, context->span_id.data(), context->span_id.size());
    if (rc == SOLCLIENT_OK) rc = solClient_msg_tracing_setSampled(msg_, type, context->sampled);
    if (rc == SOLCLIENT_OK)
        rc = solClient_msg_tracing_setTraceState(msg_, type, context->trace_state.data(), context->trace_state.size());
    if (rc == SOLCLIENT_OK)
        rc = solClient_msg_tracing_setInjectionStandardByte(msg_, type, SOLCLIENT_INJECTION_STANDARD_W3C);
    return rc;
}

std::optional<py::str> PyZelMsg::get_baggage() const {
    const char *baggage = nullptr;
    std::size_t size = 0;  // with the NUL
    if (solClient_msg_tracing_getBaggagePtr(msg_, &baggage, &size) != SOLCLIENT_OK || !baggage || size == 0)
        return std::nullopt;
    return text_object(baggage, size - 1, "ZelMsg.baggage");
}

}  // namespace zelmsg
