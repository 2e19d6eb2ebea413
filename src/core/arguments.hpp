// The value a ZelMsg setter is given, taken as the C++ type of the accessor's parameter.
//
// pybind11's dispatcher answers an argument it cannot convert with a TypeError that quotes
// repr() of every argument, self included, and a ZelMsg's repr is the library's dump of
// the whole message: ids, properties and payload would end up in that exception's text,
// and in every log that records it. So setters take the value as a py::handle and convert it
// here, with the very caster pybind11 would use: what is accepted stays what pybind11
// accepts (conversions, ranges, the enums' strictness), but a refusal is a TypeError that
// names the attribute, what it accepts and the type of what it was given, and nothing else.
// Texts follow texts.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors.hpp"
#include "texts.hpp"
#include "trace_context.hpp"
#include "values.hpp"

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

// How a setter takes its value: Taken<T>::from(value, where) for the accessor's parameter type
// T, with what a refusal says the setter accepts.
template <typename T>
struct Taken;

// pybind11's own conversion, with the text of what it accepts.
template <typename T, const char *Accepts>
struct Converted {
    static T from(py::handle value, const char *where) { return argument<T>(value, where, Accepts); }
};

inline constexpr char kDestination[] = "a Destination";
inline constexpr char kOptionalDestination[] = "a Destination or None";
inline constexpr char kFlag[] = "a bool (or None, or a number, read for its truth)";
inline constexpr char kDeliveryMode[] = "a DeliveryMode";
inline constexpr char kUnsigned32[] = "an int from 0 to 4294967295";
inline constexpr char kInt64[] = "an int from -2**63 to 2**63-1";
inline constexpr char kOptionalInt64[] = "an int from -2**63 to 2**63-1, or None";
inline constexpr char kOptionalUnsigned64[] = "an int from 0 to 2**64-1, or None";
inline constexpr char kDict[] = "a dict";
inline constexpr char kBytes[] = "bytes";
inline constexpr char kOptionalBytes[] = "bytes, or None";
inline constexpr char kPriority[] = "an int from 0 to 255, or None";
inline constexpr char kText[] = "a str or bytes";
inline constexpr char kOptionalText[] = "a str, bytes or None";

template <>
struct Taken<const Destination &> : Converted<const Destination &, kDestination> {};
template <>
struct Taken<const std::optional<Destination> &> : Converted<std::optional<Destination>, kOptionalDestination> {};
template <>
struct Taken<bool> : Converted<bool, kFlag> {};
template <>
struct Taken<DeliveryMode> : Converted<DeliveryMode, kDeliveryMode> {};
template <>
struct Taken<std::uint32_t> : Converted<std::uint32_t, kUnsigned32> {};
template <>
struct Taken<std::int64_t> : Converted<std::int64_t, kInt64> {};
template <>
struct Taken<std::optional<std::int64_t>> : Converted<std::optional<std::int64_t>, kOptionalInt64> {};
template <>
struct Taken<std::optional<std::uint64_t>> : Converted<std::optional<std::uint64_t>, kOptionalUnsigned64> {};
template <>
struct Taken<const py::dict &> : Converted<py::dict, kDict> {};
template <>
struct Taken<const py::bytes &> : Converted<py::bytes, kBytes> {};
template <>
struct Taken<const std::optional<py::bytes> &> : Converted<std::optional<py::bytes>, kOptionalBytes> {};

// The priority: 0 to 255, or None for none. The library takes -1 to remove one and keeps the
// old value for any other number outside, which the TypeError refuses instead.
template <>
struct Taken<std::optional<std::int32_t>> {
    static std::optional<std::int32_t> from(py::handle value, const char *where) {
        if (value.is_none()) return std::nullopt;
        const auto priority = argument<std::int32_t>(value, where, kPriority);
        if (priority < 0 || priority > 255) refuse_argument(value, where, kPriority);
        return priority;
    }
};

// A text, as texts.hpp takes it.
template <>
struct Taken<const char *> {
    static const char *from(py::handle value, const char *where) { return text_argument(value, where, kText).data(); }
};
template <>
struct Taken<std::optional<std::string_view>> {
    static std::optional<std::string_view> from(py::handle value, const char *where) {
        return optional_text_argument(value, where, kOptionalText);
    }
};

// A trace context, or None (as a null one).
template <>
struct Taken<const TraceContext *> {
    static const TraceContext *from(py::handle value, const char *where) { return trace_context_of(value, where); }
};

// A value the accessor converts itself: a mapping, a sequence.
template <>
struct Taken<py::handle> {
    static py::handle from(py::handle value, const char *) { return value; }
};

}  // namespace zelmsg
