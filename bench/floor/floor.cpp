// The floors that scripts/bench pairs zelmsg's operations with, in a module that bench/measure.py
// imports after zelmsg, into the same process:
//   library(name, msg)  the libsolclient calls of one operation, as the core makes them, on a copy
//                       of the very message zelmsg works on; a list of (step, timer)
//   objects(kind, value)  the Python objects an operation makes or reads, through the C API
//   Empty               pybind11 properties of each signature zelmsg's have, built as zelmsg is,
//                       that make the library calls given to inside() and nothing else; a
//                       property is matched to zelmsg's by its signature
// A timer t(n) runs its work n times in a C loop and gives the process CPU time in ns: the steps
// of an operation apart. Inside the binding, the calls run as zelmsg's do, one operation at a
// time between the interpreter's own work: a C loop runs them with warm caches and branch
// predictors, and the genuine library's lookups take half the time there. The module is built
// against the libsolclient that its environment's zelmsg loads, and shares it with zelmsg.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <time.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "smf_framing.hpp"
#include "solclient.h"
#include "zelmsg/capi.h"

namespace bench {

namespace py = pybind11;

ZelMsg_CAPI *zelmsg_api = nullptr;

// Keeps a value computed, as a benchmark's DoNotOptimize does.
template <typename T>
void keep(const T &value) {
    asm volatile("" : : "r,m"(value) : "memory");
}

double cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

void check(solClient_returnCode_t rc, const char *what) {
    if (rc != SOLCLIENT_OK) throw std::runtime_error(std::string("libsolclient refused ") + what);
}

// One piece of work in a C loop; Python calls it with a count.
struct Timer {
    virtual ~Timer() = default;
    virtual double run(std::size_t n) = 0;
    virtual void once() = 0;
};

template <typename Body>
struct Loop final : Timer {
    explicit Loop(Body b) : body(std::move(b)) {}
    double run(std::size_t n) override {
        const double start = cpu_ns();
        for (std::size_t i = 0; i < n; ++i) body();
        return cpu_ns() - start;
    }
    void once() override { body(); }
    Body body;
};

// What every call into Empty runs first: the library calls of the row being timed.
std::vector<std::shared_ptr<Timer>> inside;

void library_calls() {
    for (const auto &timer : inside) timer->once();
}

using Steps = std::vector<std::pair<std::string, std::shared_ptr<Timer>>>;

template <typename Body>
std::shared_ptr<Timer> loop(Body body) {
    return std::make_shared<Loop<Body>>(std::move(body));
}

template <typename Body>
Steps one(Body body) {
    return {{"library calls", loop(std::move(body))}};
}

// ---------------------------------------------------------------------------------------
// The library's calls, on a copy of zelmsg's message.

struct Message {
    explicit Message(py::handle zelmsg) {
        void *handle = zelmsg_api->handle(zelmsg.ptr());
        if (!handle) throw py::error_already_set();
        check(solClient_msg_dup(handle, &msg), "dup");
    }
    ~Message() { solClient_msg_free(&msg); }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;
    solClient_opaqueMsg_pt msg = nullptr;
};
using Shared = std::shared_ptr<Message>;
using Msg = solClient_opaqueMsg_pt;
using Container = solClient_opaqueContainer_pt;

// A map or stream field read out of a container, kept to be added again, with memory to build
// it in (twice its encoded size, as zelmsg's guess leaves it room).
struct Field {
    solClient_field_t value{};
    std::string name;
    std::string data;  // a string's text, a byte array's bytes
    std::vector<Field> fields;
    std::vector<char> memory;
};

void close(Container container) { solClient_container_closeMapStream(&container); }

std::vector<Field> read_fields(Container container, bool map) {
    std::vector<Field> fields;
    solClient_container_rewind(container);
    solClient_field_t value;
    const char *name = nullptr;
    while (solClient_container_getNextField(container, &value, sizeof value, map ? &name : nullptr) == SOLCLIENT_OK) {
        Field field;
        field.value = value;
        if (map) field.name = name;
        if (value.type == SOLCLIENT_STRING) field.data = value.value.string;
        if (value.type == SOLCLIENT_BYTEARRAY)
            field.data.assign(reinterpret_cast<const char *>(value.value.bytearray), value.length);
        if (value.type == SOLCLIENT_MAP || value.type == SOLCLIENT_STREAM) {
            field.fields = read_fields(value.value.map, value.type == SOLCLIENT_MAP);
            field.memory.resize(2 * (5 + value.length));
            close(value.value.map);
        }
        fields.push_back(std::move(field));
    }
    return fields;
}

Container build(Field &container);

// The one add of a field's type, as the core's add_field makes it; a map or stream is built
// aside first and added whole.
void add(Container container, Field &field) {
    const char *name = field.name.empty() ? nullptr : field.name.c_str();
    const auto &v = field.value.value;
    solClient_returnCode_t rc = SOLCLIENT_FAIL;
    switch (field.value.type) {
    case SOLCLIENT_BOOL: rc = solClient_container_addBoolean(container, v.boolean, name); break;
    case SOLCLIENT_INT8: rc = solClient_container_addInt8(container, v.int8, name); break;
    case SOLCLIENT_INT16: rc = solClient_container_addInt16(container, v.int16, name); break;
    case SOLCLIENT_INT32: rc = solClient_container_addInt32(container, v.int32, name); break;
    case SOLCLIENT_INT64: rc = solClient_container_addInt64(container, v.int64, name); break;
    case SOLCLIENT_UINT8: rc = solClient_container_addUint8(container, v.uint8, name); break;
    case SOLCLIENT_UINT16: rc = solClient_container_addUint16(container, v.uint16, name); break;
    case SOLCLIENT_UINT32: rc = solClient_container_addUint32(container, v.uint32, name); break;
    case SOLCLIENT_UINT64: rc = solClient_container_addUint64(container, v.uint64, name); break;
    case SOLCLIENT_FLOAT: rc = solClient_container_addFloat(container, v.float32, name); break;
    case SOLCLIENT_DOUBLE: rc = solClient_container_addDouble(container, v.float64, name); break;
    case SOLCLIENT_WCHAR: rc = solClient_container_addWchar(container, v.wchar, name); break;
    case SOLCLIENT_STRING: rc = solClient_container_addString(container, field.data.c_str(), name); break;
    case SOLCLIENT_BYTEARRAY:
        rc = solClient_container_addByteArray(container, reinterpret_cast<const solClient_uint8_t *>(field.data.data()),
                                              static_cast<solClient_uint32_t>(field.data.size()), name);
        break;
    case SOLCLIENT_MAP:
    case SOLCLIENT_STREAM: {
        Container nested = build(field);
        rc = solClient_container_addContainer(container, nested, name);
        close(nested);
        break;
    }
    case SOLCLIENT_NULL: rc = solClient_container_addNull(container, name); break;
    default: throw std::runtime_error("the floor adds no field of type " + std::to_string(field.value.type));
    }
    check(rc, "an add");
}

// A map or stream made in its own memory and filled, the caller's to close.
Container build(Field &container) {
    Container made = nullptr;
    const auto size = static_cast<solClient_uint32_t>(container.memory.size());
    check(container.value.type == SOLCLIENT_MAP
              ? solClient_container_createMap(&made, container.memory.data(), size)
              : solClient_container_createStream(&made, container.memory.data(), size),
          "a create");
    for (Field &field : container.fields) add(made, field);
    return made;
}

// A map or stream read whole, each nested one read and closed, as the core's read_map does.
void read_all(Container container, bool map) {
    solClient_container_rewind(container);
    solClient_field_t field;
    const char *name = nullptr;
    while (solClient_container_getNextField(container, &field, sizeof field, map ? &name : nullptr) == SOLCLIENT_OK) {
        keep(field);
        if (field.type == SOLCLIENT_MAP || field.type == SOLCLIENT_STREAM) {
            read_all(field.value.map, field.type == SOLCLIENT_MAP);
            close(field.value.map);
        }
    }
}

// A nested container the core reads a field's value from, and closes.
void read_nested(const solClient_field_t &field) {
    if (field.type == SOLCLIENT_MAP || field.type == SOLCLIENT_STREAM) {
        read_all(field.value.map, field.type == SOLCLIENT_MAP);
        close(field.value.map);
    }
}

// The next field of the name, from where the cursor is: a lookup that goes on from the last one.
void scan_to(Container map, const char *wanted) {
    solClient_field_t field;
    const char *name = nullptr;
    while (solClient_container_getNextField(map, &field, sizeof field, &name) == SOLCLIENT_OK) {
        if (std::strcmp(name, wanted) == 0) return read_nested(field);
        if (field.type == SOLCLIENT_MAP || field.type == SOLCLIENT_STREAM) close(field.value.map);
    }
}

// The user property map's "ct" replaced by text, as the core's tag writers do.
void tag(Msg msg, const char *text) {
    Container map = nullptr;
    solClient_msg_getUserPropertyMap(msg, &map);
    solClient_container_deleteField(map, "ct");
    keep(solClient_container_addString(map, text, "ct"));
    close(map);
}

std::string content_type(Msg msg) {
    Container map = nullptr;
    const char *text = "";
    if (solClient_msg_getUserPropertyMap(msg, &map) == SOLCLIENT_OK) {
        solClient_container_getStringPtr(map, &text, "ct");
        std::string saved = text;
        close(map);
        return saved;
    }
    return text;
}

std::string attachment(Msg msg) {
    solClient_opaquePointer_pt data = nullptr;
    solClient_uint32_t size = 0;
    solClient_msg_getBinaryAttachmentPtr(msg, &data, &size);
    return std::string(static_cast<const char *>(data), size);
}

// What the body setter asks: the framing check, then the copy into the message.
void set_body(Msg msg, const std::string &body) {
    keep(zelmsg::attachment_framing_fault(reinterpret_cast<const unsigned char *>(body.data()), body.size()));
    keep(solClient_msg_setBinaryAttachment(msg, body.data(), static_cast<solClient_uint32_t>(body.size())));
}

// msg.to_smf(): a copy, its destination set again to what it is, the encoding, then the data
// block and the copy freed. Gives the encoding.
std::string encode(Msg msg) {
    Msg copy = nullptr;
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

// Reads and writes of one value, a setter writing back what the message holds.
template <auto Read>
Steps read_flag(const Shared &m) {
    return one([m] { keep(Read(m->msg)); });
}
template <auto Read, auto Write>
Steps write_flag(const Shared &m) {
    return one([m, value = Read(m->msg)] { keep(Write(m->msg, value)); });
}
template <typename T, auto Read>
Steps read_value(const Shared &m) {
    return one([m] {
        T value{};
        keep(Read(m->msg, &value));
        keep(value);
    });
}
template <typename T, auto Read, auto Write>
Steps write_value(const Shared &m) {
    T value{};
    Read(m->msg, &value);
    return one([m, value] { keep(Write(m->msg, value)); });
}
template <auto Read, auto Write>
Steps write_text(const Shared &m) {
    const char *text = "";
    Read(m->msg, &text);
    return one([m, saved = std::string(text)] { keep(Write(m->msg, saved.c_str())); });
}
template <auto Read>
Steps read_destination(const Shared &m) {
    return one([m] {
        solClient_destination_t dest{SOLCLIENT_NULL_DESTINATION, ""};
        keep(Read(m->msg, &dest, sizeof dest));
        keep(dest);
    });
}

// A whole mapping written: the container made and filled aside, then copied in.
template <auto Open, auto Write>
Steps write_container(const Shared &m, bool map) {
    auto whole = std::make_shared<Field>();
    Container source = nullptr;
    check(Open(m->msg, &source), "reading the container");
    std::size_t size = 0;
    solClient_container_getSize(source, &size);
    whole->value.type = map ? SOLCLIENT_MAP : SOLCLIENT_STREAM;
    whole->fields = read_fields(source, map);
    whole->memory.resize(2 * size);
    close(source);
    auto built = std::shared_ptr<void>(build(*whole), [](Container c) { close(c); });
    return {{"library adds", loop([whole] { close(build(*whole)); })},
            {"copy in", loop([m, whole, built] { keep(Write(m->msg, built.get())); })}};
}

template <auto Open>
Steps read_container(const Shared &m, bool map) {
    return one([m, map] {
        Container container = nullptr;
        keep(Open(m->msg, &container));
        read_all(container, map);
        close(container);
    });
}

// A trace context as the core reads and writes one: every part, one call each.
struct Context {
    unsigned char trace_id[SOLCLIENT_TRACING_TRACE_ID_SIZE] = {};
    unsigned char span_id[SOLCLIENT_TRACING_SPAN_ID_SIZE] = {};
    solClient_bool_t sampled = 0;
    std::string trace_state;
};

Steps read_context(const Shared &m, solClient_msg_tracing_context_type_t type) {
    return one([m, type] {
        Context context;
        const char *state = nullptr;
        std::size_t size = 0;
        keep(solClient_msg_tracing_getTraceIdByte(m->msg, type, context.trace_id, sizeof context.trace_id));
        keep(solClient_msg_tracing_getSpanIdByte(m->msg, type, context.span_id, sizeof context.span_id));
        keep(solClient_msg_tracing_isSampled(m->msg, type, &context.sampled));
        keep(solClient_msg_tracing_getTraceStatePtr(m->msg, type, &state, &size));
        keep(context);
    });
}

Steps write_context(const Shared &m, solClient_msg_tracing_context_type_t type) {
    auto context = std::make_shared<Context>();
    const char *state = nullptr;
    std::size_t size = 0;
    check(solClient_msg_tracing_getTraceIdByte(m->msg, type, context->trace_id, sizeof context->trace_id),
          "a trace id");
    check(solClient_msg_tracing_getSpanIdByte(m->msg, type, context->span_id, sizeof context->span_id), "a span id");
    solClient_msg_tracing_isSampled(m->msg, type, &context->sampled);
    if (solClient_msg_tracing_getTraceStatePtr(m->msg, type, &state, &size) == SOLCLIENT_OK && state)
        context->trace_state.assign(state, size);
    return one([m, type, context] {
        const Context &c = *context;
        keep(solClient_msg_tracing_setTraceIdByte(m->msg, type, c.trace_id, sizeof c.trace_id));
        keep(solClient_msg_tracing_setSpanIdByte(m->msg, type, c.span_id, sizeof c.span_id));
        keep(solClient_msg_tracing_setSampled(m->msg, type, c.sampled));
        keep(solClient_msg_tracing_setTraceState(m->msg, type, c.trace_state.data(), c.trace_state.size()));
        keep(solClient_msg_tracing_setInjectionStandardByte(m->msg, type, SOLCLIENT_INJECTION_STANDARD_W3C));
    });
}

// A part kept as bytes (the user data, the XML part, the correlation tag): its pointer read, or
// the bytes it holds written back.
using BytesRead = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, solClient_opaquePointer_pt *,
                                             solClient_uint32_t *);
using BytesWrite = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, const void *, solClient_uint32_t);

