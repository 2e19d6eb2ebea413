// The operations on a message's header: its destinations, flags, delivery mode, class of
// service, time to live, expiration, priority, ids and other texts, sender timestamp,
// sequence number, user data, and what a received message carries.

#include "call.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace standin;

namespace {

// ---------------------------------------------------------------------------------------
// Destinations, shared by the destination and reply-to pairs

// How one of the pair takes a new value. A refused record (wrong size, or none) changes
// nothing; a refused type or name leaves a destination as it was but clears a reply-to.
struct DestinationField {
    std::optional<StoredDestination> Header::*member;
    std::size_t max_name_length;
    bool empty_name_allowed;
    bool refusal_clears;
};

constexpr DestinationField kDestination{&Message::destination, 250, false, false};
constexpr DestinationField kReplyTo{&Message::reply_to, 249, true, true};

const Failure *record_problem(const solClient_destination_t *dest_p, size_t destSize) {
    if (dest_p == nullptr) return &kNullArgument;
    return destSize == sizeof *dest_p ? nullptr : &kBadRecordSize;
}

// Temporary destinations are kept, and read back, as their plain kind.
std::optional<solClient_destinationType_t> plain_type(int type) {
    switch (type) {
    case SOLCLIENT_TOPIC_DESTINATION:
    case SOLCLIENT_TOPIC_TEMP_DESTINATION: return SOLCLIENT_TOPIC_DESTINATION;
    case SOLCLIENT_QUEUE_DESTINATION:
    case SOLCLIENT_QUEUE_TEMP_DESTINATION: return SOLCLIENT_QUEUE_DESTINATION;
    default: return std::nullopt;
    }
}

Outcome store_destination(std::optional<StoredDestination> &stored, const solClient_destination_t &record,
                          const DestinationField &field) {
    // Read as a plain int: callers may put any number in the type field.
    int type;
    std::memcpy(&type, &record.destType, sizeof type);
    const std::optional<solClient_destinationType_t> plain = plain_type(type);
    if (!plain) return refuse(kBadDestinationType);
    if (record.dest == nullptr) return refuse(kNullArgument);
    const std::size_t length = strnlen(record.dest, field.max_name_length + 1);
    if (length > field.max_name_length) return refuse(kLongName);
    if (length == 0 && !field.empty_name_allowed) return refuse(kEmptyName);
    stored = StoredDestination{*plain, std::string(record.dest, length)};
    return kOk;
}

solClient_returnCode_t get_destination(Op op, solClient_opaqueMsg_pt msg_p, solClient_destination_t *dest_p,
                                       size_t destSize, const DestinationField &field) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (const Failure *problem = record_problem(dest_p, destSize)) return refuse(*problem);
        const std::optional<StoredDestination> &stored = (*msg).*field.member;
        if (!stored) return kNotFound;
        dest_p->destType = stored->type;
        dest_p->dest = stored->name.c_str();
        return kOk;
    });
}

solClient_returnCode_t set_destination(Op op, solClient_opaqueMsg_pt msg_p, const solClient_destination_t *dest_p,
                                       size_t destSize, const DestinationField &field) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (const Failure *problem = record_problem(dest_p, destSize)) return refuse(*problem);
        std::optional<StoredDestination> &stored = (*msg).*field.member;
        const Outcome outcome = store_destination(stored, *dest_p, field);
        if (outcome.failure != nullptr && field.refusal_clears) stored.reset();
        return outcome;
    });
}

// ---------------------------------------------------------------------------------------
// Header values

// The delivery mode takes two header bits (0x30). Bits outside them are ignored, which is
// why 1, 5 and 64 set Direct and 17 sets Persistent; the fourth pattern, 0x30, is no mode.
constexpr solClient_uint32_t kDeliveryModeBits = 0x30;
constexpr solClient_uint32_t kMaxClassOfService = 2;
constexpr std::int64_t kMaxTimeToLive = 315360000000;  // ten years in milliseconds
constexpr std::int32_t kMaxPriority = 255;
constexpr std::int64_t kMaxExpiration = std::numeric_limits<std::int64_t>::max();

