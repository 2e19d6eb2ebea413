#include "message.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <span>

namespace standin {

const std::string *PropertyMap::find(std::string_view name) const {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [name](const Entry &entry) { return entry.name == name; });
    return it == entries_.end() ? nullptr : &it->value;
}

void PropertyMap::put(std::string_view name, std::string_view value) {
    // Copy first: the caller may pass text that lives in this very map.
    Entry entry{std::string(name), std::string(value)};
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&entry](const Entry &old) { return old.name == entry.name; });
    if (it == entries_.end()) {
        entries_.push_back(std::move(entry));
    } else {
        it->value = std::move(entry.value);
    }
}

namespace {

constexpr std::size_t kLabelWidth = 40;
constexpr std::size_t kRowBytes = 16;

// Text written straight into the caller's buffer, cut once it holds size - 2 bytes, so
// that a huge attachment is never formatted beyond what fits.
class BoundedText {
public:
    BoundedText(char *buffer, std::size_t size) : next_(buffer), room_(size < 2 ? 0 : size - 2) {}

    bool full() const { return room_ == 0; }
    void finish() { *next_ = '\0'; }

    BoundedText &operator<<(std::string_view text) {
        const std::size_t length = std::min(text.size(), room_);
        std::memcpy(next_, text.data(), length);
        next_ += length;
        room_ -= length;
        return *this;
    }

    BoundedText &operator<<(std::size_t number) {
        char digits[20];
        const auto end = std::to_chars(std::begin(digits), std::end(digits), number).ptr;
        return *this << std::string_view(digits, static_cast<std::size_t>(end - digits));
    }

private:
    char *next_;
    std::size_t room_;
};

// A label left-justified in the value column's width.
BoundedText &label(BoundedText &out, std::string_view text) {
    out << text;
    for (std::size_t column = text.size(); column < kLabelWidth; ++column) {
        out << " ";
    }
    return out;
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

// One row of the attachment dump, 16 bytes in two groups of eight, then the printable
// bytes as text:
//   "  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a 00 01  Hello, world!..\n"
// A short last row keeps blanks for the missing bytes, so its text column lines up.
void hex_row(BoundedText &out, std::span<const unsigned char> row) {
    static constexpr char kDigits[] = "0123456789abcdef";
    // Indent, three columns a byte, the gap between groups, the gap before the text, the
    // text, the line feed.
    char line[2 + kRowBytes * 3 + 1 + 1 + kRowBytes + 1];
    char *next = line;
    *next++ = ' ';
    *next++ = ' ';
    for (std::size_t i = 0; i < kRowBytes; ++i) {
        if (i == kRowBytes / 2) {
            *next++ = ' ';
        }
        *next++ = i < row.size() ? kDigits[row[i] >> 4] : ' ';
        *next++ = i < row.size() ? kDigits[row[i] & 0xf] : ' ';
        *next++ = ' ';
    }
    *next++ = ' ';
    for (const unsigned char byte : row) {
        *next++ = byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.';
    }
    *next++ = '\n';
    out << std::string_view(line, static_cast<std::size_t>(next - line));
}

void attachment_lines(BoundedText &out, std::span<const unsigned char> bytes) {
    label(out, "Binary Attachment:") << "len=" << bytes.size() << "\n";
    for (std::size_t offset = 0; offset < bytes.size() && !out.full(); offset += kRowBytes) {
        hex_row(out, bytes.subspan(offset, std::min(kRowBytes, bytes.size() - offset)));
    }
}

}  // namespace

void dump(const Message &message, char *buffer, std::size_t size) {
    BoundedText out(buffer, size);
    if (message.destination) {
        destination_line(out, "Destination:", *message.destination);
    }
    if (message.http_content_type) {
        label(out, "HTTP Content Type:") << *message.http_content_type << "\n";
    }
    label(out, "Class Of Service:") << "COS_" << message.class_of_service + 1 << "\n";
    label(out, "DeliveryMode:") << delivery_mode_word(message.delivery_mode) << "\n";
    if (message.eliding_eligible) {
        out << "Eliding Eligible\n";
    }
    if (message.reply) {
        out << "Reply Message\n";
    }
    // The library version this stands in for marks every message as one from the cache,
    // among the other bare flag lines.
    out << "Message from cache\n";
    if (message.reply_to) {
        destination_line(out, "Reply To:", *message.reply_to);
    }
    if (message.user_properties) {
        out << "User Property Map:\n";
        for (const PropertyMap::Entry &entry : message.user_properties->entries()) {
            out << "  Key '" << entry.name << "' (STRING) " << entry.value << "\n";
        }
    }
    if (!message.attachment.empty()) {
        attachment_lines(out, message.attachment);
    }
    out.finish();
}

}  // namespace standin
