// The json and msgpack properties: the payload as a dict, encoded by orjson or msgpack.
#include "pyzelmsg.hpp"

#include <string>

namespace zelmsg {
namespace {

// One codec function, looked up on first use and then kept for the life of the
// process. It is never released: at interpreter exit that would touch a finalised
// interpreter. The interpreter lock guards the slot, but an import may hand the lock
// to another thread that fills the slot first; the first function stored wins.
struct CodecFunction {
    const char *module;
    const char *name;
    PyObject *function;
};

CodecFunction json_loads{"orjson", "loads", nullptr};
CodecFunction json_dumps{"orjson", "dumps", nullptr};
CodecFunction msgpack_loads{"msgpack", "loads", nullptr};
CodecFunction msgpack_dumps{"msgpack", "dumps", nullptr};

// Keyword names of the msgpack.loads call, built on first use and kept like the slots.
PyObject *raw_keyword = nullptr;

PyObject *resolve(CodecFunction &slot) {
    if (!slot.function) {
        py::object found = py::module_::import(slot.module).attr(slot.name);
        if (!slot.function) slot.function = found.release().ptr();
    }
    return slot.function;
}

py::object checked(PyObject *result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object call(CodecFunction &slot, const py::handle &argument) {
    PyObject *args[] = {argument.ptr()};
    return checked(PyObject_Vectorcall(resolve(slot), args, 1, nullptr));
}

void encode_into(PyZelMsg &msg, CodecFunction &dumps, const char *tag, const py::dict &value) {
    const py::object encoded = call(dumps, value);
    if (!PyBytes_Check(encoded.ptr())) {
        throw py::type_error(std::string("Object of type '") + Py_TYPE(encoded.ptr())->tp_name +
                             "' is not an instance of 'bytes'");
    }
    const AttachmentView payload = payload_view(py::reinterpret_borrow<py::bytes>(encoded));
    msg.set_content_type(tag);
    msg.set_body(payload.data, payload.size);
}

}  // namespace

py::dict PyZelMsg::get_json() const {
    // A dict comes back as itself; anything else goes through dict().
    return py::dict(call(json_loads, read_body(*this)));
}

void PyZelMsg::set_json(const py::dict &value) { encode_into(*this, json_dumps, "json", value); }

py::dict PyZelMsg::get_msgpack() const {
    const py::bytes body = read_body(*this);
    if (!raw_keyword) raw_keyword = checked(Py_BuildValue("(s)", "raw")).release().ptr();
    // Strings must decode as str, not bytes.
    PyObject *args[] = {body.ptr(), Py_False};
    py::object decoded = checked(PyObject_Vectorcall(resolve(msgpack_loads), args, 1, raw_keyword));
    if (PySequence_Check(decoded.ptr())) {
        py::dict wrapped;
        wrapped["content"] = std::move(decoded);
        return wrapped;
    }
    return py::dict(std::move(decoded));
}

void PyZelMsg::set_msgpack(const py::dict &value) { encode_into(*this, msgpack_dumps, "msgpack", value); }

}  // namespace zelmsg
