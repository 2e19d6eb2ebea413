#include "container.h"

#include <cstring>

namespace standin {

namespace {

// The type codes of the encoding, the tag's upper six bits.
enum Code : unsigned {
    kNullCode = 0,
    kBoolCode = 1,
    kIntCode = 2,
    kUintCode = 3,
    kFloatCode = 4,
    kCharCode = 5,
    kBytesCode = 6,
    kStringCode = 7,
    kDestinationCode = 8,
    kSmfCode = 9,
    kMapCode = 10,
    kStreamCode = 11,
};

constexpr std::size_t kContainerLengthBytes = 4;

unsigned code_of(solClient_fieldType_t type) {
    switch (type) {
    case SOLCLIENT_BOOL: return kBoolCode;
    case SOLCLIENT_INT8:
    case SOLCLIENT_INT16:
    case SOLCLIENT_INT32:
    case SOLCLIENT_INT64: return kIntCode;
    case SOLCLIENT_UINT8:
    case SOLCLIENT_UINT16:
    case SOLCLIENT_UINT32:
    case SOLCLIENT_UINT64: return kUintCode;
    case SOLCLIENT_FLOAT:
    case SOLCLIENT_DOUBLE: return kFloatCode;
    case SOLCLIENT_WCHAR: return kCharCode;
    case SOLCLIENT_BYTEARRAY: return kBytesCode;
    case SOLCLIENT_STRING: return kStringCode;
    case SOLCLIENT_DESTINATION: return kDestinationCode;
    case SOLCLIENT_SMF: return kSmfCode;
    case SOLCLIENT_MAP: return kMapCode;
    case SOLCLIENT_STREAM: return kStreamCode;
    default: return kNullCode;
    }
}

// The bytes after the tag and length: for a string, its text and NUL.
std::uint64_t payload_size(const Field &field) {
    switch (field.type) {
    case SOLCLIENT_STRING: return field.bytes.size() + 1;
    case SOLCLIENT_DESTINATION: return field.bytes.size() + 2;
    case SOLCLIENT_BYTEARRAY:
    case SOLCLIENT_SMF: return field.bytes.size();
    case SOLCLIENT_MAP:
    case SOLCLIENT_STREAM: return field.child->content_size();
    default: return field.width;
    }
}

std::size_t length_bytes(std::uint64_t whole) {
    return whole <= 0xff ? 1 : whole <= 0xffff ? 2 : whole <= 0xffffff ? 3 : 4;
}

unsigned char *put_number(unsigned char *out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = bytes; i-- > 0;) *out++ = static_cast<unsigned char>(value >> (8 * i));
    return out;
}

unsigned char *put_bytes(unsigned char *out, std::string_view bytes) {
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    return out + bytes.size();
}

unsigned char *put_tag(unsigned char *out, unsigned code, std::uint64_t payload) {
    const std::uint64_t whole = tlv_size(payload);
    const std::size_t bytes = whole - payload - 1;
    *out++ = static_cast<unsigned char>(code << 2 | (bytes - 1));
    return put_number(out, whole, bytes);
}

unsigned char *put_header(unsigned char *out, bool is_map, std::uint32_t length) {
    *out++ = static_cast<unsigned char>((is_map ? kMapCode : kStreamCode) << 2 | (kContainerLengthBytes - 1));
    return put_number(out, length, kContainerLengthBytes);
}

unsigned char *put_fields(const Container &container, unsigned char *out) {
    for (const Field &field : container.fields()) out = encode_field(container, field, out);
    return out;
}

std::uint64_t get_number(const unsigned char *bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

// Reads the fields of one container from its content, as far as they parse.
class Parser {
public:
    explicit Parser(std::span<const unsigned char> content) : rest_(content) {}

    void fill(Container &container) {
        while (!rest_.empty()) {
            std::string name;
            if (container.is_map()) {
                const std::optional<Tlv> key = next();
                if (!key || key->code != kStringCode || key->payload.empty() || key->payload.back() != 0) {
                    container.set_broken();
                    return;
                }
                name.assign(reinterpret_cast<const char *>(key->payload.data()));
            }
            const std::optional<Tlv> value = next();
            std::optional<Field> field = value ? decode(*value) : std::nullopt;
            if (!field) {
                container.set_broken();
                return;
            }
            field->name = std::move(name);
            container.append(std::move(*field));
        }
    }

    // The one field that the content holds whole.
    std::optional<Field> single() {
        const std::optional<Tlv> value = next();
        return value && rest_.empty() ? decode(*value) : std::nullopt;
    }

private:
    struct Tlv {
        unsigned code;
        std::size_t length_bytes;
        std::span<const unsigned char> whole;
        std::span<const unsigned char> payload;
    };

    std::optional<Tlv> next() {
        if (rest_.empty()) return std::nullopt;
        const unsigned tag = rest_[0];
        const std::size_t bytes = (tag & 3) + 1;
        if (rest_.size() < 1 + bytes) return std::nullopt;
        const std::uint64_t whole = get_number(&rest_[1], bytes);
        if (whole < 1 + bytes || whole > rest_.size()) return std::nullopt;
        const Tlv tlv{tag >> 2, bytes, rest_.first(whole), rest_.subspan(1 + bytes, whole - 1 - bytes)};
        rest_ = rest_.subspan(whole);
        return tlv;
    }

    static std::optional<Field> decode(const Tlv &tlv) {
        Field field;
        const std::size_t size = tlv.payload.size();
        const auto text = [&](std::size_t from, std::size_t to) {
            return std::string(reinterpret_cast<const char *>(tlv.payload.data()) + from, to - from);
        };
        const bool short_form = tlv.length_bytes == 1;
        switch (tlv.code) {
        case kNullCode:
        case kBoolCode:
        case kIntCode:
        case kUintCode:
        case kFloatCode:
        case kCharCode:
            if (!short_form) return unknown(tlv);  // the genuine library reads numbers only in the short form
            return number(tlv.code, tlv.payload);
        case kBytesCode:
        case kSmfCode:
            field.type = tlv.code == kBytesCode ? SOLCLIENT_BYTEARRAY : SOLCLIENT_SMF;
            field.bytes = text(0, size);
            return field;
        case kStringCode:
            if (size == 0 || tlv.payload.back() != 0) return std::nullopt;
            field.type = SOLCLIENT_STRING;
            field.bytes = text(0, size - 1);
            return field;
        case kDestinationCode:
            if (tlv.length_bytes > 2) return unknown(tlv);  // as the genuine library reads a destination in a long form
            if (size < 2 || tlv.payload.back() != 0) return std::nullopt;
            field.type = SOLCLIENT_DESTINATION;
            field.bits = tlv.payload[0];
            field.bytes = text(1, size - 1);
            return field;
        case kMapCode:
        case kStreamCode:
            if (tlv.length_bytes != kContainerLengthBytes) return unknown(tlv);
            field.type = tlv.code == kMapCode ? SOLCLIENT_MAP : SOLCLIENT_STREAM;
            field.child = std::make_unique<Container>(tlv.code == kMapCode);
            Parser(tlv.payload).fill(*field.child);
            return field;
        default: return unknown(tlv);
        }
    }

    static Field unknown(const Tlv &tlv) {
        Field field;
        field.type = SOLCLIENT_UNKNOWN;
        field.bytes.assign(reinterpret_cast<const char *>(tlv.whole.data()), tlv.whole.size());
        return field;
    }

    static std::optional<Field> number(unsigned code, std::span<const unsigned char> payload) {
        static constexpr solClient_fieldType_t kInts[] = {SOLCLIENT_INT8, SOLCLIENT_INT16, SOLCLIENT_INT32,
                                                          SOLCLIENT_INT64};
        static constexpr solClient_fieldType_t kUints[] = {SOLCLIENT_UINT8, SOLCLIENT_UINT16, SOLCLIENT_UINT32,
                                                           SOLCLIENT_UINT64};
        const std::size_t size = payload.size();
        const int scale = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : size == 8 ? 3 : -1;
        Field field;
        field.width = static_cast<std::uint8_t>(size);
        field.bits = get_number(payload.data(), size);
        switch (code) {
        case kNullCode: field.type = SOLCLIENT_NULL; return size == 0 ? std::optional(std::move(field)) : std::nullopt;
        case kBoolCode:
            field.type = SOLCLIENT_BOOL;
            field.bits = field.bits != 0;
            return size <= 1 ? std::optional(std::move(field)) : std::nullopt;
        case kIntCode:
        case kUintCode:
            if (scale < 0) return std::nullopt;
            field.type = (code == kIntCode ? kInts : kUints)[scale];
            return field;
        case kFloatCode:
            field.type = size == 4 ? SOLCLIENT_FLOAT : SOLCLIENT_DOUBLE;
            return size == 4 || size == 8 ? std::optional(std::move(field)) : std::nullopt;
        default: field.type = SOLCLIENT_WCHAR; return size == 2 ? std::optional(std::move(field)) : std::nullopt;
        }
    }

    std::span<const unsigned char> rest_;
};

}  // namespace

std::uint64_t tlv_size(std::uint64_t payload) {
    for (std::size_t bytes = 1; bytes <= 4; ++bytes) {
        const std::uint64_t whole = payload + 1 + bytes;
        if (length_bytes(whole) <= bytes) return whole;
    }
    return kMaxEncodedSize + 1;  // more than any container holds, and safe to add up
}

const Container &Container::root() const {
    const Container *node = this;
    while (node->parent_ != nullptr) node = node->parent_;
    return *node;
}

bool Container::contains(const Container &node) const {
    for (const Container *at = &node; at != nullptr; at = at->parent_)
        if (at == this) return true;
    return false;
}

std::uint64_t Container::encoded_size() const { return kHeaderSize + content_size_; }

std::uint64_t Container::field_size(const Field &field) const {
    const std::uint64_t name = is_map_ ? tlv_size(field.name.size() + 1) : 0;
    if (field.type == SOLCLIENT_UNKNOWN) return name + field.bytes.size();
    if (field.type == SOLCLIENT_MAP || field.type == SOLCLIENT_STREAM)
        return name + kHeaderSize + field.child->content_size();
    return name + tlv_size(payload_size(field));
}

Field &Container::append(Field &&field) {
    constexpr std::size_t kFirstRoom = 8;  // spares the first few regrowths of small maps
    const std::uint64_t size = field_size(field);
    if (field.child) field.child->parent_ = this;
    if (fields_.capacity() == 0) fields_.reserve(kFirstRoom);
    fields_.push_back(std::move(field));
    grow(static_cast<std::int64_t>(size));
    return fields_.back();
}

void Container::grow(std::int64_t delta) {
    for (Container *node = this; node != nullptr; node = node->parent_) node->content_size_ += delta;
}

// The genuine library's cursor is the field read last: removing a field before it keeps the
// place; removing that very field makes the one after it take its place as read, so the
// next read skips it.
void Container::erase_at(std::size_t index) {
    grow(-static_cast<std::int64_t>(field_size(fields_[index])));
    fields_.erase(fields_.begin() + static_cast<std::ptrdiff_t>(index));
    if (index + 1 < next) --next;
}

std::unique_ptr<Container> Container::clone() const {
    auto copy = std::make_unique<Container>(is_map_);
    copy->broken_ = broken_;
    copy->fields_.reserve(fields_.size());
    for (const Field &field : fields_) {
        Field &added = copy->fields_.emplace_back();
        added.type = field.type;
        added.name = field.name;
        added.bits = field.bits;
        added.width = field.width;
        added.bytes = field.bytes;
        if (field.child) {
            added.child = field.child->clone();
            added.child->parent_ = copy.get();
        }
    }
    copy->content_size_ = content_size_;
    return copy;
}

unsigned char *encode_field(const Container &container, const Field &field, unsigned char *out) {
    if (container.is_map()) {
        out = put_tag(out, kStringCode, field.name.size() + 1);
        out = put_bytes(out, field.name);
        *out++ = 0;
    }
    switch (field.type) {
    case SOLCLIENT_UNKNOWN: return put_bytes(out, field.bytes);
    case SOLCLIENT_MAP:
    case SOLCLIENT_STREAM:
        out = put_header(out, field.child->is_map(), static_cast<std::uint32_t>(field.child->encoded_size()));
        return put_fields(*field.child, out);
    case SOLCLIENT_STRING:
        out = put_bytes(put_tag(out, kStringCode, payload_size(field)), field.bytes);
        *out++ = 0;
        return out;
    case SOLCLIENT_DESTINATION:
        out = put_tag(out, kDestinationCode, payload_size(field));
        *out++ = static_cast<unsigned char>(field.bits);
        out = put_bytes(out, field.bytes);
        *out++ = 0;
        return out;
    case SOLCLIENT_BYTEARRAY:
    case SOLCLIENT_SMF: return put_bytes(put_tag(out, code_of(field.type), payload_size(field)), field.bytes);
    default: return put_number(put_tag(out, code_of(field.type), field.width), field.bits, field.width);
    }
}

void encode(const Container &container, std::uint32_t header_length, unsigned char *out) {
    put_fields(container, put_header(out, container.is_map(), header_length));
}

std::vector<unsigned char> encode(const Container &container) {
    std::vector<unsigned char> bytes(container.encoded_size());
    encode(container, static_cast<std::uint32_t>(bytes.size()), bytes.data());
    return bytes;
}

std::unique_ptr<Container> parse(std::span<const unsigned char> bytes) {
    if (bytes.size() < kHeaderSize || get_number(&bytes[1], kContainerLengthBytes) != bytes.size()) return nullptr;
    const unsigned tag = bytes[0];
    const bool is_map = tag == (kMapCode << 2 | (kContainerLengthBytes - 1));
    if (!is_map && tag != (kStreamCode << 2 | (kContainerLengthBytes - 1))) return nullptr;
    auto container = std::make_unique<Container>(is_map);
    Parser(bytes.subspan(kHeaderSize)).fill(*container);
    return container;
}

std::optional<Field> parse_field(std::span<const unsigned char> bytes) { return Parser(bytes).single(); }

}  // namespace standin
