// The library's own cost: for each zelmsg operation, the sequence of libsolclient calls
// it makes, timed from C++ with no Python in the way. Built once per library (the
// stand-in and the genuine one) from this same source.
//
// Extra arguments, taken out before Google Benchmark reads the rest:
//   --sizes=N,N,...       attachment sizes to time the attachment calls and copies at
//   --dump-body=PATH      the attachment of the message whose dump is timed
//   --topic=NAME, --reply-queue=NAME, --content-type=TEXT, --correlation-id=TEXT,
//   --application-message-id=TEXT, --text=TEXT, --ttl=N, --priority=N,
//   --sender-timestamp=N, --sequence-number=N, --application-message-type=TEXT,
//   --sender-id=TEXT, --http-content-type=TEXT, --http-content-encoding=TEXT,
//   --expiration=N, --user-data=HEX
//                         the message's values, the same as the Python benchmark's
//   --properties=PATH     the user properties (and map payload), as payloads.describe gives them
//   --property-key=NAME, --property-value=TEXT
//                         the one property a single read and a single write work on
//   --wire-sizes=N,N,...  attachment sizes to time the wire encoding at, where the library has one
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "solclient.h"

namespace {

std::vector<std::uint32_t> sizes;
std::string dump_body;
std::string topic_name = "orders/eu-west/new/v1";
std::string queue_name = "order-replies/eu-west";
std::string content_type = "application/json";
// The rest of the header and the text attachment, as bench/run.py passes them.
std::string correlation_id;
std::string application_message_id;
std::string text;
solClient_int64_t ttl = 0;
solClient_int32_t priority = 0;
solClient_int64_t sender_timestamp = 0;
solClient_uint64_t sequence_number = 0;
// The rest of the header.
std::string application_message_type;
std::string sender_id;
std::string http_content_type;
std::string http_content_encoding;
solClient_int64_t expiration = 0;
std::string user_data;
std::string xml;
std::string correlation_tag;
std::vector<std::uint32_t> wire_sizes;
std::string property_key;
std::string property_value;

solClient_destination_t topic{SOLCLIENT_TOPIC_DESTINATION, nullptr};
solClient_destination_t queue{SOLCLIENT_QUEUE_DESTINATION, nullptr};

void check(solClient_returnCode_t rc, const char *what) {
    if (rc != SOLCLIENT_OK) throw std::runtime_error(std::string(what) + " failed");
}

// One field of the user properties, read from payloads.describe's lines, with the memory
// that zelmsg would build it in when it is a map or a stream.
struct Field {
    // Parsed once, so that building and reading take no time over telling kinds apart.
    enum class Kind { int64, int16, real, boolean, string, bytes, map, stream } kind = Kind::string;
    std::string name;  // empty in a stream
    std::string text;  // a string's text, a byte array's bytes
    std::int64_t integer = 0;
    double real = 0;
    std::vector<Field> fields;  // a map's or stream's
    std::vector<char> memory;   // where it is built, as large as zelmsg makes it

    bool container() const { return kind == Kind::map || kind == Kind::stream; }
    const char *name_or_null() const { return name.empty() ? nullptr : name.c_str(); }
};

// The map the user property and map payload rows work on.
Field properties{Field::Kind::map, "", "", 0, 0, {}, {}};

std::vector<Field> parse_fields(std::istream &in) {
    std::vector<Field> fields;
    for (std::string line; std::getline(in, line);) {
        const std::size_t first = line.find('\t');
        const std::size_t second = line.find('\t', first + 1);
        if (first == std::string::npos || second == std::string::npos) throw std::runtime_error("bad field: " + line);
        using Kind = Field::Kind;
        static const std::map<std::string, Kind> kinds{
            {"int64", Kind::int64}, {"int16", Kind::int16}, {"double", Kind::real}, {"bool", Kind::boolean},
            {"string", Kind::string}, {"bytes", Kind::bytes}, {"map", Kind::map}, {"stream", Kind::stream}};
        const std::string kind = line.substr(0, first);
        const std::string value = line.substr(second + 1);
        if (kind == "end") return fields;
        const auto known = kinds.find(kind);
        if (known == kinds.end()) throw std::runtime_error("unknown field kind: " + kind);
        Field field;
        field.kind = known->second;
        field.name = line.substr(first + 1, second - first - 1);
        switch (field.kind) {
        case Kind::map:
        case Kind::stream: field.fields = parse_fields(in); break;
        case Kind::int64:
        case Kind::int16:
        case Kind::boolean: field.integer = std::stoll(value); break;
        case Kind::real: field.real = std::stod(value); break;
        case Kind::bytes:
            for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
                field.text.push_back(static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16)));
            }
            break;
        case Kind::string: field.text = value; break;
        }
        fields.push_back(std::move(field));
    }
    return fields;
}