// A flag getter has no code to return: it answers a failed call with `failed`, 0 for all
// flags but ack immediately, for which the genuine library answers 255.
solClient_bool_t get_flag(Op op, solClient_opaqueMsg_pt msg_p, bool Header::*member, solClient_bool_t failed = 0) {
    solClient_bool_t flag = failed;
    run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        flag = (*msg).*member;
        return kOk;
    });
    return flag;
}

template <typename T>
solClient_returnCode_t get_value(Op op, solClient_opaqueMsg_pt msg_p, T Header::*member, T *value_p) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (value_p == nullptr) return refuse(kNullArgument);
        *value_p = (*msg).*member;
        return kOk;
    });
}

// Takes a value within [lowest, highest]; a refused one leaves the old value.
template <typename T, typename Value>
solClient_returnCode_t set_in_range(Op op, solClient_opaqueMsg_pt msg_p, T Header::*member, Value value, Value lowest,
                                    Value highest, const Failure &refusal) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (value < lowest || value > highest) return refuse(refusal);
        (*msg).*member = static_cast<T>(value);
        return kOk;
    });
}

// Text is handed out as a pointer into the message, good until the message changes.
const char *handed_out(const std::string &text) { return text.c_str(); }
std::int64_t handed_out(std::int64_t number) { return number; }

template <typename T, typename Out>
solClient_returnCode_t get_optional(Op op, solClient_opaqueMsg_pt msg_p, std::optional<T> Header::*member,
                                    Out *value_p) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (value_p == nullptr) return refuse(kNullArgument);
        const std::optional<T> &stored = (*msg).*member;
        if (!stored) return kNotFound;
        *value_p = handed_out(*stored);
        return kOk;
    });
}

solClient_returnCode_t set_number(Op op, solClient_opaqueMsg_pt msg_p, std::optional<std::int64_t> Header::*member,
                                  std::int64_t number) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        (*msg).*member = number;
        return kOk;
    });
}

solClient_returnCode_t set_flag(Op op, solClient_opaqueMsg_pt msg_p, bool Header::*member, solClient_bool_t flag) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        (*msg).*member = flag != 0;
        return kOk;
    });
}

// A null text is refused. As in the genuine library, that removes the value the message had
// from the ids, the sender id and the application message type, and keeps it in the others.
enum class OnNull { remove, keep };

solClient_returnCode_t set_text(Op op, solClient_opaqueMsg_pt msg_p, std::optional<std::string> Header::*member,
                                const char *text, OnNull on_null) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        std::optional<std::string> &stored = (*msg).*member;
        if (text == nullptr) {
            if (on_null == OnNull::remove) stored.reset();
            return refuse(kNullArgument);
        }
        stored = std::string(text);  // built first: text may be the message's own
        return kOk;
    });
}

// Removing a value that is not there succeeds too.
template <typename T>
solClient_returnCode_t delete_optional(Op op, solClient_opaqueMsg_pt msg_p, std::optional<T> Header::*member) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        ((*msg).*member).reset();
        return kOk;
    });
}

}  // namespace

solClient_returnCode_t solClient_msg_getDestination(solClient_opaqueMsg_pt msg_p, solClient_destination_t *dest_p,
                                                    size_t destSize) {
    return get_destination(Op::solClient_msg_getDestination, msg_p, dest_p, destSize, kDestination);
}

solClient_returnCode_t solClient_msg_setDestination(solClient_opaqueMsg_pt msg_p, solClient_destination_t *dest_p,
                                                    size_t destSize) {
    return set_destination(Op::solClient_msg_setDestination, msg_p, dest_p, destSize, kDestination);
}

solClient_returnCode_t solClient_msg_getReplyTo(solClient_opaqueMsg_pt msg_p, solClient_destination_t *dest_p,
                                                size_t destSize) {
    return get_destination(Op::solClient_msg_getReplyTo, msg_p, dest_p, destSize, kReplyTo);
}

solClient_returnCode_t solClient_msg_setReplyTo(solClient_opaqueMsg_pt msg_p, solClient_destination_t *dest_p,
                                                size_t destSize) {
    return set_destination(Op::solClient_msg_setReplyTo, msg_p, dest_p, destSize, kReplyTo);
}

