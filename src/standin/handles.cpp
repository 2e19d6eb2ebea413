#include "handles.h"

#include <new>
#include <utility>

namespace standin {

namespace {

struct Handle {
    Kind kind;
    std::uint32_t index;
    std::uint32_t generation;
};

void *encode(Handle handle) {
    const std::uintptr_t bits = static_cast<std::uintptr_t>(handle.kind) << kKindShift |
                                std::uintptr_t{handle.generation} << kIndexBits | handle.index;
    return reinterpret_cast<void *>(bits);
}

std::optional<Handle> decode(const void *handle) {
    const auto bits = reinterpret_cast<std::uintptr_t>(handle);
    if (bits >> (kKindShift + 1) != 0) {
        return std::nullopt;
    }
    return Handle{static_cast<Kind>(bits >> kKindShift),
                  static_cast<std::uint32_t>(bits & ((std::uintptr_t{1} << kIndexBits) - 1)),
                  static_cast<std::uint32_t>(bits >> kIndexBits)};
}

std::uint32_t next_generation(std::uint32_t generation) {
    return generation == UINT32_MAX ? 1 : generation + 1;
}

}  // namespace

constinit Table table;

// Inline, so that it is folded into allocate, its one caller: handed back from a call of
// its own, the optional index costs every alloc some 10 ns.
inline std::optional<std::uint32_t> Table::take_slot() {
    const std::lock_guard lock(mutex_);
    if (free_head_ != kNoSlot) {
        const std::uint32_t index = free_head_;
        free_head_ = slot_at(index)->next_free;
        return index;
    }
    if (slot_count_ == kChunkSlots * kChunkCount) {
        return std::nullopt;
    }
    if (slot_count_ % kChunkSlots == 0) {
        Slot *chunk = new (std::nothrow) Slot[kChunkSlots];
        if (chunk == nullptr) {
            return std::nullopt;
        }
        chunks_[slot_count_ / kChunkSlots].store(chunk, std::memory_order_release);
    }
    return slot_count_++;
}

void *Table::allocate() {
    const std::optional<std::uint32_t> index = take_slot();
    if (!index) {
        return nullptr;
    }
    Slot &slot = *slot_at(*index);
    const std::lock_guard lock(slot.mutex);
    slot.message.emplace();
    void *handle = encode({Kind::message, *index, slot.generation});
    live_.fetch_add(1, std::memory_order_relaxed);
    last_allocated_.store(handle, std::memory_order_relaxed);
    return handle;
}

SlotRef Table::find(const void *handle, Kind kind) {
    const std::optional<Handle> decoded = decode(handle);
    Slot *slot = decoded && decoded->kind == kind ? slot_at(decoded->index) : nullptr;
    if (slot == nullptr) {
        return {};
    }
    SlotRef ref(*slot, decoded->index);
    const bool current = slot->message && (kind == Kind::message
                                               ? slot->generation == decoded->generation
                                               : slot->message->user_properties &&
                                                     slot->map_references > 0 &&
                                                     slot->map_generation == decoded->generation);
    return current ? std::move(ref) : SlotRef{};
}

// Whether the value was ever a handle of either kind, live or not. A slot's generations
// below its current one were all handed out; the current one only while the slot holds a
// message (a freed slot's generation is bumped ahead of its next message). This takes a
// generation that wrapped, after 2^32 messages in one slot, for foreign.
bool Table::gave_out(const void *handle) {
    const std::optional<Handle> decoded = decode(handle);
    if (!decoded || decoded->generation == 0) {
        return false;
    }
    {
        const std::lock_guard lock(mutex_);
        if (decoded->index >= slot_count_) {
            return false;
        }
    }
    Slot &slot = *slot_at(decoded->index);
    const std::lock_guard lock(slot.mutex);
    if (decoded->kind == Kind::map) {
        return decoded->generation <= slot.map_generation;
    }
    return decoded->generation < slot.generation ||
           (decoded->generation == slot.generation && slot.message);
}

void Table::recycle(std::uint32_t index) {
    const std::lock_guard lock(mutex_);
    slot_at(index)->next_free = free_head_;
    free_head_ = index;
    live_.fetch_sub(1, std::memory_order_relaxed);
}

void Table::discard_all() {
    std::uint32_t count;
    {
        const std::lock_guard lock(mutex_);
        count = slot_count_;
    }
    for (std::uint32_t index = 0; index < count; ++index) {
        Slot &slot = *slot_at(index);
        const SlotRef ref(slot, index);
        if (slot.message) {
            ref.release();
        }
    }
}

void *SlotRef::replace_map() const {
    slot_->message->user_properties.emplace();
    slot_->map_references = 0;
    return open_map();
}

void *SlotRef::open_map() const {
    if (slot_->map_references++ == 0) {
        slot_->map_generation = next_generation(slot_->map_generation);
    }
    return encode({Kind::map, index_, slot_->map_generation});
}

void SlotRef::release() const {
    slot_->generation = next_generation(slot_->generation);
    slot_->message.reset();
    table.recycle(index_);
}

}  // namespace standin
