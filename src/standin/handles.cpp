#include "handles.h"

#include <algorithm>
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
    if (bits >> (kKindShift + 1) != 0) return std::nullopt;
    return Handle{static_cast<Kind>(bits >> kKindShift),
                  static_cast<std::uint32_t>(bits & ((std::uintptr_t{1} << kIndexBits) - 1)),
                  static_cast<std::uint32_t>(bits >> kIndexBits)};
}

std::uint32_t next_generation(std::uint32_t generation) { return generation == UINT32_MAX ? 1 : generation + 1; }

}  // namespace

constinit Table table;

// Inline, so that it is folded into its callers: handed back from a call of its own, the
// optional index costs every alloc some 10 ns.
inline std::optional<std::uint32_t> Table::take_slot() {
    const std::lock_guard lock(mutex_);
    if (free_head_ != kNoSlot) {
        const std::uint32_t index = free_head_;
        free_head_ = slot_at(index)->next_free;
        return index;
    }
    if (slot_count_ == kChunkSlots * kChunkCount) return std::nullopt;
    if (slot_count_ % kChunkSlots == 0) {
        Slot *chunk = new (std::nothrow) Slot[kChunkSlots];
        if (chunk == nullptr) return std::nullopt;
        chunks_[slot_count_ / kChunkSlots].store(chunk, std::memory_order_release);
    }
    return slot_count_++;
}

template <typename Fill>
inline void *Table::allocate_with(Fill &&fill) {
    const std::optional<std::uint32_t> index = take_slot();
    if (!index) return nullptr;
    Slot &slot = *slot_at(*index);
    const std::lock_guard lock(slot.mutex);
    fill(slot.message);
    void *handle = encode({Kind::message, *index, slot.generation});
    live_.fetch_add(1, std::memory_order_relaxed);
    last_allocated_.store(handle, std::memory_order_relaxed);
    return handle;
}

void *Table::allocate() {
    return allocate_with([](std::optional<Message> &message) { message.emplace(); });
}

void *Table::allocate(Message &&from) {
    return allocate_with([&](std::optional<Message> &message) { message.emplace(std::move(from)); });
}

void *Table::allocate_standalone(bool is_map, unsigned char *memory, std::uint32_t capacity) {
    const std::optional<std::uint32_t> index = take_slot();
    if (!index) return nullptr;
    Slot &slot = *slot_at(*index);
    const SlotRef ref(slot, *index);
    slot.standalone = std::make_unique<Standalone>(is_map, memory, capacity);
    encode(slot.standalone->root, 0, memory);  // the header; its length is written on copy
    return ref.open(slot.standalone->root);
}

SlotRef Table::find(const void *handle, Kind kind) {
    const std::optional<Handle> decoded = decode(handle);
    Slot *slot = decoded && decoded->kind == kind ? slot_at(decoded->index) : nullptr;
    if (slot == nullptr) return {};
    if (kind == Kind::message) {
        SlotRef ref(*slot, decoded->index);
        return slot->message && slot->generation == decoded->generation ? std::move(ref) : SlotRef{};
    }
    SlotRef ref(*slot, decoded->index);
    return ref.bind(decoded->generation) ? std::move(ref) : SlotRef{};
}

// Whether the value was ever a handle of either kind, live or not. A slot's generations
// below its current one were all handed out; the current one only while the slot holds a
// message (a freed slot's generation is bumped ahead of its next message). This takes a
// generation that wrapped, after 2^32 messages in one slot, for foreign.
bool Table::gave_out(const void *handle) {
    const std::optional<Handle> decoded = decode(handle);
    if (!decoded || decoded->generation == 0) return false;
    {
        const std::lock_guard lock(mutex_);
        if (decoded->index >= slot_count_) return false;
    }
    Slot &slot = *slot_at(decoded->index);
    const std::lock_guard lock(slot.mutex);
    if (decoded->kind == Kind::container) return decoded->generation <= slot.container_serial;
    return decoded->generation < slot.generation || (decoded->generation == slot.generation && slot.message);
}

void Table::recycle(std::uint32_t index, bool message) {
    const std::lock_guard lock(mutex_);
    slot_at(index)->next_free = free_head_;
    free_head_ = index;
    if (message) live_.fetch_sub(1, std::memory_order_relaxed);
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
        if (slot.message || slot.standalone) ref.release();
    }
}

constinit std::atomic<unsigned long> open_container_references{0};

