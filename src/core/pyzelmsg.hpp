// The native message object behind zelmsg.ZelMsg.
//
// Every accessor is one short sequence of library calls on the owned message: nothing
// is cached here, so what Python reads is always what the library holds.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "containers.hpp"
#include "solclient.h"
#include "texts.hpp"
#include "trace_context.hpp"
#include "values.hpp"

namespace zelmsg {

namespace py = pybind11;

// The binary attachment as the library exposes it: a pointer into the message, which
// every caller copies out at once.
struct AttachmentView {
    const void *data;
    std::uint32_t size;
};

// Bumped whenever zelmsg opens a message's user property map other than for a view's next
// lookup, and whenever it hands a message's handle to native code: a view's lookup may start
// where the last one ended only while nothing else can have moved the map's cursor
// (user_properties.cpp). Guarded, as everything here, by the interpreter lock.
inline std::uint64_t user_property_map_touches = 0;

class PyZelMsg {
public:
    PyZelMsg();
    ~PyZelMsg();
    PyZelMsg(const PyZelMsg &) = delete;
    PyZelMsg &operator=(const PyZelMsg &) = delete;

    // pybind11 allocates the storage of an object that __init__ never ran on (made by
    // ZelMsg.__new__ alone) itself, uninitialised, when Python code first reaches it.
    // Zero-filled, such an object holds no message: the library refuses its null handle.
    static void *operator new(std::size_t size) { return std::memset(::operator new(size), 0, size); }
    static void operator delete(void *object) { ::operator delete(object); }

    // A new instance of cls (ZelMsg or a subclass) that owns msg, a message the library gave
    // out, made as cls.__new__(cls) makes one, with no __init__ run (new_messages.cpp). On
    // failure it raises and msg stays the caller's.
    // native_p, when given, gets the native object.
    static py::object adopt(solClient_opaqueMsg_pt msg, py::handle cls, PyZelMsg **native_p = nullptr);
    // A full, independent copy of the message (solClient_msg_dup), the caller's to free;
    // raises ValueError for an object holding no message, and one that begins with refusal
    // when the library refuses.
    solClient_opaqueMsg_pt duplicate(const char *refusal) const;
    // The message, null if the object holds none; it stays this object's.
    solClient_opaqueMsg_pt handle() const { return msg_; }

    // Text as the library wrote it, decoded once into the str that Python gets: repr's, cut as
    // the library cuts it in a 4096-byte buffer; and the whole dump, or its brief form, in a
    // buffer grown until it fits. Neither raises for bytes that are not UTF-8.
    py::str dump() const;
    py::str whole_dump(bool brief) const;

    // Empties the message as if it were new, under the same handle (pyzelmsg.cpp).
    void reset();

    // A name with a NUL inside raises ValueError: the library would cut it there, and send
    // the message elsewhere.
    Destination get_dest() const { return read_destination(solClient_msg_getDestination); }
    solClient_returnCode_t set_dest(const Destination &d) {
        return write_destination(solClient_msg_setDestination, d, "ZelMsg.dest");
    }
    // None removes the reply-to. A reply-to the library refuses leaves the old one, which the
    // library itself drops first (pyzelmsg.cpp).
    Destination get_reply2() const { return read_destination(solClient_msg_getReplyTo); }
    solClient_returnCode_t set_reply2(const std::optional<Destination> &d);

    bool get_is_reply() const { return solClient_msg_isReplyMsg(msg_) != 0; }
    solClient_returnCode_t set_is_reply(bool flag) { return solClient_msg_setAsReplyMsg(msg_, flag); }

    bool get_is_request() const {
        solClient_destination_t scratch{SOLCLIENT_NULL_DESTINATION, ""};
        const solClient_returnCode_t rc = solClient_msg_getReplyTo(msg_, &scratch, sizeof scratch);
        const solClient_bool_t reply = solClient_msg_isReplyMsg(msg_);
        return rc == SOLCLIENT_OK && reply == 0;
    }

    bool get_is_p2p() const {
        solClient_destination_t rec{SOLCLIENT_NULL_DESTINATION, ""};
        solClient_msg_getDestination(msg_, &rec, sizeof rec);
        return text_of(rec.dest).starts_with("#P2P");
    }

