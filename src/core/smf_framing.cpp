// The framing every SMF encoding of libsolclient keeps (measured on 7.33.0.3), checked as
// the library's decoder will follow it. All numbers are big-endian, all lengths in bytes.
#include "smf_framing.hpp"

#include <cstdint>

namespace zelmsg {
namespace {

using Fault = const char *;

constexpr std::size_t kFixedHeader = 12;  // flags, protocol, header length H, message length M
constexpr unsigned kVersion = 3;          // the low 3 bits of the first byte

// Standard header parameters: 2 bytes of type and length L, or when that length byte is 0,
// the type, the 0 and a 4-byte L; L counts the whole parameter.
constexpr unsigned kContentsSummary = 0x16;
constexpr unsigned kTopic = 0x18;
// A binary-size parameter, which the library never writes: given one, it sizes the payload
// by it unchecked against the contents summary, and refusing most such data it frees a data
// block twice and leaks.
constexpr unsigned kBinarySize = 0x0C;
constexpr std::size_t kStandardHead = 2;
constexpr std::size_t kExtendedHead = 6;

// Lightweight parameters: one byte whose bit 0x20 marks them, the kind in bits 2-4 and the
// number of value bytes in bits 0-1. The value bytes each known kind has; -1 for kinds that
// the library does not write, which pass on their bounds alone.
constexpr unsigned kLightweight = 0x20;
constexpr unsigned kTopicOffset = 1;
constexpr unsigned kQueueOffset = 2;
constexpr int kLightweightValue[8] = {3, 2, 2, 0, 3, -1, -1, -1};

// Contents-summary entries: the section kind in the high nibble, the entry's size (2 to 5,
// a length of 1 to 4 bytes after the descriptor) in the low one.
constexpr unsigned kAttachmentSection = 2;
constexpr unsigned kMetadataSection = 4;

// Binary metadata: a block count, 4 bytes a block (type, 3-byte length), then the blocks.
constexpr std::size_t kBlockEntry = 4;
constexpr std::size_t kBlockLengthMask = 0xFFFFFF;
constexpr unsigned kStructuredBlock = 0;

// Structured data: a tag (code << 2 | width - 1), a length of width bytes counting the whole
// item, then the value.
enum Code : unsigned { kNull, kBool, kInt, kUint, kFloat, kChar, kBytes, kString, kDestination, kSmf, kMap, kStream };
// The library reads an attachment as a map or stream only under these tags; text under any
// string tag.
constexpr unsigned kMapTag = kMap << 2 | 3;
constexpr unsigned kStreamTag = kStream << 2 | 3;

std::uint32_t big_endian(const unsigned char *p, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | p[i];
    return value;
}

// A value other than a container or an UNKNOWN field, by its code. The widths are the only
// ones the library writes, and a text must end in the NUL that its readers rely on.
Fault scalar_fault(unsigned code, const unsigned char *value, std::size_t size) {
    switch (code) {
    case kNull: return size == 0 ? nullptr : "a null field with a value";
    case kBool: return size == 1 ? nullptr : "a boolean field of the wrong width";
    case kInt:
    case kUint:
        return size == 1 || size == 2 || size == 4 || size == 8 ? nullptr : "an integer field of the wrong width";
    case kFloat: return size == 4 || size == 8 ? nullptr : "a floating-point field of the wrong width";
    case kChar: return size == 2 ? nullptr : "a character field of the wrong width";
    case kString: return size >= 1 && value[size - 1] == 0 ? nullptr : "a string field without its closing NUL";
    case kDestination:
        return size >= 2 && value[size - 1] == 0 ? nullptr : "a destination field without its type or closing NUL";
    default: return nullptr;  // bytes and SMF: read back as bytes, never parsed
    }
}

// A length form, in bytes, wider than any the library writes for a number, a destination or
// a container: it reads such fields as UNKNOWN.
constexpr std::size_t kNumberWidth = 1;
constexpr std::size_t kDestinationWidth = 2;
constexpr std::size_t kContainerWidth = 4;

// A map or stream being walked: where it ends (within M, a 32-bit number), and for a map
// whether a value is due.
struct Open {
    std::uint32_t end;
    bool map;
    bool value_due;
};

// The structured-data items filling [begin, end) exactly, each within the container it lies
// in, at every level. Iterative, on a fixed stack of its own, so that no nesting can exhaust
// the native one.
Fault items_fault(const unsigned char *data, std::size_t begin, std::size_t end) {
    Open open[kSmfMaxNesting + 1];  // a level per container, the section itself at 0
    std::size_t depth = 0;
    open[0] = {static_cast<std::uint32_t>(end), false, false};
    std::size_t pos = begin;
    for (;;) {
        Open &parent = open[depth];
        if (pos == parent.end) {
            if (parent.value_due) return "a map key without a value";
            if (depth == 0) return nullptr;
            --depth;
            continue;
        }
        const unsigned tag = data[pos];
        const std::size_t width = (tag & 3) + 1;
        const std::size_t room = parent.end - pos;
        if (room < 1 + width) return "a structured-data length runs past its container";
        const std::size_t length = big_endian(data + pos + 1, width);
        if (length < 1 + width) return "a structured-data field shorter than its own tag and length";
        if (length > room) return "a structured-data field runs past its container";
        const unsigned code = tag >> 2;
        if (parent.map) {
            if (!parent.value_due && code != kString) return "a map key that is not a string";
            parent.value_due = !parent.value_due;
        }
        const std::size_t value = pos + 1 + width;
        if (read_as_unknown(tag)) {
            pos += length;
            continue;
        }
        if (code == kMap || code == kStream) {
            if (depth == kSmfMaxNesting) return "maps and streams nested too deep";
            open[++depth] = {static_cast<std::uint32_t>(pos + length), code == kMap, false};
            pos = value;
            continue;
        }
        if (const Fault fault = scalar_fault(code, data + value, length - 1 - width)) return fault;
        pos += length;
    }
}

// The binary attachment: structured when it is one map, stream or text item filling it
// exactly, as the library decides when it reads it; else raw bytes, which nothing parses.
Fault attachment_fault(const unsigned char *data, std::size_t begin, std::size_t end) {
    const std::size_t size = end - begin;
    if (size == 0) return nullptr;
    const unsigned tag = data[begin];
    const std::size_t width = (tag & 3) + 1;
    const bool structured = tag == kMapTag || tag == kStreamTag || tag >> 2 == kString;
    if (!structured || size < 1 + width || big_endian(data + begin + 1, width) != size) return nullptr;
    return items_fault(data, begin, end);
}

// The binary metadata, where the library keeps the user properties and most header fields:
// its block table and blocks fill the section exactly, and a structured block is walked.
Fault metadata_fault(const unsigned char *data, std::size_t begin, std::size_t end) {
    if (begin == end) return "an empty binary metadata section";
    const std::size_t count = data[begin];
    const std::size_t table = begin + 1;
    if (count * kBlockEntry > end - table) return "the binary metadata's block table runs past its section";
    std::size_t pos = table + count * kBlockEntry;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char *entry = data + table + i * kBlockEntry;
        std::size_t length = big_endian(entry + 1, 3);
        // The library writes a block of 16 MiB or more with its length cut to 24 bits, and
        // reads it back whole: the last block may be that long.
        if (i + 1 == count && ((end - pos) & kBlockLengthMask) == length) length = end - pos;
        if (length > end - pos) return "a binary metadata block runs past its section";
        if (entry[0] == kStructuredBlock) {
            if (const Fault fault = items_fault(data, pos, pos + length)) return fault;
        }
        pos += length;
    }
    return pos == end ? nullptr : "the binary metadata blocks do not fill their section";
}

// What the header parameters say about the rest.
struct Header {
    std::size_t summary = 0;  // the contents summary's value, if any
    std::size_t summary_end = 0;
    bool has_summary = false;
    std::size_t topic_name = 0;  // the topic's bytes before its NUL
    bool has_topic = false;
    std::size_t offsets_end = 0;  // the furthest byte a topic or queue-name offset reaches
    bool has_offsets = false;
};

Fault lightweight_fault(const unsigned char *p, std::size_t room, Header &header, std::size_t &size) {
    const unsigned kind = (p[0] >> 2) & 7;
    size = 1 + (p[0] & 3);
    if (size > room) return "a header parameter runs past the header";
    if (kLightweightValue[kind] >= 0 && size != 1 + static_cast<std::size_t>(kLightweightValue[kind]))
        return "a lightweight header parameter of the wrong size";
    if (kind == kTopicOffset || kind == kQueueOffset) {
        const std::size_t reach = std::size_t{p[1]} + p[2];  // offset, length
        if (reach > header.offsets_end) header.offsets_end = reach;
        header.has_offsets = true;
    }
    return nullptr;
}

Fault standard_fault(const unsigned char *p, std::size_t room, Header &header, std::size_t &size, std::size_t at) {
    if (room < kStandardHead) return "a header parameter runs past the header";
    std::size_t head = kStandardHead;
    size = p[1];
    if (size == 0) {
        if (room < kExtendedHead) return "a header parameter runs past the header";
        head = kExtendedHead;
        size = big_endian(p + 2, 4);
    }
    if (size < head) return "a header parameter shorter than its own type and length";
    if (size > room) return "a header parameter runs past the header";
    const unsigned type = p[0] & 0x1F;
    const std::size_t value = size - head;
    if (type == kBinarySize) return "a binary-size header parameter";
    if (type == kContentsSummary) {
        if (header.has_summary) return "two contents summaries";
        header.summary = at + head;
        header.summary_end = at + size;
        header.has_summary = true;
    } else if (type == kTopic) {
        if (header.has_topic) return "two topics";
        if (value == 0 || p[size - 1] != 0) return "a topic without its closing NUL";
        header.topic_name = value - 1;
        header.has_topic = true;
    }
    return nullptr;
}

// Every parameter in [12, H): pad bytes, lightweight and standard ones, each within H.
Fault parameters_fault(const unsigned char *data, std::size_t end, Header &header) {
    std::size_t pos = kFixedHeader;
    while (pos < end) {
        const unsigned char *p = data + pos;
        std::size_t size = 1;  // a pad byte
        if (*p != 0) {
            const Fault fault = *p & kLightweight ? lightweight_fault(p, end - pos, header, size)
                                                  : standard_fault(p, end - pos, header, size, pos);
            if (fault) return fault;
        }
        pos += size;
    }
    if (header.has_offsets && (!header.has_topic || header.offsets_end > header.topic_name))
        return "a topic or queue-name offset outside the topic";
    return nullptr;
}

// The payload [H, M): the sections the contents summary lists, back to back and filling it
// exactly, or without a summary one attachment.
Fault payload_fault(const unsigned char *data, std::size_t begin, std::size_t end, const Header &header) {
    if (!header.has_summary) return attachment_fault(data, begin, end);
    std::size_t pos = begin;
    for (std::size_t at = header.summary; at < header.summary_end;) {
        const unsigned kind = data[at] >> 4;
        const std::size_t size = data[at] & 0xF;
        if (size < 2 || size > 5) return "a contents summary entry of the wrong size";
        if (size > header.summary_end - at) return "a contents summary entry runs past its parameter";
        const std::size_t length = big_endian(data + at + 1, size - 1);
        if (length > end - pos) return "the payload sections run past the message";
        Fault fault = nullptr;
        if (kind == kAttachmentSection) fault = attachment_fault(data, pos, pos + length);
        if (kind == kMetadataSection) fault = metadata_fault(data, pos, pos + length);
        if (fault) return fault;
        pos += length;
        at += size;
    }
    return pos == end ? nullptr : "the payload sections do not fill the payload";
}

}  // namespace

