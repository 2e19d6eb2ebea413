// The wire: msg.to_smf(), ZelMsg.from_smf() and pickling, through the library's own
// encoding, SMF. Method bodies for methods.hpp.
#pragma once

#include "pyzelmsg.hpp"

namespace zelmsg {

// msg.to_smf() and ZelMsg.from_smf(data).
py::object encode_message(py::handle self, py::handle);
py::object decode_message(py::handle cls, py::handle data);
// __reduce__() and __setstate__(state).
py::object reduce_message(py::handle self, py::handle);
py::object restore_message(py::handle self, py::handle state);

}  // namespace zelmsg
