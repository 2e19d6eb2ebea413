/* The libsolclient operations, records and codes that zelmsg uses.
 *
 * Written for this project from the library's documented C ABI (x86_64), so that
 * one module source builds against the genuine library or the stand-in beside
 * this directory. Only what the module and its tests touch is declared. */
#ifndef ZELMSG_MESSAGING_SOLCLIENT_H
#define ZELMSG_MESSAGING_SOLCLIENT_H

#include <stddef.h>
#include <stdint.h>

#if defined(SOLCLIENT_BUILDING_STANDIN)
#define SOLCLIENT_API __attribute__((visibility("default")))
#else
#define SOLCLIENT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int solClient_returnCode_t;
enum {
    SOLCLIENT_OK = 0,
    SOLCLIENT_NOT_FOUND = 5,
    SOLCLIENT_FAIL = -1,
};

typedef unsigned char solClient_bool_t;
typedef int32_t solClient_int32_t;
typedef uint32_t solClient_uint32_t;
typedef int64_t solClient_int64_t;
typedef uint64_t solClient_uint64_t;
typedef void *solClient_opaqueMsg_pt;
typedef void *solClient_opaqueContainer_pt;
typedef void *solClient_opaquePointer_pt;

/* A fixed underlying type in C++, so a value outside the named ones (which callers can
   build) is still a valid value of the type. */
typedef enum solClient_destinationType
#ifdef __cplusplus
    : int
#endif
{
    SOLCLIENT_NULL_DESTINATION = -1,
    SOLCLIENT_TOPIC_DESTINATION = 0,
    SOLCLIENT_QUEUE_DESTINATION = 1,
    SOLCLIENT_TOPIC_TEMP_DESTINATION = 2,
    SOLCLIENT_QUEUE_TEMP_DESTINATION = 3,
} solClient_destinationType_t;

/* 16 bytes: type at 0, padding, name pointer at 8. Passed with its size. */
typedef struct solClient_destination {
    solClient_destinationType_t destType;
    const char *dest;
} solClient_destination_t;

/* 264 bytes: sub-code, response code, NUL-terminated text at 8. */
typedef struct solClient_errorInfo {
    int subCode;
    int responseCode;
    char errorStr[256];
} solClient_errorInfo_t, *solClient_errorInfo_pt;

/* Log filter levels of solClient_initialize: 0 emergency ... 7 debug. */
#define SOLCLIENT_LOG_CRITICAL 2

#define SOLCLIENT_DELIVERY_MODE_DIRECT 0x00
#define SOLCLIENT_DELIVERY_MODE_PERSISTENT 0x10
#define SOLCLIENT_DELIVERY_MODE_NONPERSISTENT 0x20

/* The library as a whole. The first successful call discards every message allocated
   before it; later calls return 0 and change nothing. props: NULL, or name/value pairs
   ending with NULL. */
SOLCLIENT_API solClient_returnCode_t solClient_initialize(int logFilterLevel, const char **props);

/* The library's own version record; its texts live as long as the library. */
typedef struct solClient_version_info {
    const char *version_p;
    const char *dateTime_p;
    const char *variant_p;
} solClient_version_info_t, *solClient_version_info_pt;
SOLCLIENT_API solClient_returnCode_t solClient_version_get(solClient_version_info_pt *version_p);

/* Message lifecycle and text form. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_alloc(solClient_opaqueMsg_pt *msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_free(solClient_opaqueMsg_pt *msg_p);
SOLCLIENT_API solClient_errorInfo_pt solClient_getLastErrorInfo(void);
SOLCLIENT_API solClient_returnCode_t solClient_msg_dump(solClient_opaqueMsg_pt msg_p, char *buffer_p,
                                                        size_t bufferSize);
SOLCLIENT_API solClient_returnCode_t solClient_container_closeMapStream(
    solClient_opaqueContainer_pt *container_p);

/* Header properties. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_getDestination(solClient_opaqueMsg_pt msg_p,
                                                                  solClient_destination_t *dest_p,
                                                                  size_t destSize);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setDestination(solClient_opaqueMsg_pt msg_p,
                                                                  solClient_destination_t *dest_p,
                                                                  size_t destSize);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getReplyTo(solClient_opaqueMsg_pt msg_p,
                                                              solClient_destination_t *dest_p,
                                                              size_t destSize);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setReplyTo(solClient_opaqueMsg_pt msg_p,
                                                              solClient_destination_t *dest_p,
                                                              size_t destSize);
SOLCLIENT_API solClient_bool_t solClient_msg_isReplyMsg(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setAsReplyMsg(solClient_opaqueMsg_pt msg_p,
                                                                 solClient_bool_t isReply);
SOLCLIENT_API solClient_bool_t solClient_msg_isElidingEligible(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setElidingEligible(solClient_opaqueMsg_pt msg_p,
                                                                      solClient_bool_t elide);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getDeliveryMode(solClient_opaqueMsg_pt msg_p,
                                                                   solClient_uint32_t *mode_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setDeliveryMode(solClient_opaqueMsg_pt msg_p,
                                                                   solClient_uint32_t mode);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getClassOfService(solClient_opaqueMsg_pt msg_p,
                                                                     solClient_uint32_t *cos_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setClassOfService(solClient_opaqueMsg_pt msg_p,
                                                                     solClient_uint32_t cos);

/* The rest of the header. A priority of -1 is none; a time to live of 0, none. The sender
   timestamp and sequence number are raw 64 bits, read back signed. */