// The memory zelmsg's fields.cpp gives a container it builds aside: a 5-byte header, and per
// field 16 bytes, its text or bytes, a nested container's own memory, and a name's length + 6.
std::size_t size_memory(Field &container) {
    std::size_t size = 5;
    for (Field &field : container.fields) {
        size += 16 + (field.container() ? size_memory(field) : field.text.size());
        if (!field.name.empty()) size += field.name.size() + 6;
    }
    container.memory.assign(size, 0);
    return size;
}

void add_field(solClient_opaqueContainer_pt container, const Field &field, solClient_opaqueContainer_pt built) {
    using Kind = Field::Kind;
    const char *name = field.name_or_null();
    solClient_returnCode_t rc = SOLCLIENT_FAIL;
    switch (field.kind) {
    case Kind::map:
    case Kind::stream: rc = solClient_container_addContainer(container, built, name); break;
    case Kind::int64: rc = solClient_container_addInt64(container, field.integer, name); break;
    case Kind::int16:
        rc = solClient_container_addInt16(container, static_cast<solClient_int16_t>(field.integer), name);
        break;
    case Kind::boolean: rc = solClient_container_addBoolean(container, field.integer != 0, name); break;
    case Kind::real: rc = solClient_container_addDouble(container, field.real, name); break;
    case Kind::bytes:
        rc = solClient_container_addByteArray(container, reinterpret_cast<const solClient_uint8_t *>(field.text.data()),
                                              static_cast<solClient_uint32_t>(field.text.size()), name);
        break;
    case Kind::string: rc = solClient_container_addString(container, field.text.c_str(), name); break;
    }
    if (rc != SOLCLIENT_OK) throw std::runtime_error("adding field " + field.name + " failed");
}

constexpr std::size_t kMaxFields = 64;

// A map or stream built as zelmsg builds one aside: each container in it first, in memory of
// its own, then this one, with every field added; the nested ones are closed once copied in,
// and this one is the caller's to close.
solClient_opaqueContainer_pt build_aside(Field &container) {
    solClient_opaqueContainer_pt nested[kMaxFields] = {};
    const std::size_t count = std::min(container.fields.size(), kMaxFields);
    for (std::size_t i = 0; i < count; ++i) {
        if (container.fields[i].container()) nested[i] = build_aside(container.fields[i]);
    }
    solClient_opaqueContainer_pt built = nullptr;
    const auto size = static_cast<solClient_uint32_t>(container.memory.size());
    if (container.kind == Field::Kind::map) {
        solClient_container_createMap(&built, container.memory.data(), size);
    } else {
        solClient_container_createStream(&built, container.memory.data(), size);
    }
    for (std::size_t i = 0; i < count; ++i) add_field(built, container.fields[i], nested[i]);
    for (std::size_t i = 0; i < count; ++i) {
        if (nested[i]) solClient_container_closeMapStream(&nested[i]);
    }
    return built;
}

void read_container(solClient_opaqueContainer_pt container, bool stream);

// A map or stream field, read whole and closed, as zelmsg reads one.
void read_nested(const solClient_field_t &field) {
    if (field.type != SOLCLIENT_MAP && field.type != SOLCLIENT_STREAM) return;
    solClient_opaqueContainer_pt nested = field.value.map;
    read_container(nested, field.type == SOLCLIENT_STREAM);
    solClient_container_closeMapStream(&nested);
}

// Every field, rewound first, as zelmsg's read_map and read_stream read them.
void read_container(solClient_opaqueContainer_pt container, bool stream) {
    solClient_container_rewind(container);
    solClient_field_t field;
    const char *name = nullptr;
    while (solClient_container_getNextField(container, &field, sizeof field, stream ? nullptr : &name) ==
           SOLCLIENT_OK) {
        benchmark::DoNotOptimize(field);
        benchmark::DoNotOptimize(name);
        read_nested(field);
    }
}

// Which message an operation works on: the base one; one that also holds the rest of the
// header and the text attachment (fields), and the rest of the header too (all); one whose
// user property map is the benchmark's properties (and no content type); one whose
// attachment is them as a map.
enum class Held { base, fields, all, properties, map };

// The content type as zelmsg's tag writers (content_type, json, msgpack) write it: the map's
// own "ct" replaced, or, on a message with no map, a new map made for it; then closed.
solClient_returnCode_t tag(solClient_opaqueMsg_pt msg, const char *text) {
    solClient_opaqueContainer_pt map = nullptr;
    solClient_returnCode_t rc = solClient_msg_getUserPropertyMap(msg, &map);
    if (rc == SOLCLIENT_OK) {
        rc = solClient_container_deleteField(map, "ct");
    } else if (rc == SOLCLIENT_NOT_FOUND) {
        rc = solClient_msg_createUserPropertyMap(msg, &map, 64);
    }
    if (rc == SOLCLIENT_OK) rc = solClient_container_addString(map, text, "ct");
    if (map) solClient_container_closeMapStream(&map);
    return rc;
}