    DeliveryMode get_delivery_mode() const {
        // A failed read reports Direct, the mode of a message nobody has set one on.
        solClient_uint32_t mode = Direct;
        solClient_msg_getDeliveryMode(msg_, &mode);
        return static_cast<DeliveryMode>(mode);
    }
    solClient_returnCode_t set_delivery_mode(DeliveryMode mode) {
        return solClient_msg_setDeliveryMode(msg_, static_cast<solClient_uint32_t>(mode));
    }

    bool get_elide() const { return solClient_msg_isElidingEligible(msg_) != 0; }
    solClient_returnCode_t set_elide(bool flag) { return solClient_msg_setElidingEligible(msg_, flag); }

    // Python numbers classes of service from 1, the library from 0; both directions
    // wrap in 32 bits, so 0 goes to the library as 4294967295.
    std::uint32_t get_cos() const {
        solClient_uint32_t cos = 0;
        solClient_msg_getClassOfService(msg_, &cos);
        return cos + 1U;
    }
    solClient_returnCode_t set_cos(std::uint32_t cos) { return solClient_msg_setClassOfService(msg_, cos - 1U); }

    // The content type is the user property "ct", like any other; its writers change that
    // entry alone. text is NUL-terminated and holds no other NUL.
    py::str get_content_type() const;
    solClient_returnCode_t set_content_type(const char *text);

    // The message's user property map, opened; none when it has none. Every user of the map
    // opens it here (or makes one with make_user_property_map), which tells the views that
    // its cursor may have moved.
    OpenContainer open_user_property_map() const;
    // A new, empty map that replaces the message's.
    solClient_returnCode_t make_user_property_map(OpenContainer &map);

    AttachmentView get_body() const {
        solClient_opaquePointer_pt data = nullptr;
        solClient_uint32_t size = 0;
        solClient_msg_getBinaryAttachmentPtr(msg_, &data, &size);
        return {data, size};
    }
    // Bytes that the library would read as a damaged map, stream or text, or as one nested
    // deeper than any zelmsg writes, raise ValueError (pyzelmsg.cpp).
    solClient_returnCode_t set_body(const void *data, std::uint32_t size);

    py::dict get_json() const;
    void set_json(const py::dict &value);
    py::dict get_msgpack() const;
    void set_msgpack(const py::dict &value);

    bool get_dmq_eligible() const { return solClient_msg_isDMQEligible(msg_) != 0; }
    solClient_returnCode_t set_dmq_eligible(bool flag) { return solClient_msg_setDMQEligible(msg_, flag); }

    // Milliseconds; 0 never expires.
    std::int64_t get_ttl() const {
        solClient_int64_t ttl = 0;
        solClient_msg_getTimeToLive(msg_, &ttl);
        return ttl;
    }
    solClient_returnCode_t set_ttl(std::int64_t ttl) { return solClient_msg_setTimeToLive(msg_, ttl); }

    // The library reads -1 for a message with no priority, and takes -1 to remove one; the
    // setter's caller takes 0 to 255 only.
    std::optional<std::int32_t> get_priority() const {
        solClient_int32_t priority = kNoPriority;
        solClient_msg_getPriority(msg_, &priority);
        return priority == kNoPriority ? std::nullopt : std::optional(priority);
    }
    solClient_returnCode_t set_priority(std::optional<std::int32_t> priority) {
        return solClient_msg_setPriority(msg_, priority.value_or(kNoPriority));
    }

    std::optional<py::str> get_correlation_id() const {
        return read_text(solClient_msg_getCorrelationId, "ZelMsg.correlation_id");
    }
    solClient_returnCode_t set_correlation_id(std::optional<std::string_view> id) {
        return id ? solClient_msg_setCorrelationId(msg_, id->data()) : solClient_msg_deleteCorrelationId(msg_);
    }

    std::optional<py::str> get_application_message_id() const {
        return read_text(solClient_msg_getApplicationMessageId, "ZelMsg.application_message_id");
    }
    solClient_returnCode_t set_application_message_id(std::optional<std::string_view> id) {
        return id ? solClient_msg_setApplicationMessageId(msg_, id->data())
                  : solClient_msg_deleteApplicationMessageId(msg_);
    }

    // Milliseconds since the epoch.
    std::optional<std::int64_t> get_sender_timestamp() const { return read_int64(solClient_msg_getSenderTimestamp); }
    solClient_returnCode_t set_sender_timestamp(std::optional<std::int64_t> ms) {
        return ms ? solClient_msg_setSenderTimestamp(msg_, *ms) : solClient_msg_deleteSenderTimestamp(msg_);
    }

