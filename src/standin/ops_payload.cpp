// The operations on a message's payload: its binary attachment, read and written raw or as
// a structured string, and its user property map.

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

}  // namespace

solClient_returnCode_t solClient_msg_getBinaryAttachmentPtr(solClient_opaqueMsg_pt msg_p,
                                                            solClient_opaquePointer_pt *buf_p,
                                                            solClient_uint32_t *size_p) {
    return run(Op::solClient_msg_getBinaryAttachmentPtr, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buf_p == nullptr || size_p == nullptr) {
            return refuse(kNullArgument);
        }
        std::vector<unsigned char> &attachment = msg->attachment;
        if (attachment.empty()) {
            return kNotFound;
        }
        *buf_p = attachment.data();
        *size_p = static_cast<solClient_uint32_t>(attachment.size());
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_setBinaryAttachment(solClient_opaqueMsg_pt msg_p,
                                                         const void *buf_p, solClient_uint32_t size) {
    return run(Op::solClient_msg_setBinaryAttachment, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (buf_p == nullptr && size != 0) {
            return refuse(kNullArgument);
        }
        if (size > kMaxAttachmentSize) {
            msg->attachment = std::vector<unsigned char>();
            return refuse(kAttachmentTooLarge);
        }
        // Built apart first: the bytes may be the message's own attachment.
        const auto *bytes = static_cast<const unsigned char *>(buf_p);
        msg->attachment = std::vector<unsigned char>(bytes, bytes + size);
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getBinaryAttachmentString(solClient_opaqueMsg_pt msg_p,
                                                               const char **text_p) {
    return run(Op::solClient_msg_getBinaryAttachmentString, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (text_p == nullptr) {
            return refuse(kNullArgument);
        }
        const std::optional<std::string_view> text = structured_text(msg->attachment);
        if (!text) {
            return kNotFound;
        }
        *text_p = text->data();
        return kOk;
    });
}

// NULL removes the attachment. A field too large for the library's largest data block is
// refused after dropping the attachment the message had, as a raw one of that size is.
solClient_returnCode_t solClient_msg_setBinaryAttachmentString(solClient_opaqueMsg_pt msg_p,
                                                               const char *text) {
    return run(Op::solClient_msg_setBinaryAttachmentString, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (text == nullptr) {
            msg->attachment = std::vector<unsigned char>();
            return kOk;
        }
        const std::string_view whole(text, std::strlen(text));
        if (whole.size() > kMaxAttachmentSize - kStructuredOverhead) {
            msg->attachment = std::vector<unsigned char>();
            return refuse(kAttachmentTooLarge);
        }
        // Built apart first: the text may be the message's own.
        msg->attachment = structured_field(whole);
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                        solClient_opaqueContainer_pt *map_p) {
    return run(Op::solClient_msg_getUserPropertyMap, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (map_p == nullptr) {
            return refuse(kNullArgument);
        }
        if (!msg->user_properties) {
            return kNotFound;
        }
        *map_p = msg.open_map();
        return kOk;
    });
}

// The size is only a hint of how many entries will come; entries take room as added. A size
// the genuine library cannot take is refused, and counted for the tests.
solClient_returnCode_t solClient_msg_createUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                           solClient_opaqueContainer_pt *map_p,
                                                           solClient_uint32_t size) {
    return run(Op::solClient_msg_createUserPropertyMap, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (map_p == nullptr) {
            return refuse(kNullArgument);
        }
        if (size < kSmallestMapSize) {
            small_map_size_calls.fetch_add(1, std::memory_order_relaxed);
            return refuse(kSmallMapSize);
        }
        *map_p = msg.replace_map();
        return kOk;
    });
}

solClient_returnCode_t solClient_container_getStringPtr(solClient_opaqueContainer_pt container_p,
                                                        const char **value_p, const char *name) {
    return run(Op::solClient_container_getStringPtr, container_p, Kind::map, [&](const SlotRef &map) {
        if (value_p == nullptr) {
            return refuse(kNullArgument);
        }
        if (name == nullptr || *name == '\0') {
            return refuse(kUnnamedEntry);
        }
        const std::string *value = map.map().find(name);
        if (value == nullptr) {
            return kNotFound;
        }
        *value_p = value->c_str();
        return kOk;
    });
}

solClient_returnCode_t solClient_container_addString(solClient_opaqueContainer_pt container_p,
                                                     const char *value, const char *name) {
    return run(Op::solClient_container_addString, container_p, Kind::map, [&](const SlotRef &map) {
        if (value == nullptr) {
            return refuse(kNullArgument);
        }
        if (name == nullptr || *name == '\0') {
            return refuse(kUnnamedEntry);
        }
        map.map().add(name, value);
        return kOk;
    });
}

// Closing drops one reference to the handle: the map stays with its message.
solClient_returnCode_t solClient_container_closeMapStream(solClient_opaqueContainer_pt *container_p) {
    const void *handle = container_p ? *container_p : nullptr;
    return run(Op::solClient_container_closeMapStream, handle, Kind::map, [&](const SlotRef &map) {
        map.close_map();
        *container_p = nullptr;
        return kOk;
    });
}

