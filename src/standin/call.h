/* The frame of every call on a message or a map.
 *
 * Each call counts itself, takes an injected failure if one is due, then finds its message
 * or map by handle and works on it with that message's slot locked. Calls on different
 * messages share no lock; only alloc and free touch the table's free list. */
#ifndef ZELMSG_STANDIN_CALL_H
#define ZELMSG_STANDIN_CALL_H

#include "control.h"
#include "handles.h"

#include <new>
#include <optional>

namespace standin {

// What the work of one call came to: a code, and for a refusal, why.
struct Outcome {
    solClient_returnCode_t code;
    const Failure *failure = nullptr;
};

inline constexpr Outcome kOk{SOLCLIENT_OK};
inline constexpr Outcome kNotFound{SOLCLIENT_NOT_FOUND};

constexpr Outcome refuse(const Failure &failure) { return {SOLCLIENT_FAIL, &failure}; }

// Counts the call, honours an injected failure, finds the handle's slot and hands it to
// work, which returns an Outcome. Failures set the last-error record; no exception leaves.
template <typename Work>
solClient_returnCode_t run(Op op, const void *handle, Kind kind, Work &&work) {
    if (const std::optional<int> injected = enter(op)) {
        return fail(op, kInjected, *injected);
    }
    try {
        const SlotRef ref = table.find(handle, kind);
        if (!ref) {
            if (handle != nullptr && !table.gave_out(handle)) {
                foreign_handle_calls.fetch_add(1, std::memory_order_relaxed);
            }
            return fail(op, kind == Kind::message ? kBadMessage : kBadMap);
        }
        const Outcome outcome = work(ref);
        return outcome.failure == nullptr ? outcome.code : fail(op, *outcome.failure);
    } catch (const std::bad_alloc &) {
        return fail(op, kNoMemory);
    }
}

}  // namespace standin

#endif
