// Arguments from Python, for every ZelMsg setter.
//
// pybind11's dispatcher answers an argument it cannot convert with a TypeError that quotes
// repr() of every argument, self included, and a ZelMsg's repr is the library's dump of
// the whole message: ids, properties and payload would end up in that exception's text,
// and in every log that records it, at the cost of a 4 KB dump. So setters take the value
// as a py::handle and convert it here, with the very caster pybind11 would use: what is
// accepted stays what pybind11 accepts (conversions, ranges, the enums' strictness), but a
// refusal is a TypeError that names the attribute, what it accepts and the type of what it
// was given, and nothing else. Texts go through texts.hpp instead.
//
// A new read-write property: writable(message, "name", getter, [](PyZelMsg &msg, py::handle value) {
//     msg.set_name(argument<T>(value, "ZelMsg.name", "what it takes")); });
#pragma once

#include "errors.hpp"
#include "new_messages.hpp"

namespace zelmsg {

// value as a T, converted as pybind11 converts an argument of a single-overload function.
// A T that refers into value (a const reference) lives as long as value.
template <typename T>
T argument(py::handle value, const char *where, const char *accepts) {
    py::detail::make_caster<T> caster;
    try {
        if (caster.load(value, true)) return py::detail::cast_op<T>(std::move(caster));
    } catch (const py::reference_cast_error &) {
        // None where a registered type's value is due: pybind11 loads it, then refuses it.
    }
    refuse_argument(value, where, accepts);
}

// Registers a read-write property of ZelMsg, whose setter ZelMsg.build applies too.
template <typename Getter>
void writable(py::class_<PyZelMsg> &message, const char *name, Getter get, Setter set) {
    message.def_property(name, get, set);
    remember_setter(name, set);
}

}  // namespace zelmsg
