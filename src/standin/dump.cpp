// The stand-in's text dump of a message, as the genuine library writes it.
#include "message.h"

#include <algorithm>
#include <charconv>
#include <concepts>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <iterator>
#include <span>

namespace standin {

namespace {

constexpr std::size_t kLabelWidth = 40;
constexpr std::size_t kRowBytes = 16;
constexpr std::size_t kGroupBytes = 8;
constexpr std::size_t kHexColumn = 2;    // where a row's first byte is written in hex
constexpr std::size_t kHexGroupGap = 1;  // extra blanks before the second group of eight
constexpr std::size_t kTextColumn = 56;  // where a row's first byte is written as text
constexpr std::size_t kTextGroupGap = 3;

// Text written straight into the caller's buffer and cut once it holds size - 2 bytes, so
// that a huge attachment is never formatted beyond what fits.
class BoundedText {
public:
    BoundedText(char *buffer, std::size_t size) : next_(buffer), end_(buffer + size), room_(size < 2 ? 0 : size - 2) {}

    bool cut() const { return cut_; }
    // Cut, or ended early by stop: nothing more is written.
    bool done() const { return cut_ || stopped_; }

    // Ends the text here, as the genuine library's dump ends where a value cannot be
    // formatted.
    void stop() { stopped_ = true; }

    // Ends the text with a NUL; a cut text has a second one in the buffer's last byte.
    void finish() {
        *next_ = '\0';
        if (cut_) end_[-1] = '\0';
    }

    BoundedText &operator<<(std::string_view text) {
        if (stopped_) return *this;
        const std::size_t length = std::min(text.size(), room_);
        cut_ = cut_ || length < text.size();
        std::memcpy(next_, text.data(), length);
        next_ += length;
        room_ -= length;
        return *this;
    }