template <BytesRead Read>
Steps read_bytes(const Shared &m) {
    return one([m] {
        solClient_opaquePointer_pt data = nullptr;
        solClient_uint32_t size = 0;
        keep(Read(m->msg, &data, &size));
        keep(data);
    });
}

template <BytesRead Read, BytesWrite Write>
Steps write_bytes(const Shared &m) {
    solClient_opaquePointer_pt data = nullptr;
    solClient_uint32_t size = 0;
    Read(m->msg, &data, &size);
    return one([m, saved = std::string(static_cast<const char *>(data), size)] {
        keep(Write(m->msg, saved.data(), static_cast<solClient_uint32_t>(saved.size())));
    });
}

using Floor = std::function<Steps(const Shared &, const py::args &)>;

// Each operation's calls, under the name of its row: "get NAME" and "set NAME" for a property.
const std::map<std::string, Floor> &floors() {
    using Text = const char *;
    static const std::map<std::string, Floor> all = {
        {"ZelMsg()", [](const Shared &, const py::args &) {
             return one([] {
                 Msg msg = nullptr;
                 solClient_msg_alloc(&msg);
                 solClient_msg_free(&msg);
             });
         }},
        {"repr", [](const Shared &m, const py::args &) {
             return one([m] {
                 char buffer[4096];
                 keep(solClient_msg_dump(m->msg, buffer, sizeof buffer));
                 keep(buffer[0]);
             });
         }},
        {"__copy__", [](const Shared &m, const py::args &) {
             return one([m] {
                 Msg copy = nullptr;
                 keep(solClient_msg_dup(m->msg, &copy));
                 solClient_msg_free(&copy);
             });
         }},
        {"to_smf", [](const Shared &m, const py::args &) { return one([m] { keep(encode(m->msg)); }); }},
        // The framing check, the decode, the error record read, then the message adopted by a
        // ZelMsg (zelmsg's C API) and released, which frees it.
        {"from_smf", [](const Shared &m, const py::args &) {
             return one([data = encode(m->msg)]() mutable {
                 keep(zelmsg::smf_framing_fault(reinterpret_cast<const unsigned char *>(data.data()), data.size()));
                 solClient_resetLastErrorInfo();
                 solClient_bufInfo_t in{data.data(), static_cast<solClient_uint32_t>(data.size())};
                 Msg decoded = nullptr;
                 keep(solClient_msg_decodeFromSmf(&in, &decoded));
                 keep(solClient_getLastErrorInfo()->subCode);
                 Py_XDECREF(zelmsg_api->adopt(decoded));
             });
         }},
        {"get dest", [](const Shared &m, const py::args &) { return read_destination<solClient_msg_getDestination>(m); }},
        {"set dest", [](const Shared &m, const py::args &) {
             solClient_destination_t dest{};
             solClient_msg_getDestination(m->msg, &dest, sizeof dest);
             return one([m, type = dest.destType, name = std::string(dest.dest)] {
                 solClient_destination_t written{type, name.c_str()};
                 keep(solClient_msg_setDestination(m->msg, &written, sizeof written));
             });
         }},
        {"get reply2", [](const Shared &m, const py::args &) { return read_destination<solClient_msg_getReplyTo>(m); }},
        // The old reply-to read first, to put back if the library refuses the new one.
        {"set reply2", [](const Shared &m, const py::args &) {
             solClient_destination_t dest{};
             solClient_msg_getReplyTo(m->msg, &dest, sizeof dest);
             return one([m, type = dest.destType, name = std::string(dest.dest)] {
                 solClient_destination_t old{SOLCLIENT_NULL_DESTINATION, nullptr};
                 keep(solClient_msg_getReplyTo(m->msg, &old, sizeof old));
                 solClient_destination_t written{type, name.c_str()};
                 keep(solClient_msg_setReplyTo(m->msg, &written, sizeof written));
             });
         }},
        {"get is_reply", [](const Shared &m, const py::args &) { return read_flag<solClient_msg_isReplyMsg>(m); }},
        {"set is_reply", [](const Shared &m, const py::args &) {
             return write_flag<solClient_msg_isReplyMsg, solClient_msg_setAsReplyMsg>(m);
         }},
        {"get is_request", [](const Shared &m, const py::args &) {
             return one([m] {
                 solClient_destination_t dest{SOLCLIENT_NULL_DESTINATION, ""};
                 keep(solClient_msg_getReplyTo(m->msg, &dest, sizeof dest));
                 keep(solClient_msg_isReplyMsg(m->msg));
             });
         }},
        {"get is_p2p", [](const Shared &m, const py::args &) { return read_destination<solClient_msg_getDestination>(m); }},
        {"get delivery_mode", [](const Shared &m, const py::args &) {
             return read_value<solClient_uint32_t, solClient_msg_getDeliveryMode>(m);
         }},
        {"set delivery_mode", [](const Shared &m, const py::args &) {
             return write_value<solClient_uint32_t, solClient_msg_getDeliveryMode, solClient_msg_setDeliveryMode>(m);
         }},
        {"get content_type", [](const Shared &m, const py::args &) {
             return one([m] {
                 Container map = nullptr;
                 const char *text = nullptr;
                 keep(solClient_msg_getUserPropertyMap(m->msg, &map));
                 keep(solClient_container_getStringPtr(map, &text, "ct"));
                 keep(text);
                 close(map);
             });
         }},
        {"set content_type", [](const Shared &m, const py::args &) {
             return one([m, text = content_type(m->msg)] { tag(m->msg, text.c_str()); });
         }},
        {"get elide", [](const Shared &m, const py::args &) { return read_flag<solClient_msg_isElidingEligible>(m); }},
        {"set elide", [](const Shared &m, const py::args &) {
             return write_flag<solClient_msg_isElidingEligible, solClient_msg_setElidingEligible>(m);
         }},
        {"get cos", [](const Shared &m, const py::args &) {
             return read_value<solClient_uint32_t, solClient_msg_getClassOfService>(m);
         }},
        {"set cos", [](const Shared &m, const py::args &) {
             return write_value<solClient_uint32_t, solClient_msg_getClassOfService, solClient_msg_setClassOfService>(m);
         }},
        // The codecs: the attachment read (the codec and the copy are other parts), or the tag
        // and the attachment written.
        {"get json", [](const Shared &m, const py::args &) { return floors().at("get body")(m, {}); }},
        {"get msgpack", [](const Shared &m, const py::args &) { return floors().at("get body")(m, {}); }},
        {"set json", [](const Shared &m, const py::args &) {
             return Steps{{"tag write", floors().at("set content_type")(m, {})[0].second},
                          {"body write", floors().at("set body")(m, {})[0].second}};
         }},
        {"set msgpack", [](const Shared &m, const py::args &) { return floors().at("set json")(m, {}); }},
        {"get body", [](const Shared &m, const py::args &) {
             return one([m] {
                 solClient_opaquePointer_pt data = nullptr;
                 solClient_uint32_t size = 0;
                 keep(solClient_msg_getBinaryAttachmentPtr(m->msg, &data, &size));
                 keep(data);
             });
         }},
        {"set body", [](const Shared &m, const py::args &) {
             return one([m, body = attachment(m->msg)] { set_body(m->msg, body); });
         }},
        {"get dmq_eligible", [](const Shared &m, const py::args &) { return read_flag<solClient_msg_isDMQEligible>(m); }},
        {"set dmq_eligible", [](const Shared &m, const py::args &) {
             return write_flag<solClient_msg_isDMQEligible, solClient_msg_setDMQEligible>(m);
         }},
        {"get ttl", [](const Shared &m, const py::args &) {
             return read_value<solClient_int64_t, solClient_msg_getTimeToLive>(m);
         }},
        {"set ttl", [](const Shared &m, const py::args &) {
             return write_value<solClient_int64_t, solClient_msg_getTimeToLive, solClient_msg_setTimeToLive>(m);
         }},
        {"get priority", [](const Shared &m, const py::args &) {
             return read_value<solClient_int32_t, solClient_msg_getPriority>(m);
         }},
        {"set priority", [](const Shared &m, const py::args &) {
             return write_value<solClient_int32_t, solClient_msg_getPriority, solClient_msg_setPriority>(m);
         }},
        {"get correlation_id", [](const Shared &m, const py::args &) {
             return read_value<Text, solClient_msg_getCorrelationId>(m);
         }},
        {"set correlation_id", [](const Shared &m, const py::args &) {
             return write_text<solClient_msg_getCorrelationId, solClient_msg_setCorrelationId>(m);
         }},
        {"get application_message_id", [](const Shared &m, const py::args &) {
             return read_value<Text, solClient_msg_getApplicationMessageId>(m);
         }},
        {"set application_message_id", [](const Shared &m, const py::args &) {
             return write_text<solClient_msg_getApplicationMessageId, solClient_msg_setApplicationMessageId>(m);
         }},
        {"get sender_timestamp", [](const Shared &m, const py::args &) {
             return read_value<solClient_int64_t, solClient_msg_getSenderTimestamp>(m);
         }},
        {"set sender_timestamp", [](const Shared &m, const py::args &) {
             return write_value<solClient_int64_t, solClient_msg_getSenderTimestamp, solClient_msg_setSenderTimestamp>(m);
         }},
        {"get sequence_number", [](const Shared &m, const py::args &) {
             return read_value<solClient_int64_t, solClient_msg_getSequenceNumber>(m);
         }},
        {"set sequence_number", [](const Shared &m, const py::args &) {
             return write_value<solClient_int64_t, solClient_msg_getSequenceNumber, solClient_msg_setSequenceNumber>(m);
         }},
        {"get text", [](const Shared &m, const py::args &) {
             return read_value<Text, solClient_msg_getBinaryAttachmentString>(m);
         }},
        {"set text", [](const Shared &m, const py::args &) {
             return write_text<solClient_msg_getBinaryAttachmentString, solClient_msg_setBinaryAttachmentString>(m);
         }},
        // dict(msg.user_properties): keys() reads the names in one rewound pass, closing each
        // nested container unread; then one lookup per name, in that order, on a handle kept
        // open: the library's getField for the first, then (the map's size checked each time)
        // a rewind and a scan, each going on from where the last one ended.
        {"get user_properties", [](const Shared &m, const py::args &) {
             Container map = nullptr;
             check(solClient_msg_getUserPropertyMap(m->msg, &map), "reading the user properties");
             std::vector<std::string> names;
             for (const Field &field : read_fields(map, true)) names.push_back(field.name);
             close(map);
             return one([m, names] {
                 Container keys = nullptr;
                 solClient_msg_getUserPropertyMap(m->msg, &keys);
                 solClient_container_rewind(keys);
                 solClient_field_t field;
                 const char *name = nullptr;
                 while (solClient_container_getNextField(keys, &field, sizeof field, &name) == SOLCLIENT_OK) {
                     keep(name);
                     if (field.type == SOLCLIENT_MAP || field.type == SOLCLIENT_STREAM) close(field.value.map);
                 }
                 close(keys);
                 Container held = nullptr;
                 solClient_msg_getUserPropertyMap(m->msg, &held);
                 std::size_t size = 0;
                 for (std::size_t i = 0; i < names.size(); ++i) {
                     keep(solClient_container_getSize(held, &size));
                     if (i == 0) {
                         solClient_container_getField(held, &field, sizeof field, names[0].c_str());
                         read_nested(field);
                         continue;
                     }
                     if (i == 1) solClient_container_rewind(held);
                     scan_to(held, names[i].c_str());
                 }
                 close(held);
             });
         }},
        {"set user_properties", [](const Shared &m, const py::args &) {
             return write_container<solClient_msg_getUserPropertyMap, solClient_msg_setUserPropertyMap>(m, true);
         }},
        // v[k], again and again on one view: its held map's size checked, a rewind (the name
        // was passed already) and a scan to the name.
        {"get user_properties[k]", [](const Shared &m, const py::args &args) {
             Container held = nullptr;
             check(solClient_msg_getUserPropertyMap(m->msg, &held), "reading the user properties");
             auto map = std::shared_ptr<void>(held, [](Container c) { close(c); });
             return one([m, map, key = args[0].cast<std::string>()] {
                 std::size_t size = 0;
                 keep(solClient_container_getSize(map.get(), &size));
                 solClient_container_rewind(map.get());
                 scan_to(map.get(), key.c_str());
             });
         }},
        // v[k] = x with a str: every field of the name deleted, the new one added.
        {"set user_properties[k]", [](const Shared &m, const py::args &args) {
             return one([m, key = args[0].cast<std::string>(), value = args[1].cast<std::string>()] {
                 Container map = nullptr;
                 keep(solClient_msg_getUserPropertyMap(m->msg, &map));
                 keep(solClient_container_deleteField(map, key.c_str()));
                 keep(solClient_container_addString(map, value.c_str(), key.c_str()));
                 close(map);
             });
         }},
        {"get map", [](const Shared &m, const py::args &) {
             return read_container<solClient_msg_getBinaryAttachmentMap>(m, true);
         }},
        {"set map", [](const Shared &m, const py::args &) {
             return write_container<solClient_msg_getBinaryAttachmentMap, solClient_msg_setBinaryAttachmentContainer>(m, true);
         }},
        {"get stream", [](const Shared &m, const py::args &) {
             return read_container<solClient_msg_getBinaryAttachmentStream>(m, false);
         }},
        {"set stream", [](const Shared &m, const py::args &) {
             return write_container<solClient_msg_getBinaryAttachmentStream, solClient_msg_setBinaryAttachmentContainer>(
                 m, false);
         }},
        {"get application_message_type", [](const Shared &m, const py::args &) {
             return read_value<Text, solClient_msg_getApplicationMsgType>(m);
         }},
        {"set application_message_type", [](const Shared &m, const py::args &) {
             return write_text<solClient_msg_getApplicationMsgType, solClient_msg_setApplicationMsgType>(m);
         }},
        {"get sender_id", [](const Shared &m, const py::args &) { return read_value<Text, solClient_msg_getSenderId>(m); }},
        {"set sender_id", [](const Shared &m, const py::args &) {
             return write_text<solClient_msg_getSenderId, solClient_msg_setSenderId>(m);
         }},
        {"get http_content_type", [](const Shared &m, const py::args &) {
             return read_value<Text, solClient_msg_getHttpContentType>(m);
         }},
        {"set http_content_type", [](const Shared &m, const py::args &) {
             return write_text<solClient_msg_getHttpContentType, solClient_msg_setHttpContentType>(m);
         }},
        {"get http_content_encoding", [](const Shared &m, const py::args &) {
             return read_value<Text, solClient_msg_getHttpContentEncoding>(m);
         }},
        {"set http_content_encoding", [](const Shared &m, const py::args &) {
             return write_text<solClient_msg_getHttpContentEncoding, solClient_msg_setHttpContentEncoding>(m);
         }},
        {"get expiration", [](const Shared &m, const py::args &) {
             return read_value<solClient_int64_t, solClient_msg_getExpiration>(m);
         }},
        {"set expiration", [](const Shared &m, const py::args &) {
             return write_value<solClient_int64_t, solClient_msg_getExpiration, solClient_msg_setExpiration>(m);
         }},
        {"get ack_immediately", [](const Shared &m, const py::args &) { return read_flag<solClient_msg_isAckImmediately>(m); }},
        {"set ack_immediately", [](const Shared &m, const py::args &) {
             return write_flag<solClient_msg_isAckImmediately, solClient_msg_setAckImmediately>(m);
         }},
        {"get user_data", [](const Shared &m, const py::args &) { return read_bytes<solClient_msg_getUserDataPtr>(m); }},
        {"set user_data", [](const Shared &m, const py::args &) {
             return write_bytes<solClient_msg_getUserDataPtr, solClient_msg_setUserData>(m);
         }},
        // The XML part and the correlation tag: bytes read and written as the user data is.
        {"get xml", [](const Shared &m, const py::args &) { return read_bytes<solClient_msg_getXmlPtr>(m); }},
        {"set xml", [](const Shared &m, const py::args &) {
             return write_bytes<solClient_msg_getXmlPtr, solClient_msg_setXml>(m);
         }},
        {"get correlation_tag", [](const Shared &m, const py::args &) {
             return read_bytes<solClient_msg_getCorrelationTagPtr>(m);
         }},
        {"set correlation_tag", [](const Shared &m, const py::args &) {
             return write_bytes<solClient_msg_getCorrelationTagPtr, solClient_msg_setCorrelationTag>(m);
         }},
        {"get redelivered", [](const Shared &m, const py::args &) { return read_flag<solClient_msg_isRedelivered>(m); }},
        {"get delivery_count", [](const Shared &m, const py::args &) {
             return read_value<solClient_int32_t, solClient_msg_getDeliveryCount>(m);
         }},
        {"get receive_timestamp", [](const Shared &m, const py::args &) {
             return read_value<solClient_int64_t, solClient_msg_getRcvTimestamp>(m);
         }},
        {"get topic_sequence_number", [](const Shared &m, const py::args &) {
             return read_value<solClient_int64_t, solClient_msg_getTopicSequenceNumber>(m);
         }},
        {"get message_id", [](const Shared &m, const py::args &) {
             return read_value<solClient_uint64_t, solClient_msg_getMsgId>(m);
         }},
        // The id as 16 bytes; its text only when there is one (a sent message has none).
        {"get replication_group_message_id", [](const Shared &m, const py::args &) {
             return one([m] {
                 unsigned char id[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_SIZE] = {};
                 if (solClient_msg_getReplicationGroupMessageId(m->msg, id, sizeof id) == SOLCLIENT_OK) {
                     char text[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_STRING_LENGTH + 1] = {};
                     keep(solClient_replicationGroupMessageId_toString(id, sizeof id, text, sizeof text));
                 }
                 keep(id[0]);
             });
         }},
        {"get discard_indication", [](const Shared &m, const py::args &) {
             return read_flag<solClient_msg_isDiscardIndication>(m);
         }},
        // A trace context read whole (ids, sampled flag, trace state), or written whole with its
        // injection standard; what the message holds, written back.
        {"get creation_context", [](const Shared &m, const py::args &) {
             return read_context(m, SOLCLIENT_CONTEXT_TYPE_CREATION_CONTEXT);
         }},
        {"set creation_context", [](const Shared &m, const py::args &) {
             return write_context(m, SOLCLIENT_CONTEXT_TYPE_CREATION_CONTEXT);
         }},
        {"get transport_context", [](const Shared &m, const py::args &) {
             return read_context(m, SOLCLIENT_CONTEXT_TYPE_TRANSPORT_CONTEXT);
         }},
        {"set transport_context", [](const Shared &m, const py::args &) {
             return write_context(m, SOLCLIENT_CONTEXT_TYPE_TRANSPORT_CONTEXT);
         }},
        {"get baggage", [](const Shared &m, const py::args &) {
             return one([m] {
                 const char *baggage = nullptr;
                 std::size_t size = 0;
                 keep(solClient_msg_tracing_getBaggagePtr(m->msg, &baggage, &size));
                 keep(baggage);
             });
         }},
        {"set baggage", [](const Shared &m, const py::args &) {
             const char *baggage = "";
             std::size_t size = 0;
             solClient_msg_tracing_getBaggagePtr(m->msg, &baggage, &size);
             return one([m, saved = std::string(baggage ? baggage : "")] {
                 keep(solClient_msg_tracing_setBaggage(m->msg, saved.c_str()));
             });
         }},
        {"get cache_status", [](const Shared &m, const py::args &) { return read_flag<solClient_msg_isCacheMsg>(m); }},
        {"get cache_request_id", [](const Shared &m, const py::args &) {
             return read_value<solClient_uint64_t, solClient_msg_getCacheRequestId>(m);
         }},
        // The count, then each id by its index.
        {"get consumer_ids", [](const Shared &m, const py::args &) {
             return one([m] {
                 solClient_uint32_t count = 0;
                 keep(solClient_msg_getConsumerIdCount(m->msg, &count));
                 for (solClient_uint32_t i = 0; i < count; ++i) {
                     solClient_consumerId_t id = 0;
                     keep(solClient_msg_getConsumerId(m->msg, i, &id));
                     keep(id);
                 }
             });
         }},
    };
    return all;
}

