/* The frame of every call on a message or a container.
 *
 * Each call counts itself, takes an injected failure if one is due, then finds its message
 * or container by handle and works on it with that slot locked. Calls on different messages
 * share no lock; only alloc and free (of messages and standalone containers) touch the
 * table's free list. */
#ifndef ZELMSG_STANDIN_CALL_H
#define ZELMSG_STANDIN_CALL_H

#include "operations.h"
#include "handles.h"

#include <memory>
#include <new>
#include <optional>
#include <utility>

namespace standin {

// What the work of one call came to: a code, and for a refusal, why.
struct Outcome {
    solClient_returnCode_t code;
    const Failure *failure = nullptr;
};

inline constexpr Outcome kOk{SOLCLIENT_OK};
inline constexpr Outcome kNotFound{SOLCLIENT_NOT_FOUND};

constexpr Outcome refuse(const Failure &failure) { return {SOLCLIENT_FAIL, &failure}; }

// Finds the handle's slot and hands it to work, which returns an Outcome. Failures set the
// last-error record; no exception leaves.
template <typename Work>
solClient_returnCode_t run_found(Op op, const void *handle, Kind kind, Work &&work) {
    try {
        const SlotRef ref = table.find(handle, kind);
        if (!ref) {
            if (handle != nullptr && !table.gave_out(handle))
                foreign_handle_calls.fetch_add(1, std::memory_order_relaxed);
            return fail(op, kind == Kind::message ? kBadMessage : kBadContainer);
        }
        const Outcome outcome = work(ref);
        return outcome.failure == nullptr ? outcome.code : fail(op, *outcome.failure);
    } catch (const std::bad_alloc &) {
        return fail(op, kNoMemory);
    }
}

// Counts the call, honours an injected failure, then does what run_found does.
template <typename Work>
solClient_returnCode_t run(Op op, const void *handle, Kind kind, Work &&work) {
    if (const std::optional<int> injected = enter(op)) return fail(op, kInjected, *injected);
    return run_found(op, handle, kind, std::forward<Work>(work));
}

// For calls on no message or container: counts the call, honours an injected failure, then
// runs work, which returns an Outcome.
template <typename Work>
solClient_returnCode_t run_unbound(Op op, Work &&work) {
    if (const std::optional<int> injected = enter(op)) return fail(op, kInjected, *injected);
    try {
        const Outcome outcome = work();
        return outcome.failure == nullptr ? outcome.code : fail(op, *outcome.failure);
    } catch (const std::bad_alloc &) {
        return fail(op, kNoMemory);
    }
}

// For calls that copy a container into a message or another container: like run, but the
// work also gets a copy of the source container, taken first under the source's own lock,
// so that no call holds two slots' locks at once.
template <typename Work>
solClient_returnCode_t run_with_copy(Op op, const void *handle, Kind kind, const void *source, Work &&work) {
    if (const std::optional<int> injected = enter(op)) return fail(op, kInjected, *injected);
    std::unique_ptr<Container> copy;
    try {
        const SlotRef ref = table.find(source, Kind::container);
        if (!ref) {
            if (source != nullptr && !table.gave_out(source))
                foreign_handle_calls.fetch_add(1, std::memory_order_relaxed);
            return fail(op, kBadContainer);
        }
        copy = ref.copy();
    } catch (const std::bad_alloc &) {
        return fail(op, kNoMemory);
    }
    // The call is counted and its injected failure taken: what is left is run_found's.
    return run_found(op, handle, kind, [&](const SlotRef &ref) { return work(ref, std::move(copy)); });
}

}  // namespace standin

#endif