    template <std::integral Number>
    BoundedText &operator<<(Number number) {
        char digits[20];  // INT64_MIN and UINT64_MAX both take 20
        const auto end = std::to_chars(std::begin(digits), std::end(digits), number).ptr;
        return *this << std::string_view(digits, static_cast<std::size_t>(end - digits));
    }

private:
    char *next_;
    char *end_;
    std::size_t room_;
    bool cut_ = false;
    bool stopped_ = false;
};

// A label padded with blanks to the value column, even where no value follows.
BoundedText &label(BoundedText &out, std::string_view text) {
    static constexpr char kBlanks[kLabelWidth + 1] = "                                        ";
    const std::size_t padding = kLabelWidth - std::min(text.size(), kLabelWidth);
    return out << text << std::string_view(kBlanks, padding);
}

void destination_line(BoundedText &out, std::string_view name, const StoredDestination &destination) {
    const char *kind = destination.type == SOLCLIENT_QUEUE_DESTINATION ? "Queue" : "Topic";
    label(out, name) << kind << " '" << destination.name << "'\n";
}

const char *delivery_mode_word(solClient_uint32_t mode) {
    switch (mode) {
    case SOLCLIENT_DELIVERY_MODE_PERSISTENT: return "PERSISTENT";
    case SOLCLIENT_DELIVERY_MODE_NONPERSISTENT: return "NON-PERSISTENT";
    default: return "DIRECT";
    }
}

char printable(unsigned char byte) { return byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.'; }

// One row of the attachment dump: up to 16 bytes in hex, in two groups of eight, then the
// same bytes as text (others than printable ASCII as '.'), again in two groups:
//   "  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a 00 01      Hello, w   orld!...\n"
// A short row ends right after its last text character.
BoundedText &indent_by(BoundedText &out, std::size_t count) {
    static constexpr std::string_view kBlanks = "                                                                ";
    for (; count > kBlanks.size() && !out.done(); count -= kBlanks.size()) out << kBlanks;
    return out << kBlanks.substr(0, count);
}

void hex_row(BoundedText &out, std::span<const unsigned char> row, std::size_t indent = 0) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char line[kTextColumn + kTextGroupGap + kRowBytes + 1];
    std::memset(line, ' ', sizeof line);
    std::size_t text_at = 0;
    for (std::size_t i = 0; i < row.size(); ++i) {
        const std::size_t group = i / kGroupBytes;
        char *hex = line + kHexColumn + 3 * i + kHexGroupGap * group;
        hex[0] = kDigits[row[i] >> 4];
        hex[1] = kDigits[row[i] & 0xf];
        text_at = kTextColumn + i + kTextGroupGap * group;
        line[text_at] = printable(row[i]);
    }
    line[text_at + 1] = '\n';
    indent_by(out, indent) << std::string_view(line, text_at + 2);
}

// A time in milliseconds and its date: value / 1000 seconds (milliseconds dropped, toward
// zero) in local time. Every 64-bit value's year fits localtime_r's int, so it always fills
// the record.
void timestamp_line(BoundedText &out, std::string_view name, std::int64_t value) {
    const std::time_t seconds = value / 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[64];
    const std::size_t length = std::strftime(date, sizeof date, "%a %b %d %Y %H:%M:%S", &local);
    label(out, name) << value << " (" << std::string_view(date, length) << ")\n";
}

void hex_rows(BoundedText &out, std::span<const unsigned char> bytes, std::size_t indent = 0) {
    for (std::size_t offset = 0; offset < bytes.size() && !out.done(); offset += kRowBytes)
        hex_row(out, bytes.subspan(offset, std::min(kRowBytes, bytes.size() - offset)), indent);
}

std::span<const unsigned char> bytes_of(const std::string &bytes) {
    return {reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()};
}

const char *type_word(solClient_fieldType_t type) {
    switch (type) {
    case SOLCLIENT_BOOL: return "BOOL";
    case SOLCLIENT_UINT8: return "UINT8";
    case SOLCLIENT_INT8: return "INT8";
    case SOLCLIENT_UINT16: return "UINT16";
    case SOLCLIENT_INT16: return "INT16";
    case SOLCLIENT_UINT32: return "UINT32";
    case SOLCLIENT_INT32: return "INT32";
    case SOLCLIENT_UINT64: return "UINT64";
    case SOLCLIENT_INT64: return "INT64";
    case SOLCLIENT_WCHAR: return "WCHAR";
    case SOLCLIENT_STRING: return "STRING";
    case SOLCLIENT_BYTEARRAY: return "BYTE ARRAY";
    case SOLCLIENT_FLOAT: return "FLOAT";
    case SOLCLIENT_DOUBLE: return "DOUBLE";
    case SOLCLIENT_MAP: return "MAP";
    case SOLCLIENT_STREAM: return "STREAM";
    case SOLCLIENT_NULL: return "NULL";
    case SOLCLIENT_DESTINATION: return "DESTINATION";
    case SOLCLIENT_SMF: return "SMF";
    default: return "UNKNOWN";
    }
}

// A number as the genuine library prints it: integers in decimal by their width and sign,
// floats with %f (after widening a FLOAT), a WCHAR as the character per the process's
// LC_CTYPE. A WCHAR that does not convert, 0 included, ends the dump as it does there.
void number_text(BoundedText &out, const Field &field) {
    const std::uint64_t bits = field.bits;
    char text[400];  // %f of the largest double takes 316
    switch (field.type) {
    case SOLCLIENT_BOOL: out << (bits != 0 ? "TRUE" : "FALSE"); return;
    case SOLCLIENT_UINT8:
    case SOLCLIENT_UINT16:
    case SOLCLIENT_UINT32:
    case SOLCLIENT_UINT64: out << bits; return;
    case SOLCLIENT_INT8: out << static_cast<std::int8_t>(bits); return;
    case SOLCLIENT_INT16: out << static_cast<std::int16_t>(bits); return;
    case SOLCLIENT_INT32: out << static_cast<std::int32_t>(bits); return;
    case SOLCLIENT_INT64: out << static_cast<std::int64_t>(bits); return;
    case SOLCLIENT_FLOAT: {
        float value;
        const auto narrow = static_cast<std::uint32_t>(bits);
        std::memcpy(&value, &narrow, sizeof value);
        out << std::string_view(text, std::snprintf(text, sizeof text, "%f", static_cast<double>(value)));
        return;
    }
    case SOLCLIENT_DOUBLE: {
        double value;
        std::memcpy(&value, &bits, sizeof value);
        out << std::string_view(text, std::snprintf(text, sizeof text, "%f", value));
        return;
    }
    default: {
        std::mbstate_t state{};
        const std::size_t length =
            bits == 0 ? static_cast<std::size_t>(-1) : std::wcrtomb(text, static_cast<wchar_t>(bits), &state);
        if (length == static_cast<std::size_t>(-1))
            out.stop();
        else
            out << std::string_view(text, length);
    }
    }
}

void container_lines(BoundedText &out, const Container &container, std::size_t indent);

// One line per field, and more for byte arrays and containers:
//   "  Key 'n' (INT32) -5", "  (STRING) text", "  Key 'b' (BYTE ARRAY) len=3" and hex rows,
//   "  Key 'm' (MAP)" and its fields two columns further in.
void field_lines(BoundedText &out, const Container &container, const Field &field, std::size_t indent) {
    indent_by(out, indent);
    if (container.is_map()) out << "Key '" << field.name << "' ";
    out << "(" << type_word(field.type) << ")";
    switch (field.type) {
    case SOLCLIENT_NULL:
    case SOLCLIENT_MAP:
    case SOLCLIENT_STREAM:
        out << "\n";
        if (field.child) container_lines(out, *field.child, indent + 2);
        return;
    case SOLCLIENT_STRING: out << " " << field.bytes << "\n"; return;
    case SOLCLIENT_DESTINATION: {
        const char *kind = field.bits == SOLCLIENT_TOPIC_DESTINATION   ? "Topic"
                           : field.bits == SOLCLIENT_QUEUE_DESTINATION ? "Queue"
                                                                       : nullptr;
        out << " ";
        if (kind == nullptr)
            out << "Unknown type (" << field.bits << ")";
        else
            out << kind;
        out << " '" << field.bytes << "'\n";
        return;
    }
    case SOLCLIENT_BYTEARRAY:
    case SOLCLIENT_SMF:
    case SOLCLIENT_UNKNOWN:
        out << " ";
        if (field.bytes.empty()) {
            out << "\n";
            return;
        }
        {
            // An SMF field of a map has its rows at the left edge, unlike every other.
            const bool flush = field.type == SOLCLIENT_SMF && container.is_map();
            out << "len=" << field.bytes.size() << "\n";
            hex_rows(out, bytes_of(field.bytes), flush ? 0 : indent);
        }
        return;
    default:
        out << " ";
        number_text(out, field);
        out << "\n";
    }
}

void container_lines(BoundedText &out, const Container &container, std::size_t indent) {
    for (const Field &field : container.fields()) {
        if (out.done()) return;
        field_lines(out, container, field, indent);
    }
}

void container_block(BoundedText &out, const Container &container, std::string_view map_label,
                     std::string_view stream_label) {
    label(out, container.is_map() ? map_label : stream_label) << "\n";
    container_lines(out, container, 2);
}

// Bytes in lowercase hex, two digits each.
void hex_text(BoundedText &out, std::span<const unsigned char> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const unsigned char byte : bytes) {
        const char pair[2] = {kDigits[byte >> 4], kDigits[byte & 15]};
        out << std::string_view(pair, 2);
    }
}

// "{traceId=..., spanId=..., sampled=true, traceState=...}" after a label one column wider
// than the others.
void trace_context_line(BoundedText &out, std::string_view name, const std::optional<StoredTraceContext> &context) {
    if (!context) return;
    label(out, name) << " {traceId=";
    hex_text(out, context->trace_id);
    out << ", spanId=";
    hex_text(out, context->span_id);
    out << ", sampled=" << (context->sampled ? "true" : "false") << ", traceState=" << context->trace_state << "}\n";
}

// The baggage's length, then its text with every byte but printable ASCII as " 0xNN "; an
// empty one has a label of its own and no text line.
void baggage_lines(BoundedText &out, const std::string &baggage) {
    if (baggage.empty()) {
        label(out, "Trace: Baggage:") << "len=0\n";
        return;
    }
    label(out, "Trace Baggage:") << "len=" << baggage.size() << "\n  ";
    for (const char c : baggage) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out << std::string_view(&c, 1);
        } else {
            out << " 0x";
            hex_text(out, std::span(&byte, 1));
            out << " ";
        }
    }
    out << "\n";
}

