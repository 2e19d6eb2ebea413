// The operations on containers: standalone maps and streams, nested ones, fields of every
// type added and read back in order or by name, deleting fields, and closing handles. The
// message's own containers are reached through ops_payload.cpp.

#include "call.h"

#include <cstring>
#include <string_view>
#include <type_traits>

using namespace standin;

static_assert(sizeof(solClient_field_t) == 24, "the library's field record is 24 bytes");
static_assert(sizeof(solClient_wchar_t) == 4, "a WCHAR is read as 4 bytes");

namespace {

constexpr std::size_t kMaxDestinationName = 249;
constexpr solClient_uint32_t kSmallestContainerMemory = 5;  // the header

// A map's fields are named, a stream's are not.
const Failure *name_problem(const Container &container, const char *name) {
    if (container.is_map()) return name == nullptr || *name == '\0' ? &kUnnamedEntry : nullptr;
    return name != nullptr ? &kNamedStreamEntry : nullptr;
}

// Adds a field whose value passed its checks: then come the name's, then the room's, as in
// the genuine library.
Outcome add_field(const SlotRef &ref, Field &&field, const char *name) {
    Container &container = ref.container();
    if (const Failure *problem = name_problem(container, name)) return refuse(*problem);
    if (container.is_map()) field.name = name;
    if (!ref.room_for(container.field_size(field))) return refuse(kNoRoom);
    ref.changed(&container.append(std::move(field)));
    return kOk;
}

Field number_field(solClient_fieldType_t type, std::uint64_t bits, std::size_t width) {
    Field field;
    field.type = type;
    field.bits = bits;
    field.width = static_cast<std::uint8_t>(width);
    return field;
}

// Numbers keep their raw bits: two's complement for the signed, IEEE for floats.
template <typename T>
solClient_returnCode_t add_number(Op op, solClient_opaqueContainer_pt container_p, solClient_fieldType_t type, T value,
                                  const char *name) {
    std::uint64_t bits;
    if constexpr (std::is_floating_point_v<T>) {
        std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t> raw;
        std::memcpy(&raw, &value, sizeof raw);
        bits = raw;
    } else {
        bits = static_cast<std::make_unsigned_t<T>>(value);
    }
    return run(op, container_p, Kind::container,
               [&](const SlotRef &ref) { return add_field(ref, number_field(type, bits, sizeof(T)), name); });
}

Field bytes_field(solClient_fieldType_t type, const void *bytes, std::size_t size) {
    Field field;
    field.type = type;
    if (size != 0) field.bytes.assign(static_cast<const char *>(bytes), size);
    return field;
}

// Adds a field of size bytes (its payload then takes payload bytes), checking the name and
// the room before the bytes are read, so that a length too large for the container is
// refused without reading that far.
Outcome add_bytes(const SlotRef &ref, solClient_fieldType_t type, const void *bytes, std::size_t size,
                  std::uint64_t payload, const char *name) {
    const Container &container = ref.container();
    if (const Failure *problem = name_problem(container, name)) return refuse(*problem);
    const std::uint64_t name_size = container.is_map() ? tlv_size(std::strlen(name) + 1) : 0;
    if (!ref.room_for(name_size + tlv_size(payload))) return refuse(kNoRoom);
    return add_field(ref, bytes_field(type, bytes, size), name);
}

Field container_field(std::unique_ptr<Container> child) {
    Field field;
    field.type = child->is_map() ? SOLCLIENT_MAP : SOLCLIENT_STREAM;
    field.child = std::move(child);
    return field;
}

solClient_returnCode_t create_standalone(Op op, solClient_opaqueContainer_pt *container_p, char *mem_p,
                                         solClient_uint32_t size, bool is_map) {
    if (const std::optional<int> injected = enter(op)) return fail(op, kInjected, *injected);
    if (container_p == nullptr) return fail(op, kNullArgument);
    if (mem_p == nullptr) {
        *container_p = nullptr;  // as the genuine library leaves it
        return fail(op, kNullArgument);
    }
    if (size < kSmallestContainerMemory) {
        small_map_size_calls.fetch_add(1, std::memory_order_relaxed);
        return fail(op, kSmallContainerMemory);
    }
    try {
        void *handle = table.allocate_standalone(is_map, reinterpret_cast<unsigned char *>(mem_p), size);
        if (handle == nullptr) return fail(op, kTableFull);
        *container_p = handle;
        return SOLCLIENT_OK;
    } catch (const std::bad_alloc &) {
        return fail(op, kNoMemory);
    }
}

solClient_returnCode_t open_sub(Op op, solClient_opaqueContainer_pt container_p, solClient_opaqueContainer_pt *sub_p,
                                const char *name, bool is_map) {
    return run(op, container_p, Kind::container, [&](const SlotRef &ref) {
        if (sub_p == nullptr) return refuse(kNullArgument);
        Container &container = ref.container();
        const Outcome outcome = add_field(ref, container_field(std::make_unique<Container>(is_map)), name);
        if (outcome.code == SOLCLIENT_OK) *sub_p = ref.open(*container.fields().back().child);
        return outcome;
    });
}

// Writes field into the caller's record: only the member of its type, as the genuine library
// does. A container's value is a handle with one more reference.
void read_into(const SlotRef &ref, Field &field, solClient_field_t *out) {
    out->type = field.type;
    switch (field.type) {
    case SOLCLIENT_MAP:
    case SOLCLIENT_STREAM:
        out->length = static_cast<solClient_uint32_t>(field.child->content_size());
        out->value.map = ref.open(*field.child);
        return;
    case SOLCLIENT_STRING:
        out->length = static_cast<solClient_uint32_t>(field.bytes.size() + 1);
        out->value.string = field.bytes.c_str();
        return;
    case SOLCLIENT_DESTINATION: {
        const int type = static_cast<int>(field.bits);
        out->length = static_cast<solClient_uint32_t>(field.bytes.size() + 2);
        std::memcpy(&out->value.dest.destType, &type, sizeof type);
        out->value.dest.dest = field.bytes.c_str();
        return;
    }
    case SOLCLIENT_BYTEARRAY:
    case SOLCLIENT_SMF:
    case SOLCLIENT_UNKNOWN:
        out->length = static_cast<solClient_uint32_t>(field.bytes.size());
        out->value.bytearray =
            field.bytes.empty() ? nullptr : reinterpret_cast<const solClient_uint8_t *>(field.bytes.data());
        return;
    case SOLCLIENT_NULL: out->length = 0; return;
    case SOLCLIENT_WCHAR:
        out->length = field.width;
        out->value.wchar = static_cast<solClient_wchar_t>(field.bits);
        return;
    default:
        // The low bytes of a little-endian number are the number at its own width.
        out->length = field.width;
        std::memcpy(&out->value, &field.bits, std::max<std::size_t>(field.width, 1));
    }
}

// The checks that both reads make of the caller's record.
const Failure *record_problem(const solClient_field_t *field_p, size_t fieldSize) {
    if (field_p == nullptr) return &kNullArgument;
    return fieldSize == sizeof *field_p ? nullptr : &kBadFieldSize;
}

// Reads the field at the cursor and moves past it.
Outcome read_next(const SlotRef &ref, solClient_field_t *field_p, const char **name_p) {
    Container &container = ref.container();
    if (container.next >= container.fields().size())
        return container.broken() ? refuse(kMalformed) : Outcome{SOLCLIENT_EOS};
    Field &field = container.fields()[container.next++];
    read_into(ref, field, field_p);
    if (name_p != nullptr) *name_p = container.is_map() ? field.name.c_str() : nullptr;
    return kOk;
}

// Finds the first field of the name in a map, or the next field of a stream (name NULL),
// and leaves the cursor after it; a miss leaves the cursor at the end.
Field *find_field(const SlotRef &ref, const char *name, Outcome &outcome) {
    Container &container = ref.container();
    std::vector<Field> &fields = container.fields();
    if (!container.is_map()) {
        if (name != nullptr) {
            outcome = refuse(kStreamLookupByName);
            return nullptr;
        }
        if (container.next >= fields.size()) {
            outcome = container.broken() ? refuse(kMalformed) : Outcome{SOLCLIENT_EOS};
            return nullptr;
        }
        outcome = kOk;
        return &fields[container.next++];
    }
    if (name == nullptr || *name == '\0') {
        outcome = refuse(kUnnamedEntry);
        return nullptr;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].name == name) {
            container.next = i + 1;
            outcome = kOk;
            return &fields[i];
        }
    }
    container.next = fields.size();
    outcome = container.broken() ? refuse(kMalformed) : kNotFound;
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Standalone and nested containers, and closing

