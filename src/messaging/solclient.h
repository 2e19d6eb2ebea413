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
    SOLCLIENT_EOS = 4, /* getNextField: no field left */
    SOLCLIENT_FAIL = -1,
};

typedef unsigned char solClient_bool_t;
typedef uint8_t solClient_uint8_t;
typedef int8_t solClient_int8_t;
typedef uint16_t solClient_uint16_t;
typedef int16_t solClient_int16_t;
typedef int32_t solClient_int32_t;
typedef uint32_t solClient_uint32_t;
typedef int64_t solClient_int64_t;
typedef uint64_t solClient_uint64_t;
typedef void *solClient_opaqueMsg_pt;
typedef void *solClient_opaqueContainer_pt;
typedef void *solClient_opaquePointer_pt;
/* 4 bytes here; the library keeps the low 16 bits. */
typedef wchar_t solClient_wchar_t;

/* A fixed underlying type in C++, so a value outside the named ones (which callers can
   build) is still a valid value of the type. */
typedef enum solClient_destinationType
#ifdef __cplusplus
    : int
#endif
{ SOLCLIENT_NULL_DESTINATION = -1,
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

/* What a container field holds. */
typedef enum solClient_fieldType
#ifdef __cplusplus
    : int
#endif
{ SOLCLIENT_BOOL = 0,
  SOLCLIENT_UINT8 = 1,
  SOLCLIENT_INT8 = 2,
  SOLCLIENT_UINT16 = 3,
  SOLCLIENT_INT16 = 4,
  SOLCLIENT_UINT32 = 5,
  SOLCLIENT_INT32 = 6,
  SOLCLIENT_UINT64 = 7,
  SOLCLIENT_INT64 = 8,
  SOLCLIENT_WCHAR = 9,
  SOLCLIENT_STRING = 10,
  SOLCLIENT_BYTEARRAY = 11,
  SOLCLIENT_FLOAT = 12,
  SOLCLIENT_DOUBLE = 13,
  SOLCLIENT_MAP = 14,
  SOLCLIENT_STREAM = 15,
  SOLCLIENT_NULL = 16,
  SOLCLIENT_DESTINATION = 17,
  SOLCLIENT_SMF = 18,
  SOLCLIENT_UNKNOWN = -1,
} solClient_fieldType_t;

/* 24 bytes: type at 0, length at 4, value at 8. A read writes only the member of its type
   (a WCHAR as 4 bytes); pointers point into the container and stay good only until it
   changes. length is the value's encoded size: 1, 2, 4 or 8 for numbers (2 for WCHAR),
   strlen + 1 for STRING, the byte count for BYTEARRAY and SMF (an empty one reads a null
   pointer), the name's length + 2 for DESTINATION, the encoded fields (without the 5-byte
   header) for MAP and STREAM, 0 for NULL, and the whole encoded field for UNKNOWN. A MAP or
   STREAM value is a container handle that the reader must close. */
typedef struct solClient_field {
    solClient_fieldType_t type;
    solClient_uint32_t length;
    union {
        solClient_bool_t boolean;
        solClient_uint8_t uint8;
        solClient_int8_t int8;
        solClient_uint16_t uint16;
        solClient_int16_t int16;
        solClient_uint32_t uint32;
        solClient_int32_t int32;
        solClient_uint64_t uint64;
        solClient_int64_t int64;
        solClient_wchar_t wchar;
        const char *string;
        const solClient_uint8_t *bytearray;
        float float32;
        double float64;
        solClient_opaqueContainer_pt map;
        solClient_opaqueContainer_pt stream;
        solClient_destination_t dest;
        const solClient_uint8_t *smf;
        const solClient_uint8_t *unknown;
    } value;
} solClient_field_t;

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
SOLCLIENT_API solClient_returnCode_t solClient_container_closeMapStream(solClient_opaqueContainer_pt *container_p);

/* Header properties. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_getDestination(solClient_opaqueMsg_pt msg_p,
                                                                  solClient_destination_t *dest_p, size_t destSize);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setDestination(solClient_opaqueMsg_pt msg_p,
                                                                  solClient_destination_t *dest_p, size_t destSize);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getReplyTo(solClient_opaqueMsg_pt msg_p,
                                                              solClient_destination_t *dest_p, size_t destSize);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setReplyTo(solClient_opaqueMsg_pt msg_p,
                                                              solClient_destination_t *dest_p, size_t destSize);
/* Removes the reply-to; OK whether or not there is one. A refused setReplyTo removes the old
   reply-to too, before it refuses. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_deleteReplyTo(solClient_opaqueMsg_pt msg_p);
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
SOLCLIENT_API solClient_returnCode_t solClient_msg_setTimeToLive(solClient_opaqueMsg_pt msg_p, solClient_int64_t ttl);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getPriority(solClient_opaqueMsg_pt msg_p,
                                                               solClient_int32_t *priority_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setPriority(solClient_opaqueMsg_pt msg_p,
                                                               solClient_int32_t priority);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getCorrelationId(solClient_opaqueMsg_pt msg_p, const char **id_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setCorrelationId(solClient_opaqueMsg_pt msg_p, const char *id);
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
SOLCLIENT_API solClient_returnCode_t solClient_msg_getBinaryAttachmentPtr(solClient_opaqueMsg_pt msg_p,
                                                                          solClient_opaquePointer_pt *buf_p,
                                                                          solClient_uint32_t *size_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setBinaryAttachment(solClient_opaqueMsg_pt msg_p, const void *buf_p,
                                                                       solClient_uint32_t size);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                                      solClient_opaqueContainer_pt *map_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_createUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                                         solClient_opaqueContainer_pt *map_p,
                                                                         solClient_uint32_t size);
SOLCLIENT_API solClient_returnCode_t solClient_container_getStringPtr(solClient_opaqueContainer_pt container_p,
                                                                      const char **value_p, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addString(solClient_opaqueContainer_pt container_p,
                                                                   const char *value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getHttpContentType(solClient_opaqueMsg_pt msg_p,
                                                                      const char **type_p);
/* The attachment as the library's structured string: 0x1F, a 4-byte big-endian length of
   the whole field, the text and a NUL. NULL removes the attachment. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_getBinaryAttachmentString(solClient_opaqueMsg_pt msg_p,
                                                                             const char **text_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setBinaryAttachmentString(solClient_opaqueMsg_pt msg_p,
                                                                             const char *text);

/* Containers: maps (named fields) and streams (unnamed ones), each a handle that its
   getter must close. A handle got again while open is the same value with one more
   reference; the last close invalidates it and every handle opened through it. Replacing,
   deleting or freeing what a handle names invalidates it too.

   The message's own containers: its user property map and its attachment as a map or a
   stream. The set calls copy the container they are given, which stays the caller's. An
   attachment container is encoded into the attachment when its last handle closes: read
   the attachment only then. size is a hint of the bytes the fields will take. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_setUserPropertyMap(solClient_opaqueMsg_pt msg_p,
                                                                      solClient_opaqueContainer_pt map_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getBinaryAttachmentMap(solClient_opaqueMsg_pt msg_p,
                                                                          solClient_opaqueContainer_pt *map_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getBinaryAttachmentStream(solClient_opaqueMsg_pt msg_p,
                                                                             solClient_opaqueContainer_pt *stream_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_createBinaryAttachmentMap(solClient_opaqueMsg_pt msg_p,
                                                                             solClient_opaqueContainer_pt *map_p,
                                                                             solClient_uint32_t size);
SOLCLIENT_API solClient_returnCode_t solClient_msg_createBinaryAttachmentStream(solClient_opaqueMsg_pt msg_p,
                                                                                solClient_opaqueContainer_pt *stream_p,
                                                                                solClient_uint32_t size);
SOLCLIENT_API solClient_returnCode_t
solClient_msg_setBinaryAttachmentContainer(solClient_opaqueMsg_pt msg_p, solClient_opaqueContainer_pt container_p);

/* Standalone containers, built in the caller's memory of size bytes (its 5-byte header
   included), which must outlive the handle: a field that does not fit is refused. The
   genuine library crashes on a null map_p or stream_p and writes 5 bytes even when size is
   smaller. */
SOLCLIENT_API solClient_returnCode_t solClient_container_createMap(solClient_opaqueContainer_pt *map_p, char *mem_p,
                                                                   solClient_uint32_t size);
SOLCLIENT_API solClient_returnCode_t solClient_container_createStream(solClient_opaqueContainer_pt *stream_p,
                                                                      char *mem_p, solClient_uint32_t size);

/* Nested containers: a new empty one added under name (NULL in a stream), or a copy of one. */
SOLCLIENT_API solClient_returnCode_t solClient_container_openSubMap(solClient_opaqueContainer_pt container_p,
                                                                    solClient_opaqueContainer_pt *map_p,
                                                                    const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_openSubStream(solClient_opaqueContainer_pt container_p,
                                                                       solClient_opaqueContainer_pt *stream_p,
                                                                       const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addContainer(solClient_opaqueContainer_pt container_p,
                                                                      solClient_opaqueContainer_pt sub_p,
                                                                      const char *name);

/* Fields: value first, name last. A map takes a non-empty name (duplicates are kept), a
   stream NULL. The library reads length bytes of a byte array or SMF. */
SOLCLIENT_API solClient_returnCode_t solClient_container_addBoolean(solClient_opaqueContainer_pt container_p,
                                                                    solClient_bool_t value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addUint8(solClient_opaqueContainer_pt container_p,
                                                                  solClient_uint8_t value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addInt8(solClient_opaqueContainer_pt container_p,
                                                                 solClient_int8_t value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addUint16(solClient_opaqueContainer_pt container_p,
                                                                   solClient_uint16_t value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addInt16(solClient_opaqueContainer_pt container_p,
                                                                  solClient_int16_t value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addUint32(solClient_opaqueContainer_pt container_p,
                                                                   solClient_uint32_t value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addInt32(solClient_opaqueContainer_pt container_p,
                                                                  solClient_int32_t value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addUint64(solClient_opaqueContainer_pt container_p,
                                                                   solClient_uint64_t value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addInt64(solClient_opaqueContainer_pt container_p,
                                                                  solClient_int64_t value, const char *name);
/* A WCHAR of 0 to 127; other values are refused. */
SOLCLIENT_API solClient_returnCode_t solClient_container_addChar(solClient_opaqueContainer_pt container_p, char value,
                                                                 const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addWchar(solClient_opaqueContainer_pt container_p,
                                                                  solClient_wchar_t value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addByteArray(solClient_opaqueContainer_pt container_p,
                                                                      const solClient_uint8_t *value,
                                                                      solClient_uint32_t length, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addSmf(solClient_opaqueContainer_pt container_p,
                                                                const solClient_uint8_t *value,
                                                                solClient_uint32_t length, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addFloat(solClient_opaqueContainer_pt container_p, float value,
                                                                  const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addDouble(solClient_opaqueContainer_pt container_p,
                                                                   double value, const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addNull(solClient_opaqueContainer_pt container_p,
                                                                 const char *name);
/* Topic or Queue (temporary kinds are kept as these), a name of at most 249 bytes. */
SOLCLIENT_API solClient_returnCode_t solClient_container_addDestination(solClient_opaqueContainer_pt container_p,
                                                                        const solClient_destination_t *value,
                                                                        size_t destSize, const char *name);

/* Reading. getNextField returns SOLCLIENT_EOS after the last field, and the name of a map
   field (NULL for a stream's, whose name_p may be NULL). getField finds the first field of
   the name, or in a stream (name NULL) the next field. Both leave the cursor after the field
   they read; rewind puts it back to the start. deleteField removes every field of the name;
   the cursor is stale after it (rewind before iterating). fieldSize is 24. */
SOLCLIENT_API solClient_returnCode_t solClient_container_getNextField(solClient_opaqueContainer_pt container_p,
                                                                      solClient_field_t *field_p, size_t fieldSize,
                                                                      const char **name_p);
SOLCLIENT_API solClient_returnCode_t solClient_container_getField(solClient_opaqueContainer_pt container_p,
                                                                  solClient_field_t *field_p, size_t fieldSize,
                                                                  const char *name);
SOLCLIENT_API solClient_returnCode_t solClient_container_rewind(solClient_opaqueContainer_pt container_p);
/* The container's encoded size in bytes, its 5-byte header included: every add makes it
   larger and every delete smaller. */
SOLCLIENT_API solClient_returnCode_t solClient_container_getSize(solClient_opaqueContainer_pt container_p,
                                                                 size_t *size_p);
SOLCLIENT_API solClient_returnCode_t solClient_container_deleteField(solClient_opaqueContainer_pt container_p,
                                                                     const char *name);

/* More header text, each stored up to its first NUL, "" included. set(NULL) returns -1: for
   the sender id and the application message type it also removes the value the message
   had, for the HTTP content type and encoding it keeps it. A delete returns 0 whether or not
   there was a value. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_setHttpContentType(solClient_opaqueMsg_pt msg_p, const char *type);
SOLCLIENT_API solClient_returnCode_t solClient_msg_deleteHttpContentType(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getHttpContentEncoding(solClient_opaqueMsg_pt msg_p,
                                                                          const char **encoding_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setHttpContentEncoding(solClient_opaqueMsg_pt msg_p,
                                                                          const char *encoding);
SOLCLIENT_API solClient_returnCode_t solClient_msg_deleteHttpContentEncoding(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getSenderId(solClient_opaqueMsg_pt msg_p, const char **id_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setSenderId(solClient_opaqueMsg_pt msg_p, const char *id);
SOLCLIENT_API solClient_returnCode_t solClient_msg_deleteSenderId(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getApplicationMsgType(solClient_opaqueMsg_pt msg_p,
                                                                         const char **type_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setApplicationMsgType(solClient_opaqueMsg_pt msg_p,
                                                                         const char *type);
SOLCLIENT_API solClient_returnCode_t solClient_msg_deleteApplicationMsgType(solClient_opaqueMsg_pt msg_p);

/* Expiration: 0 (none, and fresh) to INT64_MAX; a negative one is refused. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_getExpiration(solClient_opaqueMsg_pt msg_p,
                                                                 solClient_int64_t *expiration_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setExpiration(solClient_opaqueMsg_pt msg_p,
                                                                 solClient_int64_t expiration);
/* Any non-zero value sets it. A failed read (a null handle) answers 255, not 0. */
SOLCLIENT_API solClient_bool_t solClient_msg_isAckImmediately(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setAckImmediately(solClient_opaqueMsg_pt msg_p,
                                                                     solClient_bool_t ack);
/* Only 0 and 1 are taken. */
SOLCLIENT_API solClient_bool_t solClient_msg_isDiscardIndication(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setDiscardIndication(solClient_opaqueMsg_pt msg_p,
                                                                        solClient_bool_t discard);
/* User data: copied, of any size (the wire takes at most 36 bytes: a larger one fails only
   when encoded); size 0 removes it, whatever the pointer; a null pointer with a size is
   refused. The read gives a pointer into the message, 5 when there is none. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_getUserDataPtr(solClient_opaqueMsg_pt msg_p,
                                                                  solClient_opaquePointer_pt *data_p,
                                                                  solClient_uint32_t *size_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setUserData(solClient_opaqueMsg_pt msg_p, const void *data_p,
                                                               solClient_uint32_t size);

/* What a received message carries; no setters. A message that was not received reads: not
   redelivered; a delivery count -1 (sub-code 155, the output untouched); receive timestamp,
   topic sequence number and message id 5, with 0 written; replication group message id 5,
   untouched. The id is 16 bytes, and size must say so. */
SOLCLIENT_API solClient_bool_t solClient_msg_isRedelivered(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getDeliveryCount(solClient_opaqueMsg_pt msg_p,
                                                                    solClient_int32_t *count_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getRcvTimestamp(solClient_opaqueMsg_pt msg_p,
                                                                   solClient_int64_t *timestamp_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getTopicSequenceNumber(solClient_opaqueMsg_pt msg_p,
                                                                          solClient_int64_t *sequence_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getMsgId(solClient_opaqueMsg_pt msg_p, solClient_uint64_t *id_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getReplicationGroupMessageId(solClient_opaqueMsg_pt msg_p,
                                                                                void *id_p, size_t size);
/* The id as text, "rmid1:" and 32 lowercase hex digits grouped 5-11-8-8: 41 characters and
   a NUL, so textSize must be 42 or more. A smaller buffer gets textSize - 1 characters and
   a NUL, and -1. idSize must be 16; an id whose first 8 bytes are zero is refused. The
   genuine library crashes on a null id. */
SOLCLIENT_API solClient_returnCode_t solClient_replicationGroupMessageId_toString(const void *id_p, size_t idSize,
                                                                                  char *text_p, size_t textSize);
#define SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_SIZE 16
#define SOLCLIENT_REPLICATION_GROUP_MESSAGE_ID_STRING_LENGTH 41

/* What a receiver learns of a cache: isCacheMsg answers SOLCLIENT_CACHE_LIVE_MESSAGE for a
   message that came live, and SOLCLIENT_CACHE_INVALID_MESSAGE for a null handle. The request id
   reads 5 on a message that no cache request brought, with 0 written. */
typedef enum solClient_cacheStatus
#ifdef __cplusplus
    : int
#endif
{ SOLCLIENT_CACHE_INVALID_MESSAGE = -1,
  SOLCLIENT_CACHE_LIVE_MESSAGE = 0,
  SOLCLIENT_CACHE_MESSAGE = 1,
  SOLCLIENT_CACHE_SUSPECT_MESSAGE = 2,
} solClient_cacheStatus_t;
SOLCLIENT_API solClient_cacheStatus_t solClient_msg_isCacheMsg(solClient_opaqueMsg_pt msg_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getCacheRequestId(solClient_opaqueMsg_pt msg_p,
                                                                     solClient_uint64_t *id_p);
/* The ids of the consumers a message was delivered to: the count (4 bytes), then each by
   index. An index at or past the count answers 0 with 0xFFFFFFFF written: only ask below it. */
typedef solClient_uint32_t solClient_consumerId_t;
SOLCLIENT_API solClient_returnCode_t solClient_msg_getConsumerIdCount(solClient_opaqueMsg_pt msg_p,
                                                                      solClient_uint32_t *count_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getConsumerId(solClient_opaqueMsg_pt msg_p, solClient_uint32_t index,
                                                                 solClient_consumerId_t *id_p);

/* W3C trace contexts, two a message: the transport context (rewritten at each hop, which the
   wire encoding leaves out) and the creation context (set once by the producer, which it
   keeps); and W3C baggage. Every getter of a message without the context answers 5.
   Setting any part of a context makes it, with the rest zero, unsampled, an empty trace
   state and the W3C injection standard. The library takes any size and any context type
   without complaint, and what it does with others is unknown: pass 16 for a trace id, 8 for
   a span id, and only the two types below. A trace state is at most 512 bytes (more is -1)
   and is cut at a NUL; size 0 stores an empty one. A baggage is a NUL-terminated text of any
   length; its pointer read gives the size with the NUL, and set(NULL) changes nothing. */
typedef enum solClient_msg_tracing_context_type
#ifdef __cplusplus
    : int
#endif
{ SOLCLIENT_CONTEXT_TYPE_TRANSPORT_CONTEXT = 0,
  SOLCLIENT_CONTEXT_TYPE_CREATION_CONTEXT = 1,
} solClient_msg_tracing_context_type_t;
typedef enum solClient_msg_tracing_injection_standard_type
#ifdef __cplusplus
    : int
#endif
{ SOLCLIENT_INJECTION_STANDARD_SMF = 0,
  SOLCLIENT_INJECTION_STANDARD_W3C = 1,
} solClient_msg_tracing_injection_standard_type_t;
#define SOLCLIENT_TRACING_TRACE_ID_SIZE 16
#define SOLCLIENT_TRACING_SPAN_ID_SIZE 8
#define SOLCLIENT_TRACING_MAX_TRACE_STATE 512
SOLCLIENT_API solClient_returnCode_t
solClient_msg_tracing_getTraceIdByte(solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t contextType,
                                     solClient_uint8_t *traceId, size_t size);
SOLCLIENT_API solClient_returnCode_t
solClient_msg_tracing_setTraceIdByte(solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t contextType,
                                     const solClient_uint8_t *traceId, size_t size);
SOLCLIENT_API solClient_returnCode_t
solClient_msg_tracing_getSpanIdByte(solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t contextType,
                                    solClient_uint8_t *spanId, size_t size);
SOLCLIENT_API solClient_returnCode_t
solClient_msg_tracing_setSpanIdByte(solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t contextType,
                                    const solClient_uint8_t *spanId, size_t size);
SOLCLIENT_API solClient_returnCode_t solClient_msg_tracing_isSampled(solClient_opaqueMsg_pt msg_p,
                                                                     solClient_msg_tracing_context_type_t contextType,
                                                                     solClient_bool_t *isSampled);
SOLCLIENT_API solClient_returnCode_t solClient_msg_tracing_setSampled(solClient_opaqueMsg_pt msg_p,
                                                                      solClient_msg_tracing_context_type_t contextType,
                                                                      solClient_bool_t isSampled);
SOLCLIENT_API solClient_returnCode_t
solClient_msg_tracing_getTraceStatePtr(solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t contextType,
                                       const char **traceState, size_t *size);
SOLCLIENT_API solClient_returnCode_t
solClient_msg_tracing_setTraceState(solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t contextType,
                                    const char *traceState, size_t size);
SOLCLIENT_API solClient_returnCode_t
solClient_msg_tracing_deleteContext(solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t contextType);
SOLCLIENT_API solClient_returnCode_t solClient_msg_tracing_getInjectionStandardByte(
    solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t contextType, solClient_uint8_t *standard);
SOLCLIENT_API solClient_returnCode_t solClient_msg_tracing_setInjectionStandardByte(
    solClient_opaqueMsg_pt msg_p, solClient_msg_tracing_context_type_t contextType, solClient_uint8_t standard);
SOLCLIENT_API solClient_returnCode_t solClient_msg_tracing_getBaggagePtr(solClient_opaqueMsg_pt msg_p,
                                                                         const char **baggage, size_t *size);
SOLCLIENT_API solClient_returnCode_t solClient_msg_tracing_setBaggage(solClient_opaqueMsg_pt msg_p,
                                                                      const char *baggage);
SOLCLIENT_API solClient_returnCode_t solClient_msg_tracing_deleteBaggage(solClient_opaqueMsg_pt msg_p);

/* A full, independent copy of the message. The genuine library crashes on a null copy_p,
   and its copy shares the attachment and user data bytes with the original (reference
   counted; a later set gives either its own), so never write through their pointers. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_dup(solClient_opaqueMsg_pt msg_p, solClient_opaqueMsg_pt *copy_p);

/* The wire encoding (SMF), which only the genuine library has: encodeToSMF points out at
   bytes in a data block that the caller releases with datablock_free; decodeFromSmf gives a
   new message that the caller frees (the genuine library crashes there before
   solClient_initialize). The stand-in refuses both. */
typedef struct solClient_bufInfo {
    void *buf_p;
    solClient_uint32_t bufSize;
} solClient_bufInfo_t, *solClient_bufInfo_pt;
typedef void *solClient_opaqueDatablock_pt;

SOLCLIENT_API solClient_returnCode_t solClient_msg_encodeToSMF(solClient_opaqueMsg_pt msg_p, solClient_bufInfo_pt out_p,
                                                               solClient_opaqueDatablock_pt *datablock_p);
SOLCLIENT_API solClient_returnCode_t solClient_datablock_free(solClient_opaqueDatablock_pt *datablock_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_decodeFromSmf(solClient_bufInfo_pt in_p,
                                                                 solClient_opaqueMsg_pt *msg_p);

/* The rest of the message. */
/* The XML part, beside the binary attachment: a pointer into the message. A null buffer
   with a non-zero size is refused (-1) and keeps the part; size 0 deletes it. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_setXml(solClient_opaqueMsg_pt msg_p, const void *buf_p,
                                                          solClient_uint32_t size);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getXmlPtr(solClient_opaqueMsg_pt msg_p,
                                                             solClient_opaquePointer_pt *buf_p,
                                                             solClient_uint32_t *size_p);
/* The correlation tag: bytes that stay with the message in this process (a copy keeps them,
   the wire encoding does not). Taken as the XML part is. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_setCorrelationTag(solClient_opaqueMsg_pt msg_p, const void *buf_p,
                                                                     solClient_uint32_t size);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getCorrelationTagPtr(solClient_opaqueMsg_pt msg_p,
                                                                        solClient_opaquePointer_pt *buf_p,
                                                                        solClient_uint32_t *size_p);
/* The dump of solClient_msg_dump, cut as it cuts it; bit 0 of flags set gives it whole
   (SOLCLIENT_MSGDUMP_FULL), clear gives only the lengths of the user property map, the
   attachment and the XML part (SOLCLIENT_MSGDUMP_BRIEF). Other bits are ignored. OK even when
   the text is cut. */
#define SOLCLIENT_MSGDUMP_BRIEF 0
#define SOLCLIENT_MSGDUMP_FULL 1
SOLCLIENT_API solClient_returnCode_t solClient_msg_dumpExt(solClient_opaqueMsg_pt msg_p, char *buffer_p,
                                                           size_t bufferSize, solClient_uint32_t flags);
/* Empties the message as if it were new; the handle stays, and every container handle
   opened on it goes stale. */
SOLCLIENT_API solClient_returnCode_t solClient_msg_reset(solClient_opaqueMsg_pt msg_p);
/* The inverse of toString: 41 characters, "rmid1:" and 32 hex digits of either case, with
   three dashes of which none is last nor follows another; an id whose first 8 bytes are zero
   is refused. Any refusal is -1 with sub-code 1 (2 for a null text), and writes nothing. The
   genuine library writes 16 bytes whatever idSize says. */
SOLCLIENT_API solClient_returnCode_t solClient_replicationGroupMessageId_fromString(void *id_p, size_t idSize,
                                                                                    const char *text_p);
/* -1, 0 or 1 in *result_p: the last 8 bytes compared as an unsigned big-endian number. Ids whose
   first 8 bytes differ come from different origins: -1 with sub-code 157, and *result_p left
   as it was. The genuine library crashes on a null pointer. */
SOLCLIENT_API solClient_returnCode_t solClient_replicationGroupMessageId_compare(const void *first_p,
                                                                                 const void *second_p, int *result_p);
/* Adds one whole encoded field (its tag, its length, its value) as it is; it is then read as
   whatever type its bytes say, so a well-formed one of a known type reads as that type. A
   length other than the one the field's own length bytes give is refused (sub-code 3), and so
   is a null or empty field (sub-code 2). */
SOLCLIENT_API solClient_returnCode_t solClient_container_addUnknownField(solClient_opaqueContainer_pt container_p,
                                                                         const solClient_uint8_t *value,
                                                                         solClient_uint32_t length, const char *name);

/* Empties this thread's last-error record: sub-code 0, response code 0, no text. Successful
   calls leave the record as it was, so clear it before a call whose failure is reported. */
SOLCLIENT_API void solClient_resetLastErrorInfo(void);

#ifdef __cplusplus
}
#endif

#endif
