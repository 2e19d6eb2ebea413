/* Handles and the slot table of the stand-in libsolclient: where each message and container
 * lives, and how a handle finds it or is found stale. */
#ifndef ZELMSG_STANDIN_HANDLES_H
#define ZELMSG_STANDIN_HANDLES_H

#include "container.h"
#include "message.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace standin {

// Handle layout: bits 0-21 slot index, bits 22-53 a number, bit 54 set for container
// handles. A message handle's number is its slot's generation: freeing the message bumps
// it, so an old handle goes stale and answers FAIL instead of reaching whatever the slot
// holds now. Generations start at 1, so no handle is null.
//
// A slot holds a message, or a standalone container (which createMap builds in the caller's
// memory). Each container handle given out names one container of its slot (the message's
// user property map, its attachment container, one nested in either, or the standalone one)
// by a serial number that the slot never hands out again. A handle is counted: each call
// that gives it out adds a reference, each close drops one. The value stays the same while
// references remain; the last close invalidates it and every handle within its container,
// as does replacing, deleting or freeing what it names. The next reference gets a new value.
enum class Kind : std::uintptr_t { message = 0, container = 1 };

constexpr unsigned kIndexBits = 22;
constexpr unsigned kGenerationBits = 32;
constexpr unsigned kKindShift = kIndexBits + kGenerationBits;
constexpr std::uint32_t kChunkSlots = 1024;
constexpr std::uint32_t kChunkCount = (std::uint32_t{1} << kIndexBits) / kChunkSlots;
constexpr std::uint32_t kNoSlot = UINT32_MAX;

static_assert(sizeof(void *) == 8, "handles are 64-bit values");

// A container built in memory of the caller's, which bounds its size and which the
// stand-in keeps writing the fields into, as the genuine library does.
struct Standalone {
    Standalone(bool is_map, unsigned char *memory, std::uint32_t capacity)
        : root(is_map), memory(memory), capacity(capacity) {}

    Container root;
    unsigned char *memory;
    std::uint32_t capacity;
};

// A container handle given out and not yet closed.
struct OpenHandle {
    std::uint32_t serial;
    Container *node;
    std::uint64_t references;
};

struct Slot {
    std::mutex mutex;
    std::uint32_t generation = 1;
    std::uint32_t container_serial = 0;  // never reset, so handles of earlier containers stay stale
    std::uint32_t next_free = kNoSlot;   // guarded by the table's mutex
    std::optional<Message> message;
    std::unique_ptr<Standalone> standalone;
    std::vector<OpenHandle> handles;
};

// A slot found by handle, locked until the end of the call; for a container handle, also
// the container it names.
class SlotRef {
public:
    SlotRef() = default;
    SlotRef(Slot &slot, std::uint32_t index) : slot_(&slot), index_(index), lock_(slot.mutex) {}

    explicit operator bool() const { return slot_ != nullptr; }
    Message &operator*() const { return *slot_->message; }
    Message *operator->() const { return &*slot_->message; }
    Container &container() const { return *node_; }

    // A handle to node, a container of this slot: the one already given out, with one more
    // reference, or a new one.
    void *open(Container &node) const;
    // Drops one reference to this handle. The last invalidates the handles within its
    // container, finishes an attachment container's encoding and lets a standalone one go.
    void close() const;
    // Invalidates every handle within subtree.
    void forget(const Container &subtree) const;

    // Whether this handle's container can grow by bytes: a standalone container within the
    // caller's memory, any other within what 32-bit lengths can say.
    bool room_for(std::uint64_t bytes) const;
    // Tells the owner of this handle's container that it changed: appended is the field
    // just added to it, if that was the change.
    void changed(const Field *appended = nullptr) const;
    // A copy of this handle's container, as the genuine library takes one: the source's
    // encoding is finished first (in the caller's memory, or in its message's attachment).
    std::unique_ptr<Container> copy() const;

    // Frees the message or the standalone container and invalidates its handles.
    void release() const;
    // Makes the message a new one under the same handle, and invalidates its container handles.
    void empty() const;

private:
    friend class Table;

    // Makes this the reference of the slot's container handle of that serial, if it is open.
    bool bind(std::uint32_t serial);

    // Invalidates every container handle of the slot.
    void forget_all() const;

    enum class Home { user_properties, attachment, standalone };
    Home home(const Container &root) const;
    void mirror(const Field *appended) const;

    Slot *slot_ = nullptr;
    std::uint32_t index_ = 0;
    std::uint32_t serial_ = 0;
    Container *node_ = nullptr;
    std::unique_lock<std::mutex> lock_;
};

// Slots live in chunks that are made as needed and never moved or freed, so a handle is
// looked up without the table's lock.
class Table {
public:
    void *allocate();
    // A new message holding message.
    void *allocate(Message &&message);
    void *allocate_standalone(bool is_map, unsigned char *memory, std::uint32_t capacity);
    SlotRef find(const void *handle, Kind kind);
    bool gave_out(const void *handle);
    void recycle(std::uint32_t index, bool message);
    void discard_all();

    long live() const { return live_.load(std::memory_order_relaxed); }
    void *last_allocated() const { return last_allocated_.load(std::memory_order_relaxed); }

private:
    std::optional<std::uint32_t> take_slot();
    template <typename Fill>
    void *allocate_with(Fill &&fill);

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

// The library's one table of messages and standalone containers.
extern constinit Table table;

// Container references given out and neither closed nor invalidated, for
// standin_open_containers.
extern constinit std::atomic<unsigned long> open_container_references;

}  // namespace standin

#endif
