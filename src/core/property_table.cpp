#include "property_table.hpp"

#include "interpreter.hpp"

#include <deque>
#include <string>
#include <string_view>

namespace zelmsg {
namespace {

std::vector<Writable> &table() {
    static std::vector<Writable> writables;
    return writables;
}
std::size_t first_place = 0;

unsigned role_of(std::string_view name) {
    for (const char *payload : {"body", "text", "map", "stream"})
        if (name == payload) return kPayload;
    if (name == "json" || name == "msgpack") return kPayload | kCodec;
    return name == "content_type" ? kContentType : kOther;
}

}  // namespace

const std::vector<Writable> &writables() { return table(); }

std::size_t user_properties_place() { return first_place; }

const char *remember_setter(const char *name, Setter set) {
    InterpreterState &state = interpreter_state();
    if (!state.build_places) state.build_places = py::dict().release().ptr();
    const auto place = static_cast<std::size_t>(PyDict_GET_SIZE(state.build_places));
    py::reinterpret_borrow<py::dict>(state.build_places)[name] = place;
    // Every interpreter registers the same properties in the same order: the first fills it.
    if (place < table().size()) return table()[place].where;
    static std::deque<std::string> names;  // a deque keeps each one where it is
    const char *where = names.emplace_back(std::string("ZelMsg.") + name).c_str();
    if (std::string_view(name) == "user_properties") first_place = place;
    table().push_back({set, where, role_of(name)});
    return where;
}

}  // namespace zelmsg