solClient_returnCode_t solClient_container_createMap(solClient_opaqueContainer_pt *map_p, char *mem_p,
                                                     solClient_uint32_t size) {
    return create_standalone(Op::solClient_container_createMap, map_p, mem_p, size, true);
}

solClient_returnCode_t solClient_container_createStream(solClient_opaqueContainer_pt *stream_p, char *mem_p,
                                                        solClient_uint32_t size) {
    return create_standalone(Op::solClient_container_createStream, stream_p, mem_p, size, false);
}

solClient_returnCode_t solClient_container_openSubMap(solClient_opaqueContainer_pt container_p,
                                                      solClient_opaqueContainer_pt *map_p, const char *name) {
    return open_sub(Op::solClient_container_openSubMap, container_p, map_p, name, true);
}

solClient_returnCode_t solClient_container_openSubStream(solClient_opaqueContainer_pt container_p,
                                                         solClient_opaqueContainer_pt *stream_p, const char *name) {
    return open_sub(Op::solClient_container_openSubStream, container_p, stream_p, name, false);
}

// A copy of the sub-container as it is now, which may be the container itself.
solClient_returnCode_t solClient_container_addContainer(solClient_opaqueContainer_pt container_p,
                                                        solClient_opaqueContainer_pt sub_p, const char *name) {
    return run_with_copy(Op::solClient_container_addContainer, container_p, Kind::container, sub_p,
                         [&](const SlotRef &ref, std::unique_ptr<Container> copy) {
                             return add_field(ref, container_field(std::move(copy)), name);
                         });
}