solClient_returnCode_t solClient_msg_deleteReplyTo(solClient_opaqueMsg_pt msg_p) {
    return delete_optional(Op::solClient_msg_deleteReplyTo, msg_p, &Message::reply_to);
}

solClient_bool_t solClient_msg_isReplyMsg(solClient_opaqueMsg_pt msg_p) {
    return get_flag(Op::solClient_msg_isReplyMsg, msg_p, &Message::reply);
}

solClient_returnCode_t solClient_msg_setAsReplyMsg(solClient_opaqueMsg_pt msg_p, solClient_bool_t isReply) {
    return set_flag(Op::solClient_msg_setAsReplyMsg, msg_p, &Header::reply, isReply);
}

solClient_bool_t solClient_msg_isElidingEligible(solClient_opaqueMsg_pt msg_p) {
    return get_flag(Op::solClient_msg_isElidingEligible, msg_p, &Message::eliding_eligible);
}

solClient_returnCode_t solClient_msg_setElidingEligible(solClient_opaqueMsg_pt msg_p, solClient_bool_t elide) {
    return set_flag(Op::solClient_msg_setElidingEligible, msg_p, &Header::eliding_eligible, elide);
}

solClient_bool_t solClient_msg_isDMQEligible(solClient_opaqueMsg_pt msg_p) {
    return get_flag(Op::solClient_msg_isDMQEligible, msg_p, &Message::dmq_eligible);
}

// Unlike the other two flags, only 0 and 1 are taken.
solClient_returnCode_t solClient_msg_setDMQEligible(solClient_opaqueMsg_pt msg_p, solClient_bool_t eligible) {
    return set_in_range(Op::solClient_msg_setDMQEligible, msg_p, &Message::dmq_eligible, eligible, solClient_bool_t{0},
                        solClient_bool_t{1}, kBadDMQEligible);
}

solClient_returnCode_t solClient_msg_getDeliveryMode(solClient_opaqueMsg_pt msg_p, solClient_uint32_t *mode_p) {
    return get_value(Op::solClient_msg_getDeliveryMode, msg_p, &Message::delivery_mode, mode_p);
}