// A message in the state the Python benchmark gives its own: the same header values,
// and the content type in the user property map.
struct Message {
    explicit Message(std::uint32_t attachment = 0, const std::string *body = nullptr) {
        check(solClient_msg_alloc(&msg), "alloc");
        check(solClient_msg_setDestination(msg, &topic, sizeof topic), "setDestination");
        check(solClient_msg_setReplyTo(msg, &queue, sizeof queue), "setReplyTo");
        check(solClient_msg_setDeliveryMode(msg, SOLCLIENT_DELIVERY_MODE_PERSISTENT), "setDeliveryMode");
        check(solClient_msg_setClassOfService(msg, 1), "setClassOfService");
        check(solClient_msg_setElidingEligible(msg, 1), "setElidingEligible");
        set_content_type(body ? "json" : content_type.c_str());
        if (body) {
            check(solClient_msg_setBinaryAttachment(msg, body->data(), static_cast<std::uint32_t>(body->size())),
                  "setBinaryAttachment");
        } else if (attachment) {
            const std::vector<char> payload(attachment, 'x');
            check(solClient_msg_setBinaryAttachment(msg, payload.data(), attachment), "setBinaryAttachment");
        }
    }
    explicit Message(Held held) : Message() {
        if (held == Held::base) return;
        if (held == Held::properties || held == Held::map) {
            solClient_opaqueContainer_pt map = build_aside(properties);
            check(held == Held::map ? solClient_msg_setBinaryAttachmentContainer(msg, map)
                                    : solClient_msg_setUserPropertyMap(msg, map),
                  "setting the properties");
            solClient_container_closeMapStream(&map);
            return;
        }
        check(solClient_msg_setDMQEligible(msg, 1), "setDMQEligible");
        check(solClient_msg_setTimeToLive(msg, ttl), "setTimeToLive");
        check(solClient_msg_setPriority(msg, priority), "setPriority");
        check(solClient_msg_setCorrelationId(msg, correlation_id.c_str()), "setCorrelationId");
        check(solClient_msg_setApplicationMessageId(msg, application_message_id.c_str()), "setApplicationMessageId");
        check(solClient_msg_setSenderTimestamp(msg, sender_timestamp), "setSenderTimestamp");
        check(solClient_msg_setSequenceNumber(msg, sequence_number), "setSequenceNumber");
        check(solClient_msg_setBinaryAttachmentString(msg, text.c_str()), "setBinaryAttachmentString");
        if (held == Held::fields) return;
        check(solClient_msg_setApplicationMsgType(msg, application_message_type.c_str()), "setApplicationMsgType");
        check(solClient_msg_setSenderId(msg, sender_id.c_str()), "setSenderId");
        check(solClient_msg_setHttpContentType(msg, http_content_type.c_str()), "setHttpContentType");
        check(solClient_msg_setHttpContentEncoding(msg, http_content_encoding.c_str()), "setHttpContentEncoding");
        check(solClient_msg_setExpiration(msg, expiration), "setExpiration");
        check(solClient_msg_setAckImmediately(msg, 1), "setAckImmediately");
        check(solClient_msg_setUserData(msg, user_data.data(), static_cast<solClient_uint32_t>(user_data.size())),
              "setUserData");
        check(solClient_msg_setXml(msg, xml.data(), static_cast<solClient_uint32_t>(xml.size())), "setXml");
        check(solClient_msg_setCorrelationTag(msg, correlation_tag.data(),
                                              static_cast<solClient_uint32_t>(correlation_tag.size())),
              "setCorrelationTag");
    }
    ~Message() { solClient_msg_free(&msg); }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;

    solClient_returnCode_t set_content_type(const char *text) { return tag(msg, text); }

    solClient_opaqueMsg_pt msg = nullptr;
};

// A reset of a message that holds only what the Python benchmark's base message does: after
// the first, it is empty, as after the first of zelmsg's.
void reset(benchmark::State &state) {
    Message m;
    for (auto _ : state) benchmark::DoNotOptimize(solClient_msg_reset(m.msg));
}

void alloc_free(benchmark::State &state) {
    for (auto _ : state) {
        solClient_opaqueMsg_pt msg = nullptr;
        solClient_msg_alloc(&msg);
        solClient_msg_free(&msg);
    }
}

template <solClient_returnCode_t (*Read)(solClient_opaqueMsg_pt, solClient_destination_t *, size_t)>
void read_destination(benchmark::State &state) {
    Message m;
    for (auto _ : state) {
        solClient_destination_t rec{SOLCLIENT_NULL_DESTINATION, ""};
        benchmark::DoNotOptimize(Read(m.msg, &rec, sizeof rec));
        benchmark::DoNotOptimize(rec);
    }
}

template <solClient_returnCode_t (*Write)(solClient_opaqueMsg_pt, solClient_destination_t *, size_t)>
void write_destination(benchmark::State &state, solClient_destination_t *value) {
    Message m;
    for (auto _ : state) {
        solClient_destination_t rec = *value;
        benchmark::DoNotOptimize(Write(m.msg, &rec, sizeof rec));
    }
}

template <solClient_bool_t (*Read)(solClient_opaqueMsg_pt), Held held = Held::base>
void read_flag(benchmark::State &state) {
    Message m(held);
    for (auto _ : state) benchmark::DoNotOptimize(Read(m.msg));
}

