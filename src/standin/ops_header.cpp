// The operations on a message's header: its destinations, flags, delivery mode, class of
// service and HTTP content type.

#include "call.h"

#include <cstring>
#include <optional>
#include <string>

using namespace standin;

namespace {

// ---------------------------------------------------------------------------------------
// Destinations, shared by the destination and reply-to pairs

// How one of the pair takes a new value. A refused record (wrong size, or none) changes
// nothing; a refused type or name leaves a destination as it was but clears a reply-to.
struct DestinationField {
    std::optional<StoredDestination> Message::*member;
    std::size_t max_name_length;
    bool empty_name_allowed;
    bool refusal_clears;
};

constexpr DestinationField kDestination{&Message::destination, 250, false, false};
constexpr DestinationField kReplyTo{&Message::reply_to, 249, true, true};

const Failure *record_problem(const solClient_destination_t *dest_p, size_t destSize) {
    if (dest_p == nullptr) {
        return &kNullArgument;
    }
    return destSize == sizeof *dest_p ? nullptr : &kBadRecordSize;
}

// Temporary destinations are kept, and read back, as their plain kind.
std::optional<solClient_destinationType_t> plain_type(int type) {
    switch (type) {
    case SOLCLIENT_TOPIC_DESTINATION:
    case SOLCLIENT_TOPIC_TEMP_DESTINATION:
        return SOLCLIENT_TOPIC_DESTINATION;
    case SOLCLIENT_QUEUE_DESTINATION:
    case SOLCLIENT_QUEUE_TEMP_DESTINATION:
        return SOLCLIENT_QUEUE_DESTINATION;
    default:
        return std::nullopt;
    }
}

Outcome store_destination(std::optional<StoredDestination> &stored,
                          const solClient_destination_t &record, const DestinationField &field) {
    // Read as a plain int: callers may put any number in the type field.
    int type;
    std::memcpy(&type, &record.destType, sizeof type);
    const std::optional<solClient_destinationType_t> plain = plain_type(type);
    if (!plain) {
        return refuse(kBadDestinationType);
    }
    if (record.dest == nullptr) {
        return refuse(kNullArgument);
    }
    const std::size_t length = strnlen(record.dest, field.max_name_length + 1);
    if (length > field.max_name_length) {
        return refuse(kLongName);
    }
    if (length == 0 && !field.empty_name_allowed) {
        return refuse(kEmptyName);
    }
    stored = StoredDestination{*plain, std::string(record.dest, length)};
    return kOk;
}

solClient_returnCode_t get_destination(Op op, solClient_opaqueMsg_pt msg_p,
                                       solClient_destination_t *dest_p, size_t destSize,
                                       const DestinationField &field) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (const Failure *problem = record_problem(dest_p, destSize)) {
            return refuse(*problem);
        }
        const std::optional<StoredDestination> &stored = (*msg).*field.member;
        if (!stored) {
            return kNotFound;
        }
        dest_p->destType = stored->type;
        dest_p->dest = stored->name.c_str();
        return kOk;
    });
}

solClient_returnCode_t set_destination(Op op, solClient_opaqueMsg_pt msg_p,
                                       const solClient_destination_t *dest_p, size_t destSize,
                                       const DestinationField &field) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (const Failure *problem = record_problem(dest_p, destSize)) {
            return refuse(*problem);
        }
        std::optional<StoredDestination> &stored = (*msg).*field.member;
        const Outcome outcome = store_destination(stored, *dest_p, field);
        if (outcome.failure != nullptr && field.refusal_clears) {
            stored.reset();
        }
        return outcome;
    });
}

// ---------------------------------------------------------------------------------------
// Header values

// The delivery mode takes two header bits (0x30). Bits outside them are ignored, which is
// why 1, 5 and 64 set Direct and 17 sets Persistent; the fourth pattern, 0x30, is no mode.
constexpr solClient_uint32_t kDeliveryModeBits = 0x30;
constexpr solClient_uint32_t kMaxClassOfService = 2;

}  // namespace

solClient_returnCode_t solClient_msg_getDestination(solClient_opaqueMsg_pt msg_p,
                                                    solClient_destination_t *dest_p, size_t destSize) {
    return get_destination(Op::solClient_msg_getDestination, msg_p, dest_p, destSize, kDestination);
}

