// The one conversion between Python values and the library's typed fields, used by every
// place that reads or writes one: user properties and the structured payloads.
//
// Reading: BOOL bool, INT64 int, DOUBLE float, STRING str, BYTEARRAY bytes, NULL None,
// DESTINATION Destination, MAP a new dict (the first value of each name, in order of first
// occurrence), STREAM a new list, and the narrower and unsigned widths, FLOAT, WCHAR, SMF
// and UNKNOWN as zelmsg's typed classes (Int8 ... UInt64, Float32, WChar, Smf, UnknownField):
// so every field read and written back keeps its type. Writing takes the same back, plus an
// int from 2^63 to 2^64-1 as UINT64, a bytearray or contiguous memoryview as BYTEARRAY, any
// Mapping with str keys as a MAP, and a list or tuple as a STREAM.
//
// Writing converts and adds one value at a time, each into the container built aside, so
// that whatever Python code a later value runs (a Mapping's items(), a subclass's methods)
// can change or free nothing that is still to be handed to the library.
#pragma once

#include "containers.hpp"

#include <optional>

namespace zelmsg {

// How deep values may nest, counting the outermost container as level 1, either way.
constexpr int kMaxDepth = 1000;

// ---- Reading

// A field's value; a map or stream field's handle is closed once read.
py::object read_field(const solClient_field_t &field, int depth);
// Closes the handle of a map or stream field that is not to be read.
void discard_field(const solClient_field_t &field);
// The dict or list of a map or stream at the given level, rewound and read whole.
py::dict read_map(solClient_opaqueContainer_pt map, int depth);
py::list read_stream(solClient_opaqueContainer_pt stream, int depth);
// The names of a map's fields, rewound and read in one pass, each once, in order of first
// occurrence; no value is read.
py::list map_names(solClient_opaqueContainer_pt map);
// A map field's name as a str.
py::str field_name(const char *name);

// ---- Writing

// A Python value as a field record, good while this lives, the caller holds the value, and
// no Python code runs: what the record points into is the value's own storage (a str's
// UTF-8, bytes, a Destination's name), a bytes-like object's buffer held exported, or a map
// or stream built aside. What no field can hold raises TypeError, ValueError or
// OverflowError.
class FieldValue {
public:
    // depth: the level a container value is at.
    FieldValue(py::handle value, int depth);
    FieldValue(const FieldValue &) = delete;
    FieldValue &operator=(const FieldValue &) = delete;

    const solClient_field_t &field() const { return field_; }

private:
    // A bytes-like object's buffer, exported until this goes: Python refuses to resize or
    // release an object while it is, whatever code runs.
    struct HeldBuffer {
        HeldBuffer() { view.obj = nullptr; }
        ~HeldBuffer() {
            if (view.obj) PyBuffer_Release(&view);
        }
        Py_buffer view;
    };

    // Anything but the built-in types, by identity.
    void convert_other(py::handle value, int depth);
    void set_bool(PyObject *value);
    void set_integer(PyObject *value);
    void set_double(PyObject *value);
    void set_text(PyObject *value);
    void set_bytes(const void *data, Py_ssize_t size);
    // A Mapping, list or tuple, built aside.
    void hold_container(py::handle value, int depth);

    solClient_field_t field_;
    HeldBuffer buffer_;
    std::optional<AsideContainer> container_;
};

// The fields of a Mapping's pairs, or of a list's or tuple's items, built aside as a map or
// stream at the given level.
AsideContainer build_map(py::handle mapping, int depth);
AsideContainer build_stream(py::handle sequence, int depth);

// A map's name as the library takes it: a str with a UTF-8 form, neither empty nor holding a
// NUL, else TypeError or ValueError. It lives as long as key.
const char *map_name(py::handle key);

// Whether the value is a collections.abc.Mapping (a dict, or any other).
bool is_mapping(py::handle value);

}  // namespace zelmsg