// A number or a text pointer, which the library hands back through its second argument.
template <typename Value, solClient_returnCode_t (*Read)(solClient_opaqueMsg_pt, Value *), Held held = Held::base>
void read_value(benchmark::State &state) {
    Message m(held);
    for (auto _ : state) {
        Value value{};
        benchmark::DoNotOptimize(Read(m.msg, &value));
        benchmark::DoNotOptimize(value);
    }
}

template <typename Value, solClient_returnCode_t (*Write)(solClient_opaqueMsg_pt, Value), Held held = Held::base>
void write_value(benchmark::State &state, Value value) {
    Message m(held);
    for (auto _ : state) benchmark::DoNotOptimize(Write(m.msg, value));
}

void read_content_type(benchmark::State &state) {
    Message m;
    for (auto _ : state) {
        solClient_opaqueContainer_pt map = nullptr;
        const char *text = nullptr;
        if (solClient_msg_getUserPropertyMap(m.msg, &map) == SOLCLIENT_OK) {
            benchmark::DoNotOptimize(solClient_container_getStringPtr(map, &text, "ct"));
            solClient_container_closeMapStream(&map);
        }
        benchmark::DoNotOptimize(text);
    }
}

void write_content_type(benchmark::State &state) {
    Message m;
    for (auto _ : state) benchmark::DoNotOptimize(m.set_content_type(content_type.c_str()));
}

// is_request reads the reply-to destination and the reply flag.
void read_is_request(benchmark::State &state) {
    Message m;
    for (auto _ : state) {
        solClient_destination_t rec{SOLCLIENT_NULL_DESTINATION, ""};
        benchmark::DoNotOptimize(solClient_msg_getReplyTo(m.msg, &rec, sizeof rec));
        benchmark::DoNotOptimize(solClient_msg_isReplyMsg(m.msg));
    }
}

void read_attachment(benchmark::State &state) {
    Message m(static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        solClient_opaquePointer_pt data = nullptr;
        solClient_uint32_t size = 0;
        benchmark::DoNotOptimize(solClient_msg_getBinaryAttachmentPtr(m.msg, &data, &size));
        benchmark::DoNotOptimize(data);
    }
}

void write_attachment(benchmark::State &state) {
    Message m;
    const std::vector<char> payload(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            solClient_msg_setBinaryAttachment(m.msg, payload.data(), static_cast<std::uint32_t>(payload.size())));
    }
}

// What a json or msgpack write asks of the library: the tag, then the attachment.
void write_tagged_attachment(benchmark::State &state) {
    Message m;
    const std::vector<char> payload(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.set_content_type("json"));
        benchmark::DoNotOptimize(
            solClient_msg_setBinaryAttachment(m.msg, payload.data(), static_cast<std::uint32_t>(payload.size())));
    }
}

// One copy of an attachment into a new buffer: what a read of the body adds to the call.
void copy_out(benchmark::State &state) {
    const std::vector<char> source(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        char *copy = static_cast<char *>(std::malloc(source.size()));
        std::memcpy(copy, source.data(), source.size());
        benchmark::DoNotOptimize(copy);
        benchmark::ClobberMemory();
        std::free(copy);
    }
}

// The library's share of one outbound message as the vendor comparison builds it:
// allocate, delivery mode, class of service, content type, attachment, free.
void build_message(benchmark::State &state) {
    const std::vector<char> payload(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        solClient_opaqueMsg_pt msg = nullptr;
        solClient_msg_alloc(&msg);
        solClient_msg_setDeliveryMode(msg, SOLCLIENT_DELIVERY_MODE_PERSISTENT);
        solClient_msg_setClassOfService(msg, 1);
        benchmark::DoNotOptimize(tag(msg, "json"));
        solClient_msg_setBinaryAttachment(msg, payload.data(), static_cast<std::uint32_t>(payload.size()));
        solClient_msg_free(&msg);
    }
}

// dict(msg.user_properties): keys() reads the names in one rewound pass, closing each nested
// container unread, then dict() asks for each name, which opens the map, finds the first
// field of the name and closes it.
void read_user_properties(benchmark::State &state) {
    Message m(Held::properties);
    for (auto _ : state) {
        solClient_opaqueContainer_pt map = nullptr;
        solClient_msg_getUserPropertyMap(m.msg, &map);
        solClient_container_rewind(map);
        solClient_field_t named;
        const char *name = nullptr;
        while (solClient_container_getNextField(map, &named, sizeof named, &name) == SOLCLIENT_OK) {
            benchmark::DoNotOptimize(name);
            if (named.type == SOLCLIENT_MAP || named.type == SOLCLIENT_STREAM) {
                solClient_container_closeMapStream(&named.value.map);
            }
        }
        solClient_container_closeMapStream(&map);
        for (const Field &property : properties.fields) {
            solClient_field_t field;
            solClient_msg_getUserPropertyMap(m.msg, &map);
            benchmark::DoNotOptimize(solClient_container_getField(map, &field, sizeof field, property.name.c_str()));
            read_nested(field);
            solClient_container_closeMapStream(&map);
        }
    }
}