// Closing drops one reference to the handle: a message's containers stay with it.
solClient_returnCode_t solClient_container_closeMapStream(solClient_opaqueContainer_pt *container_p) {
    const void *handle = container_p ? *container_p : nullptr;
    return run(Op::solClient_container_closeMapStream, handle, Kind::container, [&](const SlotRef &ref) {
        ref.close();
        *container_p = nullptr;
        return kOk;
    });
}

// ---------------------------------------------------------------------------------------
// Adding fields

solClient_returnCode_t solClient_container_addBoolean(solClient_opaqueContainer_pt container_p, solClient_bool_t value,
                                                      const char *name) {
    return add_number(Op::solClient_container_addBoolean, container_p, SOLCLIENT_BOOL,
                      static_cast<std::uint8_t>(value != 0), name);
}

solClient_returnCode_t solClient_container_addUint8(solClient_opaqueContainer_pt container_p, solClient_uint8_t value,
                                                    const char *name) {
    return add_number(Op::solClient_container_addUint8, container_p, SOLCLIENT_UINT8, value, name);
}

solClient_returnCode_t solClient_container_addInt8(solClient_opaqueContainer_pt container_p, solClient_int8_t value,
                                                   const char *name) {
    return add_number(Op::solClient_container_addInt8, container_p, SOLCLIENT_INT8, value, name);
}

solClient_returnCode_t solClient_container_addUint16(solClient_opaqueContainer_pt container_p, solClient_uint16_t value,
                                                     const char *name) {
    return add_number(Op::solClient_container_addUint16, container_p, SOLCLIENT_UINT16, value, name);
}

solClient_returnCode_t solClient_container_addInt16(solClient_opaqueContainer_pt container_p, solClient_int16_t value,
                                                    const char *name) {
    return add_number(Op::solClient_container_addInt16, container_p, SOLCLIENT_INT16, value, name);
}

solClient_returnCode_t solClient_container_addUint32(solClient_opaqueContainer_pt container_p, solClient_uint32_t value,
                                                     const char *name) {
    return add_number(Op::solClient_container_addUint32, container_p, SOLCLIENT_UINT32, value, name);
}

solClient_returnCode_t solClient_container_addInt32(solClient_opaqueContainer_pt container_p, solClient_int32_t value,
                                                    const char *name) {
    return add_number(Op::solClient_container_addInt32, container_p, SOLCLIENT_INT32, value, name);
}

solClient_returnCode_t solClient_container_addUint64(solClient_opaqueContainer_pt container_p, solClient_uint64_t value,
                                                     const char *name) {
    return add_number(Op::solClient_container_addUint64, container_p, SOLCLIENT_UINT64, value, name);
}

solClient_returnCode_t solClient_container_addInt64(solClient_opaqueContainer_pt container_p, solClient_int64_t value,
                                                    const char *name) {
    return add_number(Op::solClient_container_addInt64, container_p, SOLCLIENT_INT64, value, name);
}

