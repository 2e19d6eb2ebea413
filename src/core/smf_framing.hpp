// A bounds check of an SMF encoding's framing, run before libsolclient parses it.
//
// The library's decoder trusts the lengths inside the bytes: one that points past the end of
// its parent, or of the buffer, makes it read wild memory and crash. This walks every length
// the decoder will follow (the fixed header, the header parameters, the contents summary, the
// binary metadata and the structured data inside it and inside a map, stream or text
// payload) and checks each against its parent before the library sees any of it. A field the
// library reads as UNKNOWN is checked to end within its parent, and is never walked into.
#pragma once

#include <cstddef>

namespace zelmsg {

// The deepest map and stream nesting accepted: zelmsg itself writes at most 1000 levels of a
// value's own, and the metadata puts up to three more around the user properties.
inline constexpr std::size_t kSmfMaxNesting = 1100;

// Null when the framing of the size bytes at data holds together, else a short reason in plain
// English that quotes nothing of the data. Reads only the bytes given; allocates nothing.
const char *smf_framing_fault(const unsigned char *data, std::size_t size);

// The same for a binary attachment alone: null for raw bytes, which nothing parses, and for a
// map, stream or text whose framing and nesting hold together. The library reads bytes that
// start as one of those as one, and its dump recurses into them without a limit.
const char *attachment_framing_fault(const unsigned char *data, std::size_t size);

// Whether the library reads a structured-data field with this tag byte as UNKNOWN: bytes it
// keeps whole and never parses. So it reads a type code it does not know (12 and above), and a
// known one in a length form it never writes: a number in a 2- to 4-byte form, a destination
// in a 3- or 4-byte form, a map or stream in a 1- to 3-byte form.
bool read_as_unknown(unsigned tag);

// Null when the size bytes at data are one whole structured-data field that the library reads
// as UNKNOWN, its own length saying its size; else a short reason that quotes nothing.
const char *unknown_field_fault(const unsigned char *data, std::size_t size);

}  // namespace zelmsg