// msg.user_properties = d and msg.map = d: the map built aside, then copied in whole by the
// call that sets it, on a message that holds such a map already.
using SetMap = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, solClient_opaqueContainer_pt);
void write_map_aside(benchmark::State &state, Held held, SetMap set) {
    Message m(held);
    for (auto _ : state) {
        solClient_opaqueContainer_pt map = build_aside(properties);
        benchmark::DoNotOptimize(set(m.msg, map));
        solClient_container_closeMapStream(&map);
    }
}

// v[k]: the first field of the name.
void read_user_property(benchmark::State &state) {
    Message m(Held::properties);
    for (auto _ : state) {
        solClient_opaqueContainer_pt map = nullptr;
        solClient_field_t field;
        solClient_msg_getUserPropertyMap(m.msg, &map);
        benchmark::DoNotOptimize(solClient_container_getField(map, &field, sizeof field, property_key.c_str()));
        benchmark::DoNotOptimize(field);
        solClient_container_closeMapStream(&map);
    }
}

// v[k] = x: every field of the name replaced by the new one.
void write_user_property(benchmark::State &state) {
    Message m(Held::properties);
    for (auto _ : state) {
        solClient_opaqueContainer_pt map = nullptr;
        solClient_msg_getUserPropertyMap(m.msg, &map);
        benchmark::DoNotOptimize(solClient_container_deleteField(map, property_key.c_str()));
        benchmark::DoNotOptimize(solClient_container_addString(map, property_value.c_str(), property_key.c_str()));
        solClient_container_closeMapStream(&map);
    }
}

// msg.map: the attachment's map, read whole and closed.
void read_map_payload(benchmark::State &state) {
    Message m(Held::map);
    for (auto _ : state) {
        solClient_opaqueContainer_pt map = nullptr;
        benchmark::DoNotOptimize(solClient_msg_getBinaryAttachmentMap(m.msg, &map));
        read_container(map, false);
        solClient_container_closeMapStream(&map);
    }
}

void read_user_data(benchmark::State &state) {
    Message m(Held::all);
    for (auto _ : state) {
        solClient_opaquePointer_pt data = nullptr;
        solClient_uint32_t size = 0;
        benchmark::DoNotOptimize(solClient_msg_getUserDataPtr(m.msg, &data, &size));
        benchmark::DoNotOptimize(data);
    }
}

void write_user_data(benchmark::State &state) {
    Message m(Held::all);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            solClient_msg_setUserData(m.msg, user_data.data(), static_cast<solClient_uint32_t>(user_data.size())));
    }
}

// A part kept as bytes (the XML part, the correlation tag), read and written as the user
// data is.
template <solClient_returnCode_t (*Read)(solClient_opaqueMsg_pt, solClient_opaquePointer_pt *, solClient_uint32_t *)>
void read_bytes(benchmark::State &state) {
    Message m(Held::all);
    for (auto _ : state) {
        solClient_opaquePointer_pt data = nullptr;
        solClient_uint32_t size = 0;
        benchmark::DoNotOptimize(Read(m.msg, &data, &size));
        benchmark::DoNotOptimize(data);
    }
}

template <solClient_returnCode_t (*Write)(solClient_opaqueMsg_pt, const void *, solClient_uint32_t)>
void write_bytes(benchmark::State &state, const std::string *value) {
    Message m(Held::all);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Write(m.msg, value->data(), static_cast<solClient_uint32_t>(value->size())));
    }
}

// The id as 16 bytes; its text only when there is one (a sent message has none).
void read_replication_group_message_id(benchmark::State &state) {
    Message m(Held::all);
    for (auto _ : state) {
        unsigned char id[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_SIZE] = {};
        if (solClient_msg_getReplicationGroupMessageId(m.msg, id, sizeof id) == SOLCLIENT_OK) {
            char text[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_STRING_LENGTH + 1] = {};
            benchmark::DoNotOptimize(solClient_replicationGroupMessageId_toString(id, sizeof id, text, sizeof text));
        }
        benchmark::DoNotOptimize(id);
    }
}

// copy.copy(msg): a full copy of the message, which the copy frees when it goes.
void dup_free(benchmark::State &state) {
    Message m(0, &dump_body);
    for (auto _ : state) {
        solClient_opaqueMsg_pt copy = nullptr;
        benchmark::DoNotOptimize(solClient_msg_dup(m.msg, &copy));
        solClient_msg_free(&copy);
    }
}