solClient_returnCode_t solClient_container_addFloat(solClient_opaqueContainer_pt container_p, float value,
                                                    const char *name) {
    return add_number(Op::solClient_container_addFloat, container_p, SOLCLIENT_FLOAT, value, name);
}

solClient_returnCode_t solClient_container_addDouble(solClient_opaqueContainer_pt container_p, double value,
                                                     const char *name) {
    return add_number(Op::solClient_container_addDouble, container_p, SOLCLIENT_DOUBLE, value, name);
}

// Only the low 16 bits are kept.
solClient_returnCode_t solClient_container_addWchar(solClient_opaqueContainer_pt container_p, solClient_wchar_t value,
                                                    const char *name) {
    return add_number(Op::solClient_container_addWchar, container_p, SOLCLIENT_WCHAR, static_cast<std::uint16_t>(value),
                      name);
}

// A WCHAR; unlike the other values, it is checked after the name.
solClient_returnCode_t solClient_container_addChar(solClient_opaqueContainer_pt container_p, char value,
                                                   const char *name) {
    return run(Op::solClient_container_addChar, container_p, Kind::container, [&](const SlotRef &ref) {
        if (const Failure *problem = name_problem(ref.container(), name)) return refuse(*problem);
        const auto byte = static_cast<unsigned char>(value);
        return byte < 0x80 ? add_field(ref, number_field(SOLCLIENT_WCHAR, byte, 2), name) : refuse(kNotAscii);
    });
}

solClient_returnCode_t solClient_container_addString(solClient_opaqueContainer_pt container_p, const char *value,
                                                     const char *name) {
    return run(Op::solClient_container_addString, container_p, Kind::container, [&](const SlotRef &ref) {
        if (value == nullptr) return refuse(kNullArgument);
        const std::size_t length = std::strlen(value);
        return add_bytes(ref, SOLCLIENT_STRING, value, length, std::uint64_t{length} + 1, name);
    });
}

// A null pointer is an empty byte array when the length is 0.
solClient_returnCode_t solClient_container_addByteArray(solClient_opaqueContainer_pt container_p,
                                                        const solClient_uint8_t *value, solClient_uint32_t length,
                                                        const char *name) {
    return run(Op::solClient_container_addByteArray, container_p, Kind::container, [&](const SlotRef &ref) {
        if (value == nullptr && length != 0) return refuse(kNullArgument);
        return add_bytes(ref, SOLCLIENT_BYTEARRAY, value, length, length, name);
    });
}

solClient_returnCode_t solClient_container_addSmf(solClient_opaqueContainer_pt container_p,
                                                  const solClient_uint8_t *value, solClient_uint32_t length,
                                                  const char *name) {
    return run(Op::solClient_container_addSmf, container_p, Kind::container, [&](const SlotRef &ref) {
        if (value == nullptr) return refuse(kNullArgument);
        return add_bytes(ref, SOLCLIENT_SMF, value, length, length, name);
    });
}

// One whole encoded field, read as whatever type it holds. The genuine library takes any
// bytes whose own length matches, and fails to read (or crashes on) a field of a known type
// that does not parse; the stand-in refuses that one.
solClient_returnCode_t solClient_container_addUnknownField(solClient_opaqueContainer_pt container_p,
                                                           const solClient_uint8_t *value, solClient_uint32_t length,
                                                           const char *name) {
    return run(Op::solClient_container_addUnknownField, container_p, Kind::container, [&](const SlotRef &ref) {
        if (value == nullptr || length == 0) return refuse(kEmptyEncodedField);
        // The tag's low two bits say how many length bytes follow; missing ones read as 0.
        const std::size_t length_bytes = (value[0] & 3U) + 1;
        std::uint64_t whole = 0;
        for (std::size_t i = 1; i <= length_bytes; ++i) whole = whole << 8 | (i < length ? value[i] : 0);
        if (whole != length) return refuse(kEncodedFieldLength);
        std::optional<Field> field = parse_field({value, length});
        if (!field) return refuse(kMalformed);
        return add_field(ref, std::move(*field), name);
    });
}

solClient_returnCode_t solClient_container_addNull(solClient_opaqueContainer_pt container_p, const char *name) {
    return run(Op::solClient_container_addNull, container_p, Kind::container,
               [&](const SlotRef &ref) { return add_field(ref, number_field(SOLCLIENT_NULL, 0, 0), name); });
}

