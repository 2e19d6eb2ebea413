// The wire: msg.to_smf(), ZelMsg.from_smf() and pickling, through the library's own
// encoding, SMF, with its traps mended.
#include "wire.hpp"

#include "arguments.hpp"
#include "errors.hpp"
#include "new_messages.hpp"
#include "smf_framing.hpp"

#include <limits>
#include <memory>
#include <string>

namespace zelmsg {
namespace {

// The sentences every wire error begins with; the library's own text, often empty, follows.
constexpr const char *kNoMessage = "ZelMsg.to_smf: the ZelMsg holds no message";
constexpr const char *kNoDestination = "ZelMsg.to_smf: a message without a destination cannot be encoded";
constexpr const char *kEncodeRefused = "ZelMsg.to_smf: libsolclient could not encode the message";
constexpr const char *kDecodeRefused = "ZelMsg.from_smf: libsolclient could not decode the data";

// Sub-codes a decode may leave while answering 0: a malformed container inside the message.
constexpr int kSubCodeBadStructuredData = 14;
constexpr int kSubCodeNoStructuredData = 41;

// An encoding's data block, freed once the bytes are copied out.
struct DataBlock {
    void *block = nullptr;
    ~DataBlock() {
        if (block) solClient_datablock_free(&block);
    }
};

}  // namespace

py::bytes PyZelMsg::to_smf() const {
    if (!msg_) throw py::value_error(kNoMessage);
    // Encoded as a copy, so that the message itself is left as it is: the library sets
    // priority 4 on a message it encodes without one.
    const OwnedMessage copy(duplicate(kEncodeRefused));
    // The library reuses an encoding made before, of this message or of the one it was
    // copied or decoded from, leaving later changes out; setting the destination again, to
    // what it is, makes it encode afresh. Without a destination there is nothing to refresh,
    // and a decoded message would give its stale bytes.
    solClient_destination_t dest{SOLCLIENT_NULL_DESTINATION, nullptr};
    if (solClient_msg_getDestination(copy.get(), &dest, sizeof dest) != SOLCLIENT_OK)
        throw py::value_error(kNoDestination);
    solClient_resetLastErrorInfo();
    solClient_bufInfo_t out{nullptr, 0};
    DataBlock block;
    if (solClient_msg_setDestination(copy.get(), &dest, sizeof dest) != SOLCLIENT_OK ||
        solClient_msg_encodeToSMF(copy.get(), &out, &block.block) != SOLCLIENT_OK) {
        refused(kEncodeRefused);
    }
    return py::bytes(static_cast<const char *>(out.buf_p), out.bufSize);
}

py::object PyZelMsg::from_smf(py::handle cls, py::handle data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        refuse_argument(data, "ZelMsg.from_smf", "a bytes-like object");
    }
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer *)> release(&view, PyBuffer_Release);
    if (static_cast<std::size_t>(view.len) > std::numeric_limits<std::uint32_t>::max())
        throw py::value_error(std::string(kDecodeRefused) + ": more than 4294967295 bytes");
    // The library's parser trusts the lengths inside the data, and crashes on one that points
    // past its parent or the buffer: every one is checked first.
    if (const char *fault = smf_framing_fault(static_cast<const unsigned char *>(view.buf), view.len))
        throw py::value_error(std::string(kDecodeRefused) + ": " + fault);
    // The record is emptied first: some refusals leave it as it was, and a success may leave
    // the sub-code of a malformed container inside, which refuses the message.
    solClient_resetLastErrorInfo();
    solClient_bufInfo_t in{view.buf, static_cast<solClient_uint32_t>(view.len)};
    OwnedMessage decoded;
    const solClient_returnCode_t rc = solClient_msg_decodeFromSmf(&in, decoded.out());
    const solClient_errorInfo_pt error = solClient_getLastErrorInfo();
    const int sub_code = error ? error->subCode : 0;
    if (rc != SOLCLIENT_OK || !decoded.get() || sub_code == kSubCodeBadStructuredData ||
        sub_code == kSubCodeNoStructuredData) {
        refused(kDecodeRefused);
    }
    return decoded.adopt_as(cls);
}

// Pickling carries the encoding, and beside it what the encoding drops that the library can
// set again: an absent priority (which arrives as 4), the expiration, the discard indication,
// ack-immediately, the transport trace context and the correlation tag. A subclass's instance
// state goes along as an ordinary object's does.
py::object reduce_message(py::handle self, py::handle) {
    const PyZelMsg &msg = self.cast<const PyZelMsg &>();
    const py::tuple dropped =
        py::make_tuple(!msg.get_priority(), msg.get_expiration(), msg.get_discard_indication(),
                       msg.get_ack_immediately(), msg.get_transport_context(), msg.get_correlation_tag());
    return py::make_tuple(py::type::handle_of(self).attr("from_smf"), py::make_tuple(msg.to_smf()),
                          py::make_tuple(dropped, instance_state(self)));
}

py::object restore_message(py::handle self, py::handle state) {
    // The whole state is checked before anything changes.
    constexpr const char *kWhere = "ZelMsg.__setstate__";
    constexpr const char *kState = "the state that __reduce__ gives";
    const auto is_tuple_of = [](py::handle value, Py_ssize_t size) {
        return PyTuple_Check(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) == size;
    };
    if (!is_tuple_of(state, 2)) refuse_argument(state, kWhere, kState);
    const py::handle dropped = PyTuple_GET_ITEM(state.ptr(), 0);
    const py::handle attributes = PyTuple_GET_ITEM(state.ptr(), 1);
    // Four values, five since the transport context went along, six since the correlation tag.
    const Py_ssize_t count = PyTuple_Check(dropped.ptr()) ? PyTuple_GET_SIZE(dropped.ptr()) : 0;
    if (count < 4 || count > 6) refuse_argument(dropped, kWhere, kState);
    const auto value = [&](Py_ssize_t i) { return py::handle(PyTuple_GET_ITEM(dropped.ptr(), i)); };
    const bool no_priority = argument<bool>(value(0), kWhere, kState);
    const auto expiration = argument<std::int64_t>(value(1), kWhere, kState);
    const bool discard = argument<bool>(value(2), kWhere, kState);
    const bool ack = argument<bool>(value(3), kWhere, kState);
    const TraceContext *transport = count >= 5 ? trace_context_of(value(4), kWhere) : nullptr;
    const auto tag = count >= 6 ? argument<std::optional<py::bytes>>(value(5), kWhere, kState) : std::nullopt;
    check_instance_state(self, attributes);
    PyZelMsg &msg = self.cast<PyZelMsg &>();
    apply_instance_state(self, attributes);
    msg.mark_written();
    if (no_priority) msg.set_priority(std::nullopt);
    msg.set_expiration(expiration);
    msg.set_discard_indication(discard);
    msg.set_ack_immediately(ack);
    if (transport) msg.set_transport_context(transport);
    msg.set_correlation_tag(tag);
    return py::none();
}

py::object encode_message(py::handle self, py::handle) { return self.cast<const PyZelMsg &>().to_smf(); }

py::object decode_message(py::handle cls, py::handle data) { return PyZelMsg::from_smf(cls, data); }

}  // namespace zelmsg