Steps library(const std::string &name, py::handle msg, const py::args &args) {
    const auto found = floors().find(name);
    if (found == floors().end())
        throw py::key_error("no library floor for " + name + ": add its calls to bench/floor/floor.cpp");
    return found->second(std::make_shared<Message>(msg), args);
}

// ---------------------------------------------------------------------------------------
// The Python objects alone: a value made again from C data, read for the library, or a user
// property map's names and values as dict(view) has them made.

struct Value {
    enum Kind { none, boolean, integer, typed, real, text, bytes, dict, list } kind = none;
    std::string name;  // a dict's key
    std::string data;
    long long number = 0;
    double real_number = 0;
    py::object type;  // a typed class, made from the plain int
    std::vector<Value> items;
};

Value describe(py::handle value) {
    Value v;
    PyObject *o = value.ptr();
    if (PyBool_Check(o)) {
        v.kind = Value::boolean;
        v.number = o == Py_True;
    } else if (PyLong_Check(o)) {
        v.kind = PyLong_CheckExact(o) ? Value::integer : Value::typed;
        v.number = PyLong_AsLongLong(o);
        v.type = py::reinterpret_borrow<py::object>(py::type::handle_of(value));
    } else if (PyFloat_Check(o)) {
        v.kind = Value::real;
        v.real_number = PyFloat_AS_DOUBLE(o);
    } else if (PyUnicode_Check(o)) {
        v.kind = Value::text;
        v.data = value.cast<std::string>();
    } else if (PyBytes_Check(o)) {
        v.kind = Value::bytes;
        v.data = value.cast<std::string>();
    } else if (PyDict_Check(o)) {
        v.kind = Value::dict;
        for (const auto &[key, item] : value.cast<py::dict>()) {
            v.items.push_back(describe(item));
            v.items.back().name = key.cast<std::string>();
        }
    } else if (PyList_Check(o)) {
        v.kind = Value::list;
        for (const py::handle item : value) v.items.push_back(describe(item));
    } else if (o != Py_None) {
        throw py::type_error("the objects floor takes no " + std::string(Py_TYPE(o)->tp_name));
    }
    return v;
}

