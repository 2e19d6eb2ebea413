#include "message.h"

#include <algorithm>
#include <charconv>
#include <concepts>
#include <cstring>
#include <ctime>
#include <iterator>
#include <span>

namespace standin {

const std::string *PropertyMap::find(std::string_view name) const {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [name](const Entry &entry) { return entry.name == name; });
    return it == entries_.end() ? nullptr : &it->value;
}

void PropertyMap::add(std::string_view name, std::string_view value) {
    // Built before it is stored: the caller may pass text that lives in this very map.
    entries_.push_back(Entry{std::string(name), std::string(value)});
}

namespace {

constexpr unsigned char kStringTag = 0x1F;
constexpr std::size_t kLengthBytes = 4;

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
    BoundedText(char *buffer, std::size_t size)
        : next_(buffer), end_(buffer + size), room_(size < 2 ? 0 : size - 2) {}

    bool cut() const { return cut_; }

    // Ends the text with a NUL; a cut text has a second one in the buffer's last byte.
    void finish() {
        *next_ = '\0';
        if (cut_) {
            end_[-1] = '\0';
        }
    }

    BoundedText &operator<<(std::string_view text) {
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
    case SOLCLIENT_DELIVERY_MODE_PERSISTENT:
        return "PERSISTENT";
    case SOLCLIENT_DELIVERY_MODE_NONPERSISTENT:
        return "NON-PERSISTENT";
    default:
        return "DIRECT";
    }
}

char printable(unsigned char byte) {
    return byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.';
}

// One row of the attachment dump: up to 16 bytes in hex, in two groups of eight, then the
// same bytes as text (others than printable ASCII as '.'), again in two groups:
//   "  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a 00 01      Hello, w   orld!...\n"
// A short row ends right after its last text character.
void hex_row(BoundedText &out, std::span<const unsigned char> row) {
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
    out << std::string_view(line, text_at + 2);
}

// The date is value / 1000 seconds (milliseconds dropped, toward zero) in local time.
// Every 64-bit value's year fits localtime_r's int, so it always fills the record.
void timestamp_line(BoundedText &out, std::int64_t value) {
    const std::time_t seconds = value / 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[64];
    const std::size_t length = std::strftime(date, sizeof date, "%a %b %d %Y %H:%M:%S", &local);
    label(out, "SenderTimestamp:") << value << " (" << std::string_view(date, length) << ")\n";
}

// A structured string attachment shows its text; an empty one, the label alone, which
// then ends the dump without a line feed, as the genuine library's does.
void attachment_lines(BoundedText &out, const std::vector<unsigned char> &attachment) {
    std::span<const unsigned char> bytes = attachment;
    if (const std::optional<std::string_view> text = structured_text(attachment)) {
        label(out, "Binary Attachment String:");
        if (text->empty()) {
            return;
        }
        bytes = bytes.subspan(1 + kLengthBytes, text->size());
    } else {
        label(out, "Binary Attachment:");
    }
    out << "len=" << bytes.size() << "\n";
    for (std::size_t offset = 0; offset < bytes.size() && !out.cut(); offset += kRowBytes) {
        hex_row(out, bytes.subspan(offset, std::min(kRowBytes, bytes.size() - offset)));
    }
}

void property_lines(BoundedText &out, const PropertyMap &map) {
    label(out, "User Property Map:") << "\n";
    for (const PropertyMap::Entry &entry : map.entries()) {
        out << "  Key '" << entry.name << "' (STRING) " << entry.value << "\n";
    }
}

}  // namespace

std::optional<std::string_view> structured_text(const std::vector<unsigned char> &attachment) {
    const std::size_t size = attachment.size();
    if (size < kStructuredOverhead || attachment.front() != kStringTag || attachment.back() != 0) {
        return std::nullopt;
    }
    std::size_t length = 0;
    for (std::size_t i = 1; i <= kLengthBytes; ++i) {
        length = length << 8 | attachment[i];
    }
    if (length != size) {
        return std::nullopt;
    }
    return std::string_view(reinterpret_cast<const char *>(attachment.data()) + 1 + kLengthBytes,
                            size - kStructuredOverhead);
}

std::vector<unsigned char> structured_field(std::string_view text) {
    const std::size_t length = text.size() + kStructuredOverhead;
    std::vector<unsigned char> field;
    field.reserve(length);
    field.push_back(kStringTag);
    for (std::size_t i = kLengthBytes; i-- > 0;) {
        field.push_back(static_cast<unsigned char>(length >> (8 * i)));
    }
    field.insert(field.end(), text.begin(), text.end());
    field.push_back(0);
    return field;
}

void dump(const Message &message, char *buffer, std::size_t size) {
    BoundedText out(buffer, size);
    if (message.destination) {
        destination_line(out, "Destination:", *message.destination);
    }
    if (message.application_message_id) {
        label(out, "ApplicationMessageId:") << *message.application_message_id << "\n";
    }
    if (message.sequence_number) {
        label(out, "SequenceNumber:") << *message.sequence_number << "\n";
    }
    if (message.priority != -1) {
        label(out, "Priority:") << message.priority << "\n";
    }
    if (message.correlation_id) {
        label(out, "CorrelationId:") << *message.correlation_id << "\n";
    }
    if (message.http_content_type) {
        label(out, "HTTP Content Type:") << *message.http_content_type << "\n";
    }
    if (message.sender_timestamp) {
        timestamp_line(out, *message.sender_timestamp);
    }
    label(out, "Class Of Service:") << "COS_" << message.class_of_service + 1 << "\n";
    label(out, "DeliveryMode:") << delivery_mode_word(message.delivery_mode) << "\n";
    if (message.time_to_live != 0) {
        label(out, "TimeToLive:") << message.time_to_live << "\n";
    }
    if (message.dmq_eligible) {
        label(out, "DMQ Eligible") << "\n";
    }
    if (message.eliding_eligible) {
        label(out, "Eliding Eligible") << "\n";
    }
    if (message.reply) {
        label(out, "Reply Message") << "\n";
    }
    if (message.reply_to) {
        destination_line(out, "Reply To:", *message.reply_to);
    }
    if (message.user_properties) {
        property_lines(out, *message.user_properties);
    }
    if (!message.attachment.empty()) {
        attachment_lines(out, message.attachment);
    }
    out.finish();
}

}  // namespace standin
