// The stand-in libsolclient: messages kept in memory behind generation-checked handles,
// answering with the genuine library's codes and checks, plus the test-control interface.
//
// Each call counts itself, takes an injected failure if one is due, then finds its message
// or map by handle and works on it with that message's slot locked. Calls on different
// messages share no lock; only alloc and free touch the table's free list.

#include "message.h"
#include "solclient.h"
#include "standin_control.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using standin::Message;
using standin::PropertyMap;
using standin::StoredDestination;

// ---------------------------------------------------------------------------------------
// Operations, their call counts and injected failures

#define STANDIN_OPERATIONS(X)                                                                 \
    X(solClient_msg_alloc)                                                                    \
    X(solClient_msg_free)                                                                     \
    X(solClient_getLastErrorInfo)                                                             \
    X(solClient_msg_dump)                                                                     \
    X(solClient_container_closeMapStream)                                                     \
    X(solClient_msg_getDestination)                                                           \
    X(solClient_msg_setDestination)                                                           \
    X(solClient_msg_getReplyTo)                                                               \
    X(solClient_msg_setReplyTo)                                                               \
    X(solClient_msg_isReplyMsg)                                                               \
    X(solClient_msg_setAsReplyMsg)                                                            \
    X(solClient_msg_isElidingEligible)                                                        \
    X(solClient_msg_setElidingEligible)                                                       \
    X(solClient_msg_getDeliveryMode)                                                          \
    X(solClient_msg_setDeliveryMode)                                                          \
    X(solClient_msg_getClassOfService)                                                        \
    X(solClient_msg_setClassOfService)                                                        \
    X(solClient_msg_getBinaryAttachmentPtr)                                                   \
    X(solClient_msg_setBinaryAttachment)                                                      \
    X(solClient_msg_getUserPropertyMap)                                                       \
    X(solClient_msg_createUserPropertyMap)                                                    \
    X(solClient_container_getStringPtr)                                                       \
    X(solClient_container_addString)                                                          \
    X(solClient_msg_getHttpContentType)                                                       \
    X(solClient_msg_setHttpContentType)

enum class Op : unsigned {
#define STANDIN_ENUMERATOR(name) name,
    STANDIN_OPERATIONS(STANDIN_ENUMERATOR)
#undef STANDIN_ENUMERATOR
};

constexpr const char *kOpNames[] = {
#define STANDIN_NAME(name) #name,
    STANDIN_OPERATIONS(STANDIN_NAME)
#undef STANDIN_NAME
};

struct OpControl {
    std::atomic<unsigned long> calls{0};
    std::atomic<int> failures_due{0};
    std::atomic<int> failure_code{SOLCLIENT_FAIL};
};

constinit OpControl op_controls[std::size(kOpNames)];

OpControl &control(Op op) { return op_controls[static_cast<unsigned>(op)]; }

const char *name_of(Op op) { return kOpNames[static_cast<unsigned>(op)]; }

std::optional<Op> op_named(const char *name) {
    for (unsigned i = 0; name != nullptr && i < std::size(kOpNames); ++i) {
        if (std::strcmp(kOpNames[i], name) == 0) {
            return static_cast<Op>(i);
        }
    }
    return std::nullopt;
}

void count_call(Op op) { control(op).calls.fetch_add(1, std::memory_order_relaxed); }

