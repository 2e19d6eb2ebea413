// The library's typed fields and containers, and the one conversion between them and Python
// values, used by every place that reads or writes one: user properties and the structured
// payloads.
//
// Reading: BOOL bool, INT64 int, DOUBLE float, STRING str, BYTEARRAY bytes, NULL None,
// DESTINATION Destination, MAP a new dict (the first value of each name, in order of first
// occurrence), STREAM a new list, the narrower and unsigned widths, FLOAT and WCHAR as
// zelmsg's typed classes (Int8 ... UInt64, Float32, WChar), SMF and UNKNOWN the bytes of
// the field. Writing takes the same back, plus an int from 2^63 to 2^64-1 as UINT64, any
// Mapping with str keys as a MAP, and a list or tuple as a STREAM.
#pragma once

#include "pyzelmsg.hpp"

#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace zelmsg {

// A container handle this code opened, closed when it goes: every get of a map or stream,
// and every field read that is one, hands out a reference that wants its close.
class OpenContainer {
public:
    OpenContainer() = default;
    explicit OpenContainer(solClient_opaqueContainer_pt handle) : handle_(handle) {}
    OpenContainer(OpenContainer &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OpenContainer &operator=(OpenContainer &&other) noexcept {
        std::swap(handle_, other.handle_);  // other closes what this held
        return *this;
    }
    ~OpenContainer() {
        if (handle_) solClient_container_closeMapStream(&handle_);
    }

    solClient_opaqueContainer_pt get() const { return handle_; }
    // Where a call that opens a container puts its handle; the library writes it only on success.
    solClient_opaqueContainer_pt *out() { return &handle_; }

private:
    solClient_opaqueContainer_pt handle_ = nullptr;
};

// A map or stream built apart from any message, in memory of its own, for one of the
// library's copying calls (setUserPropertyMap, setBinaryAttachmentContainer, addContainer)
// to take whole: a value refused midway then leaves nothing half-written.
class AsideContainer {
public:
    AsideContainer(AsideContainer &&) noexcept = default;
    solClient_opaqueContainer_pt get() const { return container_.get(); }
    // The memory it was built in, which its encoding does not exceed.
    std::size_t size() const { return size_; }

    // A map of a Mapping's pairs, or a stream of a list's or tuple's items, at a given level;
    // raises whatever a value in it does.
    static AsideContainer map(py::handle mapping, int depth);
    static AsideContainer stream(py::handle sequence, int depth);

private:
    using CreateCall = solClient_returnCode_t (*)(solClient_opaqueContainer_pt *, char *, solClient_uint32_t);

    AsideContainer() = default;
    template <typename Fields>
    static AsideContainer build(CreateCall create, const Fields &fields);

    std::unique_ptr<char[]> memory_;  // the library builds in it until the last close
    std::size_t size_ = 0;
    OpenContainer container_;  // declared after memory_, so closed before it goes
};

// A scalar value converted for the library before any call: the field it becomes and its C
// value. Texts and byte arrays point into the Python object, which must outlive this.
struct Scalar {
    solClient_fieldType_t type = SOLCLIENT_NULL;
    union {
        bool boolean;
        std::int64_t signed_bits;     // every signed width
        std::uint64_t unsigned_bits;  // every unsigned width
        float float32;
        double float64;
        solClient_wchar_t wchar;
    } number{};
    std::string_view data;  // STRING (NUL-terminated beyond its end) and BYTEARRAY
    solClient_destination_t destination{SOLCLIENT_NULL_DESTINATION, nullptr};
};

// A value made ready to be a field before any container is touched: a scalar converted, a
// map or stream built aside with all it holds. Whatever no field can hold raises here
// (TypeError, ValueError, OverflowError), so that adding or replacing never stops halfway.
//
// Every container is built aside on its own and copied into its parent: in a standalone
// container the library refuses further fields of a nested container once one nested in
// that has been opened (it reports no room), so openSubMap and openSubStream are not used.
class FieldValue {
public:
    // depth: the level a container value is at.
    FieldValue(py::handle value, int depth);
    // Adds this value under name (null in a stream).
    void add_to(solClient_opaqueContainer_pt container, const char *name) const;
    // Replaces every field of the name in map with this value.
    void replace_in(solClient_opaqueContainer_pt map, const char *name) const;
    // At least the bytes the field takes in a container, its name aside.
    std::size_t size_bound() const;

private:
    std::optional<Scalar> scalar_;
    std::optional<AsideContainer> container_;
};

// How deep values may nest, counting the outermost container as level 1, either way.
constexpr int kMaxDepth = 1000;

// The dict or list of a map or stream at the given level, rewound and read whole.
py::dict read_map(solClient_opaqueContainer_pt map, int depth);
py::list read_stream(solClient_opaqueContainer_pt stream, int depth);
// The names of a map's fields, rewound and read in one pass, each once, in order of first
// occurrence; no value is read.
py::list map_names(solClient_opaqueContainer_pt map);
// A field's value; a map or stream field's handle is closed once read.
py::object read_field(const solClient_field_t &field, int depth);
// Closes the handle of a map or stream field that is not to be read.
void discard_field(const solClient_field_t &field);
// A map field's name as str; a name that is not UTF-8 raises UnicodeDecodeError.
py::str field_name(const char *name);

// A map's name as the library takes it: a str, neither empty nor holding a NUL, else
// TypeError or ValueError; null for a name no field can have, when absent_ok.
const char *name_text(py::handle key, bool absent_ok = false);

// Whether the value is a collections.abc.Mapping (a dict, or any other).
bool is_mapping(py::handle value);

// Checks a library call made on a container: a refusal raises ValueError with its reason.
void check_container_call(solClient_returnCode_t rc, const char *what);

// Registers Int8, Int16, Int32, UInt8, UInt16, UInt32, UInt64, Float32 and WChar.
void register_field_types(py::module_ &m);

}  // namespace zelmsg