PyObject *make_text(const std::string &text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject *make(const Value &v) {
    switch (v.kind) {
    case Value::none: return Py_NewRef(Py_None);
    case Value::boolean: return Py_NewRef(v.number ? Py_True : Py_False);
    case Value::integer: return PyLong_FromLongLong(v.number);
    case Value::typed: {
        PyObject *plain = PyLong_FromLongLong(v.number);
        PyObject *made = PyObject_CallOneArg(v.type.ptr(), plain);
        Py_DECREF(plain);
        return made;
    }
    case Value::real: return PyFloat_FromDouble(v.real_number);
    case Value::text: return make_text(v.data);
    case Value::bytes: return PyBytes_FromStringAndSize(v.data.data(), static_cast<Py_ssize_t>(v.data.size()));
    case Value::dict: {
        PyObject *dict = PyDict_New();
        for (const Value &item : v.items) {
            PyObject *key = make_text(item.name);
            PyObject *value = make(item);
            PyDict_SetItem(dict, key, value);
            Py_DECREF(key);
            Py_DECREF(value);
        }
        return dict;
    }
    case Value::list: {
        // Appended one by one, as the library hands a stream's items over.
        PyObject *list = PyList_New(0);
        for (const Value &item : v.items) {
            PyObject *value = make(item);
            PyList_Append(list, value);
            Py_DECREF(value);
        }
        return list;
    }
    }
    return nullptr;
}

// Everything in a value read as the library takes it: numbers, a text's UTF-8, bytes' buffer.
void read(PyObject *value) {
    Py_ssize_t size = 0;
    if (PyBool_Check(value)) {
        keep(value == Py_True);
    } else if (PyLong_Check(value)) {
        keep(PyLong_AsLongLong(value));
    } else if (PyFloat_Check(value)) {
        keep(PyFloat_AS_DOUBLE(value));
    } else if (PyUnicode_Check(value)) {
        keep(PyUnicode_AsUTF8AndSize(value, &size));
    } else if (PyBytes_Check(value)) {
        keep(PyBytes_AS_STRING(value));
    } else if (PyDict_Check(value)) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *item = nullptr;
        while (PyDict_Next(value, &position, &key, &item)) {
            keep(PyUnicode_AsUTF8AndSize(key, &size));
            read(item);
        }
    } else if (PyList_Check(value)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) read(PyList_GET_ITEM(value, i));
    }
}

