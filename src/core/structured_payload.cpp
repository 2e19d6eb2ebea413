// msg.map and msg.stream: the attachment as the library's structured map or stream,
// converted as user properties are (conversion.hpp). A new one is built aside and copied in
// whole, so a refused value leaves the old attachment exactly as it was.
#include "conversion.hpp"
#include "errors.hpp"
#include "pyzelmsg.hpp"

namespace zelmsg {
namespace {

// The attachment is the outermost container of a structured payload.
constexpr int kPayloadDepth = 1;

using ContainerRead = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, solClient_opaqueContainer_pt *);

// The attachment's container of the given kind, or none when it is anything else.
OpenContainer attachment_container(solClient_opaqueMsg_pt msg, ContainerRead read) {
    OpenContainer container;
    read(msg, container.out());
    return container;
}

}  // namespace

std::optional<py::dict> PyZelMsg::get_map() const {
    const OpenContainer map = attachment_container(msg_, solClient_msg_getBinaryAttachmentMap);
    if (!map.get()) return std::nullopt;
    return read_map(map.get(), kPayloadDepth);
}

void PyZelMsg::set_map(py::handle mapping) {
    if (mapping.is_none()) return remove_attachment();
    if (!is_mapping(mapping)) refuse_argument(mapping, "ZelMsg.map", "a Mapping with str keys, or None");
    set_attachment_container(build_map(mapping, kPayloadDepth).get());
}

std::optional<py::list> PyZelMsg::get_stream() const {
    const OpenContainer stream = attachment_container(msg_, solClient_msg_getBinaryAttachmentStream);
    if (!stream.get()) return std::nullopt;
    return read_stream(stream.get(), kPayloadDepth);
}

void PyZelMsg::set_stream(py::handle sequence) {
    if (sequence.is_none()) return remove_attachment();
    if (!PyList_Check(sequence.ptr()) && !PyTuple_Check(sequence.ptr()))
        refuse_argument(sequence, "ZelMsg.stream", "a list, a tuple or None");
    set_attachment_container(build_stream(sequence, kPayloadDepth).get());
}

void PyZelMsg::remove_attachment() { solClient_msg_setBinaryAttachment(msg_, nullptr, 0); }

void PyZelMsg::set_attachment_container(solClient_opaqueContainer_pt container) {
    if (!msg_) throw py::value_error("the ZelMsg holds no message");
    check_call(solClient_msg_setBinaryAttachmentContainer(msg_, container), "the structured payload");
}

}  // namespace zelmsg