    // The library keeps the raw 64 bits and reads them back signed.
    std::optional<std::uint64_t> get_sequence_number() const {
        const std::optional<std::int64_t> raw = read_int64(solClient_msg_getSequenceNumber);
        return raw ? std::optional(static_cast<std::uint64_t>(*raw)) : std::nullopt;
    }
    solClient_returnCode_t set_sequence_number(std::optional<std::uint64_t> number) {
        return number ? solClient_msg_setSequenceNumber(msg_, *number) : solClient_msg_deleteSequenceNumber(msg_);
    }

    // The rest of the header. The texts follow correlation_id; None deletes, since a null
    // text would make some of the library's setters delete and others keep the old one.
    std::optional<py::str> get_application_message_type() const {
        return read_text(solClient_msg_getApplicationMsgType, "ZelMsg.application_message_type");
    }
    solClient_returnCode_t set_application_message_type(std::optional<std::string_view> type) {
        return type ? solClient_msg_setApplicationMsgType(msg_, type->data())
                    : solClient_msg_deleteApplicationMsgType(msg_);
    }
    std::optional<py::str> get_sender_id() const { return read_text(solClient_msg_getSenderId, "ZelMsg.sender_id"); }
    solClient_returnCode_t set_sender_id(std::optional<std::string_view> id) {
        return id ? solClient_msg_setSenderId(msg_, id->data()) : solClient_msg_deleteSenderId(msg_);
    }
    std::optional<py::str> get_http_content_type() const {
        return read_text(solClient_msg_getHttpContentType, "ZelMsg.http_content_type");
    }
    solClient_returnCode_t set_http_content_type(std::optional<std::string_view> type) {
        return type ? solClient_msg_setHttpContentType(msg_, type->data()) : solClient_msg_deleteHttpContentType(msg_);
    }
    std::optional<py::str> get_http_content_encoding() const {
        return read_text(solClient_msg_getHttpContentEncoding, "ZelMsg.http_content_encoding");
    }
    solClient_returnCode_t set_http_content_encoding(std::optional<std::string_view> encoding) {
        return encoding ? solClient_msg_setHttpContentEncoding(msg_, encoding->data())
                        : solClient_msg_deleteHttpContentEncoding(msg_);
    }

    // Milliseconds since the epoch; 0 is none.
    std::int64_t get_expiration() const { return read_int64(solClient_msg_getExpiration).value_or(0); }
    solClient_returnCode_t set_expiration(std::int64_t ms) { return solClient_msg_setExpiration(msg_, ms); }

    // The library reads 255 for a null handle, and 1 for any flag it took.
    bool get_ack_immediately() const { return solClient_msg_isAckImmediately(msg_) == 1; }
    solClient_returnCode_t set_ack_immediately(bool flag) { return solClient_msg_setAckImmediately(msg_, flag); }

    std::optional<py::bytes> get_user_data() const { return read_bytes(solClient_msg_getUserDataPtr); }
    // None, or no bytes, removes it. The library sends at most 36 bytes of it: it stores more,
    // but then cannot encode the message, so more raises ValueError.
    solClient_returnCode_t set_user_data(const std::optional<py::bytes> &data);

    // What a receiver learns; a message never received reads as fresh.
    bool get_redelivered() const { return solClient_msg_isRedelivered(msg_) != 0; }
    std::optional<std::int32_t> get_delivery_count() const {
        solClient_int32_t count = 0;
        if (solClient_msg_getDeliveryCount(msg_, &count) != SOLCLIENT_OK) return std::nullopt;
        return count;
    }
    std::optional<std::int64_t> get_receive_timestamp() const { return read_int64(solClient_msg_getRcvTimestamp); }
    std::optional<std::int64_t> get_topic_sequence_number() const {
        return read_int64(solClient_msg_getTopicSequenceNumber);
    }
    std::optional<std::uint64_t> get_message_id() const {
        solClient_uint64_t id = 0;
        if (solClient_msg_getMsgId(msg_, &id) != SOLCLIENT_OK) return std::nullopt;
        return id;
    }
    std::optional<py::str> get_replication_group_message_id() const;
    bool get_discard_indication() const { return solClient_msg_isDiscardIndication(msg_) != 0; }
    // Not a property, for the library sets it on received messages; pickling restores it.
    solClient_returnCode_t set_discard_indication(bool flag) { return solClient_msg_setDiscardIndication(msg_, flag); }