solClient_returnCode_t solClient_msg_setDeliveryMode(solClient_opaqueMsg_pt msg_p, solClient_uint32_t mode) {
    return run(Op::solClient_msg_setDeliveryMode, msg_p, Kind::message, [&](const SlotRef &msg) {
        const solClient_uint32_t bits = mode & kDeliveryModeBits;
        if (bits == kDeliveryModeBits) return refuse(kBadDeliveryMode);
        msg->delivery_mode = bits;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getClassOfService(solClient_opaqueMsg_pt msg_p, solClient_uint32_t *cos_p) {
    return get_value(Op::solClient_msg_getClassOfService, msg_p, &Message::class_of_service, cos_p);
}

solClient_returnCode_t solClient_msg_setClassOfService(solClient_opaqueMsg_pt msg_p, solClient_uint32_t cos) {
    return set_in_range(Op::solClient_msg_setClassOfService, msg_p, &Message::class_of_service, cos,
                        solClient_uint32_t{0}, kMaxClassOfService, kBadClassOfService);
}

solClient_returnCode_t solClient_msg_getTimeToLive(solClient_opaqueMsg_pt msg_p, solClient_int64_t *ttl_p) {
    return get_value(Op::solClient_msg_getTimeToLive, msg_p, &Message::time_to_live, ttl_p);
}

solClient_returnCode_t solClient_msg_setTimeToLive(solClient_opaqueMsg_pt msg_p, solClient_int64_t ttl) {
    return set_in_range(Op::solClient_msg_setTimeToLive, msg_p, &Message::time_to_live, ttl, std::int64_t{0},
                        kMaxTimeToLive, kBadTimeToLive);
}

solClient_returnCode_t solClient_msg_getPriority(solClient_opaqueMsg_pt msg_p, solClient_int32_t *priority_p) {
    return get_value(Op::solClient_msg_getPriority, msg_p, &Message::priority, priority_p);
}

solClient_returnCode_t solClient_msg_setPriority(solClient_opaqueMsg_pt msg_p, solClient_int32_t priority) {
    return set_in_range(Op::solClient_msg_setPriority, msg_p, &Message::priority, priority, std::int32_t{-1},
                        kMaxPriority, kBadPriority);
}

solClient_returnCode_t solClient_msg_getCorrelationId(solClient_opaqueMsg_pt msg_p, const char **id_p) {
    return get_optional(Op::solClient_msg_getCorrelationId, msg_p, &Message::correlation_id, id_p);
}

solClient_returnCode_t solClient_msg_setCorrelationId(solClient_opaqueMsg_pt msg_p, const char *id) {
    return set_text(Op::solClient_msg_setCorrelationId, msg_p, &Message::correlation_id, id, OnNull::remove);
}

solClient_returnCode_t solClient_msg_deleteCorrelationId(solClient_opaqueMsg_pt msg_p) {
    return delete_optional(Op::solClient_msg_deleteCorrelationId, msg_p, &Message::correlation_id);
}

solClient_returnCode_t solClient_msg_getApplicationMessageId(solClient_opaqueMsg_pt msg_p, const char **id_p) {
    return get_optional(Op::solClient_msg_getApplicationMessageId, msg_p, &Message::application_message_id, id_p);
}

solClient_returnCode_t solClient_msg_setApplicationMessageId(solClient_opaqueMsg_pt msg_p, const char *id) {
    return set_text(Op::solClient_msg_setApplicationMessageId, msg_p, &Message::application_message_id, id,
                    OnNull::remove);
}

solClient_returnCode_t solClient_msg_deleteApplicationMessageId(solClient_opaqueMsg_pt msg_p) {
    return delete_optional(Op::solClient_msg_deleteApplicationMessageId, msg_p, &Message::application_message_id);
}

solClient_returnCode_t solClient_msg_getSenderTimestamp(solClient_opaqueMsg_pt msg_p, solClient_int64_t *timestamp_p) {
    return get_optional(Op::solClient_msg_getSenderTimestamp, msg_p, &Message::sender_timestamp, timestamp_p);
}

solClient_returnCode_t solClient_msg_setSenderTimestamp(solClient_opaqueMsg_pt msg_p, solClient_int64_t timestamp) {
    return set_number(Op::solClient_msg_setSenderTimestamp, msg_p, &Message::sender_timestamp, timestamp);
}

solClient_returnCode_t solClient_msg_deleteSenderTimestamp(solClient_opaqueMsg_pt msg_p) {
    return delete_optional(Op::solClient_msg_deleteSenderTimestamp, msg_p, &Message::sender_timestamp);
}

solClient_returnCode_t solClient_msg_getSequenceNumber(solClient_opaqueMsg_pt msg_p, solClient_int64_t *sequence_p) {
    return get_optional(Op::solClient_msg_getSequenceNumber, msg_p, &Message::sequence_number, sequence_p);
}

// Kept as the same 64 bits, so numbers from 2^63 up read back negative.
solClient_returnCode_t solClient_msg_setSequenceNumber(solClient_opaqueMsg_pt msg_p, solClient_uint64_t sequence) {
    return set_number(Op::solClient_msg_setSequenceNumber, msg_p, &Message::sequence_number,
                      static_cast<std::int64_t>(sequence));
}

solClient_returnCode_t solClient_msg_deleteSequenceNumber(solClient_opaqueMsg_pt msg_p) {
    return delete_optional(Op::solClient_msg_deleteSequenceNumber, msg_p, &Message::sequence_number);
}

solClient_returnCode_t solClient_msg_getHttpContentType(solClient_opaqueMsg_pt msg_p, const char **type_p) {
    return get_optional(Op::solClient_msg_getHttpContentType, msg_p, &Message::http_content_type, type_p);
}

solClient_returnCode_t solClient_msg_setHttpContentType(solClient_opaqueMsg_pt msg_p, const char *type) {
    return set_text(Op::solClient_msg_setHttpContentType, msg_p, &Message::http_content_type, type, OnNull::keep);
}

solClient_returnCode_t solClient_msg_deleteHttpContentType(solClient_opaqueMsg_pt msg_p) {
    return delete_optional(Op::solClient_msg_deleteHttpContentType, msg_p, &Message::http_content_type);
}

solClient_returnCode_t solClient_msg_getHttpContentEncoding(solClient_opaqueMsg_pt msg_p, const char **encoding_p) {
    return get_optional(Op::solClient_msg_getHttpContentEncoding, msg_p, &Message::http_content_encoding, encoding_p);
}

solClient_returnCode_t solClient_msg_setHttpContentEncoding(solClient_opaqueMsg_pt msg_p, const char *encoding) {
    return set_text(Op::solClient_msg_setHttpContentEncoding, msg_p, &Message::http_content_encoding, encoding,
                    OnNull::keep);
}

solClient_returnCode_t solClient_msg_deleteHttpContentEncoding(solClient_opaqueMsg_pt msg_p) {
    return delete_optional(Op::solClient_msg_deleteHttpContentEncoding, msg_p, &Message::http_content_encoding);
}

solClient_returnCode_t solClient_msg_getSenderId(solClient_opaqueMsg_pt msg_p, const char **id_p) {
    return get_optional(Op::solClient_msg_getSenderId, msg_p, &Message::sender_id, id_p);
}

solClient_returnCode_t solClient_msg_setSenderId(solClient_opaqueMsg_pt msg_p, const char *id) {
    return set_text(Op::solClient_msg_setSenderId, msg_p, &Message::sender_id, id, OnNull::remove);
}

solClient_returnCode_t solClient_msg_deleteSenderId(solClient_opaqueMsg_pt msg_p) {
    return delete_optional(Op::solClient_msg_deleteSenderId, msg_p, &Message::sender_id);
}

solClient_returnCode_t solClient_msg_getApplicationMsgType(solClient_opaqueMsg_pt msg_p, const char **type_p) {
    return get_optional(Op::solClient_msg_getApplicationMsgType, msg_p, &Message::application_message_type, type_p);
}

solClient_returnCode_t solClient_msg_setApplicationMsgType(solClient_opaqueMsg_pt msg_p, const char *type) {
    return set_text(Op::solClient_msg_setApplicationMsgType, msg_p, &Message::application_message_type, type,
                    OnNull::remove);
}

solClient_returnCode_t solClient_msg_deleteApplicationMsgType(solClient_opaqueMsg_pt msg_p) {
    return delete_optional(Op::solClient_msg_deleteApplicationMsgType, msg_p, &Message::application_message_type);
}

solClient_returnCode_t solClient_msg_getExpiration(solClient_opaqueMsg_pt msg_p, solClient_int64_t *expiration_p) {
    return get_value(Op::solClient_msg_getExpiration, msg_p, &Message::expiration, expiration_p);
}

solClient_returnCode_t solClient_msg_setExpiration(solClient_opaqueMsg_pt msg_p, solClient_int64_t expiration) {
    return set_in_range(Op::solClient_msg_setExpiration, msg_p, &Message::expiration, expiration, std::int64_t{0},
                        kMaxExpiration, kBadExpiration);
}

solClient_bool_t solClient_msg_isAckImmediately(solClient_opaqueMsg_pt msg_p) {
    return get_flag(Op::solClient_msg_isAckImmediately, msg_p, &Message::ack_immediately, 255);
}

solClient_returnCode_t solClient_msg_setAckImmediately(solClient_opaqueMsg_pt msg_p, solClient_bool_t ack) {
    return set_flag(Op::solClient_msg_setAckImmediately, msg_p, &Message::ack_immediately, ack);
}

solClient_bool_t solClient_msg_isDiscardIndication(solClient_opaqueMsg_pt msg_p) {
    return get_flag(Op::solClient_msg_isDiscardIndication, msg_p, &Message::discard_indication);
}

// Like DMQ eligibility, only 0 and 1 are taken.
solClient_returnCode_t solClient_msg_setDiscardIndication(solClient_opaqueMsg_pt msg_p, solClient_bool_t discard) {
    return set_in_range(Op::solClient_msg_setDiscardIndication, msg_p, &Message::discard_indication, discard,
                        solClient_bool_t{0}, solClient_bool_t{1}, kBadDiscardIndication);
}

solClient_returnCode_t solClient_msg_getUserDataPtr(solClient_opaqueMsg_pt msg_p, solClient_opaquePointer_pt *data_p,
                                                    solClient_uint32_t *size_p) {
    return run(Op::solClient_msg_getUserDataPtr, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (data_p == nullptr || size_p == nullptr) return refuse(kNullArgument);
        if (msg->user_data.empty()) return kNotFound;
        *data_p = msg->user_data.data();
        *size_p = static_cast<solClient_uint32_t>(msg->user_data.size());
        return kOk;
    });
}

// Size 0 removes the user data, whatever the pointer.
solClient_returnCode_t solClient_msg_setUserData(solClient_opaqueMsg_pt msg_p, const void *data_p,
                                                 solClient_uint32_t size) {
    return run(Op::solClient_msg_setUserData, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (data_p == nullptr && size != 0) return refuse(kNullArgument);
        // Built apart first: the bytes may be the message's own.
        const auto *bytes = static_cast<const unsigned char *>(data_p);
        msg->user_data = size == 0 ? std::vector<unsigned char>() : std::vector<unsigned char>(bytes, bytes + size);
        return kOk;
    });
}

// ---------------------------------------------------------------------------------------
// What a received message carries

namespace {

// A receive-side number that the message lacks reads 5, with 0 written, as in the genuine
// library.
template <typename T>
solClient_returnCode_t get_received(Op op, solClient_opaqueMsg_pt msg_p, std::optional<T> Header::*member, T *value_p) {
    return run(op, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (value_p == nullptr) return refuse(kNullArgument);
        const std::optional<T> &stored = (*msg).*member;
        *value_p = stored.value_or(0);
        return stored ? kOk : kNotFound;
    });
}

}  // namespace