// A container in brief: its label and the length of its encoding.
void container_length(BoundedText &out, const Container &container, std::string_view map_label,
                      std::string_view stream_label) {
    label(out, container.is_map() ? map_label : stream_label) << "len=" << container.encoded_size() << "\n";
}

// A structured string attachment shows its text; an empty one, the label alone, which
// then ends the dump without a line feed, as the genuine library's does (in brief, len=0).
void attachment_lines(BoundedText &out, const Message &message, bool brief) {
    const auto block = brief ? &container_length : &container_block;
    if (message.attachment_container) {
        block(out, *message.attachment_container, "Binary Attachment Map:", "Binary Attachment Stream:");
        return;
    }
    const std::vector<unsigned char> &attachment = message.attachment;
    if (const std::unique_ptr<Container> container = parse(attachment)) {
        block(out, *container, "Binary Attachment Map:", "Binary Attachment Stream:");
        return;
    }
    std::span<const unsigned char> bytes = attachment;
    if (const std::optional<std::string_view> text = structured_text(attachment)) {
        label(out, "Binary Attachment String:");
        if (text->empty() && !brief) return;
        bytes = {reinterpret_cast<const unsigned char *>(text->data()), text->size()};  // the text, inside it
    } else {
        label(out, "Binary Attachment:");
    }
    out << "len=" << bytes.size() << "\n";
    if (!brief) hex_rows(out, bytes);
}