    // The message in the library's wire encoding, as it is now, without changing it; and a
    // new instance of cls decoded from a bytes-like object (wire.cpp).
    py::bytes to_smf() const;
    static py::object from_smf(py::handle cls, py::handle data);

    // The whole user property map, replaced at once by a mapping's (user_properties.cpp);
    // reading goes through the view that user_properties_view() gives.
    void set_user_properties(py::handle mapping);

    // The attachment as the library's structured string, the form a str payload takes.
    std::optional<py::str> get_text() const {
        return read_text(solClient_msg_getBinaryAttachmentString, "ZelMsg.text");
    }
    // A text longer than the structured string's 32-bit length can say raises ValueError.
    solClient_returnCode_t set_text(std::optional<std::string_view> text);

    // The attachment as the library's structured map or stream (structured_payload.cpp): None
    // when it is anything else; None removes it, and ct is left alone, as text leaves it.
    std::optional<py::dict> get_map() const;
    void set_map(py::handle mapping);
    std::optional<py::list> get_stream() const;
    void set_stream(py::handle sequence);

    // W3C trace contexts (tracing.cpp): the creation context, set once by the producer, and the
    // transport context, set at each hop; each None when the message has none, or one whose
    // ids are zero. Writing one writes it whole; None removes it. And W3C baggage.
    py::object get_creation_context() const { return read_context(SOLCLIENT_CONTEXT_TYPE_CREATION_CONTEXT); }
    solClient_returnCode_t set_creation_context(const TraceContext *context) {
        return write_context(SOLCLIENT_CONTEXT_TYPE_CREATION_CONTEXT, context);
    }
    py::object get_transport_context() const { return read_context(SOLCLIENT_CONTEXT_TYPE_TRANSPORT_CONTEXT); }
    solClient_returnCode_t set_transport_context(const TraceContext *context) {
        return write_context(SOLCLIENT_CONTEXT_TYPE_TRANSPORT_CONTEXT, context);
    }
    std::optional<py::str> get_baggage() const;
    solClient_returnCode_t set_baggage(std::optional<std::string_view> baggage) {
        return baggage ? solClient_msg_tracing_setBaggage(msg_, baggage->data())
                       : solClient_msg_tracing_deleteBaggage(msg_);
    }

    // What a receiver learns of a cache and of the consumers it was delivered to.
    solClient_cacheStatus_t get_cache_status() const { return solClient_msg_isCacheMsg(msg_); }
    std::optional<std::uint64_t> get_cache_request_id() const {
        solClient_uint64_t id = 0;
        if (solClient_msg_getCacheRequestId(msg_, &id) != SOLCLIENT_OK) return std::nullopt;
        return id;
    }
    py::tuple get_consumer_ids() const;

    // Marks the message changed by zelmsg: the next handle() makes the library encode it
    // afresh (refresh_encoding), for the library reuses an encoding it made before.
    void mark_written() { written_ = true; }
    // The message's library handle for native code, after that refresh if zelmsg changed it.
    solClient_opaqueMsg_pt handle_for_native();

    // The XML part, beside the attachment; None, or no bytes, removes it.
    std::optional<py::bytes> get_xml() const { return read_bytes(solClient_msg_getXmlPtr); }
    solClient_returnCode_t set_xml(const std::optional<py::bytes> &xml) {
        return write_bytes(solClient_msg_setXml, xml, "ZelMsg.xml");
    }
    // Bytes of the caller's that the library hands back with a send's acknowledgement, kept in
    // this process only: a copy keeps them, the wire encoding does not. None, or no bytes,
    // removes them.
    std::optional<py::bytes> get_correlation_tag() const { return read_bytes(solClient_msg_getCorrelationTagPtr); }
    solClient_returnCode_t set_correlation_tag(const std::optional<py::bytes> &tag) {
        return write_bytes(solClient_msg_setCorrelationTag, tag, "ZelMsg.correlation_tag");
    }

private:
    py::object read_context(solClient_msg_tracing_context_type_t type) const;
    solClient_returnCode_t write_context(solClient_msg_tracing_context_type_t type, const TraceContext *context);