bool SlotRef::bind(std::uint32_t serial) {
    for (const OpenHandle &handle : slot_->handles) {
        if (handle.serial == serial) {
            serial_ = serial;
            node_ = handle.node;
            return true;
        }
    }
    return false;
}

void *SlotRef::open(Container &node) const {
    std::vector<OpenHandle> &handles = slot_->handles;
    auto it = std::find_if(handles.begin(), handles.end(), [&](const OpenHandle &h) { return h.node == &node; });
    if (it == handles.end()) {
        slot_->container_serial = next_generation(slot_->container_serial);
        it = handles.insert(handles.end(), OpenHandle{slot_->container_serial, &node, 0});
    }
    ++it->references;
    open_container_references.fetch_add(1, std::memory_order_relaxed);
    return encode({Kind::container, index_, it->serial});
}

void SlotRef::close() const {
    std::vector<OpenHandle> &handles = slot_->handles;
    const auto it =
        std::find_if(handles.begin(), handles.end(), [&](const OpenHandle &h) { return h.serial == serial_; });
    open_container_references.fetch_sub(1, std::memory_order_relaxed);
    if (--it->references > 0) return;
    handles.erase(it);
    Container &node = *node_;
    forget(node);
    if (node.parent() != nullptr) return;
    switch (home(node)) {
    case Home::attachment: {
        Message &message = *slot_->message;
        if (message.attachment_changed) {
            message.attachment = encode(node);
            message.attachment_changed = false;
        }
        message.attachment_container.reset();
        break;
    }
    case Home::standalone: release(); break;
    case Home::user_properties: break;
    }
}

void SlotRef::forget(const Container &subtree) const {
    std::erase_if(slot_->handles, [&](const OpenHandle &h) {
        if (!subtree.contains(*h.node)) return false;
        open_container_references.fetch_sub(h.references, std::memory_order_relaxed);
        return true;
    });
}

SlotRef::Home SlotRef::home(const Container &root) const {
    if (slot_->standalone) return Home::standalone;
    return &root == slot_->message->attachment_container.get() ? Home::attachment : Home::user_properties;
}

bool SlotRef::room_for(std::uint64_t bytes) const {
    const Container &root = node_->root();
    const std::uint64_t limit = home(root) == Home::standalone ? slot_->standalone->capacity : kMaxEncodedSize;
    return bytes <= limit && root.encoded_size() <= limit - bytes;
}

void SlotRef::changed(const Field *appended) const {
    switch (home(node_->root())) {
    case Home::attachment: slot_->message->attachment_changed = true; break;
    case Home::standalone: mirror(appended); break;
    case Home::user_properties: break;
    }
}

// Keeps the caller's memory holding the standalone container's fields. A field added at the
// end of the whole encoding is written alone; any other change rewrites every field. The
// root's header keeps its length (the genuine library writes it only when the container is
// copied), nested ones are written whole.
void SlotRef::mirror(const Field *appended) const {
    Standalone &standalone = *slot_->standalone;
    bool at_end = appended != nullptr;
    for (const Container *node = node_; at_end && node->parent() != nullptr; node = node->parent())
        at_end = node->parent()->fields().back().child.get() == node;
    const Container &root = standalone.root;
    if (at_end) {
        const std::uint64_t size = node_->field_size(*appended);
        encode_field(*node_, *appended, standalone.memory + root.encoded_size() - size);
        return;
    }
    unsigned char *out = standalone.memory + kHeaderSize;
    for (const Field &field : root.fields()) out = encode_field(root, field, out);
}

std::unique_ptr<Container> SlotRef::copy() const {
    const Container &root = node_->root();
    switch (home(root)) {
    case Home::standalone:
        encode(root, static_cast<std::uint32_t>(root.encoded_size()), slot_->standalone->memory);
        break;
    case Home::attachment: {
        Message &message = *slot_->message;
        message.attachment = encode(root);
        message.attachment_header = static_cast<std::uint32_t>(message.attachment.size());
        message.attachment_changed = false;
        break;
    }
    case Home::user_properties: break;
    }
    return node_->clone();
}

void SlotRef::release() const {
    forget_all();
    slot_->generation = next_generation(slot_->generation);
    const bool message = slot_->message.has_value();
    slot_->message.reset();
    slot_->standalone.reset();
    table.recycle(index_, message);
}

void SlotRef::empty() const {
    forget_all();
    slot_->message.emplace();
}

void SlotRef::forget_all() const {
    for (const OpenHandle &h : slot_->handles)
        open_container_references.fetch_sub(h.references, std::memory_order_relaxed);
    slot_->handles.clear();
}

}  // namespace standin
