// The operations on the library and on whole messages: the last-error record, allocating
// and freeing a message, and its dump.

#include "call.h"

using namespace standin;

solClient_returnCode_t solClient_msg_alloc(solClient_opaqueMsg_pt *msg_p) {
    constexpr Op op = Op::solClient_msg_alloc;
    if (const std::optional<int> injected = enter(op)) {
        return fail(op, kInjected, *injected);
    }
    if (msg_p == nullptr) {
        return fail(op, kNullArgument);
    }
    void *handle = table.allocate();
    if (handle == nullptr) {
        return fail(op, kTableFull);
    }
    *msg_p = handle;
    return SOLCLIENT_OK;
}

solClient_returnCode_t solClient_msg_free(solClient_opaqueMsg_pt *msg_p) {
    const void *handle = msg_p ? *msg_p : nullptr;
    return run(Op::solClient_msg_free, handle, Kind::message, [&](const SlotRef &msg) {
        msg.release();
        *msg_p = nullptr;
        return kOk;
    });
}

solClient_errorInfo_pt solClient_getLastErrorInfo(void) {
    count_call(Op::solClient_getLastErrorInfo);
    return &last_error;
}

// The genuine library prints the dump to stdout when given no buffer and size 0; the
// stand-in refuses that like any other missing buffer.
solClient_returnCode_t solClient_msg_dump(solClient_opaqueMsg_pt msg_p, char *buffer_p,
                                          size_t bufferSize) {
    return run(Op::solClient_msg_dump, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buffer_p == nullptr || bufferSize == 0) {
            return refuse(kNoBuffer);
        }
        standin::dump(*msg, buffer_p, bufferSize);
        return kOk;
    });
}