std::shared_ptr<Timer> objects(const std::string &kind, const py::object &value) {
    if (kind == "read") return loop([value] { read(value.ptr()); });
    auto v = std::make_shared<Value>(describe(value));
    if (kind == "make") return loop([v] { Py_DECREF(make(*v)); });
    if (kind == "keys and values") {
        // keys() makes each name once, in an ordered set, and hands out their list; then each
        // name is read as UTF-8 for its lookup, and each value made.
        return loop([v] {
            PyObject *seen = PyDict_New();
            for (const Value &item : v->items) {
                PyObject *key = make_text(item.name);
                PyDict_SetDefault(seen, key, Py_None);
                Py_DECREF(key);
            }
            PyObject *keys = PyDict_Keys(seen);
            Py_ssize_t size = 0;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i)
                keep(PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(keys, i), &size));
            for (const Value &item : v->items) Py_DECREF(make(item));
            Py_DECREF(keys);
            Py_DECREF(seen);
        });
    }
    throw py::key_error("no objects floor " + kind);
}

// ---------------------------------------------------------------------------------------
// The binding alone: a class whose properties take and give values of zelmsg's types, doing
// nothing else, each call made the way zelmsg's is made (a pybind11 property, a method of the C
// API, a view type of the C API's own). One value configured per instance, which each getter
// gives in its own type.

