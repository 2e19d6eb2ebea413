// New messages besides ZelMsg(): copies and ZelMsg.build, and a subclass's Python state,
// which copies and pickles carry as Python's own object copying does.
#pragma once

#include "pyzelmsg.hpp"

namespace zelmsg {

// A subclass instance's state as its __getstate__ gives it (its __dict__, and its slots in a
// (dict, slots) pair); None for a ZelMsg itself.
py::object instance_state(py::handle self);
// Raises TypeError unless target can take state: None, a dict, or a pair of dicts or Nones;
// attributes only if target keeps a __dict__. Nothing is changed.
void check_instance_state(py::handle target, py::handle state);
// Sets what a checked state holds on target.
void apply_instance_state(py::handle target, py::handle state);

// copy.copy and copy.deepcopy of a ZelMsg: __copy__() and __deepcopy__(memo).
py::object shallow_copy(py::handle self, py::handle);
py::object deep_copy(py::handle self, py::handle memo);

// ZelMsg.build(**attributes), called the vectorcall way, keywords only: no dict of the
// keywords is made and no pybind11 dispatch runs, for it must cost less than assigning the
// attributes one by one.
py::object build_message(py::handle cls, PyObject *const *arguments, Py_ssize_t count, PyObject *names);

}  // namespace zelmsg
