// The operations on W3C trace contexts and baggage, and on what a receiver learns of caches and
// consumers.

#include "call.h"

#include <cstdint>
#include <cstring>

using namespace standin;

namespace {

// The context of a type, made whole by its first set; a type other than the two is refused,
// where the genuine library takes it and does with it what nobody knows.
Outcome with_context(Message &message, solClient_msg_tracing_context_type_t type, bool make,
                     StoredTraceContext *&context) {
    if (type != SOLCLIENT_CONTEXT_TYPE_TRANSPORT_CONTEXT && type != SOLCLIENT_CONTEXT_TYPE_CREATION_CONTEXT)
        return refuse(kBadContextType);
    std::optional<StoredTraceContext> &stored = message.trace_contexts[static_cast<std::size_t>(type)];
    if (!stored && !make) return kNotFound;
    if (!stored) stored.emplace();
    context = &*stored;
    return kOk;
}

template <typename Work>
solClient_returnCode_t on_context(Op op, solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t type,
                                  bool make, Work &&work) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        StoredTraceContext *context = nullptr;
        const Outcome found = with_context(*msg, type, make, context);
        return found.code == SOLCLIENT_OK && found.failure == nullptr ? work(*context) : found;
    });
}

// An id of its fixed size, copied in or out.
template <std::size_t Size>
Outcome id_bytes(std::array<unsigned char, Size> &id, const void *data, void *out, size_t size,
                 const Failure &bad_size) {
    if (size != Size) return refuse(bad_size);
    if (data == nullptr && out == nullptr) return refuse(kNullArgument);
    if (out != nullptr)
        std::memcpy(out, id.data(), Size);
    else
        std::memcpy(id.data(), data, Size);
    return kOk;
}

}  // namespace

solClient_returnCode_t solClient_msg_tracing_getTraceIdByte(solClient_opaqueMsg_pt msg_p,
                                                            solClient_msg_tracing_context_type_t contextType,
                                                            solClient_uint8_t *traceId, size_t size) {
    return on_context(Op::solClient_msg_tracing_getTraceIdByte, msg_p, contextType, false, [&](StoredTraceContext &c) {
        return id_bytes(c.trace_id, nullptr, traceId, size, kBadTraceIdSize);
    });
}

solClient_returnCode_t solClient_msg_tracing_setTraceIdByte(solClient_opaqueMsg_pt msg_p,
                                                            solClient_msg_tracing_context_type_t contextType,
                                                            const solClient_uint8_t *traceId, size_t size) {
    if (size != SOLCLIENT_TRACING_TRACE_ID_SIZE || traceId == nullptr) {
        // Refused before the context is made, so that a refusal changes nothing.
        return run(Op::solClient_msg_tracing_setTraceIdByte, msg_p, Kind::message,
                   [&](const SlotRef &) { return refuse(traceId == nullptr ? kNullArgument : kBadTraceIdSize); });
    }
    return on_context(Op::solClient_msg_tracing_setTraceIdByte, msg_p, contextType, true, [&](StoredTraceContext &c) {
        return id_bytes(c.trace_id, traceId, nullptr, size, kBadTraceIdSize);
    });
}

solClient_returnCode_t solClient_msg_tracing_getSpanIdByte(solClient_opaqueMsg_pt msg_p,
                                                           solClient_msg_tracing_context_type_t contextType,
                                                           solClient_uint8_t *spanId, size_t size) {
    return on_context(Op::solClient_msg_tracing_getSpanIdByte, msg_p, contextType, false, [&](StoredTraceContext &c) {
        return id_bytes(c.span_id, nullptr, spanId, size, kBadSpanIdSize);
    });
}