enum DeliveryMode : std::int32_t { Direct = 0x00, Persistent = 0x10, NonPersistent = 0x20 };
enum CacheStatus : std::int32_t { Invalid = -1, Live = 0, Cached = 1, Suspect = 2 };

struct Destination {
    Destination(std::string name, int type) : dest(std::move(name)), dest_type(type) {}
    std::string dest;
    int dest_type;
};

PyObject *shared_object = nullptr;  // what the empty methods and the view hand out
PyTypeObject *view_type = nullptr;
volatile std::uintptr_t sink;

// A setter's argument, used; and the library calls made.
template <typename T>
void take(const T &value) {
    library_calls();
    sink = reinterpret_cast<std::uintptr_t>(&value);
}

struct Empty {
    std::string text;  // a str's UTF-8, or bytes
    long long number = 0;
    bool absent = false;
    py::object object;  // a dict or list, handed out as it is
    py::object keys;    // a dict's keys, which the view hands out
    Context context;    // a trace context's parts

    // Each getter makes the library calls first (str() for the text ones).
    py::str str() const {
        library_calls();
        return py::reinterpret_steal<py::str>(make_text(text));
    }
    template <typename T>
    std::optional<T> maybe(T value) const {
        return absent ? std::nullopt : std::optional<T>(std::move(value));
    }

