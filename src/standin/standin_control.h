/* Test control of the stand-in libsolclient: injected failures, call counts, a view of the
 * live messages and open container handles, counts of bad input, and what a received message
 * carries. Exported by the stand-in alone; the genuine library has none of these, so tests
 * look them up before use.
 *
 * Operations are named by their full function name, "solClient_msg_alloc" for example.
 * Unknown names are ignored (and counted as never called). */
#ifndef ZELMSG_STANDIN_CONTROL_H
#define ZELMSG_STANDIN_CONTROL_H

#include "solclient.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The sub-code of the last-error record with which the stand-in refuses
 * solClient_msg_encodeToSMF and solClient_msg_decodeFromSmf: it has no wire encoding. Far
 * above the genuine library's sub-codes. */
#define STANDIN_SUBCODE_NO_WIRE_ENCODING 1000

/* Forgets injected failures and the error text, and zeroes every call count and the two
 * counts of bad input below. */
SOLCLIENT_API void standin_reset(void);

/* Makes the next `times` calls of the operation return `return_code` without writing any
 * output or changing any message; the flag getters return what they return for a null
 * handle instead (0, and 255 for solClient_msg_isAckImmediately). Such a call still counts
 * and sets the last-error record. A later call replaces an earlier one; `times` of 0 or less
 * cancels. solClient_getLastErrorInfo and solClient_resetLastErrorInfo cannot be made to
 * fail: they have no way to report a failure that callers would check. */
SOLCLIENT_API void standin_fail_next(const char *operation, int return_code, int times);

/* The text that the last-error record carries after later failures, in place of the
 * library's own; NULL goes back to the library's own texts. Cut to 255 bytes. */
SOLCLIENT_API void standin_set_error_text(const char *text);

/* Calls of the operation since the last reset, failed and injected ones included. */
SOLCLIENT_API unsigned long standin_calls(const char *operation);

/* The message handle most recently allocated, whether or not it is still live. */
SOLCLIENT_API void *standin_last_message(void);

/* Messages allocated and not yet freed. Not touched by standin_reset. */
SOLCLIENT_API long standin_live_messages(void);

/* Calls since the last reset that were given a non-null message or container handle that
 * the library never gave out, such as uninitialised memory. Null handles and stale ones (of
 * a freed message, or a closed or replaced container) do not count: those it did give out
 * once. */
SOLCLIENT_API unsigned long standin_foreign_handles(void);

/* Calls since the last reset of solClient_msg_createUserPropertyMap that asked for a size
 * of 8 or less, on which the genuine library corrupts its heap, and of
 * solClient_container_createMap or createStream that gave it less than 5 bytes of memory,
 * into which it writes 5 regardless. The stand-in refuses them (-1, with its own error
 * text) and changes nothing. */
SOLCLIENT_API unsigned long standin_small_map_sizes(void);

/* Container handle references given out and not yet closed: each call that hands out a
 * handle (the user property map's, an attachment container's, a standalone container's, a
 * nested one's, one read from a MAP or STREAM field) adds one, each close takes one away.
 * A handle that the library invalidates (its container replaced, deleted or freed, its parent
 * closed) drops out with all its references. Not touched by standin_reset. */
SOLCLIENT_API unsigned long standin_open_containers(void);

/* Gives the message a fact that only a received message carries, which the library's
 * getters then read: "redelivered" (0 or not, for solClient_msg_isRedelivered),
 * "delivery_count" (a 32-bit count, for getDeliveryCount, which then answers 0 instead of
 * -1), "receive_timestamp" (getRcvTimestamp), "topic_sequence_number"
 * (getTopicSequenceNumber), "message_id" (getMsgId, read as the same 64 bits unsigned),
 * "cache_status" (1 cached or 2 suspect for isCacheMsg, 0 live again) and
 * "cache_request_id" (getCacheRequestId). The numbers then read 0 instead of 5. The dump shows the redelivered flag,
 * the topic sequence number and the message id as the genuine library does. 0 on success; -1 for a handle that is no
 * live message, an unknown fact, or a delivery count out of range. */
SOLCLIENT_API int standin_set_received(void *msg, const char *fact, long long value);

/* Gives the message the ids of `count` consumers it was delivered to, which
 * getConsumerIdCount and getConsumerId then read; 0 takes them away. 0 on success, -1 for a
 * handle that is no live message. */
SOLCLIENT_API int standin_set_consumer_ids(void *msg, const solClient_consumerId_t *ids, size_t count);

/* Gives the message a replication group message id of `size` bytes, which must be 16, or
 * takes it away when `id` is NULL. 0 on success, -1 for a handle that is no live message or
 * another size. */
SOLCLIENT_API int standin_set_replication_group_message_id(void *msg, const void *id, size_t size);

#ifdef __cplusplus
}
#endif

#endif