// Counts the call; returns the code of an injected failure if one is due for it.
std::optional<int> enter(Op op) {
    count_call(op);
    OpControl &c = control(op);
    int due = c.failures_due.load(std::memory_order_relaxed);
    while (due > 0) {
        if (c.failures_due.compare_exchange_weak(due, due - 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
            return c.failure_code.load(std::memory_order_relaxed);
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Failures and the last-error record

// Sub-codes as the genuine library numbers them.
enum SubCode : int {
    kParamOutOfRange = 1,
    kParamNullPtr = 2,
    kParamConflict = 3,
    kOutOfResources = 5,
    kInternalError = 6,
    kOutOfMemory = 7,
};

struct Failure {
    SubCode sub_code;
    const char *text;
};

constexpr Failure kBadMessage{kParamNullPtr, "message handle is null, freed or not a message"};
constexpr Failure kBadMap{kParamNullPtr, "map handle is null, closed, replaced or not a map"};
constexpr Failure kNullArgument{kParamNullPtr, "a required pointer argument is null"};
constexpr Failure kBadRecordSize{kParamOutOfRange, "destination record size is not 16"};
constexpr Failure kBadDestinationType{
    kParamOutOfRange, "destination type is not Topic, Queue, TopicTemp or QueueTemp"};
constexpr Failure kEmptyName{kParamOutOfRange, "destination name is empty"};
constexpr Failure kLongName{kParamOutOfRange, "destination name is too long"};
constexpr Failure kUnnamedEntry{kParamNullPtr, "map entry name is null or empty"};
constexpr Failure kBadDeliveryMode{
    kParamOutOfRange, "delivery mode is not Direct, Persistent or Non-Persistent"};
constexpr Failure kBadClassOfService{kParamOutOfRange, "class of service is above 2"};
constexpr Failure kNoBuffer{kParamConflict, "dump buffer is null or its size is 0"};
constexpr Failure kTableFull{kOutOfResources, "no room for another message"};
constexpr Failure kNoMemory{kOutOfMemory, "out of memory"};
constexpr Failure kAttachmentTooLarge{kOutOfMemory, "no data block holds an attachment this large"};
constexpr Failure kInjected{kInternalError, "failure injected by standin_fail_next"};

// Each thread's record carries the reason of its latest failure, as the genuine library's
// does once solClient_initialize has run (the message operations never need that call).
constinit thread_local solClient_errorInfo_t last_error{};

// The text that standin_set_error_text put in place of the library's own.
struct ErrorTextOverride {
    std::mutex mutex;
    bool set = false;
    char text[sizeof last_error.errorStr] = {};
};

constinit ErrorTextOverride error_text_override;

solClient_returnCode_t fail(Op op, const Failure &failure,
                            solClient_returnCode_t code = SOLCLIENT_FAIL) {
    last_error.subCode = failure.sub_code;
    last_error.responseCode = 0;
    const std::lock_guard lock(error_text_override.mutex);
    if (error_text_override.set) {
        std::memcpy(last_error.errorStr, error_text_override.text, sizeof last_error.errorStr);
    } else {
        std::snprintf(last_error.errorStr, sizeof last_error.errorStr, "%s in %s", failure.text,
                      name_of(op));
    }
    return code;
}

// What the work of one call came to: a code, and for a refusal, why.
struct Outcome {
    solClient_returnCode_t code;
    const Failure *failure = nullptr;
};

constexpr Outcome kOk{SOLCLIENT_OK};
constexpr Outcome kNotFound{SOLCLIENT_NOT_FOUND};

constexpr Outcome refuse(const Failure &failure) { return {SOLCLIENT_FAIL, &failure}; }

// ---------------------------------------------------------------------------------------
// Handles and the slot table

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
    void recycle(std::uint32_t index);

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

constinit Table table;

std::optional<std::uint32_t> Table::take_slot() {
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

void Table::recycle(std::uint32_t index) {
    const std::lock_guard lock(mutex_);
    slot_at(index)->next_free = free_head_;
    free_head_ = index;
    live_.fetch_sub(1, std::memory_order_relaxed);
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

// ---------------------------------------------------------------------------------------
// The frame of every call on a message or a map

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
            return fail(op, kind == Kind::message ? kBadMessage : kBadMap);
        }
        const Outcome outcome = work(ref);
        return outcome.failure == nullptr ? outcome.code : fail(op, *outcome.failure);
    } catch (const std::bad_alloc &) {
        return fail(op, kNoMemory);
    }
}

// ---------------------------------------------------------------------------------------
// Destinations, shared by the destination and reply-to pairs

// How one of the pair takes a new value. A refused record (wrong size, or none) changes
// nothing; a refused type or name leaves a destination as it was but clears a reply-to.
struct DestinationField {
    std::optional<StoredDestination> Message::*member;
    std::size_t max_name_length;
    bool empty_name_allowed;
    bool refusal_clears;
};

constexpr DestinationField kDestination{&Message::destination, 250, false, false};
constexpr DestinationField kReplyTo{&Message::reply_to, 249, true, true};

const Failure *record_problem(const solClient_destination_t *dest_p, size_t destSize) {
    if (dest_p == nullptr) {
        return &kNullArgument;
    }
    return destSize == sizeof *dest_p ? nullptr : &kBadRecordSize;
}

// Temporary destinations are kept, and read back, as their plain kind.
std::optional<solClient_destinationType_t> plain_type(int type) {
    switch (type) {
    case SOLCLIENT_TOPIC_DESTINATION:
    case SOLCLIENT_TOPIC_TEMP_DESTINATION:
        return SOLCLIENT_TOPIC_DESTINATION;
    case SOLCLIENT_QUEUE_DESTINATION:
    case SOLCLIENT_QUEUE_TEMP_DESTINATION:
        return SOLCLIENT_QUEUE_DESTINATION;
    default:
        return std::nullopt;
    }
}

Outcome store_destination(std::optional<StoredDestination> &stored,
                          const solClient_destination_t &record, const DestinationField &field) {
    // Read as a plain int: callers may put any number in the type field.
    int type;
    std::memcpy(&type, &record.destType, sizeof type);
    const std::optional<solClient_destinationType_t> plain = plain_type(type);
    if (!plain) {
        return refuse(kBadDestinationType);
    }
    if (record.dest == nullptr) {
        return refuse(kNullArgument);
    }
    const std::size_t length = strnlen(record.dest, field.max_name_length + 1);
    if (length > field.max_name_length) {
        return refuse(kLongName);
    }
    if (length == 0 && !field.empty_name_allowed) {
        return refuse(kEmptyName);
    }
    stored = StoredDestination{*plain, std::string(record.dest, length)};
    return kOk;
}

solClient_returnCode_t get_destination(Op op, solClient_opaqueMsg_pt msg_p,
                                       solClient_destination_t *dest_p, size_t destSize,
                                       const DestinationField &field) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (const Failure *problem = record_problem(dest_p, destSize)) {
            return refuse(*problem);
        }
        const std::optional<StoredDestination> &stored = (*msg).*field.member;
        if (!stored) {
            return kNotFound;
        }
        dest_p->destType = stored->type;
        dest_p->dest = stored->name.c_str();
        return kOk;
    });
}