    // What the getters give: value's own text, number, object or absence.
    void configure(const py::handle &value) {
        absent = value.is_none();
        if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) text = value.cast<std::string>();
        if (PyIndex_Check(value.ptr())) number = value.attr("__index__")().cast<long long>();
        if (py::hasattr(value, "dest")) text = value.attr("dest").cast<std::string>();
        if (PyDict_Check(value.ptr()) || PyList_Check(value.ptr())) object = py::reinterpret_borrow<py::object>(value);
        if (PyDict_Check(value.ptr())) keys = py::list(object);
        if (py::hasattr(value, "trace_id")) {
            const auto trace_id = value.attr("trace_id").cast<std::string>();
            const auto span_id = value.attr("span_id").cast<std::string>();
            std::memcpy(context.trace_id, trace_id.data(), sizeof context.trace_id);
            std::memcpy(context.span_id, span_id.data(), sizeof context.span_id);
            context.sampled = value.attr("sampled").cast<bool>();
            const py::object state = value.attr("trace_state");
            if (!state.is_none()) context.trace_state = state.cast<std::string>();
        }
    }
};

// A trace context object: a type of the C API's own, made with its parts copied in, as
// zelmsg's TraceContext is.
struct ContextObject {
    PyObject_HEAD Context value;
};
PyTypeObject *context_type = nullptr;

PyObject *context_object(const Context &value) {
    PyObject *made = context_type->tp_alloc(context_type, 0);
    if (!made) throw py::error_already_set();
    new (&reinterpret_cast<ContextObject *>(made)->value) Context(value);
    return made;
}
void context_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<ContextObject *>(self)->value.~Context();
    type->tp_free(self);
    Py_DECREF(type);
}
// The parts of a context, or null for None, as the setter takes them.
const Context *context_of(py::handle value) {
    if (value.is_none()) return nullptr;
    if (!Py_IS_TYPE(value.ptr(), context_type)) throw py::type_error("a TraceContext or None");
    return &reinterpret_cast<ContextObject *>(value.ptr())->value;
}

// The view: its owner held, as zelmsg's holds its message. One read whole makes the library
// calls in keys(); one that v[k] and v[k] = x work on, in those.
struct View {
    PyObject_HEAD PyObject *owner;
    PyObject *keys;
    bool items;
};

View *as_view(PyObject *self) { return reinterpret_cast<View *>(self); }

PyObject *view_keys(PyObject *self, PyObject *) {
    if (!as_view(self)->items) library_calls();
    return Py_NewRef(as_view(self)->keys);
}
PyObject *view_getitem(PyObject *self, PyObject *key) {
    if (as_view(self)->items) library_calls();
    sink = reinterpret_cast<std::uintptr_t>(key);
    return Py_NewRef(shared_object);
}
int view_setitem(PyObject *, PyObject *key, PyObject *value) {
    take(std::make_pair(key, value));
    return 0;
}
int view_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_view(self)->owner);
    return 0;
}
void view_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_view(self)->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

py::object make_view(const py::object &owner, bool items) {
    PyObject *made = view_type->tp_alloc(view_type, 0);
    if (!made) throw py::error_already_set();
    View *view = as_view(made);
    view->owner = Py_NewRef(owner.ptr());
    view->keys = owner.cast<const Empty &>().keys.ptr();
    view->items = items;
    return py::reinterpret_steal<py::object>(made);
}