bool read_as_unknown(unsigned tag) {
    const unsigned code = tag >> 2;
    const std::size_t width = (tag & 3) + 1;
    switch (code) {
    case kNull:
    case kBool:
    case kInt:
    case kUint:
    case kFloat:
    case kChar: return width > kNumberWidth;
    case kDestination: return width > kDestinationWidth;
    case kMap:
    case kStream: return width < kContainerWidth;
    case kBytes:
    case kString:
    case kSmf: return false;
    default: return true;
    }
}

const char *unknown_field_fault(const unsigned char *data, std::size_t size) {
    if (size == 0) return "no bytes";
    const std::size_t width = (data[0] & 3) + 1;
    if (size < 1 + width || big_endian(data + 1, width) != size) return "its own length is not its size";
    return read_as_unknown(data[0]) ? nullptr : "the library reads its type";
}

const char *smf_framing_fault(const unsigned char *data, std::size_t size) {
    if (size < kFixedHeader) return "shorter than the fixed header";
    if ((data[0] & 7) != kVersion) return "not SMF version 3";
    const std::size_t header_end = big_endian(data + 4, 4);
    // The message length must be the data's: the library parses trailing bytes, and
    // crashes on some, where it would decode the same bytes cut to that length.
    if (big_endian(data + 8, 4) != size) return "the message length is not the data's";
    if (header_end < kFixedHeader || header_end > size) return "the header length lies outside the message";
    Header header;
    if (const Fault fault = parameters_fault(data, header_end, header)) return fault;
    return payload_fault(data, header_end, size, header);
}

const char *attachment_framing_fault(const unsigned char *data, std::size_t size) {
    return attachment_fault(data, 0, size);
}

}  // namespace zelmsg