// What msg.to_smf() asks of the library: a copy, its destination set again to what it is (so
// that it encodes afresh), the encoding, then the data block and the copy freed.
std::string encode(solClient_opaqueMsg_pt msg) {
    solClient_opaqueMsg_pt copy = nullptr;
    solClient_msg_dup(msg, &copy);
    solClient_destination_t dest{SOLCLIENT_NULL_DESTINATION, nullptr};
    solClient_msg_getDestination(copy, &dest, sizeof dest);
    solClient_resetLastErrorInfo();
    solClient_bufInfo_t out{nullptr, 0};
    solClient_opaqueDatablock_pt block = nullptr;
    std::string encoded;
    if (solClient_msg_setDestination(copy, &dest, sizeof dest) == SOLCLIENT_OK &&
        solClient_msg_encodeToSMF(copy, &out, &block) == SOLCLIENT_OK) {
        encoded.assign(static_cast<const char *>(out.buf_p), out.bufSize);
    }
    if (block) solClient_datablock_free(&block);
    solClient_msg_free(&copy);
    return encoded;
}

void to_smf(benchmark::State &state) {
    Message m(static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        solClient_opaqueMsg_pt copy = nullptr;
        solClient_msg_dup(m.msg, &copy);
        solClient_destination_t dest{SOLCLIENT_NULL_DESTINATION, nullptr};
        solClient_msg_getDestination(copy, &dest, sizeof dest);
        solClient_resetLastErrorInfo();
        solClient_bufInfo_t out{nullptr, 0};
        solClient_opaqueDatablock_pt block = nullptr;
        solClient_msg_setDestination(copy, &dest, sizeof dest);
        benchmark::DoNotOptimize(solClient_msg_encodeToSMF(copy, &out, &block));
        benchmark::DoNotOptimize(out);
        solClient_datablock_free(&block);
        solClient_msg_free(&copy);
    }
}

// What ZelMsg.from_smf(data) asks of the library: the record emptied, the decode, the record
// read; then the message freed, as the ZelMsg that owns it frees it when it goes.
void from_smf(benchmark::State &state) {
    const Message m(static_cast<std::uint32_t>(state.range(0)));
    std::string encoded = encode(m.msg);
    for (auto _ : state) {
        solClient_resetLastErrorInfo();
        solClient_bufInfo_t in{encoded.data(), static_cast<solClient_uint32_t>(encoded.size())};
        solClient_opaqueMsg_pt decoded = nullptr;
        benchmark::DoNotOptimize(solClient_msg_decodeFromSmf(&in, &decoded));
        benchmark::DoNotOptimize(solClient_getLastErrorInfo()->subCode);
        solClient_msg_free(&decoded);
    }
}

void dump(benchmark::State &state) {
    Message m(0, &dump_body);
    char buffer[4096];
    for (auto _ : state) {
        benchmark::DoNotOptimize(solClient_msg_dump(m.msg, buffer, sizeof buffer));
        benchmark::ClobberMemory();
    }
}

