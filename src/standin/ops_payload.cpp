// The operations on a message's payload: its binary attachment, read and written raw, as a
// structured string or as a container, its user property map, and the other bytes it holds
// whole: the XML part and the correlation tag.

#include "call.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace standin;

namespace {

// The largest attachment the genuine library's data blocks take, 32 bytes short of what the
// 32-bit size can say. It refuses a larger one after dropping the attachment the message had.
constexpr solClient_uint32_t kMaxAttachmentSize = 0xFFFFFFDF;

// The genuine library corrupts its heap when a map is created for 8 entries or fewer.
constexpr solClient_uint32_t kSmallestMapSize = 9;

// Every change to the attachment first lets an open attachment container go, with its handles.
void drop_attachment_container(const SlotRef &msg) {
    if (msg->attachment_container) {
        msg.forget(*msg->attachment_container);
        msg->attachment_container.reset();
    }
    msg->attachment_changed = false;
}

void replace_user_properties(const SlotRef &msg, std::unique_ptr<Container> map) {
    if (msg->user_properties) msg.forget(*msg->user_properties);
    msg->user_properties = std::move(map);
}

// The attachment as a map or a stream, when it is one whole container of that kind: the one
// still open, or one parsed from the attachment's bytes.
solClient_returnCode_t get_attachment_container(Op op, solClient_opaqueMsg_pt msg_p,
                                                solClient_opaqueContainer_pt *container_p, bool is_map) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (container_p == nullptr) return refuse(kNullArgument);
        if (!msg->attachment_container) {
            std::unique_ptr<Container> parsed = parse(msg->attachment);
            if (!parsed || parsed->is_map() != is_map) return kNotFound;
            msg->attachment_container = std::move(parsed);
            msg->attachment_header = static_cast<solClient_uint32_t>(msg->attachment.size());
            msg->attachment_changed = false;
        } else if (msg->attachment_container->is_map() != is_map) {
            return kNotFound;
        }
        *container_p = msg.open(*msg->attachment_container);
        return kOk;
    });
}

// A new, empty attachment container, whose bytes read as the genuine library's unfinished
// block until its last handle closes. The size is only a hint.
solClient_returnCode_t create_attachment_container(Op op, solClient_opaqueMsg_pt msg_p,
                                                   solClient_opaqueContainer_pt *container_p, bool is_map) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (container_p == nullptr) return refuse(kNullArgument);
        drop_attachment_container(msg);
        msg->attachment = std::vector<unsigned char>();
        msg->attachment_container = std::make_unique<Container>(is_map);
        msg->attachment_header = 0;
        msg->attachment_changed = true;
        *container_p = msg.open(*msg->attachment_container);
        return kOk;
    });
}

}  // namespace

