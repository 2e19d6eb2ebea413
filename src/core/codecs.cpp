// The json and msgpack properties: the payload as a dict, encoded by orjson or msgpack.
#include "errors.hpp"
#include "interpreter.hpp"
#include "pyzelmsg.hpp"

#include <array>
#include <string>

namespace zelmsg {
namespace {

// Where each codec function lives. Each interpreter looks one up on first use and keeps it in
// its state; an import may hand the interpreter lock to another thread that fills the slot
// first, and the first function stored wins.
struct CodecName {
    const char *module;
    const char *name;
};
constexpr std::array<CodecName, static_cast<std::size_t>(Codec::count)> kCodecNames{{
    {"orjson", "loads"},
    {"orjson", "dumps"},
    {"msgpack", "loads"},
    {"msgpack", "dumps"},
    {"msgpack", "Packer"},
}};

PyObject *resolve(Codec codec) {
    const auto index = static_cast<std::size_t>(codec);
    PyObject *&slot = interpreter_state().codecs[index];
    if (!slot) {
        py::object found = py::module_::import(kCodecNames[index].module).attr(kCodecNames[index].name);
        PyObject *&again = interpreter_state().codecs[index];
        if (!again) again = found.release().ptr();
        return again;
    }
    return slot;
}

py::object checked(PyObject *result) {
    if (!result) raise_python_error();
    return py::reinterpret_steal<py::object>(result);
}

py::object call(Codec codec, const py::handle &argument) {
    PyObject *args[] = {argument.ptr()};
    return checked(PyObject_Vectorcall(resolve(codec), args, 1, nullptr));
}

// msgpack.dumps(value) is msgpack.Packer().pack(value): a packer made, and its 256 KiB buffer
// allocated and freed, on every call. A packer kept gives the same bytes for less. Code that a
// value runs while it is packed (a dict subclass's items()) may pack another payload, which
// then takes msgpack.dumps; a packer that grew past its first buffer is let go.
constexpr Py_ssize_t kPackerBuffer = 256 * 1024;

py::object pack(const py::dict &value) {
    InterpreterState &state = interpreter_state();
    if (state.packing) return call(Codec::msgpack_dumps, value);
    if (!state.pack) {
        const py::object packer = checked(PyObject_CallNoArgs(resolve(Codec::msgpack_packer)));
        PyObject *method = checked(PyObject_GetAttrString(packer.ptr(), "pack")).release().ptr();
        if (state.pack)
            Py_DECREF(method);  // made meanwhile, by code the lookups ran
        else
            state.pack = method;
    }
    const py::object method = py::reinterpret_borrow<py::object>(state.pack);
    state.packing = true;
    PyObject *packed = PyObject_CallOneArg(method.ptr(), value.ptr());
    state.packing = false;
    py::object result = checked(packed);
    if (PyBytes_Check(packed) && PyBytes_GET_SIZE(packed) > kPackerBuffer && state.pack == method.ptr())
        Py_CLEAR(state.pack);
    return result;
}

void encode_into(PyZelMsg &msg, const py::object &encoded, const char *tag) {
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
    // A dict comes back as itself; anything else goes through dict(), so that a JSON array of
    // two-character strings reads as a dict of their characters: the getter's promise is a dict.
    return py::dict(call(Codec::json_loads, read_body(*this)));
}

void PyZelMsg::set_json(const py::dict &value) { encode_into(*this, call(Codec::json_dumps, value), "json"); }

py::dict PyZelMsg::get_msgpack() const {
    const py::bytes body = read_body(*this);
    PyObject *&raw_keyword = interpreter_state().raw_keyword;
    if (!raw_keyword) raw_keyword = checked(Py_BuildValue("(s)", "raw")).release().ptr();
    // Strings must decode as str, not bytes.
    PyObject *args[] = {body.ptr(), Py_False};
    py::object decoded = checked(PyObject_Vectorcall(resolve(Codec::msgpack_loads), args, 1, raw_keyword));
    // A sequence (a list, a str, bytes) is not a dict: it comes wrapped under "content", the
    // form the payload has always had for a MessagePack array.
    if (PySequence_Check(decoded.ptr())) {
        py::dict wrapped;
        wrapped["content"] = std::move(decoded);
        return wrapped;
    }
    return py::dict(std::move(decoded));
}

void PyZelMsg::set_msgpack(const py::dict &value) { encode_into(*this, pack(value), "msgpack"); }

}  // namespace zelmsg
