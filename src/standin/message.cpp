// One message of the stand-in: its structured string, its attachment as the library shows it,
// and its copy.
#include "message.h"

#include <algorithm>
#include <cstring>

namespace standin {

namespace {

constexpr unsigned char kStringTag = 0x1F;
constexpr std::size_t kLengthBytes = 4;

}  // namespace

std::optional<std::string_view> structured_text(const std::vector<unsigned char> &attachment) {
    const std::size_t size = attachment.size();
    if (size < kStructuredOverhead || attachment.front() != kStringTag || attachment.back() != 0) return std::nullopt;
    std::size_t length = 0;
    for (std::size_t i = 1; i <= kLengthBytes; ++i) length = length << 8 | attachment[i];
    if (length != size) return std::nullopt;
    return std::string_view(reinterpret_cast<const char *>(attachment.data()) + 1 + kLengthBytes,
                            size - kStructuredOverhead);
}

std::vector<unsigned char> structured_field(std::string_view text) {
    const std::size_t length = text.size() + kStructuredOverhead;
    std::vector<unsigned char> field;
    field.reserve(length);
    field.push_back(kStringTag);
    for (std::size_t i = kLengthBytes; i-- > 0;) field.push_back(static_cast<unsigned char>(length >> (8 * i)));
    field.insert(field.end(), text.begin(), text.end());
    field.push_back(0);
    return field;
}

// Rebuilt on every read while the container differs from its last finished encoding, which
// only a misbehaving caller reads.
std::vector<unsigned char> &attachment_bytes(Message &message) {
    constexpr std::size_t kOpenBlockSize = 10240;
    if (message.attachment_container && message.attachment_changed) {
        const Container &container = *message.attachment_container;
        message.attachment.assign(std::max<std::uint64_t>(container.encoded_size(), kOpenBlockSize), 0);
        encode(container, message.attachment_header, message.attachment.data());
    }
    return message.attachment;
}

Message duplicate(const Message &message) {
    Message copy;
    static_cast<Header &>(copy) = message;
    if (message.user_properties) copy.user_properties = message.user_properties->clone();
    copy.attachment = message.attachment_container && message.attachment_changed ? encode(*message.attachment_container)
                                                                                 : message.attachment;
    return copy;
}

// The genuine library's lines, in its order. The delivery count, receive timestamp and
// replication group message id show none: no message that the genuine library could be
// given without a broker carries them, so what it prints for them is unknown.

}  // namespace standin
