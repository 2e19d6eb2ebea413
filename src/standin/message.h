/* One message of the stand-in libsolclient, as the library keeps it, and its text dump
 * (dump.cpp). */
#ifndef ZELMSG_STANDIN_MESSAGE_H
#define ZELMSG_STANDIN_MESSAGE_H

#include "container.h"
#include "solclient.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

constexpr std::size_t kReplicationGroupMessageIdSize = 16;

struct StoredDestination {
    solClient_destinationType_t type;  // Topic or Queue: temporary kinds are kept as these
    std::string name;
};

// A W3C trace context as the library keeps it: made whole (zeros, unsampled, no state, the
// W3C injection standard) by the first set of any part.
struct StoredTraceContext {
    std::array<unsigned char, SOLCLIENT_TRACING_TRACE_ID_SIZE> trace_id{};
    std::array<unsigned char, SOLCLIENT_TRACING_SPAN_ID_SIZE> span_id{};
    bool sampled = false;
    std::string trace_state;
    unsigned char injection_standard = SOLCLIENT_INJECTION_STANDARD_W3C;
};

// Everything of a message but its attachment and user property map: plain values, which a
// copy takes as they are.
struct Header {
    std::optional<StoredDestination> destination;
    std::optional<StoredDestination> reply_to;
    std::optional<std::string> http_content_type;
    std::optional<std::string> http_content_encoding;
    std::optional<std::string> correlation_id;
    std::optional<std::string> application_message_id;
    std::optional<std::string> application_message_type;
    std::optional<std::string> sender_id;
    std::optional<std::int64_t> sender_timestamp;
    std::optional<std::int64_t> sequence_number;  // the setter's 64 bits, read back signed
    std::vector<unsigned char> user_data;         // empty is none
    std::vector<unsigned char> correlation_tag;   // empty is none
    std::vector<unsigned char> xml;               // empty is none
    std::int64_t time_to_live = 0;                // 0 is none
    std::int64_t expiration = 0;                  // 0 is none
    std::int32_t priority = -1;                   // -1 is none
    solClient_uint32_t delivery_mode = SOLCLIENT_DELIVERY_MODE_DIRECT;
    solClient_uint32_t class_of_service = 0;
    bool reply = false;
    bool eliding_eligible = false;
    bool dmq_eligible = false;
    bool ack_immediately = false;
    bool discard_indication = false;
    // By context type: the transport context, then the creation context.
    std::array<std::optional<StoredTraceContext>, 2> trace_contexts;
    std::optional<std::string> baggage;

    // What a received message carries; here only standin_set_received and
    // standin_set_replication_group_message_id give them.
    bool redelivered = false;
    std::optional<std::int32_t> delivery_count;
    std::optional<std::int64_t> receive_timestamp;
    std::optional<std::int64_t> topic_sequence_number;
    std::optional<std::uint64_t> message_id;
    std::optional<std::array<unsigned char, kReplicationGroupMessageIdSize>> replication_group_message_id;
    solClient_cacheStatus_t cache_status = SOLCLIENT_CACHE_LIVE_MESSAGE;
    std::optional<std::uint64_t> cache_request_id;
    std::vector<solClient_consumerId_t> consumer_ids;
};

struct Message : Header {
    // A map, or a stream that setUserPropertyMap was given, which the genuine library
    // takes and then refuses to hand out.
    std::unique_ptr<Container> user_properties;
    // Empty means none. A structured string or container is kept here in its encoding, as
    // the genuine library keeps it: see structured_text and parse. While an attachment
    // container has handles open, it lives in attachment_container instead and the bytes
    // are only rewritten when it changes and is read (see attachment_bytes).
    std::vector<unsigned char> attachment;
    std::unique_ptr<Container> attachment_container;
    std::uint32_t attachment_header = 0;  // the length its header shows until finished
    bool attachment_changed = false;      // since the bytes were last finished
};

// An independent copy: the header as it is, the user property map as it is now, and the
// attachment's bytes, finished if an open attachment container changed them. The copy has
// no container open.
Message duplicate(const Message &message);

// A structured string field: 0x1F, the length of the whole field as 4 bytes big-endian,
// the text, a NUL. So the field is the text and 6 bytes.
constexpr std::size_t kStructuredOverhead = 6;

// The text (without its NUL) of the structured string field that the attachment holds
// whole, if it is one. The genuine library's other length forms (0x1C-0x1E) are not
// recognised.
std::optional<std::string_view> structured_text(const std::vector<unsigned char> &attachment);

// The structured string field of text, which is at most UINT32_MAX - 6 bytes long.
std::vector<unsigned char> structured_field(std::string_view text);

// The attachment as getBinaryAttachmentPtr shows it. A container changed while open shows,
// as in the genuine library, a block of at least 10 KiB whose header keeps the length it had
// (0 for a new one) and whose rest after the fields is zeros: it is finished on the last close.
std::vector<unsigned char> &attachment_bytes(Message &message);

// Writes the message's text form into buffer, which holds size (at least 1) bytes. Text
// that fits in size - 2 bytes ends with one NUL; longer text is cut to size - 2 bytes and
// the last two bytes of the buffer are both NUL. A brief one gives only the lengths of the
// user property map, the attachment and the XML part.
void dump(const Message &message, char *buffer, std::size_t size, bool brief = false);

}  // namespace standin

#endif
