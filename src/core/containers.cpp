#include "containers.hpp"

#include "errors.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace zelmsg {
namespace {

// The sub-code of a standalone container that ran out of the memory it was made with.
constexpr int kSubCodeNoRoom = 4;
// The most memory a standalone container can be made with: its size is 32 bits.
constexpr std::size_t kMaxContainerSize = std::numeric_limits<std::uint32_t>::max();
// A field beyond its value: a tag, up to 4 length bytes, a name's tag, length and NUL, and a
// number's or a destination's few bytes.
constexpr std::size_t kFieldOverhead = 24;

constexpr solClient_uint8_t kNoBytes[1] = {};

bool out_of_room() {
    const solClient_errorInfo_pt error = solClient_getLastErrorInfo();
    return error && error->subCode == kSubCodeNoRoom;
}

// The bytes a field's value takes beyond kFieldOverhead: a nested container's encoding, or
// the length of the rest.
std::size_t value_size(const solClient_field_t &field) {
    if (field.type != SOLCLIENT_MAP && field.type != SOLCLIENT_STREAM) return field.length;
    std::size_t size = 0;
    check_call(solClient_container_getSize(field.value.map, &size), "sizing a container");
    return size;
}

// Memory for containers built aside, given back when they go and taken again by the next:
// a block holds a typical map, and a few blocks the levels of one nested write. Containers
// are built only with the interpreter's lock held, and zelmsg loads only into interpreters
// that share the main one's lock, so that lock guards the free blocks too. Trivially
// destructible, so that nothing runs at load or exit; what is free at exit stays reachable.
constexpr std::size_t kBlockSize = 4096;
constexpr std::size_t kMostFreeBlocks = 8;
// A first guess of what a field takes, for a container too large for one block.
constexpr std::size_t kFieldGuess = 32;

struct FreeBlocks {
    char *blocks[kMostFreeBlocks];
    std::size_t count;
};
constinit FreeBlocks free_blocks{};

std::unique_ptr<char[]> take_memory(std::size_t size) {
    if (size == kBlockSize && free_blocks.count > 0)
        return std::unique_ptr<char[]>(free_blocks.blocks[--free_blocks.count]);
    return std::unique_ptr<char[]>(new char[size]);
}

void give_back(std::unique_ptr<char[]> memory, std::size_t size) {
    if (memory && size == kBlockSize && free_blocks.count < kMostFreeBlocks)
        free_blocks.blocks[free_blocks.count++] = memory.release();
}

}  // namespace

solClient_returnCode_t add_field(solClient_opaqueContainer_pt container, const char *name,
                                 const solClient_field_t &field) {
    const auto &v = field.value;
    switch (field.type) {
    case SOLCLIENT_BOOL: return solClient_container_addBoolean(container, v.boolean, name);
    case SOLCLIENT_INT8: return solClient_container_addInt8(container, v.int8, name);
    case SOLCLIENT_INT16: return solClient_container_addInt16(container, v.int16, name);
    case SOLCLIENT_INT32: return solClient_container_addInt32(container, v.int32, name);
    case SOLCLIENT_INT64: return solClient_container_addInt64(container, v.int64, name);
    case SOLCLIENT_UINT8: return solClient_container_addUint8(container, v.uint8, name);
    case SOLCLIENT_UINT16: return solClient_container_addUint16(container, v.uint16, name);
    case SOLCLIENT_UINT32: return solClient_container_addUint32(container, v.uint32, name);
    case SOLCLIENT_UINT64: return solClient_container_addUint64(container, v.uint64, name);
    case SOLCLIENT_FLOAT: return solClient_container_addFloat(container, v.float32, name);
    case SOLCLIENT_DOUBLE: return solClient_container_addDouble(container, v.float64, name);
    case SOLCLIENT_WCHAR: return solClient_container_addWchar(container, v.wchar, name);
    case SOLCLIENT_STRING: return solClient_container_addString(container, v.string, name);
    case SOLCLIENT_BYTEARRAY: return solClient_container_addByteArray(container, v.bytearray, field.length, name);
    // The library reads an empty SMF field back with a null pointer, which addSmf refuses.
    case SOLCLIENT_SMF: return solClient_container_addSmf(container, v.smf ? v.smf : kNoBytes, field.length, name);
    case SOLCLIENT_UNKNOWN: return solClient_container_addUnknownField(container, v.unknown, field.length, name);
    case SOLCLIENT_DESTINATION: return solClient_container_addDestination(container, &v.dest, sizeof v.dest, name);
    case SOLCLIENT_MAP:
    case SOLCLIENT_STREAM: return solClient_container_addContainer(container, v.map, name);
    default: return solClient_container_addNull(container, name);
    }
}

AsideContainer::AsideContainer(Kind kind, std::size_t fields) : kind_(kind) {
    make(std::max(kBlockSize, fields * kFieldGuess));
}

AsideContainer::~AsideContainer() {
    container_.close();
    give_back(std::move(memory_), size_);
}

void AsideContainer::make(std::size_t size) {
    if (size > kMaxContainerSize) throw py::value_error("a map or stream cannot take more than 4294967295 bytes");
    memory_ = take_memory(size);
    size_ = size;
    const auto create = kind_ == map ? solClient_container_createMap : solClient_container_createStream;
    check_call(create(container_.out(), memory_.get(), static_cast<solClient_uint32_t>(size)), "making a container");
}

void AsideContainer::add(const char *name, const solClient_field_t &field) {
    for (;;) {
        const solClient_returnCode_t rc = add_field(container_.get(), name, field);
        if (rc == SOLCLIENT_OK) return;
        if (!out_of_room()) check_call(rc, "adding a field");
        // The refused field left no trace: move what there is and try again.
        grow(kFieldOverhead + (name ? std::strlen(name) : 0) + value_size(field));
    }
}

void AsideContainer::grow(std::size_t needed) {
    const std::size_t old_size = size_;
    std::unique_ptr<char[]> old_memory = std::move(memory_);
    OpenContainer old = std::move(container_);
    make(std::max(size_ * 2, size_ + needed));
    check_call(solClient_container_rewind(old.get()), "rewinding a container");
    solClient_field_t field;
    const char *name = nullptr;
    solClient_returnCode_t rc;
    while ((rc = solClient_container_getNextField(old.get(), &field, sizeof field, kind_ == map ? &name : nullptr)) ==
           SOLCLIENT_OK) {
        // A container field is a handle to close once its copy is made.
        const OpenContainer nested(field.type == SOLCLIENT_MAP || field.type == SOLCLIENT_STREAM ? field.value.map
                                                                                                 : nullptr);
        check_call(add_field(container_.get(), name, field), "moving a field");
    }
    if (rc != SOLCLIENT_EOS) check_call(rc, "reading a field");
    old.close();  // before its memory goes
    give_back(std::move(old_memory), old_size);
}

}  // namespace zelmsg