solClient_returnCode_t set_destination(Op op, solClient_opaqueMsg_pt msg_p,
                                       const solClient_destination_t *dest_p, size_t destSize,
                                       const DestinationField &field) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (const Failure *problem = record_problem(dest_p, destSize)) {
            return refuse(*problem);
        }
        std::optional<StoredDestination> &stored = (*msg).*field.member;
        const Outcome outcome = store_destination(stored, *dest_p, field);
        if (outcome.failure != nullptr && field.refusal_clears) {
            stored.reset();
        }
        return outcome;
    });
}

// ---------------------------------------------------------------------------------------
// Header values

// The delivery mode takes two header bits (0x30). Bits outside them are ignored, which is
// why 1, 5 and 64 set Direct and 17 sets Persistent; the fourth pattern, 0x30, is no mode.
constexpr solClient_uint32_t kDeliveryModeBits = 0x30;
constexpr solClient_uint32_t kMaxClassOfService = 2;

// The largest attachment the genuine library's data blocks take, 32 bytes short of what the
// 32-bit size can say. It refuses a larger one after dropping the attachment the message had.
constexpr solClient_uint32_t kMaxAttachmentSize = 0xFFFFFFDF;

}  // namespace

// ---------------------------------------------------------------------------------------
// The library's operations

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

