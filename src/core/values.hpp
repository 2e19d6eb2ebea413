// The value types a message exchanges with Python: DeliveryMode and Destination, with the
// library's destinationType as DestinationType.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <utility>

#include "errors.hpp"
#include "solclient.h"
#include "texts.hpp"

namespace zelmsg {

namespace py = pybind11;

// The library's delivery-mode codes themselves, so they pass with no translation.
enum DeliveryMode : std::int32_t {
    Direct = SOLCLIENT_DELIVERY_MODE_DIRECT,
    Persistent = SOLCLIENT_DELIVERY_MODE_PERSISTENT,
    NonPersistent = SOLCLIENT_DELIVERY_MODE_NONPERSISTENT,
};

// A destination's name: the bytes the library takes or gave. A type of its own only so that
// pybind11 converts it by zelmsg's text rules (texts.hpp).
struct DestinationName : std::string {
    using std::string::string;
    DestinationName(std::string name) : std::string(std::move(name)) {}  // NOLINT: a name is a string
};

struct Destination {
    Destination(std::string name, solClient_destinationType_t type) : dest(std::move(name)), dest_type(type) {}

    bool operator==(const Destination &) const = default;

    DestinationName dest;
    solClient_destinationType_t dest_type;
};

// Destination's methods (methods.hpp): __repr__, which evaluates back to an equal value
// (Destination('orders/eu/new', DestinationType.Topic)); __eq__ and __ne__, by value; and
// __reduce__, so that it copies and pickles as the value it is.
py::object destination_repr(py::handle self, py::handle);
py::object destination_equals(py::handle self, py::handle other);
py::object destination_differs(py::handle self, py::handle other);
py::object destination_reduce(py::handle self, py::handle);

}  // namespace zelmsg

namespace pybind11::detail {

// Destination.dest and the constructor's name: a str or bytes in (a NUL inside is refused
// where the name is given to a message); a str out, or zelmsg's ValueError for a name that
// is not UTF-8. Refusals raise here, so pybind11
// never answers with its own error, which quotes every argument.
template <>
struct type_caster<zelmsg::DestinationName> {
    PYBIND11_TYPE_CASTER(zelmsg::DestinationName, const_name("str"));

    bool load(handle source, bool) {
        value = std::string(zelmsg::text_bytes(source, "Destination.dest", "a str or bytes"));
        return true;
    }
    static handle cast(const zelmsg::DestinationName &name, return_value_policy, handle) {
        return zelmsg::text_object(name.data(), name.size(), "Destination.dest").release();
    }
};

// DestinationType arguments: a member of the enum, else zelmsg's TypeError for the same reason.
template <>
class type_caster<solClient_destinationType> : public type_caster_enum_type<solClient_destinationType> {
public:
    bool load(handle source, bool convert) {
        if (source.is_none() || !type_caster_enum_type<solClient_destinationType>::load(source, convert))
            zelmsg::refuse_argument(source, "Destination.dest_type", "a DestinationType");
        return true;
    }
};

}  // namespace pybind11::detail
