// zelmsg.ReplicationGroupMessageId: a replication group message id as a value, made from the
// text form that msg.replication_group_message_id reads, and compared by the library.
#pragma once

#include <pybind11/pybind11.h>

namespace zelmsg {

namespace py = pybind11;

// Makes the class in the module.
void register_replication_ids(py::module_ &m);

}  // namespace zelmsg