// Temporary kinds are kept as Topic and Queue; the name may be empty.
solClient_returnCode_t solClient_container_addDestination(solClient_opaqueContainer_pt container_p,
                                                          const solClient_destination_t *value, size_t destSize,
                                                          const char *name) {
    return run(Op::solClient_container_addDestination, container_p, Kind::container, [&](const SlotRef &ref) {
        if (value == nullptr) return refuse(kNullArgument);
        if (destSize != sizeof *value) return refuse(kBadRecordSize);
        int type;  // read as a plain int: callers may put any number there
        std::memcpy(&type, &value->destType, sizeof type);
        if (type < SOLCLIENT_TOPIC_DESTINATION || type > SOLCLIENT_QUEUE_TEMP_DESTINATION)
            return refuse(kBadDestinationType);
        if (value->dest == nullptr) return refuse(kNullArgument);
        const std::size_t length = strnlen(value->dest, kMaxDestinationName + 1);
        if (length > kMaxDestinationName) return refuse(kLongName);
        Field field = bytes_field(SOLCLIENT_DESTINATION, value->dest, length);
        field.bits = type % 2;  // TopicTemp (2) and QueueTemp (3) are kept as Topic and Queue
        return add_field(ref, std::move(field), name);
    });
}

// ---------------------------------------------------------------------------------------
// Reading and deleting

solClient_returnCode_t solClient_container_getNextField(solClient_opaqueContainer_pt container_p,
                                                        solClient_field_t *field_p, size_t fieldSize,
                                                        const char **name_p) {
    return run(Op::solClient_container_getNextField, container_p, Kind::container, [&](const SlotRef &ref) {
        if (const Failure *problem = record_problem(field_p, fieldSize)) return refuse(*problem);
        if (name_p == nullptr && ref.container().is_map()) return refuse(kNullArgument);
        return read_next(ref, field_p, name_p);
    });
}

solClient_returnCode_t solClient_container_getField(solClient_opaqueContainer_pt container_p,
                                                    solClient_field_t *field_p, size_t fieldSize, const char *name) {
    return run(Op::solClient_container_getField, container_p, Kind::container, [&](const SlotRef &ref) {
        if (const Failure *problem = record_problem(field_p, fieldSize)) return refuse(*problem);
        Outcome outcome = kOk;
        if (Field *field = find_field(ref, name, outcome)) read_into(ref, *field, field_p);
        return outcome;
    });
}

// A pointer into the container, for a STRING field only.
solClient_returnCode_t solClient_container_getStringPtr(solClient_opaqueContainer_pt container_p, const char **value_p,
                                                        const char *name) {
    return run(Op::solClient_container_getStringPtr, container_p, Kind::container, [&](const SlotRef &ref) {
        if (value_p == nullptr) return refuse(kNullArgument);
        Outcome outcome = kOk;
        const Field *field = find_field(ref, name, outcome);
        if (field == nullptr) return outcome;
        if (field->type != SOLCLIENT_STRING) return refuse(kNotAString);
        *value_p = field->bytes.c_str();
        return kOk;
    });
}

solClient_returnCode_t solClient_container_rewind(solClient_opaqueContainer_pt container_p) {
    return run(Op::solClient_container_rewind, container_p, Kind::container, [&](const SlotRef &ref) {
        ref.container().next = 0;
        return kOk;
    });
}

solClient_returnCode_t solClient_container_getSize(solClient_opaqueContainer_pt container_p, size_t *size_p) {
    return run(Op::solClient_container_getSize, container_p, Kind::container, [&](const SlotRef &ref) {
        if (size_p == nullptr) return refuse(kNullArgument);
        *size_p = static_cast<size_t>(ref.container().encoded_size());
        return kOk;
    });
}

// Removes every field of the name, and with a container field, the handles within it; 0
// also when there is none.
solClient_returnCode_t solClient_container_deleteField(solClient_opaqueContainer_pt container_p, const char *name) {
    return run(Op::solClient_container_deleteField, container_p, Kind::container, [&](const SlotRef &ref) {
        Container &container = ref.container();
        if (name == nullptr || *name == '\0') return refuse(kUnnamedEntry);
        if (!container.is_map()) return refuse(kStreamDelete);
        const std::size_t before = container.fields().size();
        container.remove_named(name, [&](const Container &child) { ref.forget(child); });
        if (container.fields().size() != before) ref.changed();
        return kOk;
    });
}