solClient_returnCode_t solClient_msg_getBinaryAttachmentPtr(solClient_opaqueMsg_pt msg_p,
                                                            solClient_opaquePointer_pt *buf_p,
                                                            solClient_uint32_t *size_p) {
    return run(Op::solClient_msg_getBinaryAttachmentPtr, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buf_p == nullptr || size_p == nullptr) return refuse(kNullArgument);
        std::vector<unsigned char> &attachment = attachment_bytes(*msg);
        if (attachment.empty()) return kNotFound;
        *buf_p = attachment.data();
        *size_p = static_cast<solClient_uint32_t>(attachment.size());
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_setBinaryAttachment(solClient_opaqueMsg_pt msg_p, const void *buf_p,
                                                         solClient_uint32_t size) {
    return run(Op::solClient_msg_setBinaryAttachment, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buf_p == nullptr && size != 0) return refuse(kNullArgument);
        // Built apart first: the bytes may be the message's own attachment.
        const auto *bytes = static_cast<const unsigned char *>(buf_p);
        std::vector<unsigned char> copy(bytes, bytes + (size > kMaxAttachmentSize ? 0 : size));
        drop_attachment_container(msg);
        if (size > kMaxAttachmentSize) {
            msg->attachment = std::vector<unsigned char>();
            return refuse(kAttachmentTooLarge);
        }
        msg->attachment = std::move(copy);
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getBinaryAttachmentString(solClient_opaqueMsg_pt msg_p, const char **text_p) {
    return run(Op::solClient_msg_getBinaryAttachmentString, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (text_p == nullptr) return refuse(kNullArgument);
        const std::optional<std::string_view> text = structured_text(attachment_bytes(*msg));
        if (!text) return kNotFound;
        *text_p = text->data();
        return kOk;
    });
}

// NULL removes the attachment. A field too large for the library's largest data block is
// refused after dropping the attachment the message had, as a raw one of that size is.
solClient_returnCode_t solClient_msg_setBinaryAttachmentString(solClient_opaqueMsg_pt msg_p, const char *text) {
    return run(Op::solClient_msg_setBinaryAttachmentString, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (text == nullptr) {
            drop_attachment_container(msg);
            msg->attachment = std::vector<unsigned char>();
            return kOk;
        }
        const std::string_view whole(text, std::strlen(text));
        if (whole.size() > kMaxAttachmentSize - kStructuredOverhead) {
            drop_attachment_container(msg);
            msg->attachment = std::vector<unsigned char>();
            return refuse(kAttachmentTooLarge);
        }
        // Built apart first: the text may be the message's own.
        std::vector<unsigned char> field = structured_field(whole);
        drop_attachment_container(msg);
        msg->attachment = std::move(field);
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                        solClient_opaqueContainer_pt *map_p) {
    return run(Op::solClient_msg_getUserPropertyMap, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (map_p == nullptr) return refuse(kNullArgument);
        if (!msg->user_properties) return kNotFound;
        if (!msg->user_properties->is_map()) return refuse(kUserMapIsStream);
        *map_p = msg.open(*msg->user_properties);
        return kOk;
    });
}

// The size is only a hint of how many entries will come; entries take room as added. A size
// the genuine library cannot take is refused, and counted for the tests.
solClient_returnCode_t solClient_msg_createUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                           solClient_opaqueContainer_pt *map_p,
                                                           solClient_uint32_t size) {
    return run(Op::solClient_msg_createUserPropertyMap, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (map_p == nullptr) return refuse(kNullArgument);
        if (size < kSmallestMapSize) {
            small_map_size_calls.fetch_add(1, std::memory_order_relaxed);
            return refuse(kSmallMapSize);
        }
        replace_user_properties(msg, std::make_unique<Container>(true));
        *map_p = msg.open(*msg->user_properties);
        return kOk;
    });
}

// A copy of the container, a map or (as the genuine library takes it) a stream, replaces the
// message's map.
solClient_returnCode_t solClient_msg_setUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                        solClient_opaqueContainer_pt map_p) {
    return run_with_copy(Op::solClient_msg_setUserPropertyMap, msg_p, Kind::message, map_p,
                         [&](const SlotRef &msg, std::unique_ptr<Container> copy) {
                             replace_user_properties(msg, std::move(copy));
                             return kOk;
                         });
}

solClient_returnCode_t solClient_msg_getBinaryAttachmentMap(solClient_opaqueMsg_pt msg_p,
                                                            solClient_opaqueContainer_pt *map_p) {
    return get_attachment_container(Op::solClient_msg_getBinaryAttachmentMap, msg_p, map_p, true);
}

solClient_returnCode_t solClient_msg_getBinaryAttachmentStream(solClient_opaqueMsg_pt msg_p,
                                                               solClient_opaqueContainer_pt *stream_p) {
    return get_attachment_container(Op::solClient_msg_getBinaryAttachmentStream, msg_p, stream_p, false);
}

