// ZelMsg's properties as one table: each entry names a property and its accessors, and the
// registration, ZelMsg.build and the module's own introspection all follow the table's
// order. A read-write property is read_write<getter, setter>("name"); the setter's parameter
// type says how the value is taken (arguments.hpp).
#pragma once

#include <functional>
#include <tuple>
#include <type_traits>
#include <vector>

#include "arguments.hpp"
#include "pyzelmsg.hpp"

namespace zelmsg {

// A read-write property's setter as ZelMsg registers it and ZelMsg.build applies it: the
// value, and the property's qualified name ("ZelMsg.cos") for what a refusal says.
using Setter = void (*)(PyZelMsg &, py::handle, const char *where);

// What ZelMsg.build knows of a writable property: its setter, its qualified name, and whether
// it writes the payload or the content type.
enum Role : unsigned { kOther = 0, kPayload = 1, kCodec = 2, kContentType = 4 };
struct Writable {
    Setter set;
    const char *where;
    unsigned role;
};
// The writable properties in registration order, and the place of user_properties, which
// build applies before the rest. The same in every interpreter.
const std::vector<Writable> &writables();
std::size_t user_properties_place();

// Keeps a setter for ZelMsg.build, in registration order, in the process and in the
// interpreter's dict from name to place; gives the qualified name, which lives as long as
// the process.
const char *remember_setter(const char *name, Setter set);

template <auto Get, auto Set>
struct Property {
    const char *name;
};
template <auto Get, auto Set>
constexpr Property<Get, Set> read_write(const char *name) {
    return {name};
}
template <auto Get>
constexpr Property<Get, nullptr> read_only(const char *name) {
    return {name};
}

// The parameter of a setter: a PyZelMsg member of one parameter, or a function of the
// message and one parameter.
template <typename F>
struct SetterParameter;
template <typename R, typename T>
struct SetterParameter<R (PyZelMsg::*)(T)> {
    using type = T;
};
template <typename R, typename T>
struct SetterParameter<R (*)(PyZelMsg &, T)> {
    using type = T;
};

template <auto Set>
void take_and_set(PyZelMsg &msg, py::handle value, const char *where) {
    auto taken = Taken<typename SetterParameter<decltype(Set)>::type>::from(value, where);
    msg.mark_written();
    std::invoke(Set, msg, std::move(taken));
}

template <auto Get, auto Set>
void register_property(py::class_<PyZelMsg> &message, Property<Get, Set> property) {
    if constexpr (std::is_null_pointer_v<decltype(Set)>) {
        message.def_property_readonly(property.name, Get);
    } else {
        const char *where = remember_setter(property.name, &take_and_set<Set>);
        message.def_property(property.name, Get,
                             [where](PyZelMsg &msg, py::handle value) { take_and_set<Set>(msg, value, where); });
    }
}

// Registers every property of the table on ZelMsg, in the table's order.
template <typename... Properties>
void register_properties(py::class_<PyZelMsg> &message, const std::tuple<Properties...> &table) {
    std::apply([&](const auto &...property) { (register_property(message, property), ...); }, table);
}

}  // namespace zelmsg