// Closing drops one reference to the handle: the map stays with its message.
solClient_returnCode_t solClient_container_closeMapStream(solClient_opaqueContainer_pt *container_p) {
    const void *handle = container_p ? *container_p : nullptr;
    return run(Op::solClient_container_closeMapStream, handle, Kind::map, [&](const SlotRef &map) {
        map.close_map();
        *container_p = nullptr;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getDestination(solClient_opaqueMsg_pt msg_p,
                                                    solClient_destination_t *dest_p, size_t destSize) {
    return get_destination(Op::solClient_msg_getDestination, msg_p, dest_p, destSize, kDestination);
}

solClient_returnCode_t solClient_msg_setDestination(solClient_opaqueMsg_pt msg_p,
                                                    solClient_destination_t *dest_p, size_t destSize) {
    return set_destination(Op::solClient_msg_setDestination, msg_p, dest_p, destSize, kDestination);
}

solClient_returnCode_t solClient_msg_getReplyTo(solClient_opaqueMsg_pt msg_p,
                                                solClient_destination_t *dest_p, size_t destSize) {
    return get_destination(Op::solClient_msg_getReplyTo, msg_p, dest_p, destSize, kReplyTo);
}

solClient_returnCode_t solClient_msg_setReplyTo(solClient_opaqueMsg_pt msg_p,
                                                solClient_destination_t *dest_p, size_t destSize) {
    return set_destination(Op::solClient_msg_setReplyTo, msg_p, dest_p, destSize, kReplyTo);
}

solClient_bool_t solClient_msg_isReplyMsg(solClient_opaqueMsg_pt msg_p) {
    solClient_bool_t flag = 0;
    run(Op::solClient_msg_isReplyMsg, msg_p, Kind::message, [&](const SlotRef &msg) {
        flag = msg->reply;
        return kOk;
    });
    return flag;
}

solClient_returnCode_t solClient_msg_setAsReplyMsg(solClient_opaqueMsg_pt msg_p,
                                                   solClient_bool_t isReply) {
    return run(Op::solClient_msg_setAsReplyMsg, msg_p, Kind::message, [&](const SlotRef &msg) {
        msg->reply = isReply != 0;
        return kOk;
    });
}

solClient_bool_t solClient_msg_isElidingEligible(solClient_opaqueMsg_pt msg_p) {
    solClient_bool_t flag = 0;
    run(Op::solClient_msg_isElidingEligible, msg_p, Kind::message, [&](const SlotRef &msg) {
        flag = msg->eliding_eligible;
        return kOk;
    });
    return flag;
}

solClient_returnCode_t solClient_msg_setElidingEligible(solClient_opaqueMsg_pt msg_p,
                                                        solClient_bool_t elide) {
    return run(Op::solClient_msg_setElidingEligible, msg_p, Kind::message, [&](const SlotRef &msg) {
        msg->eliding_eligible = elide != 0;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getDeliveryMode(solClient_opaqueMsg_pt msg_p,
                                                     solClient_uint32_t *mode_p) {
    return run(Op::solClient_msg_getDeliveryMode, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (mode_p == nullptr) {
            return refuse(kNullArgument);
        }
        *mode_p = msg->delivery_mode;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_setDeliveryMode(solClient_opaqueMsg_pt msg_p,
                                                     solClient_uint32_t mode) {
    return run(Op::solClient_msg_setDeliveryMode, msg_p, Kind::message, [&](const SlotRef &msg) {
        const solClient_uint32_t bits = mode & kDeliveryModeBits;
        if (bits == kDeliveryModeBits) {
            return refuse(kBadDeliveryMode);
        }
        msg->delivery_mode = bits;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getClassOfService(solClient_opaqueMsg_pt msg_p,
                                                       solClient_uint32_t *cos_p) {
    return run(Op::solClient_msg_getClassOfService, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (cos_p == nullptr) {
            return refuse(kNullArgument);
        }
        *cos_p = msg->class_of_service;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_setClassOfService(solClient_opaqueMsg_pt msg_p,
                                                       solClient_uint32_t cos) {
    return run(Op::solClient_msg_setClassOfService, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (cos > kMaxClassOfService) {
            return refuse(kBadClassOfService);
        }
        msg->class_of_service = cos;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getBinaryAttachmentPtr(solClient_opaqueMsg_pt msg_p,
                                                            solClient_opaquePointer_pt *buf_p,
                                                            solClient_uint32_t *size_p) {
    return run(Op::solClient_msg_getBinaryAttachmentPtr, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buf_p == nullptr || size_p == nullptr) {
            return refuse(kNullArgument);
        }
        std::vector<unsigned char> &attachment = msg->attachment;
        if (attachment.empty()) {
            return kNotFound;
        }
        *buf_p = attachment.data();
        *size_p = static_cast<solClient_uint32_t>(attachment.size());
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_setBinaryAttachment(solClient_opaqueMsg_pt msg_p,
                                                         const void *buf_p, solClient_uint32_t size) {
    return run(Op::solClient_msg_setBinaryAttachment, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buf_p == nullptr && size != 0) {
            return refuse(kNullArgument);
        }
        if (size > kMaxAttachmentSize) {
            msg->attachment = std::vector<unsigned char>();
            return refuse(kAttachmentTooLarge);
        }
        // Built apart first: the bytes may be the message's own attachment.
        const auto *bytes = static_cast<const unsigned char *>(buf_p);
        msg->attachment = std::vector<unsigned char>(bytes, bytes + size);
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                        solClient_opaqueContainer_pt *map_p) {
    return run(Op::solClient_msg_getUserPropertyMap, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (map_p == nullptr) {
            return refuse(kNullArgument);
        }
        if (!msg->user_properties) {
            return kNotFound;
        }
        *map_p = msg.open_map();
        return kOk;
    });
}

// The size is only a hint of how many entries will come; entries take room as added.
solClient_returnCode_t solClient_msg_createUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                           solClient_opaqueContainer_pt *map_p,
                                                           solClient_uint32_t /*size*/) {
    return run(Op::solClient_msg_createUserPropertyMap, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (map_p == nullptr) {
            return refuse(kNullArgument);
        }
        *map_p = msg.replace_map();
        return kOk;
    });
}

solClient_returnCode_t solClient_container_getStringPtr(solClient_opaqueContainer_pt container_p,
                                                        const char **value_p, const char *name) {
    return run(Op::solClient_container_getStringPtr, container_p, Kind::map, [&](const SlotRef &map) {
        if (value_p == nullptr) {
            return refuse(kNullArgument);
        }
        if (name == nullptr || *name == '\0') {
            return refuse(kUnnamedEntry);
        }
        const std::string *value = map.map().find(name);
        if (value == nullptr) {
            return kNotFound;
        }
        *value_p = value->c_str();
        return kOk;
    });
}

solClient_returnCode_t solClient_container_addString(solClient_opaqueContainer_pt container_p,
                                                     const char *value, const char *name) {
    return run(Op::solClient_container_addString, container_p, Kind::map, [&](const SlotRef &map) {
        if (value == nullptr) {
            return refuse(kNullArgument);
        }
        if (name == nullptr || *name == '\0') {
            return refuse(kUnnamedEntry);
        }
        map.map().add(name, value);
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getHttpContentType(solClient_opaqueMsg_pt msg_p,
                                                        const char **type_p) {
    return run(Op::solClient_msg_getHttpContentType, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (type_p == nullptr) {
            return refuse(kNullArgument);
        }
        if (!msg->http_content_type) {
            return kNotFound;
        }
        *type_p = msg->http_content_type->c_str();
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_setHttpContentType(solClient_opaqueMsg_pt msg_p,
                                                        const char *type) {
    return run(Op::solClient_msg_setHttpContentType, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (type == nullptr) {
            return refuse(kNullArgument);
        }
        msg->http_content_type = std::string(type);
        return kOk;
    });
}

// ---------------------------------------------------------------------------------------
// Test control

void standin_reset(void) {
    for (OpControl &c : op_controls) {
        c.calls.store(0, std::memory_order_relaxed);
        c.failures_due.store(0, std::memory_order_relaxed);
    }
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