// The XML part as text, two blanks in: printable ASCII as it is, any other byte as " 0x%02x ",
// and a new line once a line holds 60 characters or more.
void xml_lines(BoundedText &out, std::span<const unsigned char> xml) {
    static constexpr char kDigits[] = "0123456789abcdef";
    constexpr std::size_t kLineWidth = 60;
    out << "  ";
    std::size_t width = 0;
    for (const unsigned char byte : xml) {
        if (out.done()) return;
        if (byte >= 0x20 && byte < 0x7f) {
            out << std::string_view(reinterpret_cast<const char *>(&byte), 1);
            width += 1;
        } else {
            const char escaped[] = {' ', '0', 'x', kDigits[byte >> 4], kDigits[byte & 0xf], ' '};
            out << std::string_view(escaped, sizeof escaped);
            width += sizeof escaped;
        }
        if (width >= kLineWidth) {
            out << "\n  ";
            width = 0;
        }
    }
    if (width > 0) out << "\n";
}

}  // namespace

void dump(const Message &message, char *buffer, std::size_t size, bool brief) {
    BoundedText out(buffer, size);
    const auto text_line = [&](std::string_view name, const std::optional<std::string> &text) {
        if (text) label(out, name) << *text << "\n";
    };
    const auto flag_line = [&](std::string_view name, bool flag) {
        if (flag) label(out, name) << "\n";
    };
    if (message.destination) destination_line(out, "Destination:", *message.destination);
    text_line("SenderId:", message.sender_id);
    text_line("ApplicationMsgType:", message.application_message_type);
    text_line("ApplicationMessageId:", message.application_message_id);
    if (message.sequence_number) label(out, "SequenceNumber:") << *message.sequence_number << "\n";
    if (message.topic_sequence_number) label(out, "TopicSequenceNumber:") << *message.topic_sequence_number << "\n";
    if (message.priority != -1) label(out, "Priority:") << message.priority << "\n";
    text_line("CorrelationId:", message.correlation_id);
    text_line("HTTP Content Type:", message.http_content_type);
    text_line("HTTP Content Encoding:", message.http_content_encoding);
    if (message.sender_timestamp) timestamp_line(out, "SenderTimestamp:", *message.sender_timestamp);
    label(out, "Class Of Service:") << "COS_" << message.class_of_service + 1 << "\n";
    label(out, "DeliveryMode:") << delivery_mode_word(message.delivery_mode) << "\n";
    if (message.message_id) label(out, "Message Id:") << *message.message_id << "\n";
    if (message.time_to_live != 0) label(out, "TimeToLive:") << message.time_to_live << "\n";
    if (message.expiration != 0) timestamp_line(out, "Expiration:", message.expiration);
    flag_line("DMQ Eligible", message.dmq_eligible);
    flag_line("Message Re-delivered", message.redelivered);
    flag_line("Discard Indication", message.discard_indication);
    flag_line("ACK Immediately", message.ack_immediately);
    flag_line("Eliding Eligible", message.eliding_eligible);
    flag_line("Reply Message", message.reply);
    if (message.reply_to) destination_line(out, "Reply To:", *message.reply_to);
    // A stream given as the user property map is not shown, as in the genuine library.
    if (message.user_properties && message.user_properties->is_map())
        (brief ? &container_length : &container_block)(out, *message.user_properties, "User Property Map:", "");
    if (!message.correlation_tag.empty()) {
        label(out, "Correlation Tag Pointer:") << "len=" << message.correlation_tag.size() << "\n";
        hex_rows(out, message.correlation_tag);
    }
    if (!message.user_data.empty()) {
        label(out, "User Data:") << "len=" << message.user_data.size() << "\n";
        hex_rows(out, message.user_data);
    }
    trace_context_line(out,
                       "Tracing CreationContext:", message.trace_contexts[SOLCLIENT_CONTEXT_TYPE_CREATION_CONTEXT]);
    trace_context_line(
        out, "Trace Context SMF Parameter:", message.trace_contexts[SOLCLIENT_CONTEXT_TYPE_TRANSPORT_CONTEXT]);
    if (message.baggage) baggage_lines(out, *message.baggage);
    if (!message.attachment.empty() || message.attachment_container) attachment_lines(out, message, brief);
    if (!message.xml.empty()) {
        label(out, "XML:") << "len=" << message.xml.size() << "\n";
        if (!brief) xml_lines(out, message.xml);
    }
    out.finish();
}

}  // namespace standin