    void remove_attachment();
    // Copies a container in as the attachment; the library refuses nothing it built itself.
    void set_attachment_container(solClient_opaqueContainer_pt container);

    // An object holding no message yet, for adopt() to fill.
    struct Empty {};
    explicit PyZelMsg(Empty) {}

    using DestinationCall = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, solClient_destination_t *, size_t);
    using TextRead = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, const char **);
    using Int64Read = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, solClient_int64_t *);

    using BytesRead = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, solClient_opaquePointer_pt *,
                                                 solClient_uint32_t *);
    using BytesWrite = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, const void *, solClient_uint32_t);

    static constexpr solClient_int32_t kNoPriority = -1;

    // Bytes the message holds whole, or None when the library has none to give.
    std::optional<py::bytes> read_bytes(BytesRead read) const {
        solClient_opaquePointer_pt data = nullptr;
        solClient_uint32_t size = 0;
        if (read(msg_, &data, &size) != SOLCLIENT_OK || !data) return std::nullopt;
        return py::bytes(static_cast<const char *>(data), size);
    }
    // None, or no bytes, removes them; more than a 32-bit size says raises ValueError.
    solClient_returnCode_t write_bytes(BytesWrite write, const std::optional<py::bytes> &bytes, const char *where);

    // A text the message holds, or None when the library has none to give.
    std::optional<py::str> read_text(TextRead read, const char *where) const;

    std::optional<std::int64_t> read_int64(Int64Read read) const {
        solClient_int64_t value = 0;
        if (read(msg_, &value) != SOLCLIENT_OK) return std::nullopt;
        return value;
    }

    // A null name from the library reads as empty, like a name never set.
    static std::string_view text_of(const char *text) { return text ? text : std::string_view{}; }

    Destination read_destination(DestinationCall read) const {
        // The type is preset too, so a failed read reports no destination at all (Null)
        // rather than a topic with an empty name.
        solClient_destination_t rec{SOLCLIENT_NULL_DESTINATION, ""};
        read(msg_, &rec, sizeof rec);
        return Destination(std::string(text_of(rec.dest)), rec.destType);
    }

    solClient_returnCode_t write_destination(DestinationCall write, const Destination &d, const char *where) {
        solClient_destination_t rec{d.dest_type, c_text(d.dest, where)};
        return write(msg_, &rec, sizeof rec);
    }

    solClient_opaqueMsg_pt msg_ = nullptr;
    // A container the object would own and close: part of its shape from the start, though
    // no accessor keeps a container (each opens and closes its own), so it stays null.
    solClient_opaqueContainer_pt container_ = nullptr;
    // Changed by zelmsg since native code last had the handle (mark_written).
    bool written_ = false;
};

// The name of the content-type tag in the user property map, and the size the module asks
// for when it makes a map (the genuine library corrupts its heap at 8 or less).
constexpr const char *kContentTypeName = "ct";
constexpr solClient_uint32_t kUserPropertyMapSize = 64;

// A message this code made and frees, unless a ZelMsg takes it.
class OwnedMessage {
public:
    explicit OwnedMessage(solClient_opaqueMsg_pt msg = nullptr) : msg_(msg) {}
    OwnedMessage(const OwnedMessage &) = delete;
    OwnedMessage &operator=(const OwnedMessage &) = delete;
    ~OwnedMessage() {
        if (msg_) solClient_msg_free(&msg_);
    }

    solClient_opaqueMsg_pt get() const { return msg_; }
    // Where a call that gives out a message puts it.
    solClient_opaqueMsg_pt *out() { return &msg_; }
    // A new instance of cls that owns the message from now on.
    py::object adopt_as(py::handle cls, PyZelMsg **native_p = nullptr) {
        py::object made = PyZelMsg::adopt(msg_, cls, native_p);
        msg_ = nullptr;
        return made;
    }

private:
    solClient_opaqueMsg_pt msg_;
};

// The attachment as a new bytes object: the one copy a read makes.
py::bytes read_body(const PyZelMsg &msg);
// The payload's own buffer, to hand to the library, which makes the one copy a write
// makes. Raises ValueError for a payload longer than an attachment can be.
AttachmentView payload_view(const py::bytes &payload);
// The attachment set to a bytes object's bytes.
void write_body(PyZelMsg &msg, const py::bytes &body);

}  // namespace zelmsg
