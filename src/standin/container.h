/* A structured container of the stand-in libsolclient (a map or a stream of typed fields,
 * nested ones included) and its encoding, which is the genuine library's byte for byte. */
#ifndef ZELMSG_STANDIN_CONTAINER_H
#define ZELMSG_STANDIN_CONTAINER_H

#include "solclient.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

class Container;

// One field. Numbers keep their raw bits and width, so that a read, the dump and the
// encoding give back exactly what was added or parsed.
struct Field {
    solClient_fieldType_t type = SOLCLIENT_NULL;
    std::string name;                  // a map's fields only
    std::uint64_t bits = 0;            // BOOL, integers, WCHAR, FLOAT/DOUBLE; a DESTINATION's type
    std::uint8_t width = 0;            // the payload bytes of those
    std::string bytes;                 // STRING (no NUL), BYTEARRAY, SMF, DESTINATION name,
                                       // UNKNOWN (the whole encoded field)
    std::unique_ptr<Container> child;  // MAP, STREAM
};

// A map or a stream. Each keeps the size of its encoded fields, kept current up the chain of
// parents as fields come and go, which is what the room checks and the encoder need.
class Container {
public:
    explicit Container(bool is_map) : is_map_(is_map) {}

    bool is_map() const { return is_map_; }
    Container *parent() const { return parent_; }
    const Container &root() const;
    bool contains(const Container &node) const;  // node is this or lies within it

    std::vector<Field> &fields() { return fields_; }
    const std::vector<Field> &fields() const { return fields_; }
    std::uint64_t content_size() const { return content_size_; }
    std::uint64_t encoded_size() const;  // with its 5-byte header

    // Whether parsing met bytes that are no field after the last one it kept.
    bool broken() const { return broken_; }
    void set_broken() { broken_ = true; }

    // The iteration cursor: the index of the field getNextField gives next.
    std::size_t next = 0;

    // The encoded size of a field in this container (its name included, in a map).
    std::uint64_t field_size(const Field &field) const;

    // Appends a field whose encoded size is field_size(field).
    Field &append(Field &&field);

    // Removes every field of the name; calls forget(child) for each removed container first.
    // The cursor moves as the genuine library's does: see the comment at its definition.
    template <typename Forget>
    void remove_named(std::string_view name, Forget &&forget);

    std::unique_ptr<Container> clone() const;

private:
    void grow(std::int64_t delta);
    void erase_at(std::size_t index);

    bool is_map_;
    bool broken_ = false;
    Container *parent_ = nullptr;
    std::uint64_t content_size_ = 0;
    std::vector<Field> fields_;
};

template <typename Forget>
void Container::remove_named(std::string_view name, Forget &&forget) {
    for (std::size_t i = 0; i < fields_.size();) {
        if (fields_[i].name != name) {
            ++i;
            continue;
        }
        if (fields_[i].child) forget(*fields_[i].child);
        erase_at(i);
    }
}

// Encoded sizes: a field takes a tag byte and 1 to 4 length bytes, the fewest that hold its
// whole length; containers always take 4. A payload too large for any length form counts as
// kMaxEncodedSize + 1, which no room check lets in.
constexpr std::size_t kHeaderSize = 5;
constexpr std::uint64_t kMaxEncodedSize = UINT32_MAX;
std::uint64_t tlv_size(std::uint64_t payload);

// The container's encoding. header_length is written into its own header; the nested
// containers' headers always hold their true lengths.
void encode(const Container &container, std::uint32_t header_length, unsigned char *out);
std::vector<unsigned char> encode(const Container &container);

// Writes the encoding of one field of container at out; returns the end.
unsigned char *encode_field(const Container &container, const Field &field, unsigned char *out);

// The container that bytes hold whole (a map or stream header whose length is the size of
// bytes), if they are one. Fields that do not parse end it: see Container::broken.
std::unique_ptr<Container> parse(std::span<const unsigned char> bytes);

// The field that bytes hold whole (a tag, a length and a value, with no name), if they hold
// one that parses; a type the parser does not know is an UNKNOWN field of those bytes.
std::optional<Field> parse_field(std::span<const unsigned char> bytes);

}  // namespace standin

#endif
