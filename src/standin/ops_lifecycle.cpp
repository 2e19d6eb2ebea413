// The operations on the library and on whole messages: initialising the library, the
// last-error record, allocating, copying and freeing a message, and its dump.

#include "call.h"

#include <mutex>
#include <optional>
#include <utility>

using namespace standin;

namespace {

constexpr int kMaxLogFilterLevel = 7;  // debug

std::mutex initialize_mutex;
bool initialized = false;  // guarded by initialize_mutex

}  // namespace

// Like the genuine library's, the first successful call throws away every message allocated
// before it (the genuine one then hands their handle values out again; here they go stale),
// and later calls change nothing. The stand-in logs nothing and takes no global properties.
solClient_returnCode_t solClient_initialize(int logFilterLevel, const char ** /*props*/) {
    constexpr Op op = Op::solClient_initialize;
    if (const std::optional<int> injected = enter(op)) return fail(op, kInjected, *injected);
    const std::lock_guard lock(initialize_mutex);
    if (initialized) return SOLCLIENT_OK;
    if (logFilterLevel < 0 || logFilterLevel > kMaxLogFilterLevel) return fail(op, kBadLogLevel);
    table.discard_all();
    initialized = true;
    return SOLCLIENT_OK;
}

// The API level whose behaviour the stand-in answers with, and a variant that tells it apart.
solClient_returnCode_t solClient_version_get(solClient_version_info_pt *version_p) {
    static const solClient_version_info_t kVersion{"7.33.0.3", __DATE__ " " __TIME__, "Linux x86_64 - zelmsg stand-in"};
    constexpr Op op = Op::solClient_version_get;
    if (const std::optional<int> injected = enter(op)) return fail(op, kInjected, *injected);
    if (version_p == nullptr) return fail(op, kNullArgument);
    *version_p = const_cast<solClient_version_info_pt>(&kVersion);
    return SOLCLIENT_OK;
}

solClient_returnCode_t solClient_msg_alloc(solClient_opaqueMsg_pt *msg_p) {
    constexpr Op op = Op::solClient_msg_alloc;
    if (const std::optional<int> injected = enter(op)) return fail(op, kInjected, *injected);
    if (msg_p == nullptr) return fail(op, kNullArgument);
    void *handle = table.allocate();
    if (handle == nullptr) return fail(op, kTableFull);
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

// A copy made under the original's lock and placed in a slot of its own after it, so that
// no call holds two slots' locks at once.
solClient_returnCode_t solClient_msg_dup(solClient_opaqueMsg_pt msg_p, solClient_opaqueMsg_pt *copy_p) {
    constexpr Op op = Op::solClient_msg_dup;
    std::optional<Message> copy;
    const solClient_returnCode_t rc = run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (copy_p == nullptr) return refuse(kNullArgument);  // the genuine library crashes
        copy.emplace(duplicate(*msg));
        return kOk;
    });
    if (rc != SOLCLIENT_OK) return rc;
    void *handle = table.allocate(std::move(*copy));
    if (handle == nullptr) return fail(op, kTableFull);
    *copy_p = handle;
    return SOLCLIENT_OK;
}

solClient_errorInfo_pt solClient_getLastErrorInfo(void) {
    count_call(Op::solClient_getLastErrorInfo);
    return &last_error;
}

// Like solClient_getLastErrorInfo, it cannot fail, so no failure is injected into it.
void solClient_resetLastErrorInfo(void) {
    count_call(Op::solClient_resetLastErrorInfo);
    last_error = solClient_errorInfo_t{};
}

namespace {

solClient_returnCode_t dump_into(Op op, solClient_opaqueMsg_pt msg_p, char *buffer_p, size_t bufferSize, bool brief) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buffer_p == nullptr || bufferSize == 0) return refuse(kNoBuffer);
        standin::dump(*msg, buffer_p, bufferSize, brief);
        return kOk;
    });
}

}  // namespace

// The genuine library prints the dump to stdout when given no buffer and size 0; the
// stand-in refuses that like any other missing buffer.
solClient_returnCode_t solClient_msg_dump(solClient_opaqueMsg_pt msg_p, char *buffer_p, size_t bufferSize) {
    return dump_into(Op::solClient_msg_dump, msg_p, buffer_p, bufferSize, false);
}

// Only bit 0 of the flags counts.
solClient_returnCode_t solClient_msg_dumpExt(solClient_opaqueMsg_pt msg_p, char *buffer_p, size_t bufferSize,
                                             solClient_uint32_t flags) {
    return dump_into(Op::solClient_msg_dumpExt, msg_p, buffer_p, bufferSize, (flags & SOLCLIENT_MSGDUMP_FULL) == 0);
}

// Everything goes, what a received message carries included; the handle stays.
solClient_returnCode_t solClient_msg_reset(solClient_opaqueMsg_pt msg_p) {
    return run(Op::solClient_msg_reset, msg_p, Kind::message, [&](const SlotRef &msg) {
        msg.empty();
        return kOk;
    });
}