SOLCLIENT_API solClient_bool_t solClient_msg_isDMQEligible(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setDMQEligible(solClient_opaqueMsg_pt msg_p,
                                                                  solClient_bool_t eligible);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getTimeToLive(solClient_opaqueMsg_pt msg_p,
                                                                 solClient_int64_t *ttl_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setTimeToLive(solClient_opaqueMsg_pt msg_p,
                                                                 solClient_int64_t ttl);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getPriority(solClient_opaqueMsg_pt msg_p,
                                                               solClient_int32_t *priority_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setPriority(solClient_opaqueMsg_pt msg_p,
                                                               solClient_int32_t priority);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getCorrelationId(solClient_opaqueMsg_pt msg_p,
                                                                    const char **id_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setCorrelationId(solClient_opaqueMsg_pt msg_p,
                                                                    const char *id);
SOLCLIENT_API solClient_returnCode_t solClient_msg_deleteCorrelationId(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getApplicationMessageId(solClient_opaqueMsg_pt msg_p,
                                                                           const char **id_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setApplicationMessageId(solClient_opaqueMsg_pt msg_p,
                                                                           const char *id);
SOLCLIENT_API solClient_returnCode_t solClient_msg_deleteApplicationMessageId(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getSenderTimestamp(solClient_opaqueMsg_pt msg_p,
                                                                      solClient_int64_t *timestamp_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setSenderTimestamp(solClient_opaqueMsg_pt msg_p,
                                                                      solClient_int64_t timestamp);
SOLCLIENT_API solClient_returnCode_t solClient_msg_deleteSenderTimestamp(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getSequenceNumber(solClient_opaqueMsg_pt msg_p,
                                                                     solClient_int64_t *sequence_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setSequenceNumber(solClient_opaqueMsg_pt msg_p,
                                                                     solClient_uint64_t sequence);
SOLCLIENT_API solClient_returnCode_t solClient_msg_deleteSequenceNumber(solClient_opaqueMsg_pt msg_p);

/* Payload and user property map. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_getBinaryAttachmentPtr(
    solClient_opaqueMsg_pt msg_p, solClient_opaquePointer_pt *buf_p, solClient_uint32_t *size_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setBinaryAttachment(solClient_opaqueMsg_pt msg_p,
                                                                       const void *buf_p,
                                                                       solClient_uint32_t size);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getUserPropertyMap(
    solClient_opaqueMsg_pt msg_p, solClient_opaqueContainer_pt *map_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_createUserPropertyMap(
    solClient_opaqueMsg_pt msg_p, solClient_opaqueContainer_pt *map_p, solClient_uint32_t size);
SOLCLIENT_API solClient_returnCode_t solClient_container_getStringPtr(
    solClient_opaqueContainer_pt container_p, const char **value_p, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addString(
    solClient_opaqueContainer_pt container_p, const char *value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getHttpContentType(solClient_opaqueMsg_pt msg_p,
                                                                      const char **type_p);
/* The attachment as the library's structured string: 0x1F, a 4-byte big-endian length of
   the whole field, the text and a NUL. NULL removes the attachment. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_getBinaryAttachmentString(solClient_opaqueMsg_pt msg_p,
                                                                             const char **text_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setBinaryAttachmentString(solClient_opaqueMsg_pt msg_p,
                                                                             const char *text);
/* Not called by the module; tests use it to give a message an HTTP content type. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_setHttpContentType(solClient_opaqueMsg_pt msg_p,
                                                                      const char *type);

#ifdef __cplusplus
}
#endif

#endif
