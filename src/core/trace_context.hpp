// zelmsg.TraceContext: a W3C trace context as a value (a trace id of 16 bytes, a span id of 8,
// the sampled flag and a trace state), which the library keeps two of in a message: the
// creation context and the transport context.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>

#include "interpreter.hpp"

namespace zelmsg {

namespace py = pybind11;

struct TraceContext {
    std::array<unsigned char, 16> trace_id{};
    std::array<unsigned char, 8> span_id{};
    bool sampled = false;
    std::string trace_state;  // empty for none

    // W3C calls a context with an all-zero trace or span id invalid.
    bool valid() const;
};

// The most trace state the library keeps.
constexpr std::size_t kMaxTraceState = 512;

// The context a TraceContext object holds, or null for None; anything else raises
// refuse_argument's TypeError for where.
const TraceContext *trace_context_of(py::handle value, const char *where);
// A new TraceContext object of a valid context; where names what held a trace state that is
// not UTF-8.
py::object trace_context_object(TraceContext context, const char *where);

// Makes the class in the module and keeps it in the interpreter's state.
void register_trace_context(py::module_ &m, InterpreterState &state);

}  // namespace zelmsg