void register_all() {
    benchmark::RegisterBenchmark("ZelMsg()", alloc_free);
    benchmark::RegisterBenchmark("reset()", reset);
    benchmark::RegisterBenchmark("get dest", read_destination<solClient_msg_getDestination>);
    benchmark::RegisterBenchmark("set dest", write_destination<solClient_msg_setDestination>, &topic);
    benchmark::RegisterBenchmark("get reply2", read_destination<solClient_msg_getReplyTo>);
    benchmark::RegisterBenchmark("set reply2", write_destination<solClient_msg_setReplyTo>, &queue);
    benchmark::RegisterBenchmark("get is_reply", read_flag<solClient_msg_isReplyMsg>);
    benchmark::RegisterBenchmark("set is_reply", write_value<solClient_bool_t, solClient_msg_setAsReplyMsg>, 0);
    benchmark::RegisterBenchmark("get delivery_mode", read_value<solClient_uint32_t, solClient_msg_getDeliveryMode>);
    benchmark::RegisterBenchmark("set delivery_mode", write_value<solClient_uint32_t, solClient_msg_setDeliveryMode>,
                                 SOLCLIENT_DELIVERY_MODE_PERSISTENT);
    benchmark::RegisterBenchmark("get content_type", read_content_type);
    benchmark::RegisterBenchmark("set content_type", write_content_type);
    benchmark::RegisterBenchmark("get elide", read_flag<solClient_msg_isElidingEligible>);
    benchmark::RegisterBenchmark("set elide", write_value<solClient_bool_t, solClient_msg_setElidingEligible>, 1);
    benchmark::RegisterBenchmark("get cos", read_value<solClient_uint32_t, solClient_msg_getClassOfService>);
    benchmark::RegisterBenchmark("set cos", write_value<solClient_uint32_t, solClient_msg_setClassOfService>, 1);
    benchmark::RegisterBenchmark("get is_request", read_is_request);
    benchmark::RegisterBenchmark("get is_p2p", read_destination<solClient_msg_getDestination>);

    constexpr Held fields = Held::fields;
    using Text = const char *;
    benchmark::RegisterBenchmark("get dmq_eligible", read_flag<solClient_msg_isDMQEligible, fields>);
    benchmark::RegisterBenchmark("set dmq_eligible", write_value<solClient_bool_t, solClient_msg_setDMQEligible, fields>,
                                 1);
    benchmark::RegisterBenchmark("get ttl", read_value<solClient_int64_t, solClient_msg_getTimeToLive, fields>);
    benchmark::RegisterBenchmark("set ttl", write_value<solClient_int64_t, solClient_msg_setTimeToLive, fields>, ttl);
    benchmark::RegisterBenchmark("get priority", read_value<solClient_int32_t, solClient_msg_getPriority, fields>);
    benchmark::RegisterBenchmark("set priority", write_value<solClient_int32_t, solClient_msg_setPriority, fields>,
                                 priority);
    benchmark::RegisterBenchmark("get correlation_id", read_value<Text, solClient_msg_getCorrelationId, fields>);
    benchmark::RegisterBenchmark("set correlation_id", write_value<Text, solClient_msg_setCorrelationId, fields>,
                                 correlation_id.c_str());
    benchmark::RegisterBenchmark("get application_message_id",
                                 read_value<Text, solClient_msg_getApplicationMessageId, fields>);
    benchmark::RegisterBenchmark("set application_message_id",
                                 write_value<Text, solClient_msg_setApplicationMessageId, fields>,
                                 application_message_id.c_str());
    benchmark::RegisterBenchmark("get sender_timestamp",
                                 read_value<solClient_int64_t, solClient_msg_getSenderTimestamp, fields>);
    benchmark::RegisterBenchmark("set sender_timestamp",
                                 write_value<solClient_int64_t, solClient_msg_setSenderTimestamp, fields>,
                                 sender_timestamp);
    benchmark::RegisterBenchmark("get sequence_number",
                                 read_value<solClient_int64_t, solClient_msg_getSequenceNumber, fields>);
    benchmark::RegisterBenchmark("set sequence_number",
                                 write_value<solClient_uint64_t, solClient_msg_setSequenceNumber, fields>,
                                 sequence_number);
    benchmark::RegisterBenchmark("get text", read_value<Text, solClient_msg_getBinaryAttachmentString, fields>);
    benchmark::RegisterBenchmark("set text", write_value<Text, solClient_msg_setBinaryAttachmentString, fields>,
                                 text.c_str());
    benchmark::RegisterBenchmark("repr", dump);

    // The rest of the header, on a message that holds it all.
    constexpr Held all = Held::all;
    benchmark::RegisterBenchmark("get application_message_type", read_value<Text, solClient_msg_getApplicationMsgType, all>);
    benchmark::RegisterBenchmark("set application_message_type",
                                 write_value<Text, solClient_msg_setApplicationMsgType, all>,
                                 application_message_type.c_str());
    benchmark::RegisterBenchmark("get sender_id", read_value<Text, solClient_msg_getSenderId, all>);
    benchmark::RegisterBenchmark("set sender_id", write_value<Text, solClient_msg_setSenderId, all>, sender_id.c_str());
    benchmark::RegisterBenchmark("get http_content_type", read_value<Text, solClient_msg_getHttpContentType, all>);
    benchmark::RegisterBenchmark("set http_content_type", write_value<Text, solClient_msg_setHttpContentType, all>,
                                 http_content_type.c_str());
    benchmark::RegisterBenchmark("get http_content_encoding",
                                 read_value<Text, solClient_msg_getHttpContentEncoding, all>);
    benchmark::RegisterBenchmark("set http_content_encoding",
                                 write_value<Text, solClient_msg_setHttpContentEncoding, all>,
                                 http_content_encoding.c_str());
    benchmark::RegisterBenchmark("get expiration", read_value<solClient_int64_t, solClient_msg_getExpiration, all>);
    benchmark::RegisterBenchmark("set expiration", write_value<solClient_int64_t, solClient_msg_setExpiration, all>,
                                 expiration);
    benchmark::RegisterBenchmark("get ack_immediately", read_flag<solClient_msg_isAckImmediately, all>);
    benchmark::RegisterBenchmark("set ack_immediately",
                                 write_value<solClient_bool_t, solClient_msg_setAckImmediately, all>, 1);
    benchmark::RegisterBenchmark("get user_data", read_user_data);
    benchmark::RegisterBenchmark("set user_data", write_user_data);
    benchmark::RegisterBenchmark("get redelivered", read_flag<solClient_msg_isRedelivered, all>);
    benchmark::RegisterBenchmark("get delivery_count", read_value<solClient_int32_t, solClient_msg_getDeliveryCount, all>);
    benchmark::RegisterBenchmark("get receive_timestamp", read_value<solClient_int64_t, solClient_msg_getRcvTimestamp, all>);
    benchmark::RegisterBenchmark("get topic_sequence_number",
                                 read_value<solClient_int64_t, solClient_msg_getTopicSequenceNumber, all>);
    benchmark::RegisterBenchmark("get message_id", read_value<solClient_uint64_t, solClient_msg_getMsgId, all>);
    benchmark::RegisterBenchmark("get replication_group_message_id", read_replication_group_message_id);
    benchmark::RegisterBenchmark("get discard_indication", read_flag<solClient_msg_isDiscardIndication, all>);
    benchmark::RegisterBenchmark("get xml", read_bytes<solClient_msg_getXmlPtr>);
    benchmark::RegisterBenchmark("set xml", write_bytes<solClient_msg_setXml>, &xml);
    benchmark::RegisterBenchmark("get correlation_tag", read_bytes<solClient_msg_getCorrelationTagPtr>);
    benchmark::RegisterBenchmark("set correlation_tag", write_bytes<solClient_msg_setCorrelationTag>, &correlation_tag);

    benchmark::RegisterBenchmark("get user_properties", read_user_properties);
    benchmark::RegisterBenchmark("set user_properties", [](benchmark::State &state) {
        write_map_aside(state, Held::properties, solClient_msg_setUserPropertyMap);
    });
    benchmark::RegisterBenchmark("get user property", read_user_property);
    benchmark::RegisterBenchmark("set user property", write_user_property);
    benchmark::RegisterBenchmark("get map", read_map_payload);
    benchmark::RegisterBenchmark("set map", [](benchmark::State &state) {
        write_map_aside(state, Held::map, solClient_msg_setBinaryAttachmentContainer);
    });
    benchmark::RegisterBenchmark("__copy__", dup_free);
    // The wire encoding, where the library has one (the stand-in refuses it).
    const Message probe(1);
    if (!encode(probe.msg).empty()) {
        for (const std::uint32_t size : wire_sizes) {
            benchmark::RegisterBenchmark("to_smf", to_smf)->Arg(size);
            benchmark::RegisterBenchmark("from_smf", from_smf)->Arg(size);
        }
    }
    for (const std::uint32_t size : sizes) {
        benchmark::RegisterBenchmark("get attachment", read_attachment)->Arg(size);
        benchmark::RegisterBenchmark("set attachment", write_attachment)->Arg(size);
        benchmark::RegisterBenchmark("set tag+attachment", write_tagged_attachment)->Arg(size);
        benchmark::RegisterBenchmark("copy", copy_out)->Arg(size);
        benchmark::RegisterBenchmark("build message", build_message)->Arg(size);
    }
}