solClient_bool_t solClient_msg_isRedelivered(solClient_opaqueMsg_pt msg_p) {
    return get_flag(Op::solClient_msg_isRedelivered, msg_p, &Message::redelivered);
}

solClient_returnCode_t solClient_msg_getDeliveryCount(solClient_opaqueMsg_pt msg_p, solClient_int32_t *count_p) {
    return run(Op::solClient_msg_getDeliveryCount, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (count_p == nullptr) return refuse(kNullArgument);
        if (!msg->delivery_count) return refuse(kNoDeliveryCount);
        *count_p = *msg->delivery_count;
        return kOk;
    });
}

solClient_returnCode_t solClient_msg_getRcvTimestamp(solClient_opaqueMsg_pt msg_p, solClient_int64_t *timestamp_p) {
    return get_received(Op::solClient_msg_getRcvTimestamp, msg_p, &Message::receive_timestamp, timestamp_p);
}

solClient_returnCode_t solClient_msg_getTopicSequenceNumber(solClient_opaqueMsg_pt msg_p,
                                                            solClient_int64_t *sequence_p) {
    return get_received(Op::solClient_msg_getTopicSequenceNumber, msg_p, &Message::topic_sequence_number, sequence_p);
}

solClient_returnCode_t solClient_msg_getMsgId(solClient_opaqueMsg_pt msg_p, solClient_uint64_t *id_p) {
    return get_received(Op::solClient_msg_getMsgId, msg_p, &Message::message_id, id_p);
}