solClient_returnCode_t solClient_msg_createBinaryAttachmentMap(solClient_opaqueMsg_pt msg_p,
                                                               solClient_opaqueContainer_pt *map_p,
                                                               solClient_uint32_t /*size*/) {
    return create_attachment_container(Op::solClient_msg_createBinaryAttachmentMap, msg_p, map_p, true);
}

solClient_returnCode_t solClient_msg_createBinaryAttachmentStream(solClient_opaqueMsg_pt msg_p,
                                                                  solClient_opaqueContainer_pt *stream_p,
                                                                  solClient_uint32_t /*size*/) {
    return create_attachment_container(Op::solClient_msg_createBinaryAttachmentStream, msg_p, stream_p, false);
}

// The attachment becomes the encoding of a copy of the container.
solClient_returnCode_t solClient_msg_setBinaryAttachmentContainer(solClient_opaqueMsg_pt msg_p,
                                                                  solClient_opaqueContainer_pt container_p) {
    return run_with_copy(Op::solClient_msg_setBinaryAttachmentContainer, msg_p, Kind::message, container_p,
                         [&](const SlotRef &msg, std::unique_ptr<Container> copy) {
                             std::vector<unsigned char> bytes = encode(*copy);
                             drop_attachment_container(msg);
                             msg->attachment = std::move(bytes);
                             return kOk;
                         });
}

// ---------------------------------------------------------------------------------------
// The XML part and the correlation tag: bytes kept whole, none when empty

namespace {

solClient_returnCode_t get_bytes(Op op, solClient_opaqueMsg_pt msg_p, std::vector<unsigned char> Header::*member,
                                 solClient_opaquePointer_pt *buf_p, solClient_uint32_t *size_p) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buf_p == nullptr || size_p == nullptr) return refuse(kNullArgument);
        std::vector<unsigned char> &bytes = (*msg).*member;
        if (bytes.empty()) return kNotFound;  // the outputs untouched
        *buf_p = bytes.data();
        *size_p = static_cast<solClient_uint32_t>(bytes.size());
        return kOk;
    });
}

// Size 0 deletes, whatever the pointer; a null pointer with a size keeps the old bytes.
solClient_returnCode_t set_bytes(Op op, solClient_opaqueMsg_pt msg_p, std::vector<unsigned char> Header::*member,
                                 const void *buf_p, solClient_uint32_t size) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buf_p == nullptr && size != 0) return refuse(kNullWithSize);
        // Built apart first: the bytes may be the message's own.
        const auto *bytes = static_cast<const unsigned char *>(buf_p);
        (*msg).*member = size == 0 ? std::vector<unsigned char>() : std::vector<unsigned char>(bytes, bytes + size);
        return kOk;
    });
}

}  // namespace

solClient_returnCode_t solClient_msg_setXml(solClient_opaqueMsg_pt msg_p, const void *buf_p, solClient_uint32_t size) {
    return set_bytes(Op::solClient_msg_setXml, msg_p, &Message::xml, buf_p, size);
}

solClient_returnCode_t solClient_msg_getXmlPtr(solClient_opaqueMsg_pt msg_p, solClient_opaquePointer_pt *buf_p,
                                               solClient_uint32_t *size_p) {
    return get_bytes(Op::solClient_msg_getXmlPtr, msg_p, &Message::xml, buf_p, size_p);
}

solClient_returnCode_t solClient_msg_setCorrelationTag(solClient_opaqueMsg_pt msg_p, const void *buf_p,
                                                       solClient_uint32_t size) {
    return set_bytes(Op::solClient_msg_setCorrelationTag, msg_p, &Message::correlation_tag, buf_p, size);
}

solClient_returnCode_t solClient_msg_getCorrelationTagPtr(solClient_opaqueMsg_pt msg_p,
                                                          solClient_opaquePointer_pt *buf_p,
                                                          solClient_uint32_t *size_p) {
    return get_bytes(Op::solClient_msg_getCorrelationTagPtr, msg_p, &Message::correlation_tag, buf_p, size_p);
}