bool take(const char *arg, const char *name, std::string &value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0) return false;
    value = arg + length;
    return true;
}

}  // namespace

std::string from_hex(const std::string &digits) {
    std::string bytes;
    for (std::size_t at = 0; at + 1 < digits.size(); at += 2) {
        bytes.push_back(static_cast<char>(std::stoi(digits.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

int main(int argc, char **argv) {
    const std::map<std::string, std::string *> texts{
        {"--topic=", &topic_name},
        {"--reply-queue=", &queue_name},
        {"--content-type=", &content_type},
        {"--correlation-id=", &correlation_id},
        {"--application-message-id=", &application_message_id},
        {"--text=", &text},
        {"--application-message-type=", &application_message_type},
        {"--sender-id=", &sender_id},
        {"--http-content-type=", &http_content_type},
        {"--http-content-encoding=", &http_content_encoding},
        {"--property-key=", &property_key},
        {"--property-value=", &property_value},
    };
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string value;
        const auto named = std::find_if(texts.begin(), texts.end(),
                                        [&](const auto &entry) { return take(argv[i], entry.first.c_str(), value); });
        if (named != texts.end()) {
            *named->second = value;
        } else if (take(argv[i], "--sizes=", value)) {
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) sizes.push_back(std::stoul(item));
        } else if (take(argv[i], "--wire-sizes=", value)) {
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) wire_sizes.push_back(std::stoul(item));
        } else if (take(argv[i], "--expiration=", value)) {
            expiration = std::stoll(value);
        } else if (take(argv[i], "--user-data=", value)) {
            user_data = from_hex(value);
        } else if (take(argv[i], "--xml=", value)) {
            xml = from_hex(value);
        } else if (take(argv[i], "--correlation-tag=", value)) {
            correlation_tag = from_hex(value);
        } else if (take(argv[i], "--properties=", value)) {
            std::ifstream file(value);
            properties.fields = parse_fields(file);
        } else if (take(argv[i], "--ttl=", value)) {
            ttl = std::stoll(value);
        } else if (take(argv[i], "--priority=", value)) {
            priority = std::stoi(value);
        } else if (take(argv[i], "--sender-timestamp=", value)) {
            sender_timestamp = std::stoll(value);
        } else if (take(argv[i], "--sequence-number=", value)) {
            sequence_number = std::stoull(value);
        } else if (take(argv[i], "--dump-body=", value)) {
            std::ifstream file(value, std::ios::binary);
            dump_body.assign(std::istreambuf_iterator<char>(file), {});
        } else {
            rest.push_back(argv[i]);
        }
    }
    size_memory(properties);
    topic.dest = topic_name.c_str();
    queue.dest = queue_name.c_str();
    // As zelmsg does on import: the genuine library's calls take other paths, and cost
    // other times, once it is initialised.
    check(solClient_initialize(SOLCLIENT_LOG_CRITICAL, nullptr), "initialize");
    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