solClient_returnCode_t solClient_msg_setDestination(solClient_opaqueMsg_pt msg_p,
                                                    solClient_destination_t *dest_p, size_t destSize) {
    return set_destination(Op::solClient_msg_setDestination, msg_p, dest_p, destSize, kDestination);
}

solClient_returnCode_t solClient_msg_getReplyTo(solClient_opaqueMsg_pt msg_p,
                                                solClient_destination_t *dest_p, size_t destSize) {
    return get_destination(Op::solClient_msg_getReplyTo, msg_p, dest_p, destSize, kReplyTo);
}

solClient_returnCode_t solClient_msg_setReplyTo(solClient_opaqueMsg_pt msg_p,
                                                solClient_destination_t *dest_p, size_t destSize) {
    return set_destination(Op::solClient_msg_setReplyTo, msg_p, dest_p, destSize, kReplyTo);
}

solClient_bool_t solClient_msg_isReplyMsg(solClient_opaqueMsg_pt msg_p) {
    solClient_bool_t flag = 0;
    run(Op::solClient_msg_isReplyMsg, msg_p, Kind::message, [&](const SlotRef &msg) {
        flag = msg->reply;
        return kOk;
    });
    return flag;
}

solClient_returnCode_t solClient_msg_setAsReplyMsg(solClient_opaqueMsg_pt msg_p,
                                                   solClient_bool_t isReply) {
    return run(Op::solClient_msg_setAsReplyMsg, msg_p, Kind::message, [&](const SlotRef &msg) {
        msg->reply = isReply != 0;
        return kOk;
    });
}

solClient_bool_t solClient_msg_isElidingEligible(solClient_opaqueMsg_pt msg_p) {
    solClient_bool_t flag = 0;
    run(Op::solClient_msg_isElidingEligible, msg_p, Kind::message, [&](const SlotRef &msg) {
        flag = msg->eliding_eligible;
        return kOk;
    });
    return flag;
}

solClient_returnCode_t solClient_msg_setElidingEligible(solClient_opaqueMsg_pt msg_p,
                                                        solClient_bool_t elide) {
    return run(Op::solClient_msg_setElidingEligible, msg_p, Kind::message, [&](const SlotRef &msg) {
        msg->eliding_eligible = elide != 0;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getDeliveryMode(solClient_opaqueMsg_pt msg_p,
                                                     solClient_uint32_t *mode_p) {
    return run(Op::solClient_msg_getDeliveryMode, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (mode_p == nullptr) {
            return refuse(kNullArgument);
        }
        *mode_p = msg->delivery_mode;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_setDeliveryMode(solClient_opaqueMsg_pt msg_p,
                                                     solClient_uint32_t mode) {
    return run(Op::solClient_msg_setDeliveryMode, msg_p, Kind::message, [&](const SlotRef &msg) {
        const solClient_uint32_t bits = mode & kDeliveryModeBits;
        if (bits == kDeliveryModeBits) {
            return refuse(kBadDeliveryMode);
        }
        msg->delivery_mode = bits;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getClassOfService(solClient_opaqueMsg_pt msg_p,
                                                       solClient_uint32_t *cos_p) {
    return run(Op::solClient_msg_getClassOfService, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (cos_p == nullptr) {
            return refuse(kNullArgument);
        }
        *cos_p = msg->class_of_service;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_setClassOfService(solClient_opaqueMsg_pt msg_p,
                                                       solClient_uint32_t cos) {
    return run(Op::solClient_msg_setClassOfService, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (cos > kMaxClassOfService) {
            return refuse(kBadClassOfService);
        }
        msg->class_of_service = cos;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getHttpContentType(solClient_opaqueMsg_pt msg_p,
                                                        const char **type_p) {
    return run(Op::solClient_msg_getHttpContentType, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (type_p == nullptr) {
            return refuse(kNullArgument);
        }
        if (!msg->http_content_type) {
            return kNotFound;
        }
        *type_p = msg->http_content_type->c_str();
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_setHttpContentType(solClient_opaqueMsg_pt msg_p,
                                                        const char *type) {
    return run(Op::solClient_msg_setHttpContentType, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (type == nullptr) {
            return refuse(kNullArgument);
        }
        msg->http_content_type = std::string(type);
        return kOk;
    });
}