solClient_returnCode_t solClient_msg_getReplicationGroupMessageId(solClient_opaqueMsg_pt msg_p, void *id_p,
                                                                  size_t size) {
    return run(Op::solClient_msg_getReplicationGroupMessageId, msg_p, Kind::message, [&](const SlotRef &msg) {
        if (size != kReplicationGroupMessageIdSize) return refuse(kBadIdSize);
        if (id_p == nullptr) return refuse(kNullArgument);
        if (!msg->replication_group_message_id) return kNotFound;
        std::memcpy(id_p, msg->replication_group_message_id->data(), size);
        return kOk;
    });
}

namespace {

// An id's first 8 bytes name the origin it was made at; the last 8 count within it.
constexpr std::size_t kOriginSize = 8;

bool has_origin(const unsigned char *id) {
    return std::any_of(id, id + kOriginSize, [](unsigned char byte) { return byte != 0; });
}

int hex_value(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return digit >= 'A' && digit <= 'F' ? digit - 'A' + 10 : -1;
}

}  // namespace

// "rmid1:" and the 16 bytes in lowercase hex, grouped 5-11-8-8. A buffer too small for the
// text and its NUL gets what fits and a NUL, and the call fails, as in the genuine library.
// A null id is refused here; the genuine library crashes on it.
solClient_returnCode_t solClient_replicationGroupMessageId_toString(const void *id_p, size_t idSize, char *text_p,
                                                                    size_t textSize) {
    return run_unbound(Op::solClient_replicationGroupMessageId_toString, [&] {
        if (idSize != kReplicationGroupMessageIdSize) return refuse(kBadIdSize);
        if (id_p == nullptr || text_p == nullptr) return refuse(kNullArgument);
        const auto *id = static_cast<const unsigned char *>(id_p);
        if (!has_origin(id)) return refuse(kInvalidId);
        static constexpr char kDigits[] = "0123456789abcdef";
        static constexpr std::size_t kGroupEnds[] = {5, 16, 24};
        char text[SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_STRING_LENGTH + 1] = "rmid1:";
        char *next = text + 6;
        for (std::size_t digit = 0; digit < 2 * idSize; ++digit) {
            if (std::find(std::begin(kGroupEnds), std::end(kGroupEnds), digit) != std::end(kGroupEnds)) *next++ = '-';
            const unsigned char byte = id[digit / 2];
            *next++ = kDigits[digit % 2 == 0 ? byte >> 4 : byte & 0xf];
        }
        *next = '\0';
        if (textSize == 0) return refuse(kSmallText);
        const std::size_t length = std::min(textSize - 1, sizeof text - 1);
        std::memcpy(text_p, text, length);
        text_p[length] = '\0';
        return length < sizeof text - 1 ? refuse(kSmallText) : kOk;
    });
}