solClient_returnCode_t solClient_msg_tracing_setSpanIdByte(solClient_opaqueMsg_pt msg_p,
                                                           solClient_msg_tracing_context_type_t contextType,
                                                           const solClient_uint8_t *spanId, size_t size) {
    if (size != SOLCLIENT_TRACING_SPAN_ID_SIZE || spanId == nullptr) {
        return run(Op::solClient_msg_tracing_setSpanIdByte, msg_p, Kind::message,
                   [&](const SlotRef &) { return refuse(spanId == nullptr ? kNullArgument : kBadSpanIdSize); });
    }
    return on_context(Op::solClient_msg_tracing_setSpanIdByte, msg_p, contextType, true, [&](StoredTraceContext &c) {
        return id_bytes(c.span_id, spanId, nullptr, size, kBadSpanIdSize);
    });
}

solClient_returnCode_t solClient_msg_tracing_isSampled(solClient_opaqueMsg_pt msg_p,
                                                       solClient_msg_tracing_context_type_t contextType,
                                                       solClient_bool_t *isSampled) {
    return on_context(Op::solClient_msg_tracing_isSampled, msg_p, contextType, false, [&](StoredTraceContext &c) {
        if (isSampled == nullptr) return refuse(kNullArgument);
        *isSampled = c.sampled ? 1 : 0;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_tracing_setSampled(solClient_opaqueMsg_pt msg_p,
                                                        solClient_msg_tracing_context_type_t contextType,
                                                        solClient_bool_t isSampled) {
    return on_context(Op::solClient_msg_tracing_setSampled, msg_p, contextType, true, [&](StoredTraceContext &c) {
        c.sampled = isSampled != 0;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_tracing_getTraceStatePtr(solClient_opaqueMsg_pt msg_p,
                                                              solClient_msg_tracing_context_type_t contextType,
                                                              const char **traceState, size_t *size) {
    return on_context(Op::solClient_msg_tracing_getTraceStatePtr, msg_p, contextType, false,
                      [&](StoredTraceContext &c) {
                          if (traceState == nullptr || size == nullptr) return refuse(kNullArgument);
                          *traceState = c.trace_state.c_str();
                          *size = c.trace_state.size();
                          return kOk;
                      });
}

// The text up to its first NUL, as the genuine library keeps it.
solClient_returnCode_t solClient_msg_tracing_setTraceState(solClient_opaqueMsg_pt msg_p,
                                                           solClient_msg_tracing_context_type_t contextType,
                                                           const char *traceState, size_t size) {
    if (size > SOLCLIENT_TRACING_MAX_TRACE_STATE || (traceState == nullptr && size != 0)) {
        return run(Op::solClient_msg_tracing_setTraceState, msg_p, Kind::message,
                   [&](const SlotRef &) { return refuse(traceState == nullptr ? kNullArgument : kLongTraceState); });
    }
    return on_context(Op::solClient_msg_tracing_setTraceState, msg_p, contextType, true, [&](StoredTraceContext &c) {
        c.trace_state.assign(traceState ? traceState : "", traceState ? strnlen(traceState, size) : 0);
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_tracing_deleteContext(solClient_opaqueMsg_pt msg_p,
                                                           solClient_msg_tracing_context_type_t contextType) {
    return run(Op::solClient_msg_tracing_deleteContext, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (contextType != SOLCLIENT_CONTEXT_TYPE_TRANSPORT_CONTEXT &&
            contextType != SOLCLIENT_CONTEXT_TYPE_CREATION_CONTEXT) {
            return refuse(kBadContextType);
        }
        msg->trace_contexts[static_cast<std::size_t>(contextType)].reset();
        return kOk;
    });
}

// Without a context the genuine library answers 5 and writes 0.
solClient_returnCode_t solClient_msg_tracing_getInjectionStandardByte(solClient_opaqueMsg_pt msg_p,
                                                                      solClient_msg_tracing_context_type_t contextType,
                                                                      solClient_uint8_t *standard) {
    constexpr Op op = Op::solClient_msg_tracing_getInjectionStandardByte;
    if (const std::optional<int> injected = enter(op)) return fail(op, kInjected, *injected);
    // As the genuine library does, four bytes are written through the byte pointer, 0 before
    // the message is looked at: a caller that gives one byte is overrun, here as there.
    if (standard == nullptr) return fail(op, kNullArgument);
    const auto write = [standard](std::uint32_t value) { std::memcpy(standard, &value, sizeof value); };
    write(0);
    return run_found(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        StoredTraceContext *context = nullptr;
        const Outcome found = with_context(*msg, contextType, false, context);
        if (found.failure == nullptr && context != nullptr) write(context->injection_standard);
        return found;
    });
}

solClient_returnCode_t solClient_msg_tracing_setInjectionStandardByte(solClient_opaqueMsg_pt msg_p,
                                                                      solClient_msg_tracing_context_type_t contextType,
                                                                      solClient_uint8_t standard) {
    return on_context(Op::solClient_msg_tracing_setInjectionStandardByte, msg_p, contextType, true,
                      [&](StoredTraceContext &c) {
                          c.injection_standard = standard;
                          return kOk;
                      });
}

// The size counts the NUL.
solClient_returnCode_t solClient_msg_tracing_getBaggagePtr(solClient_opaqueMsg_pt msg_p, const char **baggage,
                                                           size_t *size) {
    // The genuine library answers every failure of this call as not found, recording the
    // error all the same, except a null size, which it answers with no error at all.
    const solClient_returnCode_t rc =
        run(Op::solClient_msg_tracing_getBaggagePtr, msg_p, Kind::message, [&](const SlotRef &msg) {
            if (baggage == nullptr) return refuse(kNullArgument);
            if (size == nullptr || !msg->baggage) return kNotFound;
            *baggage = msg->baggage->c_str();
            *size = msg->baggage->size() + 1;
            return kOk;
        });
    return rc == SOLCLIENT_FAIL ? SOLCLIENT_NOT_FOUND : rc;
}

// A null baggage changes nothing and is no error, as in the genuine library.
solClient_returnCode_t solClient_msg_tracing_setBaggage(solClient_opaqueMsg_pt msg_p, const char *baggage) {
    return run(Op::solClient_msg_tracing_setBaggage, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (baggage != nullptr) msg->baggage = baggage;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_tracing_deleteBaggage(solClient_opaqueMsg_pt msg_p) {
    return run(Op::solClient_msg_tracing_deleteBaggage, msg_p, Kind::message, [&](const SlotRef &msg) {
        msg->baggage.reset();
        return kOk;
    });
}

// A message that was not received came live: no cache request, no consumer ids.
solClient_cacheStatus_t solClient_msg_isCacheMsg(solClient_opaqueMsg_pt msg_p) {
    solClient_cacheStatus_t status = SOLCLIENT_CACHE_INVALID_MESSAGE;
    run(Op::solClient_msg_isCacheMsg, msg_p, Kind::message, [&](const SlotRef &msg) {
        status = msg->cache_status;
        return kOk;
    });
    return status;
}

solClient_returnCode_t solClient_msg_getCacheRequestId(solClient_opaqueMsg_pt msg_p, solClient_uint64_t *id_p) {
    return run(Op::solClient_msg_getCacheRequestId, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (id_p == nullptr) return refuse(kNullArgument);
        *id_p = msg->cache_request_id.value_or(0);
        return msg->cache_request_id ? kOk : kNotFound;
    });
}

solClient_returnCode_t solClient_msg_getConsumerIdCount(solClient_opaqueMsg_pt msg_p, solClient_uint32_t *count_p) {
    return run(Op::solClient_msg_getConsumerIdCount, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (count_p == nullptr) return refuse(kNullArgument);
        *count_p = static_cast<solClient_uint32_t>(msg->consumer_ids.size());
        return kOk;
    });
}

// An index past the count answers 0 with 0xFFFFFFFF, as the genuine library does.
solClient_returnCode_t solClient_msg_getConsumerId(solClient_opaqueMsg_pt msg_p, solClient_uint32_t index,
                                                   solClient_consumerId_t *id_p) {
    return run(Op::solClient_msg_getConsumerId, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (id_p == nullptr) return refuse(kNullArgument);
        *id_p = index < msg->consumer_ids.size() ? msg->consumer_ids[index] : 0xFFFFFFFFU;
        return kOk;
    });
}
