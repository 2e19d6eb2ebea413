// msg.user_properties: a live MutableMapping view of a message's user property map.
#pragma once

#include "interpreter.hpp"
#include "pyzelmsg.hpp"

namespace zelmsg {

// A new view of msg's user properties, keeping msg alive.
py::object user_properties_view(py::handle msg);
// Makes the view's type in the module and the interpreter's state, a MutableMapping.
void register_user_properties_view(py::module_ &m, InterpreterState &state);

}  // namespace zelmsg
