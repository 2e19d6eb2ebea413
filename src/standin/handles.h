/* Handles and the slot table of the stand-in libsolclient: where each message lives, and
 * how a handle finds it or is found stale. */
#ifndef ZELMSG_STANDIN_HANDLES_H
#define ZELMSG_STANDIN_HANDLES_H

#include "message.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace standin {

// Handle layout: bits 0-21 slot index, bits 22-53 generation, bit 54 set for map handles.
// Generations start at 1, so no handle is null. Freeing a message bumps its slot's
// generation, so an old handle goes stale and answers FAIL instead of reaching whatever
// the slot holds now.
//
// A map handle is counted: creating the map and each lookup of it add a reference, each
// close drops one. The value stays the same while references remain; once the last is
// closed or the map is replaced it goes stale, and the next reference gets a new value.
enum class Kind : std::uintptr_t { message = 0, map = 1 };

constexpr unsigned kIndexBits = 22;
constexpr unsigned kGenerationBits = 32;
constexpr unsigned kKindShift = kIndexBits + kGenerationBits;
constexpr std::uint32_t kChunkSlots = 1024;
constexpr std::uint32_t kChunkCount = (std::uint32_t{1} << kIndexBits) / kChunkSlots;
constexpr std::uint32_t kNoSlot = UINT32_MAX;

static_assert(sizeof(void *) == 8, "handles are 64-bit values");

struct Slot {
    std::mutex mutex;
    std::uint32_t generation = 1;
    std::uint32_t map_generation = 0;  // never reset, so maps of earlier messages stay stale
    std::uint64_t map_references = 0;
    std::uint32_t next_free = kNoSlot;  // guarded by the table's mutex
    std::optional<Message> message;
};

// A slot found by handle, locked until the end of the call.
class SlotRef {
public:
    SlotRef() = default;
    SlotRef(Slot &slot, std::uint32_t index) : slot_(&slot), index_(index), lock_(slot.mutex) {}

    explicit operator bool() const { return slot_ != nullptr; }
    Message &operator*() const { return *slot_->message; }
    Message *operator->() const { return &*slot_->message; }
    PropertyMap &map() const { return *slot_->message->user_properties; }

    void *replace_map() const;
    void *open_map() const;
    void close_map() const { --slot_->map_references; }
    void release() const;

private:
    Slot *slot_ = nullptr;
    std::uint32_t index_ = 0;
    std::unique_lock<std::mutex> lock_;
};

// Slots live in chunks that are made as needed and never moved or freed, so a handle is
// looked up without the table's lock.
class Table {
public:
    void *allocate();
    SlotRef find(const void *handle, Kind kind);
    bool gave_out(const void *handle);
    void recycle(std::uint32_t index);
    void discard_all();

    long live() const { return live_.load(std::memory_order_relaxed); }
    void *last_allocated() const { return last_allocated_.load(std::memory_order_relaxed); }

private:
    std::optional<std::uint32_t> take_slot();

    Slot *slot_at(std::uint32_t index) const {
        Slot *chunk = chunks_[index / kChunkSlots].load(std::memory_order_acquire);
        return chunk == nullptr ? nullptr : &chunk[index % kChunkSlots];
    }

    std::mutex mutex_;  // guards the free list, the slot count and the making of chunks
    std::uint32_t free_head_ = kNoSlot;
    std::uint32_t slot_count_ = 0;
    std::atomic<Slot *> chunks_[kChunkCount] = {};
    std::atomic<long> live_{0};
    std::atomic<void *> last_allocated_{nullptr};
};

// The library's one table of messages.
extern constinit Table table;

}  // namespace standin

#endif