// A new instance holding a new value, as zelmsg's copies are made.
PyObject *copy_data(PyObject *, PyObject *) {
    library_calls();
    return py::cast(std::make_unique<Empty>()).release().ptr();
}
PyObject *to_data(PyObject *, PyObject *) {
    library_calls();
    return Py_NewRef(shared_object);
}
PyObject *from_data(PyObject *cls, PyObject *data) {
    take(std::make_pair(cls, data));
    return Py_NewRef(shared_object);
}

}  // namespace bench

using namespace bench;

PYBIND11_MODULE(bench_floor, m) {
    zelmsg_api = ZelMsg_ImportCAPI();
    if (!zelmsg_api) throw py::error_already_set();
    shared_object = PyDict_New();

    py::class_<Timer, std::shared_ptr<Timer>>(m, "Timer").def("__call__", &Timer::run);
    m.def(
        "inside", [](std::vector<std::shared_ptr<Timer>> calls) { inside = std::move(calls); },
        "inside(timers): the library calls every call into Empty makes from now on");
    m.def("library", &library, "library(name, msg, *args): the (step, timer) pairs of an operation's library calls");
    m.def("objects", &objects,
          "objects(kind, value): a timer of the Python objects 'make', 'read' or 'keys and values'");

    py::enum_<DeliveryMode>(m, "DeliveryMode", py::arithmetic())
        .value("Direct", Direct)
        .value("Persistent", Persistent)
        .value("NonPersistent", NonPersistent);

    py::enum_<CacheStatus>(m, "CacheStatus")
        .value("Invalid", Invalid)
        .value("Live", Live)
        .value("Cached", Cached)
        .value("Suspect", Suspect);

    static PyType_Slot context_slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(&context_dealloc)}, {0, nullptr}};
    PyType_Spec context_spec{"bench_floor.TraceContext", sizeof(ContextObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             context_slots};
    context_type = reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(m.ptr(), &context_spec, nullptr));
    if (!context_type) throw py::error_already_set();
    // zelmsg's context's twin, made of its parts (not timed).
    m.def("TraceContext", [](py::handle like) {
        Empty parts;
        parts.configure(like);
        return py::reinterpret_steal<py::object>(context_object(parts.context));
    });

    py::class_<Destination>(m, "Destination")
        .def(py::init<std::string, int>())
        .def_readwrite("dest_type", &Destination::dest_type)
        .def_readwrite("dest", &Destination::dest);

    static PyMethodDef view_methods[] = {{"keys", &view_keys, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot view_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(&view_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(&view_traverse)},
        {Py_mp_subscript, reinterpret_cast<void *>(&view_getitem)},
        {Py_mp_ass_subscript, reinterpret_cast<void *>(&view_setitem)},
        {Py_tp_methods, view_methods},
        {0, nullptr},
    };
    PyType_Spec view_spec{
        "bench_floor.View", sizeof(View), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MAPPING, view_slots};
    view_type = reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(m.ptr(), &view_spec, nullptr));
    if (!view_type) throw py::error_already_set();

    // Named for the return types they share with zelmsg's properties.
    py::class_<Empty> empty(m, "Empty");
    empty
        .def(py::init([] {
            library_calls();
            return std::make_unique<Empty>();
        }))
        .def("configure", &Empty::configure)
        .def("__repr__", &Empty::str)
        .def_property(
            "destination", [](const Empty &e) { return library_calls(), Destination(e.text, 0); },
            [](Empty &, const Destination &d) { take(d.dest); })
        .def_property(
            "flag", [](const Empty &e) { return library_calls(), e.number != 0; },
            [](Empty &, bool value) { take(value); })
        .def_property(
            "mode", [](const Empty &e) { return library_calls(), static_cast<DeliveryMode>(e.number); },
            [](Empty &, DeliveryMode value) { take(value); })
        .def_property("text", &Empty::str, [](Empty &, std::string_view value) { take(value); })
        .def_property(
            "number", [](const Empty &e) { return library_calls(), e.number; },
            [](Empty &, long long value) { take(value); })
        .def_property(
            "maybe_number", [](const Empty &e) { return library_calls(), e.maybe(e.number); },
            [](Empty &, std::optional<long long> value) { take(value); })
        .def_property(
            "maybe_text", [](const Empty &e) { return e.maybe(e.str()); },
            [](Empty &, std::optional<std::string_view> value) { take(value); })
        .def_property(
            "bytes", [](const Empty &e) { return library_calls(), py::bytes(e.text); },
            [](Empty &, const py::bytes &value) { take(value); })
        .def_property(
            "maybe_bytes", [](const Empty &e) { return library_calls(), e.maybe(py::bytes(e.text)); },
            [](Empty &, std::optional<py::bytes> value) { take(value); })
        .def_property(
            "dict", [](const Empty &e) { return library_calls(), e.object.cast<py::dict>(); },
            [](Empty &, const py::dict &value) { take(value); })
        .def_property(
            "maybe_dict", [](const Empty &e) { return library_calls(), e.maybe(e.object.cast<py::dict>()); },
            [](Empty &, py::handle value) { take(value); })
        .def_property(
            "maybe_list", [](const Empty &e) { return library_calls(), e.maybe(e.object.cast<py::list>()); },
            [](Empty &, py::handle value) { take(value); })
        .def_property(
            "view", [](const py::object &self) { return make_view(self, false); },
            [](Empty &, py::handle value) { take(value); })
        .def_property(
            "context",
            [](const Empty &e) {
                library_calls();
                return py::reinterpret_steal<py::object>(context_object(e.context));
            },
            [](Empty &, py::handle value) { take(context_of(value)); })
        .def_property_readonly("status",
                               [](const Empty &e) { return library_calls(), static_cast<CacheStatus>(e.number); })
        .def_property_readonly("tuple", [](const Empty &) { return library_calls(), py::tuple(0); })
        .def("item_view", [](const py::object &self) { return make_view(self, true); });
    // Methods of the C API, as zelmsg's __copy__, to_smf and from_smf are.
    static PyMethodDef methods[] = {{"copy_data", &copy_data, METH_NOARGS, nullptr},
                                    {"to_data", &to_data, METH_NOARGS, nullptr},
                                    {"from_data", &from_data, METH_O | METH_CLASS, nullptr},
                                    {nullptr, nullptr, 0, nullptr}};
    auto *type = reinterpret_cast<PyTypeObject *>(empty.ptr());
    for (PyMethodDef *method = methods; method->ml_name; ++method) {
        PyObject *descriptor =
            method->ml_flags & METH_CLASS ? PyDescr_NewClassMethod(type, method) : PyDescr_NewMethod(type, method);
        if (!descriptor) throw py::error_already_set();
        empty.attr(method->ml_name) = py::reinterpret_steal<py::object>(descriptor);
    }
}