// Read back as the genuine library reads it: the dashes may stand anywhere but last, and never
// two together; digits of either case. An id of no origin is refused as toString refuses it.
solClient_returnCode_t solClient_replicationGroupMessageId_fromString(void *id_p, size_t idSize, const char *text_p) {
    return run_unbound(Op::solClient_replicationGroupMessageId_fromString, [&] {
        if (text_p == nullptr) return refuse(kNullIdText);
        if (idSize != kReplicationGroupMessageIdSize)
            return refuse(kBadIdSize);  // the genuine library writes 16 bytes regardless
        if (id_p == nullptr) return refuse(kNullArgument);
        const std::string_view text(text_p);
        constexpr std::string_view kPrefix = "rmid1:";
        if (text.size() != SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_STRING_LENGTH || !text.starts_with(kPrefix))
            return refuse(kBadIdText);
        unsigned char id[kReplicationGroupMessageIdSize] = {};
        std::size_t digits = 0;
        for (std::size_t i = kPrefix.size(); i < text.size(); ++i) {
            if (text[i] == '-') {
                if (i + 1 == text.size() || hex_value(text[i + 1]) < 0) return refuse(kBadIdText);
                continue;
            }
            const int value = hex_value(text[i]);
            if (value < 0 || digits == 2 * sizeof id) return refuse(kBadIdText);
            id[digits / 2] = static_cast<unsigned char>(id[digits / 2] << 4 | value);
            ++digits;
        }
        if (digits != 2 * sizeof id || !has_origin(id)) return refuse(kBadIdText);
        std::memcpy(id_p, id, sizeof id);
        return kOk;
    });
}

// The genuine library crashes on a null pointer; the stand-in refuses it.
solClient_returnCode_t solClient_replicationGroupMessageId_compare(const void *first_p, const void *second_p,
                                                                   int *result_p) {
    return run_unbound(Op::solClient_replicationGroupMessageId_compare, [&] {
        if (first_p == nullptr || second_p == nullptr || result_p == nullptr) return refuse(kNullArgument);
        const auto *first = static_cast<const unsigned char *>(first_p);
        const auto *second = static_cast<const unsigned char *>(second_p);
        if (std::memcmp(first, second, kOriginSize) != 0) return refuse(kOriginsDiffer);
        const int order =
            std::memcmp(first + kOriginSize, second + kOriginSize, kReplicationGroupMessageIdSize - kOriginSize);
        *result_p = (order > 0) - (order < 0);
        return kOk;
    });
}
