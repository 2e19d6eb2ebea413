/* The inner side of the test control (standin_control.h): the library's operations, their
 * call counts and injected failures, and the failures that a call reports through the
 * last-error record. */
#ifndef ZELMSG_STANDIN_OPERATIONS_H
#define ZELMSG_STANDIN_OPERATIONS_H

#include "solclient.h"
#include "standin_control.h"

#include <atomic>
#include <iterator>
#include <optional>

namespace standin {

// ---------------------------------------------------------------------------------------
// Operations, their call counts and injected failures

// Every operation of the library, by its function name. A new operation takes a line here
// and its function in one of the ops_*.cpp files.
#define STANDIN_OPERATIONS(X)                         \
    X(solClient_initialize)                           \
    X(solClient_version_get)                          \
    X(solClient_msg_alloc)                            \
    X(solClient_msg_free)                             \
    X(solClient_getLastErrorInfo)                     \
    X(solClient_msg_dump)                             \
    X(solClient_container_closeMapStream)             \
    X(solClient_msg_getDestination)                   \
    X(solClient_msg_setDestination)                   \
    X(solClient_msg_getReplyTo)                       \
    X(solClient_msg_setReplyTo)                       \
    X(solClient_msg_isReplyMsg)                       \
    X(solClient_msg_setAsReplyMsg)                    \
    X(solClient_msg_isElidingEligible)                \
    X(solClient_msg_setElidingEligible)               \
    X(solClient_msg_getDeliveryMode)                  \
    X(solClient_msg_setDeliveryMode)                  \
    X(solClient_msg_getClassOfService)                \
    X(solClient_msg_setClassOfService)                \
    X(solClient_msg_isDMQEligible)                    \
    X(solClient_msg_setDMQEligible)                   \
    X(solClient_msg_getTimeToLive)                    \
    X(solClient_msg_setTimeToLive)                    \
    X(solClient_msg_getPriority)                      \
    X(solClient_msg_setPriority)                      \
    X(solClient_msg_getCorrelationId)                 \
    X(solClient_msg_setCorrelationId)                 \
    X(solClient_msg_deleteCorrelationId)              \
    X(solClient_msg_getApplicationMessageId)          \
    X(solClient_msg_setApplicationMessageId)          \
    X(solClient_msg_deleteApplicationMessageId)       \
    X(solClient_msg_getSenderTimestamp)               \
    X(solClient_msg_setSenderTimestamp)               \
    X(solClient_msg_deleteSenderTimestamp)            \
    X(solClient_msg_getSequenceNumber)                \
    X(solClient_msg_setSequenceNumber)                \
    X(solClient_msg_deleteSequenceNumber)             \
    X(solClient_msg_getBinaryAttachmentPtr)           \
    X(solClient_msg_setBinaryAttachment)              \
    X(solClient_msg_getBinaryAttachmentString)        \
    X(solClient_msg_setBinaryAttachmentString)        \
    X(solClient_msg_getUserPropertyMap)               \
    X(solClient_msg_createUserPropertyMap)            \
    X(solClient_container_getStringPtr)               \
    X(solClient_container_addString)                  \
    X(solClient_msg_getHttpContentType)               \
    X(solClient_msg_setHttpContentType)               \
    X(solClient_msg_setUserPropertyMap)               \
    X(solClient_msg_getBinaryAttachmentMap)           \
    X(solClient_msg_getBinaryAttachmentStream)        \
    X(solClient_msg_createBinaryAttachmentMap)        \
    X(solClient_msg_createBinaryAttachmentStream)     \
    X(solClient_msg_setBinaryAttachmentContainer)     \
    X(solClient_container_createMap)                  \
    X(solClient_container_createStream)               \
    X(solClient_container_openSubMap)                 \
    X(solClient_container_openSubStream)              \
    X(solClient_container_addContainer)               \
    X(solClient_container_addBoolean)                 \
    X(solClient_container_addUint8)                   \
    X(solClient_container_addInt8)                    \
    X(solClient_container_addUint16)                  \
    X(solClient_container_addInt16)                   \
    X(solClient_container_addUint32)                  \
    X(solClient_container_addInt32)                   \
    X(solClient_container_addUint64)                  \
    X(solClient_container_addInt64)                   \
    X(solClient_container_addChar)                    \
    X(solClient_container_addWchar)                   \
    X(solClient_container_addByteArray)               \
    X(solClient_container_addSmf)                     \
    X(solClient_container_addFloat)                   \
    X(solClient_container_addDouble)                  \
    X(solClient_container_addNull)                    \
    X(solClient_container_addDestination)             \
    X(solClient_container_getNextField)               \
    X(solClient_container_getField)                   \
    X(solClient_container_rewind)                     \
    X(solClient_container_deleteField)                \
    X(solClient_resetLastErrorInfo)                   \
    X(solClient_msg_dup)                              \
    X(solClient_msg_encodeToSMF)                      \
    X(solClient_msg_decodeFromSmf)                    \
    X(solClient_datablock_free)                       \
    X(solClient_msg_deleteHttpContentType)            \
    X(solClient_msg_getHttpContentEncoding)           \
    X(solClient_msg_setHttpContentEncoding)           \
    X(solClient_msg_deleteHttpContentEncoding)        \
    X(solClient_msg_getSenderId)                      \
    X(solClient_msg_setSenderId)                      \
    X(solClient_msg_deleteSenderId)                   \
    X(solClient_msg_getApplicationMsgType)            \
    X(solClient_msg_setApplicationMsgType)            \
    X(solClient_msg_deleteApplicationMsgType)         \
    X(solClient_msg_getExpiration)                    \
    X(solClient_msg_setExpiration)                    \
    X(solClient_msg_isAckImmediately)                 \
    X(solClient_msg_setAckImmediately)                \
    X(solClient_msg_isDiscardIndication)              \
    X(solClient_msg_setDiscardIndication)             \
    X(solClient_msg_getUserDataPtr)                   \
    X(solClient_msg_setUserData)                      \
    X(solClient_msg_isRedelivered)                    \
    X(solClient_msg_getDeliveryCount)                 \
    X(solClient_msg_getRcvTimestamp)                  \
    X(solClient_msg_getTopicSequenceNumber)           \
    X(solClient_msg_getMsgId)                         \
    X(solClient_msg_getReplicationGroupMessageId)     \
    X(solClient_replicationGroupMessageId_toString)   \
    X(solClient_msg_deleteReplyTo)                    \
    X(solClient_container_getSize)                    \
    X(solClient_msg_isCacheMsg)                       \
    X(solClient_msg_getCacheRequestId)                \
    X(solClient_msg_getConsumerIdCount)               \
    X(solClient_msg_getConsumerId)                    \
    X(solClient_msg_tracing_getTraceIdByte)           \
    X(solClient_msg_tracing_setTraceIdByte)           \
    X(solClient_msg_tracing_getSpanIdByte)            \
    X(solClient_msg_tracing_setSpanIdByte)            \
    X(solClient_msg_tracing_isSampled)                \
    X(solClient_msg_tracing_setSampled)               \
    X(solClient_msg_tracing_getTraceStatePtr)         \
    X(solClient_msg_tracing_setTraceState)            \
    X(solClient_msg_tracing_deleteContext)            \
    X(solClient_msg_tracing_getInjectionStandardByte) \
    X(solClient_msg_tracing_setInjectionStandardByte) \
    X(solClient_msg_tracing_getBaggagePtr)            \
    X(solClient_msg_tracing_setBaggage)               \
    X(solClient_msg_tracing_deleteBaggage)            \
    X(solClient_msg_setXml)                           \
    X(solClient_msg_getXmlPtr)                        \
    X(solClient_msg_setCorrelationTag)                \
    X(solClient_msg_getCorrelationTagPtr)             \
    X(solClient_msg_dumpExt)                          \
    X(solClient_msg_reset)                            \
    X(solClient_replicationGroupMessageId_fromString) \
    X(solClient_replicationGroupMessageId_compare)    \
    X(solClient_container_addUnknownField)

enum class Op : unsigned {
#define STANDIN_ENUMERATOR(name) name,
    STANDIN_OPERATIONS(STANDIN_ENUMERATOR)
#undef STANDIN_ENUMERATOR
};

inline constexpr const char *kOpNames[] = {
#define STANDIN_NAME(name) #name,
    STANDIN_OPERATIONS(STANDIN_NAME)
#undef STANDIN_NAME
};

struct OpControl {
    std::atomic<unsigned long> calls{0};
    std::atomic<int> failures_due{0};
    std::atomic<int> failure_code{SOLCLIENT_FAIL};
};

extern constinit OpControl op_controls[std::size(kOpNames)];

inline OpControl &control(Op op) { return op_controls[static_cast<unsigned>(op)]; }

inline void count_call(Op op) { control(op).calls.fetch_add(1, std::memory_order_relaxed); }

// Counts the call; returns the code of an injected failure if one is due for it.
inline std::optional<int> enter(Op op) {
    count_call(op);
    OpControl &c = control(op);
    int due = c.failures_due.load(std::memory_order_relaxed);
    while (due > 0)
        if (c.failures_due.compare_exchange_weak(due, due - 1, std::memory_order_acquire, std::memory_order_relaxed))
            return c.failure_code.load(std::memory_order_relaxed);
    return std::nullopt;
}

// Calls given a handle that the library never gave out, and container creations asked for a
// size that the genuine library cannot take; standin_reset zeroes both.
extern constinit std::atomic<unsigned long> foreign_handle_calls;
extern constinit std::atomic<unsigned long> small_map_size_calls;

// ---------------------------------------------------------------------------------------
// Failures and the last-error record

// Sub-codes as the genuine library numbers them.
enum SubCode : int {
    kParamOutOfRange = 1,
    kParamNullPtr = 2,
    kParamConflict = 3,
    kNoSpace = 4,
    kOutOfResources = 5,
    kInternalError = 6,
    kOutOfMemory = 7,
    kMalformedContainer = 14,
    kFieldTypeMismatch = 43,
    kDeliveryCountUnsupported = 155,
    kDifferentOrigins = 157,
    // The stand-in's own, far above the genuine library's: see standin_control.h.
    kNoWireEncoding = STANDIN_SUBCODE_NO_WIRE_ENCODING,
};

struct Failure {
    SubCode sub_code;
    const char *text;
};

inline constexpr Failure kBadLogLevel{kParamOutOfRange, "log filter level is not 0 to 7"};
inline constexpr Failure kBadMessage{kParamNullPtr, "message handle is null, freed or not a message"};
inline constexpr Failure kBadContainer{kParamNullPtr, "container handle is null, closed, replaced or not a container"};
inline constexpr Failure kNullArgument{kParamNullPtr, "a required pointer argument is null"};
inline constexpr Failure kBadRecordSize{kParamOutOfRange, "destination record size is not 16"};
inline constexpr Failure kBadDestinationType{kParamOutOfRange,
                                             "destination type is not Topic, Queue, TopicTemp or QueueTemp"};
inline constexpr Failure kEmptyName{kParamOutOfRange, "destination name is empty"};
inline constexpr Failure kLongName{kParamOutOfRange, "destination name is too long"};
inline constexpr Failure kUnnamedEntry{kParamNullPtr, "map entry name is null or empty"};
inline constexpr Failure kNamedStreamEntry{kParamOutOfRange, "a stream entry takes no name"};
inline constexpr Failure kStreamLookupByName{kParamConflict, "a stream is read in order, not by name"};
inline constexpr Failure kStreamDelete{kParamOutOfRange, "a stream has no named entries to delete"};
inline constexpr Failure kBadFieldSize{kParamOutOfRange, "field record size is not 24"};
inline constexpr Failure kNotAscii{kParamOutOfRange, "char is not ASCII"};
inline constexpr Failure kNoRoom{kNoSpace, "no room for the entry in the container's memory"};
inline constexpr Failure kNotAString{kFieldTypeMismatch, "entry is not a string"};
inline constexpr Failure kMalformed{kMalformedContainer, "the container's bytes hold no valid entry here"};
inline constexpr Failure kUserMapIsStream{kInternalError, "the user property map is a stream"};
inline constexpr Failure kSmallContainerMemory{
    kParamOutOfRange, "container memory under 5 bytes (the genuine library writes 5 regardless)"};
inline constexpr Failure kBadDeliveryMode{kParamOutOfRange,
                                          "delivery mode is not Direct, Persistent or Non-Persistent"};
inline constexpr Failure kBadClassOfService{kParamOutOfRange, "class of service is above 2"};
inline constexpr Failure kBadDMQEligible{kParamOutOfRange, "dead message queue eligibility is not 0 or 1"};
inline constexpr Failure kBadTimeToLive{kParamOutOfRange, "time to live is not 0 to 315360000000"};
inline constexpr Failure kBadPriority{kParamOutOfRange, "priority is not -1 to 255"};
inline constexpr Failure kSmallMapSize{kParamOutOfRange,
                                       "map size of 8 or less (the genuine library corrupts its heap)"};
inline constexpr Failure kNoBuffer{kParamConflict, "dump buffer is null or its size is 0"};
inline constexpr Failure kTableFull{kOutOfResources, "no room for another message"};
inline constexpr Failure kNoMemory{kOutOfMemory, "out of memory"};
inline constexpr Failure kAttachmentTooLarge{kOutOfMemory, "no data block holds an attachment this large"};
inline constexpr Failure kBadExpiration{kParamOutOfRange, "expiration is negative"};
inline constexpr Failure kBadDiscardIndication{kParamOutOfRange, "discard indication is not 0 or 1"};
inline constexpr Failure kNoDeliveryCount{kDeliveryCountUnsupported,
                                          "the message came from no endpoint that counts deliveries"};
inline constexpr Failure kBadIdSize{kParamOutOfRange, "replication group message id size is not 16"};
inline constexpr Failure kInvalidId{kParamOutOfRange,
                                    "replication group message id of no origin (its first 8 bytes zero)"};
inline constexpr Failure kSmallText{kParamOutOfRange, "text buffer under 42 bytes"};
inline constexpr Failure kNullWithSize{kParamNullPtr, "null buffer with a non-zero size"};
inline constexpr Failure kBadIdText{kParamOutOfRange, "not the text form of a replication group message id"};
inline constexpr Failure kNullIdText{kParamNullPtr, "replication group message id text is null"};
inline constexpr Failure kOriginsDiffer{kDifferentOrigins,
                                        "replication group message ids of different origins cannot be compared"};
inline constexpr Failure kEmptyEncodedField{kParamNullPtr, "encoded field is null or empty"};
inline constexpr Failure kEncodedFieldLength{kParamConflict, "the encoded field's own length is not the length given"};
inline constexpr Failure kNoWire{kNoWireEncoding, "the stand-in has no wire encoding (SMF)"};
inline constexpr Failure kBadDatablock{kParamNullPtr, "data block is null or not one the library gave out"};
inline constexpr Failure kInjected{kInternalError, "failure injected by standin_fail_next"};
inline constexpr Failure kBadContextType{kParamOutOfRange, "trace context type is not 0 or 1"};
inline constexpr Failure kBadTraceIdSize{kParamOutOfRange, "trace id size is not 16"};
inline constexpr Failure kBadSpanIdSize{kParamOutOfRange, "span id size is not 8"};
inline constexpr Failure kLongTraceState{kParamOutOfRange, "Trace State can not be longer than 512 bytes"};

// Each thread's record carries the reason of its latest failure, as the genuine library's
// does once solClient_initialize has run.
extern constinit thread_local solClient_errorInfo_t last_error;

// Puts the failure, or the text that standin_set_error_text set, in the last-error record
// and returns code.
solClient_returnCode_t fail(Op op, const Failure &failure, solClient_returnCode_t code = SOLCLIENT_FAIL);

}  // namespace standin

#endif
