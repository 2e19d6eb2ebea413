// The test control: call counts, injected failures, the last-error record, and the
// exported standin_* functions that tests drive them with.

#include "operations.h"
#include "handles.h"
#include "standin_control.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>

namespace standin {

constinit OpControl op_controls[std::size(kOpNames)];

constinit thread_local solClient_errorInfo_t last_error{};

constinit std::atomic<unsigned long> foreign_handle_calls{0};
constinit std::atomic<unsigned long> small_map_size_calls{0};

namespace {

const char *name_of(Op op) { return kOpNames[static_cast<unsigned>(op)]; }

std::optional<Op> op_named(const char *name) {
    for (unsigned i = 0; name != nullptr && i < std::size(kOpNames); ++i)
        if (std::strcmp(kOpNames[i], name) == 0) return static_cast<Op>(i);
    return std::nullopt;
}

// The text that standin_set_error_text put in place of the library's own.
struct ErrorTextOverride {
    std::mutex mutex;
    bool set = false;
    char text[sizeof last_error.errorStr] = {};
};

constinit ErrorTextOverride error_text_override;

}  // namespace

solClient_returnCode_t fail(Op op, const Failure &failure, solClient_returnCode_t code) {
    last_error.subCode = failure.sub_code;
    last_error.responseCode = 0;
    const std::lock_guard lock(error_text_override.mutex);
    if (error_text_override.set)
        std::memcpy(last_error.errorStr, error_text_override.text, sizeof last_error.errorStr);
    else
        std::snprintf(last_error.errorStr, sizeof last_error.errorStr, "%s in %s", failure.text, name_of(op));
    return code;
}

}  // namespace standin

using namespace standin;

void standin_reset(void) {
    for (OpControl &c : op_controls) {
        c.calls.store(0, std::memory_order_relaxed);
        c.failures_due.store(0, std::memory_order_relaxed);
    }
    foreign_handle_calls.store(0, std::memory_order_relaxed);
    small_map_size_calls.store(0, std::memory_order_relaxed);
    standin_set_error_text(nullptr);
}

void standin_fail_next(const char *operation, int return_code, int times) {
    if (const std::optional<Op> op = op_named(operation)) {
        OpControl &c = control(*op);
        c.failure_code.store(return_code, std::memory_order_relaxed);
        c.failures_due.store(times, std::memory_order_release);
    }
}

void standin_set_error_text(const char *text) {
    const std::lock_guard lock(error_text_override.mutex);
    error_text_override.set = text != nullptr;
    std::snprintf(error_text_override.text, sizeof error_text_override.text, "%s", text ? text : "");
}

unsigned long standin_calls(const char *operation) {
    const std::optional<Op> op = op_named(operation);
    return op ? control(*op).calls.load(std::memory_order_relaxed) : 0;
}

void *standin_last_message(void) { return table.last_allocated(); }

long standin_live_messages(void) { return table.live(); }

unsigned long standin_foreign_handles(void) { return foreign_handle_calls.load(std::memory_order_relaxed); }

unsigned long standin_small_map_sizes(void) { return small_map_size_calls.load(std::memory_order_relaxed); }

unsigned long standin_open_containers(void) { return open_container_references.load(std::memory_order_relaxed); }

int standin_set_received(void *msg, const char *fact, long long value) {
    const SlotRef ref = table.find(msg, Kind::message);
    if (!ref || fact == nullptr) return -1;
    const std::string_view name(fact);
    Message &message = *ref;
    if (name == "redelivered") {
        message.redelivered = value != 0;
    } else if (name == "delivery_count") {
        if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
            return -1;
        message.delivery_count = static_cast<std::int32_t>(value);
    } else if (name == "receive_timestamp") {
        message.receive_timestamp = value;
    } else if (name == "topic_sequence_number") {
        message.topic_sequence_number = value;
    } else if (name == "message_id") {
        message.message_id = static_cast<std::uint64_t>(value);
    } else if (name == "cache_status") {
        if (value < SOLCLIENT_CACHE_LIVE_MESSAGE || value > SOLCLIENT_CACHE_SUSPECT_MESSAGE) return -1;
        message.cache_status = static_cast<solClient_cacheStatus_t>(value);
    } else if (name == "cache_request_id") {
        message.cache_request_id = static_cast<std::uint64_t>(value);
    } else {
        return -1;
    }
    return 0;
}

int standin_set_consumer_ids(void *msg, const solClient_consumerId_t *ids, size_t count) {
    const SlotRef ref = table.find(msg, Kind::message);
    if (!ref || (ids == nullptr && count != 0)) return -1;
    ref->consumer_ids.assign(ids, ids + count);
    return 0;
}

int standin_set_replication_group_message_id(void *msg, const void *id, size_t size) {
    const SlotRef ref = table.find(msg, Kind::message);
    if (!ref || (id != nullptr && size != kReplicationGroupMessageIdSize)) return -1;
    auto &stored = ref->replication_group_message_id;
    if (id == nullptr) {
        stored.reset();
    } else {
        stored.emplace();
        std::memcpy(stored->data(), id, kReplicationGroupMessageIdSize);
    }
    return 0;
}
