// The stand-in libsolclient's C ABI handed bad input: null, freed and foreign handles, null
// pointers, a null pointer with a size, destination records of the wrong size, over-long
// and unterminated names, refused values, values taken from the message itself, every dump
// buffer size, attachments and string attachments at the 32-bit size limit, containers:
// standalone ones filled to the brim, deep ones, malformed encodings, lengths beyond the
// room; replication group message ids and their text in buffers of every size, copies, and
// the wire calls. Each answer is the one the genuine library gives, or a refusal where it
// crashes; outputs stay untouched on failure, and nothing crashes.
// Built with ZELMSG_SANITIZE, any access outside what the caller handed over fails too:
// buffers are heap blocks of exactly the size the call is given.
//
//   standin_abi_tests             every case
//   standin_abi_tests CASE...     the named cases
//   standin_abi_tests --list      the case names, one a line
#include "solclient.h"
#include "standin_control.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------
// Checks and cases

int checks = 0;
int failures = 0;

void record_check(bool ok, const char *expression, const char *file, int line, const std::string &detail) {
    ++checks;
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "%s:%d: check failed: %s%s\n", file, line, expression, detail.c_str());
    }
}

template <typename T>
auto shown(const T &value) {
    if constexpr (std::is_same_v<T, unsigned char> || std::is_same_v<T, signed char> || std::is_same_v<T, char>)
        return static_cast<int>(value);
    else if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>)
        return static_cast<const void *>(value);
    else
        return value;
}

template <typename A, typename B>
void check_equal(const A &actual, const B &expected, const char *expression, const char *file, int line) {
    const bool ok = actual == expected;
    std::string detail;
    if (!ok) {
        std::ostringstream out;
        out << " (got " << shown(actual) << ", expected " << shown(expected) << ")";
        detail = out.str();
    }
    record_check(ok, expression, file, line, detail);
}

#define CHECK(condition) record_check(static_cast<bool>(condition), #condition, __FILE__, __LINE__, "")
#define CHECK_EQ(actual, expected) check_equal((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)

struct Case {
    const char *name;
    void (*run)();
};

std::vector<Case> &all_cases() {
    static std::vector<Case> cases;
    return cases;
}

struct Registration {
    Registration(const char *name, void (*run)()) { all_cases().push_back({name, run}); }
};

#define TEST_CASE(name)                                  \
    void name();                                         \
    const Registration registration_##name(#name, name); \
    void name()

// ---------------------------------------------------------------------------------------
// Helpers

constexpr solClient_returnCode_t OK = SOLCLIENT_OK;
constexpr solClient_returnCode_t NOT_FOUND = SOLCLIENT_NOT_FOUND;
constexpr solClient_returnCode_t FAIL = SOLCLIENT_FAIL;
constexpr std::size_t kRecordSize = sizeof(solClient_destination_t);
constexpr solClient_uint32_t kSentinel = 0x5e57;
void *const kSentinelPointer = reinterpret_cast<void *>(std::uintptr_t{0x5e57});
const char *const kSentinelText = "sentinel";
constexpr int kTopic = SOLCLIENT_TOPIC_DESTINATION;
constexpr int kQueue = SOLCLIENT_QUEUE_DESTINATION;

static_assert(kRecordSize == 16, "the library's destination record is 16 bytes");

using DestinationCall = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, solClient_destination_t *, size_t);

struct Pair {
    DestinationCall get;
    DestinationCall set;
};

const Pair kDestination{solClient_msg_getDestination, solClient_msg_setDestination};
const Pair kReplyTo{solClient_msg_getReplyTo, solClient_msg_setReplyTo};

// The calls of one shape, for going through them all.
using TextGet = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, const char **);
using TextSet = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, const char *);
using WideGet = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, solClient_int64_t *);
using Delete = solClient_returnCode_t (*)(solClient_opaqueMsg_pt);

const TextGet kTextGetters[] = {solClient_msg_getHttpContentType,      solClient_msg_getCorrelationId,
                                solClient_msg_getApplicationMessageId, solClient_msg_getBinaryAttachmentString,
                                solClient_msg_getHttpContentEncoding,  solClient_msg_getSenderId,
                                solClient_msg_getApplicationMsgType};
const TextSet kTextSetters[] = {solClient_msg_setHttpContentType,      solClient_msg_setCorrelationId,
                                solClient_msg_setApplicationMessageId, solClient_msg_setBinaryAttachmentString,
                                solClient_msg_setHttpContentEncoding,  solClient_msg_setSenderId,
                                solClient_msg_setApplicationMsgType};
const WideGet kWideGetters[] = {solClient_msg_getTimeToLive,     solClient_msg_getSenderTimestamp,
                                solClient_msg_getSequenceNumber, solClient_msg_getExpiration,
                                solClient_msg_getRcvTimestamp,   solClient_msg_getTopicSequenceNumber};
const Delete kDeletes[] = {solClient_msg_deleteCorrelationId,   solClient_msg_deleteApplicationMessageId,
                           solClient_msg_deleteSenderTimestamp, solClient_msg_deleteSequenceNumber,
                           solClient_msg_deleteHttpContentType, solClient_msg_deleteHttpContentEncoding,
                           solClient_msg_deleteSenderId,        solClient_msg_deleteApplicationMsgType};

// A message freed at the end of its scope.
class Message {
public:
    Message() { CHECK_EQ(solClient_msg_alloc(&handle_), OK); }
    ~Message() {
        if (handle_ != nullptr) solClient_msg_free(&handle_);
    }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;

    operator solClient_opaqueMsg_pt() const { return handle_; }

private:
    solClient_opaqueMsg_pt handle_ = nullptr;
};

// A heap block of exactly `size` bytes, so that an instrumented library reaching past it
// is caught. malloc(0) gives a block with no bytes at all.
struct Block {
    explicit Block(std::size_t size, unsigned char fill = 0x01)
        : size(size), bytes(static_cast<unsigned char *>(std::malloc(size))) {
        if (size != 0) std::memset(bytes.get(), fill, size);
    }
    std::string contents() const { return std::string(reinterpret_cast<const char *>(bytes.get()), size); }

    struct Free {
        void operator()(unsigned char *p) const { std::free(p); }
    };
    std::size_t size;
    std::unique_ptr<unsigned char, Free> bytes;
};

// The type field written and read as a plain int: callers may put any number there, and
// the test itself must not load a number outside the enum's range as the enum.
solClient_destination_t record_of(int type, const char *name) {
    solClient_destination_t record{};
    std::memcpy(&record.destType, &type, sizeof type);
    record.dest = name;
    return record;
}

int type_of(const solClient_destination_t &record) {
    int type;
    std::memcpy(&type, &record.destType, sizeof type);
    return type;
}

solClient_returnCode_t set_destination(const Pair &pair, solClient_opaqueMsg_pt msg, int type, const char *name) {
    solClient_destination_t record = record_of(type, name);
    return pair.set(msg, &record, kRecordSize);
}

// What a read gives: its code, and the type and name it wrote, or -99 and "<untouched>".
struct Read {
    solClient_returnCode_t rc;
    int type;
    std::string name;
    bool operator==(const Read &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Read &read) {
    return out << "{" << read.rc << ", " << read.type << ", '" << read.name << "'}";
}

Read read_destination(const Pair &pair, solClient_opaqueMsg_pt msg) {
    static const char untouched[] = "<untouched>";
    solClient_destination_t record = record_of(-99, untouched);
    const solClient_returnCode_t rc = pair.get(msg, &record, kRecordSize);
    return {rc, type_of(record), record.dest == nullptr ? "<null>" : std::string(record.dest)};
}

const Read kNoneRead{NOT_FOUND, -99, "<untouched>"};

std::string dump_of(solClient_opaqueMsg_pt msg, std::size_t size = 1 << 20) {
    std::vector<char> buffer(size, '\x01');
    CHECK_EQ(solClient_msg_dump(msg, buffer.data(), buffer.size()), OK);
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

// What a text getter gives: the text, "<none>" for NOT_FOUND with the output untouched, or
// "<failed>".
std::string text_of(TextGet get, solClient_opaqueMsg_pt msg) {
    const char *text = kSentinelText;
    const solClient_returnCode_t rc = get(msg, &text);
    if (rc == NOT_FOUND && text == kSentinelText) return "<none>";
    return rc == OK && text != nullptr ? std::string(text) : "<failed>";
}

std::string attachment_of(solClient_opaqueMsg_pt msg) {
    solClient_opaquePointer_pt data = nullptr;
    solClient_uint32_t size = 0;
    if (solClient_msg_getBinaryAttachmentPtr(msg, &data, &size) != OK) return "<none>";
    return std::string(static_cast<const char *>(data), size);
}

solClient_uint32_t number_of(solClient_returnCode_t (*get)(solClient_opaqueMsg_pt, solClient_uint32_t *),
                             solClient_opaqueMsg_pt msg) {
    solClient_uint32_t value = kSentinel;
    CHECK_EQ(get(msg, &value), OK);
    return value;
}

bool error_record_is_sound() {
    const solClient_errorInfo_pt info = solClient_getLastErrorInfo();
    return info != nullptr && std::memchr(info->errorStr, '\0', sizeof info->errorStr) != nullptr;
}

// A message with every item set, as the library dumps it in full.
void fill(solClient_opaqueMsg_pt msg) {
    CHECK_EQ(set_destination(kDestination, msg, kTopic, "orders/eu/new"), OK);
    CHECK_EQ(set_destination(kReplyTo, msg, kQueue, "reply-q"), OK);
    CHECK_EQ(solClient_msg_setHttpContentType(msg, "application/json"), OK);
    CHECK_EQ(solClient_msg_setClassOfService(msg, 1), OK);
    CHECK_EQ(solClient_msg_setDeliveryMode(msg, SOLCLIENT_DELIVERY_MODE_PERSISTENT), OK);
    CHECK_EQ(solClient_msg_setAsReplyMsg(msg, 1), OK);
    CHECK_EQ(solClient_msg_setElidingEligible(msg, 1), OK);
    solClient_opaqueContainer_pt map = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &map, 64), OK);
    CHECK_EQ(solClient_container_addString(map, "json", "ct"), OK);
    CHECK_EQ(solClient_container_closeMapStream(&map), OK);
    CHECK_EQ(solClient_msg_setCorrelationId(msg, "corr-1"), OK);
    CHECK_EQ(solClient_msg_setApplicationMessageId(msg, "app-1"), OK);
    CHECK_EQ(solClient_msg_setSenderTimestamp(msg, 1700000000123), OK);
    CHECK_EQ(solClient_msg_setSequenceNumber(msg, 42), OK);
    CHECK_EQ(solClient_msg_setTimeToLive(msg, 60000), OK);
    CHECK_EQ(solClient_msg_setPriority(msg, 9), OK);
    CHECK_EQ(solClient_msg_setDMQEligible(msg, 1), OK);
    CHECK_EQ(solClient_msg_setSenderId(msg, "sid-1"), OK);
    CHECK_EQ(solClient_msg_setApplicationMsgType(msg, "orders"), OK);
    CHECK_EQ(solClient_msg_setHttpContentEncoding(msg, "gzip"), OK);
    CHECK_EQ(solClient_msg_setExpiration(msg, 1700000060000), OK);
    CHECK_EQ(solClient_msg_setAckImmediately(msg, 1), OK);
    CHECK_EQ(solClient_msg_setDiscardIndication(msg, 1), OK);
    CHECK_EQ(solClient_msg_setUserData(msg, "user-data", 9), OK);
    CHECK_EQ(standin_set_received(msg, "redelivered", 1), 0);
    CHECK_EQ(standin_set_received(msg, "topic_sequence_number", 77), 0);
    CHECK_EQ(standin_set_received(msg, "message_id", 1234), 0);
    static const char body[] = "\x00\x01\x7f\x80\xffHello, world! 0123456789 ABCDEFGHIJ";
    CHECK_EQ(solClient_msg_setBinaryAttachment(msg, body, sizeof body - 1), OK);
}

// Every message operation on a handle that is not a live message's: each fails (the flag
// getters answer 0), writes none of its outputs, and leaves a sound last-error record.
void check_refused_message_handle(solClient_opaqueMsg_pt handle) {
    const Block buffer(64);
    CHECK_EQ(solClient_msg_dump(handle, reinterpret_cast<char *>(buffer.bytes.get()), buffer.size), FAIL);
    CHECK_EQ(buffer.contents(), std::string(64, '\x01'));

    for (const Pair &pair : {kDestination, kReplyTo}) {
        CHECK_EQ(read_destination(pair, handle), (Read{FAIL, -99, "<untouched>"}));
        CHECK_EQ(set_destination(pair, handle, kQueue, "q"), FAIL);
    }
    CHECK_EQ(solClient_msg_isReplyMsg(handle), 0);
    CHECK_EQ(solClient_msg_setAsReplyMsg(handle, 1), FAIL);
    CHECK_EQ(solClient_msg_isElidingEligible(handle), 0);
    CHECK_EQ(solClient_msg_setElidingEligible(handle, 1), FAIL);

    solClient_uint32_t number = kSentinel;
    CHECK_EQ(solClient_msg_getDeliveryMode(handle, &number), FAIL);
    CHECK_EQ(solClient_msg_getClassOfService(handle, &number), FAIL);
    CHECK_EQ(number, kSentinel);
    CHECK_EQ(solClient_msg_setDeliveryMode(handle, SOLCLIENT_DELIVERY_MODE_PERSISTENT), FAIL);
    CHECK_EQ(solClient_msg_setClassOfService(handle, 1), FAIL);

    solClient_opaquePointer_pt data = kSentinelPointer;
    CHECK_EQ(solClient_msg_getBinaryAttachmentPtr(handle, &data, &number), FAIL);
    CHECK_EQ(data, kSentinelPointer);
    CHECK_EQ(number, kSentinel);
    CHECK_EQ(solClient_msg_setBinaryAttachment(handle, "abc", 3), FAIL);

    solClient_opaqueContainer_pt map = kSentinelPointer;
    CHECK_EQ(solClient_msg_getUserPropertyMap(handle, &map), FAIL);
    CHECK_EQ(solClient_msg_createUserPropertyMap(handle, &map, 64), FAIL);
    CHECK_EQ(map, kSentinelPointer);

    const char *text = kSentinelText;
    for (const TextGet get : kTextGetters) CHECK_EQ(get(handle, &text), FAIL);
    CHECK_EQ(text, kSentinelText);
    for (const TextSet set : kTextSetters) CHECK_EQ(set(handle, "text"), FAIL);
    CHECK_EQ(solClient_msg_setBinaryAttachmentString(handle, nullptr), FAIL);

    CHECK_EQ(solClient_msg_isDMQEligible(handle), 0);
    CHECK_EQ(solClient_msg_setDMQEligible(handle, 1), FAIL);
    solClient_int64_t wide = kSentinel;
    for (const WideGet get : kWideGetters) CHECK_EQ(get(handle, &wide), FAIL);
    CHECK_EQ(wide, solClient_int64_t{kSentinel});
    solClient_int32_t priority = kSentinel;
    CHECK_EQ(solClient_msg_getPriority(handle, &priority), FAIL);
    CHECK_EQ(priority, solClient_int32_t{kSentinel});
    CHECK_EQ(solClient_msg_setTimeToLive(handle, 1), FAIL);
    CHECK_EQ(solClient_msg_setPriority(handle, 1), FAIL);
    CHECK_EQ(solClient_msg_setSenderTimestamp(handle, 1), FAIL);
    CHECK_EQ(solClient_msg_setSequenceNumber(handle, 1), FAIL);
    CHECK_EQ(solClient_msg_setExpiration(handle, 1), FAIL);
    for (const Delete remove : kDeletes) CHECK_EQ(remove(handle), FAIL);

    // A failed flag read answers 0, but 255 for ack immediately.
    CHECK_EQ(solClient_msg_isAckImmediately(handle), 255);
    CHECK_EQ(solClient_msg_setAckImmediately(handle, 1), FAIL);
    CHECK_EQ(solClient_msg_isDiscardIndication(handle), 0);
    CHECK_EQ(solClient_msg_setDiscardIndication(handle, 1), FAIL);
    CHECK_EQ(solClient_msg_isRedelivered(handle), 0);
    data = kSentinelPointer;
    CHECK_EQ(solClient_msg_getUserDataPtr(handle, &data, &number), FAIL);
    CHECK_EQ(data, kSentinelPointer);
    CHECK_EQ(number, kSentinel);
    CHECK_EQ(solClient_msg_setUserData(handle, "abc", 3), FAIL);
    CHECK_EQ(solClient_msg_getDeliveryCount(handle, &priority), FAIL);
    CHECK_EQ(priority, solClient_int32_t{kSentinel});
    solClient_uint64_t id = kSentinel;
    CHECK_EQ(solClient_msg_getMsgId(handle, &id), FAIL);
    CHECK_EQ(id, solClient_uint64_t{kSentinel});
    const Block rmid(16);
    CHECK_EQ(solClient_msg_getReplicationGroupMessageId(handle, rmid.bytes.get(), rmid.size), FAIL);
    CHECK_EQ(rmid.contents(), std::string(16, '\x01'));
    solClient_opaqueMsg_pt copy_of = kSentinelPointer;
    CHECK_EQ(solClient_msg_dup(handle, &copy_of), FAIL);
    CHECK_EQ(copy_of, kSentinelPointer);
    solClient_bufInfo_t wire{kSentinelPointer, kSentinel};
    solClient_opaqueDatablock_pt block = kSentinelPointer;
    CHECK_EQ(solClient_msg_encodeToSMF(handle, &wire, &block), FAIL);
    CHECK(wire.buf_p == kSentinelPointer && wire.bufSize == kSentinel && block == kSentinelPointer);
    CHECK_EQ(standin_set_received(handle, "redelivered", 1), -1);
    CHECK_EQ(standin_set_replication_group_message_id(handle, rmid.bytes.get(), rmid.size), -1);

    solClient_opaqueContainer_pt container = kSentinelPointer;
    CHECK_EQ(solClient_msg_getBinaryAttachmentMap(handle, &container), FAIL);
    CHECK_EQ(solClient_msg_getBinaryAttachmentStream(handle, &container), FAIL);
    CHECK_EQ(solClient_msg_createBinaryAttachmentMap(handle, &container, 0), FAIL);
    CHECK_EQ(solClient_msg_createBinaryAttachmentStream(handle, &container, 0), FAIL);
    CHECK_EQ(container, kSentinelPointer);
    {
        // A good container to copy from, so that the message handle is what is refused.
        const Block memory(64);
        CHECK_EQ(solClient_container_createMap(&container, reinterpret_cast<char *>(memory.bytes.get()), 64), OK);
        CHECK_EQ(solClient_msg_setUserPropertyMap(handle, container), FAIL);
        CHECK_EQ(solClient_msg_setBinaryAttachmentContainer(handle, container), FAIL);
        CHECK_EQ(solClient_container_closeMapStream(&container), OK);
    }

    solClient_opaqueMsg_pt copy = handle;
    CHECK_EQ(solClient_msg_free(&copy), FAIL);
    CHECK_EQ(copy, handle);
    CHECK(error_record_is_sound());
}

// Every container operation on a handle that is not a live container's, given as the
// container or as the one to copy from.
void check_refused_map_handle(solClient_opaqueContainer_pt handle) {
    const char *text = kSentinelText;
    CHECK_EQ(solClient_container_getStringPtr(handle, &text, "ct"), FAIL);
    CHECK_EQ(text, kSentinelText);
    CHECK_EQ(solClient_container_addString(handle, "json", "ct"), FAIL);
    CHECK_EQ(solClient_container_addBoolean(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addUint8(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addInt8(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addUint16(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addInt16(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addUint32(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addInt32(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addUint64(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addInt64(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addChar(handle, 'c', "n"), FAIL);
    CHECK_EQ(solClient_container_addWchar(handle, L'c', "n"), FAIL);
    CHECK_EQ(solClient_container_addFloat(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addDouble(handle, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addNull(handle, "n"), FAIL);
    static const solClient_uint8_t bytes[2] = {1, 2};
    CHECK_EQ(solClient_container_addByteArray(handle, bytes, 2, "n"), FAIL);
    CHECK_EQ(solClient_container_addSmf(handle, bytes, 2, "n"), FAIL);
    const solClient_destination_t record = record_of(kQueue, "q");
    CHECK_EQ(solClient_container_addDestination(handle, &record, kRecordSize, "n"), FAIL);

    solClient_opaqueContainer_pt sub = kSentinelPointer;
    CHECK_EQ(solClient_container_openSubMap(handle, &sub, "n"), FAIL);
    CHECK_EQ(solClient_container_openSubStream(handle, &sub, "n"), FAIL);
    CHECK_EQ(sub, kSentinelPointer);
    CHECK_EQ(solClient_container_addContainer(handle, handle, "n"), FAIL);
    solClient_field_t field;
    std::memset(&field, 0x5e, sizeof field);
    const std::string untouched(reinterpret_cast<const char *>(&field), sizeof field);
    CHECK_EQ(solClient_container_getNextField(handle, &field, sizeof field, &text), FAIL);
    CHECK_EQ(solClient_container_getField(handle, &field, sizeof field, "n"), FAIL);
    CHECK_EQ(std::string(reinterpret_cast<const char *>(&field), sizeof field), untouched);
    CHECK_EQ(text, kSentinelText);
    CHECK_EQ(solClient_container_rewind(handle), FAIL);
    CHECK_EQ(solClient_container_deleteField(handle, "n"), FAIL);
    {
        Message msg;
        CHECK_EQ(solClient_msg_setUserPropertyMap(msg, handle), FAIL);
        CHECK_EQ(solClient_msg_setBinaryAttachmentContainer(msg, handle), FAIL);
        CHECK_EQ(solClient_msg_getUserPropertyMap(msg, &sub), NOT_FOUND);
        CHECK_EQ(attachment_of(msg), "<none>");
    }

    solClient_opaqueContainer_pt copy = handle;
    CHECK_EQ(solClient_container_closeMapStream(&copy), FAIL);
    CHECK_EQ(copy, handle);
    CHECK(error_record_is_sound());
}

// ---------------------------------------------------------------------------------------
// Handles

// Null and stale handles are the library's own mistakes to answer, not foreign ones.
TEST_CASE(null_message_handle) {
    standin_reset();
    check_refused_message_handle(nullptr);
    check_refused_map_handle(nullptr);
    CHECK_EQ(standin_foreign_handles(), 0UL);
}

TEST_CASE(freed_message_handle) {
    standin_reset();
    solClient_opaqueMsg_pt handle = nullptr;
    CHECK_EQ(solClient_msg_alloc(&handle), OK);
    solClient_opaqueMsg_pt stale = handle;
    CHECK_EQ(solClient_msg_free(&handle), OK);
    CHECK_EQ(handle, nullptr);
    check_refused_message_handle(stale);

    // A newer message in the same place answers for itself only.
    Message newer;
    fill(newer);
    const std::string before = dump_of(newer);
    check_refused_message_handle(stale);
    CHECK_EQ(dump_of(newer), before);
    CHECK_EQ(standin_foreign_handles(), 0UL);
}

TEST_CASE(foreign_message_handles) {
    int local = 0;
    for (void *handle :
         {reinterpret_cast<void *>(std::uintptr_t{1}), reinterpret_cast<void *>(std::uintptr_t{0xdeadbeef}),
          reinterpret_cast<void *>(UINTPTR_MAX), static_cast<void *>(&local)}) {
        standin_reset();
        check_refused_message_handle(handle);
        check_refused_map_handle(handle);
        CHECK(standin_foreign_handles() > 0);
    }
}

TEST_CASE(handles_of_the_other_kind) {
    Message msg;
    solClient_opaqueContainer_pt map = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &map, 64), OK);
    CHECK_EQ(solClient_container_addString(map, "json", "ct"), OK);
    const std::string before = dump_of(msg);
    check_refused_message_handle(map);
    check_refused_map_handle(static_cast<solClient_opaqueMsg_pt>(msg));
    CHECK_EQ(dump_of(msg), before);
    CHECK_EQ(solClient_container_closeMapStream(&map), OK);
}

TEST_CASE(null_pointers_to_handles) {
    CHECK_EQ(solClient_msg_alloc(nullptr), FAIL);
    CHECK_EQ(solClient_msg_free(nullptr), FAIL);
    solClient_opaqueMsg_pt no_message = nullptr;
    CHECK_EQ(solClient_msg_free(&no_message), FAIL);
    CHECK_EQ(solClient_container_closeMapStream(nullptr), FAIL);
    solClient_opaqueContainer_pt no_map = nullptr;
    CHECK_EQ(solClient_container_closeMapStream(&no_map), FAIL);
    CHECK(error_record_is_sound());
}

TEST_CASE(map_handles_after_close_replace_and_free) {
    solClient_opaqueMsg_pt msg = nullptr;
    CHECK_EQ(solClient_msg_alloc(&msg), OK);
    solClient_opaqueContainer_pt created = nullptr, found = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &created, 64), OK);
    CHECK_EQ(solClient_msg_getUserPropertyMap(msg, &found), OK);
    CHECK_EQ(found, created);  // one handle value, two references
    CHECK_EQ(solClient_container_addString(created, "json", "ct"), OK);

    // Closing drops one reference and nulls the caller's variable; the other still works.
    solClient_opaqueContainer_pt value = created;
    CHECK_EQ(solClient_container_closeMapStream(&found), OK);
    CHECK_EQ(found, nullptr);
    const char *text = nullptr;
    CHECK_EQ(solClient_container_getStringPtr(created, &text, "ct"), OK);
    CHECK_EQ(std::string_view(text), "json");

    // The last close makes the value invalid; the map stays with the message.
    CHECK_EQ(solClient_container_closeMapStream(&created), OK);
    check_refused_map_handle(value);
    solClient_opaqueContainer_pt reopened = nullptr;
    CHECK_EQ(solClient_msg_getUserPropertyMap(msg, &reopened), OK);
    CHECK(reopened != value);
    CHECK_EQ(solClient_container_getStringPtr(reopened, &text, "ct"), OK);
    CHECK_EQ(std::string_view(text), "json");

    // A new map replaces the old one, whose handle goes invalid; the new one is empty.
    solClient_opaqueContainer_pt replacement = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &replacement, 64), OK);
    CHECK(replacement != reopened);
    check_refused_map_handle(reopened);
    text = kSentinelText;
    CHECK_EQ(solClient_container_getStringPtr(replacement, &text, "ct"), NOT_FOUND);
    CHECK_EQ(text, kSentinelText);

    // Freeing the message takes every map handle with it.
    CHECK_EQ(solClient_msg_free(&msg), OK);
    check_refused_map_handle(replacement);
}

// ---------------------------------------------------------------------------------------
// Null pointers

TEST_CASE(null_output_pointers) {
    Message msg;
    fill(msg);
    const std::string before = dump_of(msg);
    for (const Pair &pair : {kDestination, kReplyTo}) CHECK_EQ(pair.get(msg, nullptr, kRecordSize), FAIL);
    CHECK_EQ(solClient_msg_setDestination(msg, nullptr, kRecordSize), FAIL);
    CHECK_EQ(solClient_msg_getDeliveryMode(msg, nullptr), FAIL);
    CHECK_EQ(solClient_msg_getClassOfService(msg, nullptr), FAIL);

    solClient_opaquePointer_pt data = kSentinelPointer;
    solClient_uint32_t size = kSentinel;
    CHECK_EQ(solClient_msg_getBinaryAttachmentPtr(msg, nullptr, &size), FAIL);
    CHECK_EQ(solClient_msg_getBinaryAttachmentPtr(msg, &data, nullptr), FAIL);
    CHECK_EQ(data, kSentinelPointer);
    CHECK_EQ(size, kSentinel);

    CHECK_EQ(solClient_msg_getUserPropertyMap(msg, nullptr), FAIL);
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, nullptr, 64), FAIL);
    for (const TextGet get : kTextGetters) CHECK_EQ(get(msg, nullptr), FAIL);
    for (const WideGet get : kWideGetters) CHECK_EQ(get(msg, nullptr), FAIL);
    CHECK_EQ(solClient_msg_getPriority(msg, nullptr), FAIL);
    CHECK_EQ(solClient_msg_setHttpContentType(msg, nullptr), FAIL);
    CHECK_EQ(dump_of(msg), before);
    CHECK(error_record_is_sound());

    solClient_int32_t count = kSentinel;
    CHECK_EQ(solClient_msg_getDeliveryCount(msg, nullptr), FAIL);
    CHECK_EQ(solClient_msg_getMsgId(msg, nullptr), FAIL);
    CHECK_EQ(solClient_msg_getUserDataPtr(msg, nullptr, &size), FAIL);
    CHECK_EQ(solClient_msg_getUserDataPtr(msg, &data, nullptr), FAIL);
    CHECK_EQ(solClient_msg_setUserData(msg, nullptr, 1), FAIL);
    CHECK_EQ(solClient_msg_setUserData(msg, nullptr, UINT32_MAX), FAIL);
    CHECK_EQ(solClient_msg_getReplicationGroupMessageId(msg, nullptr, 16), FAIL);
    CHECK_EQ(solClient_msg_dup(msg, nullptr), FAIL);  // the genuine library crashes
    CHECK_EQ(solClient_msg_setHttpContentEncoding(msg, nullptr), FAIL);
    CHECK_EQ(dump_of(msg), before);
    CHECK_EQ(solClient_msg_getDeliveryCount(msg, &count), FAIL);
    CHECK_EQ(solClient_getLastErrorInfo()->subCode, 155);
    CHECK_EQ(count, solClient_int32_t{kSentinel});

    // A null id is refused and removes the id, as do a null sender id and application
    // message type; a null string removes the attachment.
    for (const TextSet set : {solClient_msg_setCorrelationId, solClient_msg_setApplicationMessageId,
                              solClient_msg_setSenderId, solClient_msg_setApplicationMsgType}) {
        CHECK_EQ(set(msg, nullptr), FAIL);
    }
    for (const TextGet get : {solClient_msg_getCorrelationId, solClient_msg_getApplicationMessageId,
                              solClient_msg_getSenderId, solClient_msg_getApplicationMsgType}) {
        CHECK_EQ(text_of(get, msg), "<none>");
    }
    CHECK_EQ(solClient_msg_setBinaryAttachmentString(msg, nullptr), OK);
    CHECK_EQ(attachment_of(msg), "<none>");

    // Whether a reply-to survives this refusal was not measured; it must only be refused.
    CHECK_EQ(solClient_msg_setReplyTo(msg, nullptr, kRecordSize), FAIL);
}

TEST_CASE(map_null_pointers_and_names) {
    Message msg;
    solClient_opaqueContainer_pt map = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &map, 64), OK);
    CHECK_EQ(solClient_container_addString(map, "json", "ct"), OK);
    const std::string before = dump_of(msg);

    const char *text = kSentinelText;
    CHECK_EQ(solClient_container_getStringPtr(map, nullptr, "ct"), FAIL);
    CHECK_EQ(solClient_container_getStringPtr(map, &text, nullptr), FAIL);
    CHECK_EQ(text, kSentinelText);
    CHECK_EQ(solClient_container_getStringPtr(map, &text, "absent"), NOT_FOUND);
    CHECK_EQ(text, kSentinelText);

    CHECK_EQ(solClient_container_addString(map, nullptr, "name"), FAIL);
    CHECK_EQ(solClient_container_addString(map, "value", nullptr), FAIL);
    CHECK_EQ(solClient_container_addString(map, "value", ""), FAIL);

    // A size the genuine library cannot take is refused and leaves the map as it was.
    solClient_opaqueContainer_pt other = kSentinelPointer;
    for (const solClient_uint32_t size : {0U, 8U})
        CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &other, size), FAIL);
    CHECK_EQ(other, kSentinelPointer);
    CHECK_EQ(dump_of(msg), before);
    CHECK(error_record_is_sound());
    CHECK_EQ(solClient_container_closeMapStream(&map), OK);
}

TEST_CASE(attachment_null_pointer_with_a_size) {
    Message msg;
    solClient_opaquePointer_pt data = kSentinelPointer;
    solClient_uint32_t size = kSentinel;
    CHECK_EQ(solClient_msg_getBinaryAttachmentPtr(msg, &data, &size), NOT_FOUND);
    CHECK_EQ(data, kSentinelPointer);
    CHECK_EQ(size, kSentinel);

    const Block bytes(3, 'a');
    CHECK_EQ(solClient_msg_setBinaryAttachment(msg, bytes.bytes.get(), 3), OK);
    CHECK_EQ(solClient_msg_setBinaryAttachment(msg, nullptr, 5), FAIL);
    CHECK_EQ(solClient_msg_setBinaryAttachment(msg, nullptr, UINT32_MAX), FAIL);
    CHECK_EQ(attachment_of(msg), "aaa");

    // A null pointer with size 0 removes the attachment, as any size 0 does.
    CHECK_EQ(solClient_msg_setBinaryAttachment(msg, nullptr, 0), OK);
    CHECK_EQ(solClient_msg_getBinaryAttachmentPtr(msg, &data, &size), NOT_FOUND);
    CHECK_EQ(data, kSentinelPointer);
    CHECK_EQ(size, kSentinel);
    CHECK_EQ(solClient_msg_setBinaryAttachment(msg, bytes.bytes.get(), 3), OK);
    const Block empty(0);
    CHECK_EQ(solClient_msg_setBinaryAttachment(msg, empty.bytes.get(), 0), OK);
    CHECK_EQ(attachment_of(msg), "<none>");
}

// Text handed back in, read from the message it goes into: copied before the old is let go.
TEST_CASE(values_taken_from_the_message_itself) {
    Message msg;
    const char *text = nullptr;
    CHECK_EQ(solClient_msg_setCorrelationId(msg, "corr-1"), OK);
    CHECK_EQ(solClient_msg_getCorrelationId(msg, &text), OK);
    CHECK_EQ(solClient_msg_setCorrelationId(msg, text + 1), OK);
    CHECK_EQ(text_of(solClient_msg_getCorrelationId, msg), "orr-1");
    CHECK_EQ(solClient_msg_setBinaryAttachmentString(msg, "hello"), OK);
    CHECK_EQ(solClient_msg_getBinaryAttachmentString(msg, &text), OK);
    CHECK_EQ(solClient_msg_setBinaryAttachmentString(msg, text + 1), OK);
    CHECK_EQ(text_of(solClient_msg_getBinaryAttachmentString, msg), "ello");
    CHECK_EQ(solClient_msg_setSenderId(msg, "sid-1"), OK);
    CHECK_EQ(solClient_msg_getSenderId(msg, &text), OK);
    CHECK_EQ(solClient_msg_setSenderId(msg, text + 1), OK);
    CHECK_EQ(text_of(solClient_msg_getSenderId, msg), "id-1");
    CHECK_EQ(solClient_msg_setUserData(msg, "user-data", 9), OK);
    solClient_opaquePointer_pt data = nullptr;
    solClient_uint32_t size = 0;
    CHECK_EQ(solClient_msg_getUserDataPtr(msg, &data, &size), OK);
    CHECK_EQ(solClient_msg_setUserData(msg, static_cast<const char *>(data) + 5, size - 5), OK);
    CHECK_EQ(solClient_msg_getUserDataPtr(msg, &data, &size), OK);
    CHECK_EQ(std::string(static_cast<const char *>(data), size), "data");
}

// ---------------------------------------------------------------------------------------
// Destination records and names

TEST_CASE(record_sizes_other_than_16) {
    for (const Pair &pair : {kDestination, kReplyTo}) {
        Message msg;
        CHECK_EQ(set_destination(pair, msg, kQueue, "before"), OK);
        const solClient_destination_t valid = record_of(kTopic, "after");
        for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{8}, std::size_t{15}, std::size_t{17},
                                       std::size_t{24}, std::size_t{32}, SIZE_MAX}) {
            // The record lies in a block of the size the call is told, as far as that goes.
            Block block(size == SIZE_MAX ? kRecordSize : size);
            std::memcpy(block.bytes.get(), &valid, std::min(block.size, kRecordSize));
            const std::string written = block.contents();
            auto *record = reinterpret_cast<solClient_destination_t *>(block.bytes.get());
            CHECK_EQ(pair.get(msg, record, size), FAIL);
            CHECK_EQ(block.contents(), written);
            CHECK_EQ(pair.set(msg, record, size), FAIL);
            CHECK_EQ(read_destination(pair, msg), (Read{OK, kQueue, "before"}));
        }
    }
}

TEST_CASE(destination_names_and_types) {
    Message msg;
    const Pair &pair = kDestination;
    const std::string longest(250, 'n'), too_long(251, 'n'), huge(1 << 20, 'h');
    CHECK_EQ(set_destination(pair, msg, kQueue, longest.c_str()), OK);
    const Read kept{OK, kQueue, longest};
    CHECK_EQ(read_destination(pair, msg), kept);

    // A failed write changes nothing.
    CHECK_EQ(set_destination(pair, msg, kTopic, too_long.c_str()), FAIL);
    CHECK_EQ(set_destination(pair, msg, kTopic, huge.c_str()), FAIL);
    CHECK_EQ(set_destination(pair, msg, kTopic, ""), FAIL);
    CHECK_EQ(set_destination(pair, msg, kTopic, nullptr), FAIL);
    for (const int type : {-1, -2, 4, 100, INT_MIN, INT_MAX}) CHECK_EQ(set_destination(pair, msg, type, "t"), FAIL);
    CHECK_EQ(read_destination(pair, msg), kept);

    // A name longer than the limit is refused without reading further than one byte past
    // the limit, so a name with no NUL in a block of that size is refused safely.
    Block unterminated(251, 'u');
    CHECK_EQ(set_destination(pair, msg, kTopic, reinterpret_cast<const char *>(unterminated.bytes.get())), FAIL);
    CHECK_EQ(read_destination(pair, msg), kept);

    // Temporary kinds read back as plain ones; a name ends at its first NUL.
    CHECK_EQ(set_destination(pair, msg, SOLCLIENT_TOPIC_TEMP_DESTINATION, "tt"), OK);
    CHECK_EQ(read_destination(pair, msg), (Read{OK, kTopic, "tt"}));
    CHECK_EQ(set_destination(pair, msg, SOLCLIENT_QUEUE_TEMP_DESTINATION, "qt\0hidden"), OK);
    CHECK_EQ(read_destination(pair, msg), (Read{OK, kQueue, "qt"}));
}

TEST_CASE(reply_to_names_and_types) {
    Message msg;
    const Pair &pair = kReplyTo;
    const std::string longest(249, 'r'), too_long(250, 'r'), huge(1 << 20, 'h');
    CHECK_EQ(set_destination(pair, msg, kQueue, longest.c_str()), OK);
    CHECK_EQ(read_destination(pair, msg), (Read{OK, kQueue, longest}));

    // A refused name or type removes the reply-to the message had.
    const auto refused_and_removed = [&](int type, const char *name) {
        CHECK_EQ(set_destination(pair, msg, kQueue, "before"), OK);
        CHECK_EQ(set_destination(pair, msg, type, name), FAIL);
        CHECK_EQ(read_destination(pair, msg), kNoneRead);
    };
    refused_and_removed(kTopic, too_long.c_str());
    refused_and_removed(kTopic, huge.c_str());
    refused_and_removed(kTopic, nullptr);
    refused_and_removed(-1, "t");
    refused_and_removed(4, "t");
    Block unterminated(250, 'u');
    refused_and_removed(kTopic, reinterpret_cast<const char *>(unterminated.bytes.get()));

    // An empty name is taken.
    CHECK_EQ(set_destination(pair, msg, kTopic, ""), OK);
    CHECK_EQ(read_destination(pair, msg), (Read{OK, kTopic, ""}));
}

// ---------------------------------------------------------------------------------------
// Refused values

TEST_CASE(delivery_mode_values) {
    Message msg;
    // Only the two mode bits (0x30) count; 0x30 itself is no mode and is refused.
    const struct {
        solClient_uint32_t mode, stored;
    } taken[] = {{0, 0}, {16, 16}, {32, 32}, {17, 16}, {31, 16}, {33, 32}, {1, 0}, {5, 0}, {15, 0}, {64, 0}};
    for (const auto &value : taken) {
        CHECK_EQ(solClient_msg_setDeliveryMode(msg, SOLCLIENT_DELIVERY_MODE_PERSISTENT), OK);
        CHECK_EQ(solClient_msg_setDeliveryMode(msg, value.mode), OK);
        CHECK_EQ(number_of(solClient_msg_getDeliveryMode, msg), value.stored);
    }
    for (const solClient_uint32_t mode : {48U, UINT32_MAX}) {
        CHECK_EQ(solClient_msg_setDeliveryMode(msg, SOLCLIENT_DELIVERY_MODE_NONPERSISTENT), OK);
        CHECK_EQ(solClient_msg_setDeliveryMode(msg, mode), FAIL);
        CHECK_EQ(number_of(solClient_msg_getDeliveryMode, msg),
                 solClient_uint32_t{SOLCLIENT_DELIVERY_MODE_NONPERSISTENT});
    }
}

TEST_CASE(class_of_service_values) {
    Message msg;
    for (const solClient_uint32_t cos : {0U, 1U, 2U}) {
        CHECK_EQ(solClient_msg_setClassOfService(msg, cos), OK);
        CHECK_EQ(number_of(solClient_msg_getClassOfService, msg), cos);
    }
    for (const solClient_uint32_t cos : {3U, 4U, 0x7fffffffU, UINT32_MAX}) {
        CHECK_EQ(solClient_msg_setClassOfService(msg, cos), FAIL);
        CHECK_EQ(number_of(solClient_msg_getClassOfService, msg), 2U);
    }
}

TEST_CASE(flag_values) {
    Message msg;
    for (const unsigned value : {1U, 2U, 0x80U, 0xffU, 0U}) {
        const auto flag = static_cast<solClient_bool_t>(value);
        CHECK_EQ(solClient_msg_setAsReplyMsg(msg, flag), OK);
        CHECK_EQ(solClient_msg_isReplyMsg(msg), value != 0 ? 1 : 0);
        CHECK_EQ(solClient_msg_setElidingEligible(msg, flag), OK);
        CHECK_EQ(solClient_msg_isElidingEligible(msg), value != 0 ? 1 : 0);
    }
}

// ---------------------------------------------------------------------------------------
// Dump

TEST_CASE(dump_into_every_buffer_size) {
    Message msg;
    fill(msg);
    const std::string full = dump_of(msg);
    CHECK(full.size() > 500);
    CHECK(full.find("len=40\n") != std::string::npos);
    for (std::size_t size = 1; size <= full.size() + 3; ++size) {
        Block buffer(size);
        CHECK_EQ(solClient_msg_dump(msg, reinterpret_cast<char *>(buffer.bytes.get()), size), OK);
        const std::string got = buffer.contents();
        if (full.size() + 2 <= size) {
            // The whole text and one NUL; nothing after that is written.
            CHECK_EQ(got, full + '\0' + std::string(size - full.size() - 1, '\x01'));
        } else {
            // Cut: size - 2 bytes of text, then NULs to the end of the buffer (one, if that
            // is all the buffer holds). The genuine library writes one byte more where the
            // cut falls in the two-space indent of a map entry or a hex row.
            const std::size_t kept = size < 2 ? 0 : size - 2;
            CHECK_EQ(got, full.substr(0, kept) + std::string(size - kept, '\0'));
        }
    }
}

TEST_CASE(dump_without_room) {
    Message msg;
    fill(msg);
    Block buffer(8);
    CHECK_EQ(solClient_msg_dump(msg, reinterpret_cast<char *>(buffer.bytes.get()), 0), FAIL);
    CHECK_EQ(buffer.contents(), std::string(8, '\x01'));
    CHECK_EQ(solClient_msg_dump(msg, nullptr, 100), FAIL);
    CHECK_EQ(solClient_msg_dump(msg, nullptr, SIZE_MAX), FAIL);
    // The genuine library prints the dump to stdout here; refusing is allowed too.
    const solClient_returnCode_t rc = solClient_msg_dump(msg, nullptr, 0);
    CHECK(rc == OK || rc == FAIL);
    CHECK(error_record_is_sound());
}

TEST_CASE(dump_never_shortens_values) {
    Message msg;
    solClient_opaqueContainer_pt map = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &map, 64), OK);
    const std::string value(100000, 'v');
    CHECK_EQ(solClient_container_addString(map, value.c_str(), "big"), OK);
    CHECK_EQ(solClient_container_addString(map, "", "empty"), OK);
    CHECK_EQ(solClient_container_closeMapStream(&map), OK);
    const std::string text = dump_of(msg);
    CHECK(text.find("  Key 'big' (STRING) " + value + "\n") != std::string::npos);
    CHECK(text.find("  Key 'empty' (STRING) \n") != std::string::npos);
}

// The whole dump and the brief one, into every buffer size: cut as solClient_msg_dump cuts,
// and never written past the buffer.
TEST_CASE(dump_ext_into_every_buffer_size) {
    Message msg;
    fill(msg);
    CHECK_EQ(solClient_msg_setXml(msg, "<x>\x01</x>", 8), OK);
    CHECK_EQ(solClient_msg_setCorrelationTag(msg, "tag", 3), OK);
    for (const solClient_uint32_t flags : {SOLCLIENT_MSGDUMP_FULL, SOLCLIENT_MSGDUMP_BRIEF}) {
        Block whole(1 << 16);
        CHECK_EQ(solClient_msg_dumpExt(msg, reinterpret_cast<char *>(whole.bytes.get()), whole.size, flags), OK);
        const std::string full(reinterpret_cast<const char *>(whole.bytes.get()));
        CHECK(full.find("XML:") != std::string::npos && full.find("Correlation Tag Pointer:") != std::string::npos);
        for (std::size_t size = 1; size <= full.size() + 3; ++size) {
            Block buffer(size);
            CHECK_EQ(solClient_msg_dumpExt(msg, reinterpret_cast<char *>(buffer.bytes.get()), size, flags), OK);
            const std::string got = buffer.contents();
            if (full.size() + 2 <= size) {
                CHECK_EQ(got, full + '\0' + std::string(size - full.size() - 1, '\x01'));
            } else {
                const std::size_t kept = size < 2 ? 0 : size - 2;
                CHECK_EQ(got, full.substr(0, kept) + std::string(size - kept, '\0'));
            }
        }
    }
    CHECK_EQ(solClient_msg_dumpExt(msg, nullptr, 100, SOLCLIENT_MSGDUMP_FULL), FAIL);
}

// The XML part and the correlation tag given bytes of their own: copied before the old go.
TEST_CASE(xml_and_tag_taken_from_the_message_itself) {
    Message msg;
    using Set = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, const void *, solClient_uint32_t);
    using Get = solClient_returnCode_t (*)(solClient_opaqueMsg_pt, solClient_opaquePointer_pt *, solClient_uint32_t *);
    const std::pair<Set, Get> parts[] = {{solClient_msg_setXml, solClient_msg_getXmlPtr},
                                         {solClient_msg_setCorrelationTag, solClient_msg_getCorrelationTagPtr}};
    for (const auto &[set, get] : parts) {
        solClient_opaquePointer_pt data = kSentinelPointer;
        solClient_uint32_t size = kSentinel;
        CHECK_EQ(get(msg, &data, &size), NOT_FOUND);
        CHECK_EQ(data, kSentinelPointer);
        CHECK_EQ(set(msg, "own-bytes", 9), OK);
        CHECK_EQ(get(msg, &data, &size), OK);
        CHECK_EQ(set(msg, static_cast<const char *>(data) + 4, size - 4), OK);
        CHECK_EQ(get(msg, &data, &size), OK);
        CHECK_EQ(std::string(static_cast<const char *>(data), size), "bytes");
        CHECK_EQ(set(msg, nullptr, UINT32_MAX), FAIL);
        CHECK_EQ(set(msg, nullptr, 0), OK);
        CHECK_EQ(get(msg, &data, &size), NOT_FOUND);
    }
}

// Reset: every container handle opened on the message goes stale, none is closed twice or
// leaked, and the message itself keeps its handle.
TEST_CASE(reset_makes_every_container_handle_stale) {
    standin_reset();
    Message msg;
    const unsigned long open_before = standin_open_containers();
    solClient_opaqueContainer_pt map = nullptr, again = nullptr, sub = nullptr, attachment = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &map, 64), OK);
    CHECK_EQ(solClient_msg_getUserPropertyMap(msg, &again), OK);
    CHECK_EQ(solClient_container_openSubMap(map, &sub, "sub"), OK);
    CHECK_EQ(solClient_msg_createBinaryAttachmentStream(msg, &attachment, 64), OK);
    CHECK_EQ(solClient_msg_reset(msg), OK);
    CHECK_EQ(standin_open_containers(), open_before);
    for (solClient_opaqueContainer_pt stale : {map, again, sub, attachment}) check_refused_map_handle(stale);
    CHECK_EQ(solClient_msg_getUserPropertyMap(msg, &again), NOT_FOUND);
    CHECK_EQ(attachment_of(msg), "<none>");
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &again, 64), OK);
    CHECK(again != map);
    CHECK_EQ(solClient_container_closeMapStream(&again), OK);
    CHECK_EQ(standin_foreign_handles(), 0UL);
}

// ---------------------------------------------------------------------------------------
// Attachments at the 32-bit size limit, from one real buffer of 4 GiB

TEST_CASE(attachment_at_the_32_bit_limit) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t span = std::size_t{UINT32_MAX} + 1;
    // One mapping, never filled: pages only read are the kernel's shared zero page, so it
    // costs address space, and the library's copy is the one real 4 GiB. Every buffer taken
    // from it ends where an unreadable page starts, so a read past its end faults in any
    // build.
    void *mapping =
        mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    CHECK(mapping != MAP_FAILED);
    if (mapping == MAP_FAILED) return;
    auto *base = static_cast<unsigned char *>(mapping);
    CHECK_EQ(mprotect(base + span, page, PROT_NONE), 0);
    const auto buffer_of = [&](solClient_uint32_t size) { return base + (span - size); };

    {
        Message msg;
        // Sizes the genuine library's data blocks cannot hold, the largest a 32-bit size can
        // say among them: refused, and the attachment the message had is gone.
        for (const solClient_uint32_t size : {UINT32_MAX, 0xffffffe0U}) {
            CHECK_EQ(solClient_msg_setBinaryAttachment(msg, "abc", 3), OK);
            CHECK_EQ(solClient_msg_setBinaryAttachment(msg, buffer_of(size), size), FAIL);
            CHECK(error_record_is_sound());
            solClient_opaquePointer_pt data = kSentinelPointer;
            solClient_uint32_t read_size = kSentinel;
            CHECK_EQ(solClient_msg_getBinaryAttachmentPtr(msg, &data, &read_size), NOT_FOUND);
            CHECK_EQ(data, kSentinelPointer);
            CHECK_EQ(read_size, kSentinel);
        }

        // The largest size it takes is copied whole.
        constexpr solClient_uint32_t size = 0xffffffdf;
        unsigned char *buffer = buffer_of(size);
        buffer[0] = 0xa5;
        buffer[size / 2] = 0x5a;
        buffer[size - 1] = 0xc3;
        CHECK_EQ(solClient_msg_setBinaryAttachment(msg, buffer, size), OK);
        solClient_opaquePointer_pt data = nullptr;
        solClient_uint32_t read_size = 0;
        CHECK_EQ(solClient_msg_getBinaryAttachmentPtr(msg, &data, &read_size), OK);
        CHECK_EQ(read_size, size);
        CHECK(data != nullptr && data != buffer);
        if (data != nullptr && read_size == size) {
            const auto *copy = static_cast<const unsigned char *>(data);
            CHECK_EQ(copy[0], 0xa5);
            CHECK_EQ(copy[1], 0);
            CHECK_EQ(copy[size / 2], 0x5a);
            CHECK_EQ(copy[size - 2], 0);
            CHECK_EQ(copy[size - 1], 0xc3);
        }
        // The dump formats only what fits the buffer.
        const std::string text = dump_of(msg, 4096);
        CHECK_EQ(text.size(), std::size_t{4094});
        CHECK(text.find("len=4294967263\n  a5 00 00 00") != std::string::npos);
        // Replacing it gives the memory back before the mapping goes.
        CHECK_EQ(solClient_msg_setBinaryAttachment(msg, "x", 1), OK);
        CHECK_EQ(attachment_of(msg), "x");
    }
    CHECK_EQ(munmap(mapping, span + page), 0);
}

// A structured string field (the text and 6 bytes) larger than the largest data block, one
// of them past what 32 bits can say: refused, and the attachment the message had is gone.
// Both texts lie in one mapping of 2^32 'a' and a NUL.
TEST_CASE(string_attachment_past_the_32_bit_limit) {
    const std::size_t span = std::size_t{UINT32_MAX} + 1;
    void *mapping = mmap(nullptr, span + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    CHECK(mapping != MAP_FAILED);
    if (mapping == MAP_FAILED) return;
    std::memset(mapping, 'a', span);
    {
        Message msg;
        for (const std::size_t length : {std::size_t{0xffffffda}, span}) {
            CHECK_EQ(solClient_msg_setBinaryAttachmentString(msg, "old"), OK);
            CHECK_EQ(solClient_msg_setBinaryAttachmentString(msg, static_cast<const char *>(mapping) + (span - length)),
                     FAIL);
            CHECK(error_record_is_sound());
            CHECK_EQ(attachment_of(msg), "<none>");
        }
    }
    CHECK_EQ(munmap(mapping, span + 1), 0);
}

// ---------------------------------------------------------------------------------------
// Containers

// A standalone container in a heap block of exactly its size.
struct Standalone {
    explicit Standalone(solClient_uint32_t size, bool is_map = true) : memory(size, 0xee) {
        char *bytes = reinterpret_cast<char *>(memory.bytes.get());
        CHECK_EQ(is_map ? solClient_container_createMap(&handle, bytes, size)
                        : solClient_container_createStream(&handle, bytes, size),
                 OK);
    }
    ~Standalone() {
        if (handle != nullptr) solClient_container_closeMapStream(&handle);
    }
    Standalone(const Standalone &) = delete;
    Standalone &operator=(const Standalone &) = delete;

    Block memory;
    solClient_opaqueContainer_pt handle = nullptr;
};

// The fields of a container, read to the end from the start, one a line, as
// "name:type:length"; nested ones in brackets (and their handles closed).
std::string fields_of(solClient_opaqueContainer_pt container) {
    std::string text;
    CHECK_EQ(solClient_container_rewind(container), OK);
    solClient_field_t field;
    const char *name = nullptr;
    solClient_returnCode_t rc;
    while ((rc = solClient_container_getNextField(container, &field, sizeof field, &name)) == OK) {
        text += std::string(name ? name : "") + ":" + std::to_string(field.type) + ":" + std::to_string(field.length);
        if (field.type == SOLCLIENT_MAP || field.type == SOLCLIENT_STREAM) {
            text += "[" + fields_of(field.value.map) + "]";
            CHECK_EQ(solClient_container_closeMapStream(&field.value.map), OK);
        }
        text += " ";
    }
    return rc == SOLCLIENT_EOS ? text : text + "<" + std::to_string(rc) + ">";
}

// Stale handles of every kind: of a closed standalone container, of a closed sub-container,
// of an attachment container the attachment replaced. None of them is foreign.
TEST_CASE(stale_container_handles) {
    standin_reset();
    Message msg;
    solClient_opaqueContainer_pt stale = nullptr, sub = nullptr, attachment = nullptr;
    {
        Standalone standalone(64);
        stale = standalone.handle;
        CHECK_EQ(solClient_container_openSubStream(standalone.handle, &sub, "s"), OK);
    }
    check_refused_map_handle(stale);
    check_refused_map_handle(sub);
    CHECK_EQ(solClient_msg_createBinaryAttachmentMap(msg, &attachment, 0), OK);
    CHECK_EQ(solClient_msg_setBinaryAttachment(msg, "x", 1), OK);
    check_refused_map_handle(attachment);
    CHECK_EQ(attachment_of(msg), "x");
    CHECK_EQ(standin_foreign_handles(), 0UL);
}

// Every size of memory, filled to the brim with fields of every kind: the stand-in writes
// no byte outside the block, refuses what does not fit (sub-code 4), and the copy writes the
// finished encoding, which is the message's attachment byte for byte.
TEST_CASE(standalone_memory_filled_to_the_brim) {
    for (solClient_uint32_t size = 5; size <= 96; ++size) {
        Standalone standalone(size);
        const solClient_opaqueContainer_pt map = standalone.handle;
        const solClient_destination_t record = record_of(kTopic, "t");
        static const solClient_uint8_t bytes[3] = {1, 2, 3};
        int added = 0;
        for (int round = 0; round < 40; ++round) {
            const std::string name = "n" + std::to_string(round);
            solClient_opaqueContainer_pt sub = nullptr;
            solClient_returnCode_t rc;
            switch (round % 5) {
            case 0: rc = solClient_container_addInt64(map, -1, name.c_str()); break;
            case 1: rc = solClient_container_addString(map, "text", name.c_str()); break;
            case 2: rc = solClient_container_addByteArray(map, bytes, 3, name.c_str()); break;
            case 3: rc = solClient_container_addDestination(map, &record, kRecordSize, name.c_str()); break;
            default:
                rc = solClient_container_openSubStream(map, &sub, name.c_str());
                if (rc == OK) {
                    solClient_container_addSmf(sub, bytes, 3, nullptr);  // may not fit
                    CHECK_EQ(solClient_container_closeMapStream(&sub), OK);
                }
            }
            if (rc == OK) {
                ++added;
            } else {
                CHECK_EQ(rc, FAIL);
                CHECK_EQ(solClient_getLastErrorInfo()->subCode, 4);
            }
        }
        CHECK(added > 0 || size < 5 + 12);                         // the smallest field here takes 12
        CHECK_EQ(solClient_container_deleteField(map, "n0"), OK);  // a rewrite of the rest
        Message msg;
        CHECK_EQ(solClient_msg_setBinaryAttachmentContainer(msg, map), OK);
        const std::string encoding = attachment_of(msg);
        CHECK(encoding.size() <= size);
        CHECK_EQ(standalone.memory.contents().substr(0, encoding.size()), encoding);
    }
}

TEST_CASE(container_null_pointers_and_sizes) {
    Message msg;
    solClient_opaqueContainer_pt map = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &map, 64), OK);
    CHECK_EQ(solClient_container_addString(map, "json", "ct"), OK);
    const std::string before = dump_of(msg);

    Block memory(64);
    char *bytes = reinterpret_cast<char *>(memory.bytes.get());
    CHECK_EQ(solClient_container_createMap(nullptr, bytes, 64), FAIL);  // the genuine library crashes
    CHECK_EQ(solClient_container_createStream(nullptr, bytes, 64), FAIL);
    for (const solClient_uint32_t size : {0U, 1U, 4U}) {
        // The genuine library writes 5 bytes into memory of any size.
        solClient_opaqueContainer_pt out = kSentinelPointer;
        CHECK_EQ(solClient_container_createMap(&out, bytes, size), FAIL);
        CHECK_EQ(out, kSentinelPointer);
    }
    CHECK_EQ(memory.contents(), std::string(64, '\x01'));
    CHECK_EQ(solClient_msg_createBinaryAttachmentMap(msg, nullptr, 0), FAIL);
    CHECK_EQ(solClient_msg_getBinaryAttachmentStream(msg, nullptr), FAIL);
    CHECK_EQ(solClient_container_openSubMap(map, nullptr, "m"), FAIL);

    solClient_field_t field;
    const char *name = nullptr;
    for (const std::size_t size : {std::size_t{0}, std::size_t{23}, std::size_t{25}, SIZE_MAX}) {
        CHECK_EQ(solClient_container_getNextField(map, &field, size, &name), FAIL);
        CHECK_EQ(solClient_container_getField(map, &field, size, "ct"), FAIL);
    }
    CHECK_EQ(solClient_container_getNextField(map, nullptr, sizeof field, &name), FAIL);
    CHECK_EQ(solClient_container_getNextField(map, &field, sizeof field, nullptr), FAIL);
    CHECK_EQ(solClient_container_getField(map, nullptr, sizeof field, "ct"), FAIL);
    CHECK_EQ(solClient_container_getField(map, &field, sizeof field, nullptr), FAIL);
    CHECK_EQ(solClient_container_deleteField(map, nullptr), FAIL);
    CHECK_EQ(solClient_container_addString(map, nullptr, "n"), FAIL);
    CHECK_EQ(solClient_container_addSmf(map, nullptr, 0, "n"), FAIL);
    CHECK_EQ(solClient_container_addByteArray(map, nullptr, 1, "n"), FAIL);
    CHECK_EQ(solClient_container_addDestination(map, nullptr, kRecordSize, "n"), FAIL);
    const solClient_destination_t record = record_of(kQueue, "q");
    for (const std::size_t size : {std::size_t{0}, std::size_t{15}, std::size_t{17}, SIZE_MAX})
        CHECK_EQ(solClient_container_addDestination(map, &record, size, "n"), FAIL);
    Block unterminated(250, 'u');  // refused without reading past the longest name
    const solClient_destination_t long_name =
        record_of(kQueue, reinterpret_cast<const char *>(unterminated.bytes.get()));
    CHECK_EQ(solClient_container_addDestination(map, &long_name, kRecordSize, "n"), FAIL);
    CHECK_EQ(solClient_msg_setUserPropertyMap(msg, nullptr), FAIL);
    CHECK_EQ(solClient_msg_setBinaryAttachmentContainer(msg, nullptr), FAIL);
    CHECK_EQ(dump_of(msg), before);
    CHECK(error_record_is_sound());
    CHECK_EQ(solClient_container_closeMapStream(&map), OK);
}

// A length the container has no room for is refused before the bytes are read: here they are
// one byte long.
TEST_CASE(lengths_beyond_the_room_are_not_read) {
    Block one(1);
    const auto *byte = one.bytes.get();
    Message msg;
    solClient_opaqueContainer_pt map = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &map, 64), OK);
    CHECK_EQ(solClient_container_addByteArray(map, byte, UINT32_MAX, "b"), FAIL);
    CHECK_EQ(solClient_container_addSmf(map, byte, UINT32_MAX - 10, "s"), FAIL);
    Standalone standalone(64);
    CHECK_EQ(solClient_container_addByteArray(standalone.handle, byte, 60, "b"), FAIL);
    CHECK_EQ(solClient_getLastErrorInfo()->subCode, 4);
    CHECK_EQ(fields_of(map), "");
    CHECK_EQ(solClient_container_closeMapStream(&map), OK);
}

// Text handed back in, read from the container it goes into, and a container added to itself.
TEST_CASE(values_taken_from_the_container_itself) {
    Message msg;
    solClient_opaqueContainer_pt map = nullptr;
    CHECK_EQ(solClient_msg_createUserPropertyMap(msg, &map, 64), OK);
    CHECK_EQ(
        solClient_container_addString(map, "a value long enough to live on the heap", "a key as long as that, or so"),
        OK);
    for (int i = 0; i < 20; ++i) {  // enough to move the fields more than once
        solClient_field_t field;
        const char *name = nullptr;
        CHECK_EQ(solClient_container_rewind(map), OK);
        CHECK_EQ(solClient_container_getNextField(map, &field, sizeof field, &name), OK);
        CHECK_EQ(solClient_container_addString(map, field.value.string, name), OK);
        CHECK_EQ(solClient_container_addContainer(map, map, name), OK);
    }
    const char *text = nullptr;
    CHECK_EQ(solClient_container_getStringPtr(map, &text, "a key as long as that, or so"), OK);
    CHECK_EQ(std::string_view(text), "a value long enough to live on the heap");
    CHECK_EQ(solClient_container_closeMapStream(&map), OK);
}

// 1000 maps deep: built, encoded, parsed back, dumped, and let go all at once by the
// outermost close.
TEST_CASE(deep_nesting) {
    Message msg;
    std::vector<solClient_opaqueContainer_pt> handles(1, nullptr);
    CHECK_EQ(solClient_msg_createBinaryAttachmentStream(msg, &handles[0], 0), OK);
    const long open = static_cast<long>(standin_open_containers());
    for (int depth = 0; depth < 1000; ++depth) {
        solClient_opaqueContainer_pt sub = nullptr;
        CHECK_EQ(solClient_container_openSubMap(handles.back(), &sub, depth == 0 ? nullptr : "m"), OK);
        handles.push_back(sub);
    }
    CHECK_EQ(solClient_container_addUint8(handles.back(), 7, "deepest"), OK);
    CHECK_EQ(static_cast<long>(standin_open_containers()), open + 1000);
    CHECK_EQ(solClient_container_closeMapStream(&handles[0]), OK);
    CHECK_EQ(static_cast<long>(standin_open_containers()), open - 1);
    CHECK_EQ(solClient_container_rewind(handles.back()), FAIL);
    const std::string encoding = attachment_of(msg);
    CHECK_EQ(encoding.size(), std::size_t{5 + 5 + 999 * (4 + 5) + 10 + 3});
    solClient_opaqueContainer_pt stream = nullptr;
    CHECK_EQ(solClient_msg_getBinaryAttachmentStream(msg, &stream), OK);
    const std::string fields = fields_of(stream);
    CHECK_EQ(std::count(fields.begin(), fields.end(), '['), 1000);
    CHECK(fields.find("deepest:1:1") != std::string::npos);
    CHECK_EQ(solClient_container_closeMapStream(&stream), OK);
    const std::string text = dump_of(msg);
    CHECK(text.find(std::string(2000, ' ') + "Key 'deepest' (UINT8) 7\n") != std::string::npos);
}

// Attachments that are not quite containers: every cut of a good encoding and every one of
// its bytes changed to a few values are read as far as they go, dumped and iterated, and the
// bytes stay as they were; nothing reads outside them.
TEST_CASE(malformed_attachment_containers) {
    std::string good;
    {
        Message source;
        solClient_opaqueContainer_pt map = nullptr, sub = nullptr;
        CHECK_EQ(solClient_msg_createBinaryAttachmentMap(source, &map, 0), OK);
        CHECK_EQ(solClient_container_addString(map, "text", "s"), OK);
        CHECK_EQ(solClient_container_openSubStream(map, &sub, "l"), OK);
        CHECK_EQ(solClient_container_addInt16(sub, -2, nullptr), OK);
        const solClient_destination_t record = record_of(kQueue, "q");
        CHECK_EQ(solClient_container_addDestination(sub, &record, kRecordSize, nullptr), OK);
        CHECK_EQ(solClient_container_closeMapStream(&sub), OK);
        CHECK_EQ(solClient_container_addDouble(map, 0.5, "d"), OK);
        CHECK_EQ(solClient_container_closeMapStream(&map), OK);
        good = attachment_of(source);
    }
    std::vector<std::string> variants;
    for (std::size_t cut = 1; cut < good.size(); ++cut) variants.push_back(good.substr(0, cut));
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (const unsigned char value : {0x00, 0x01, 0x2b, 0x2f, 0x7f, 0xff}) {
            std::string changed = good;
            changed[at] = static_cast<char>(value);
            variants.push_back(changed);
        }
    }
    for (const std::string &bytes : variants) {
        Message msg;
        CHECK_EQ(solClient_msg_setBinaryAttachment(msg, bytes.data(), static_cast<solClient_uint32_t>(bytes.size())),
                 OK);
        dump_of(msg);
        for (const bool is_map : {true, false}) {
            solClient_opaqueContainer_pt container = nullptr;
            const solClient_returnCode_t rc = is_map ? solClient_msg_getBinaryAttachmentMap(msg, &container)
                                                     : solClient_msg_getBinaryAttachmentStream(msg, &container);
            CHECK(rc == OK || rc == NOT_FOUND);
            if (rc == OK) {
                fields_of(container);
                solClient_field_t field;
                solClient_container_getField(container, &field, sizeof field, is_map ? "s" : nullptr);
                CHECK_EQ(solClient_container_closeMapStream(&container), OK);
            }
        }
        CHECK_EQ(attachment_of(msg).size(), bytes.size());
    }
}

// Maps on messages of their own, and standalone ones, on several threads at once.
TEST_CASE(containers_on_threads) {
    std::vector<std::thread> threads;
    std::vector<int> failures_seen(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures_seen] {
            for (int i = 0; i < 300; ++i) {
                solClient_opaqueMsg_pt msg = nullptr;
                solClient_opaqueContainer_pt map = nullptr, standalone = nullptr;
                char memory[128];
                bool ok = solClient_msg_alloc(&msg) == OK && solClient_msg_createUserPropertyMap(msg, &map, 64) == OK &&
                          solClient_container_addInt32(map, t, "t") == OK &&
                          solClient_container_createStream(&standalone, memory, sizeof memory) == OK &&
                          solClient_container_addInt32(standalone, i, nullptr) == OK &&
                          solClient_msg_setBinaryAttachmentContainer(msg, standalone) == OK &&
                          solClient_container_closeMapStream(&standalone) == OK &&
                          solClient_container_closeMapStream(&map) == OK;
                ok = solClient_msg_free(&msg) == OK && ok;
                failures_seen[t] += ok ? 0 : 1;
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (const int seen : failures_seen) CHECK_EQ(seen, 0);
}

// ---------------------------------------------------------------------------------------
// Replication group message ids, copies and the wire calls

// The text of an id in a block of exactly 16 bytes, into blocks of every size up to past
// the 42 it needs: what fits and a NUL, never a byte beyond. Refused ids, sizes and pointers
// write nothing.
TEST_CASE(replication_group_message_ids) {
    static const unsigned char raw[16] = {0x34, 0x77, 0xfa, 0x5c, 0xe5, 0x20, 0xf2, 0xec,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x0f, 0x43, 0x85};
    const std::string text = "rmid1:3477f-a5ce520f2ec-00000000-000f4385";
    const Block id(16);
    std::memcpy(id.bytes.get(), raw, sizeof raw);
    for (std::size_t size = 0; size <= text.size() + 4; ++size) {
        const Block buffer(size);
        char *out = reinterpret_cast<char *>(buffer.bytes.get());
        CHECK_EQ(solClient_replicationGroupMessageId_toString(id.bytes.get(), 16, out, size),
                 size > text.size() ? OK : FAIL);
        const std::size_t kept = std::min(size == 0 ? 0 : size - 1, text.size());
        CHECK_EQ(buffer.contents(),
                 size == 0 ? "" : text.substr(0, kept) + '\0' + std::string(size - kept - 1, '\x01'));
    }
    const Block buffer(64), zero(16, 0);
    char *out = reinterpret_cast<char *>(buffer.bytes.get());
    CHECK_EQ(solClient_replicationGroupMessageId_toString(zero.bytes.get(), 16, out, 64), FAIL);
    for (const std::size_t size : {std::size_t{0}, std::size_t{15}, std::size_t{17}, SIZE_MAX})
        CHECK_EQ(solClient_replicationGroupMessageId_toString(id.bytes.get(), size, out, 64), FAIL);
    CHECK_EQ(solClient_replicationGroupMessageId_toString(nullptr, 16, out, 64), FAIL);  // the genuine one crashes
    CHECK_EQ(buffer.contents(), std::string(64, '\x01'));
    CHECK_EQ(solClient_replicationGroupMessageId_toString(id.bytes.get(), 16, nullptr, 64), FAIL);
    CHECK_EQ(solClient_replicationGroupMessageId_toString(id.bytes.get(), 16, nullptr, 0), FAIL);

    // Read from a message in blocks of the size the call is told.
    Message msg;
    CHECK_EQ(standin_set_replication_group_message_id(msg, id.bytes.get(), 15), -1);
    CHECK_EQ(standin_set_replication_group_message_id(msg, id.bytes.get(), SIZE_MAX), -1);
    CHECK_EQ(standin_set_replication_group_message_id(msg, id.bytes.get(), 16), 0);
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{17}, SIZE_MAX}) {
        const Block read(size == SIZE_MAX ? 16 : size);
        CHECK_EQ(solClient_msg_getReplicationGroupMessageId(msg, read.bytes.get(), size), FAIL);
        CHECK_EQ(solClient_getLastErrorInfo()->subCode, 1);
        CHECK_EQ(read.contents(), std::string(read.size, '\x01'));
    }
    const Block read(16);
    CHECK_EQ(solClient_msg_getReplicationGroupMessageId(msg, read.bytes.get(), 16), OK);
    CHECK_EQ(read.contents(), id.contents());
    CHECK_EQ(standin_set_replication_group_message_id(msg, nullptr, 0), 0);
    CHECK_EQ(solClient_msg_getReplicationGroupMessageId(msg, read.bytes.get(), 16), NOT_FOUND);
}

// A copy of everything, of a message whose attachment container is open and changed (the
// copy gets the finished encoding and no open handle), and copies made on threads while the
// original changes.
TEST_CASE(copies) {
    Message msg;
    fill(msg);
    solClient_opaqueMsg_pt copy = nullptr;
    CHECK_EQ(solClient_msg_dup(msg, &copy), OK);
    CHECK_EQ(dump_of(copy), dump_of(msg));
    CHECK_EQ(solClient_msg_free(&copy), OK);

    Message open;
    solClient_opaqueContainer_pt map = nullptr;
    CHECK_EQ(solClient_msg_createBinaryAttachmentMap(open, &map, 0), OK);
    CHECK_EQ(solClient_container_addUint8(map, 1, "a"), OK);
    const unsigned long open_containers = standin_open_containers();
    CHECK_EQ(solClient_msg_dup(open, &copy), OK);
    CHECK_EQ(standin_open_containers(), open_containers);
    CHECK_EQ(attachment_of(copy), std::string("\x2b\0\0\0\x0c\x1c\x04"
                                              "a\0\x0c\x03\x01",
                                              12));
    CHECK_EQ(solClient_container_closeMapStream(&map), OK);
    CHECK_EQ(attachment_of(open), attachment_of(copy));
    CHECK_EQ(solClient_msg_free(&copy), OK);

    std::vector<std::thread> threads;
    std::vector<int> failures_seen(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &msg, &failures_seen] {
            for (int i = 0; i < 300; ++i) {
                if (t == 0) {
                    failures_seen[t] += solClient_msg_setSenderId(msg, std::to_string(i).c_str()) == OK ? 0 : 1;
                    continue;
                }
                solClient_opaqueMsg_pt mine = nullptr;
                const char *text = nullptr;
                const bool ok = solClient_msg_dup(msg, &mine) == OK && solClient_msg_getSenderId(mine, &text) == OK &&
                                solClient_msg_free(&mine) == OK;
                failures_seen[t] += ok ? 0 : 1;
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (const int seen : failures_seen) CHECK_EQ(seen, 0);
}

// The stand-in has no wire encoding: every call is refused, and writes and reads nothing.
TEST_CASE(wire_calls_are_refused) {
    Message msg;
    fill(msg);
    const long live = standin_live_messages();
    solClient_bufInfo_t out{kSentinelPointer, kSentinel};
    solClient_opaqueDatablock_pt block = kSentinelPointer;
    CHECK_EQ(solClient_msg_encodeToSMF(msg, &out, &block), FAIL);
    CHECK_EQ(solClient_getLastErrorInfo()->subCode, STANDIN_SUBCODE_NO_WIRE_ENCODING);
    CHECK_EQ(solClient_msg_encodeToSMF(msg, nullptr, &block), FAIL);
    CHECK_EQ(solClient_msg_encodeToSMF(msg, &out, nullptr), FAIL);
    CHECK(out.buf_p == kSentinelPointer && out.bufSize == kSentinel && block == kSentinelPointer);

    const Block one(1);  // told 4 GiB: never read
    solClient_bufInfo_t in{one.bytes.get(), UINT32_MAX};
    solClient_opaqueMsg_pt decoded = kSentinelPointer;
    CHECK_EQ(solClient_msg_decodeFromSmf(&in, &decoded), FAIL);
    CHECK_EQ(solClient_getLastErrorInfo()->subCode, STANDIN_SUBCODE_NO_WIRE_ENCODING);
    CHECK_EQ(solClient_msg_decodeFromSmf(nullptr, &decoded), FAIL);
    CHECK_EQ(solClient_msg_decodeFromSmf(&in, nullptr), FAIL);
    CHECK_EQ(decoded, kSentinelPointer);

    CHECK_EQ(solClient_datablock_free(nullptr), FAIL);
    CHECK_EQ(solClient_datablock_free(&block), FAIL);
    CHECK_EQ(block, kSentinelPointer);
    block = nullptr;
    CHECK_EQ(solClient_datablock_free(&block), FAIL);
    CHECK_EQ(standin_live_messages(), live);
    CHECK(error_record_is_sound());
}

// ---------------------------------------------------------------------------------------
// The last-error record and the test-control interface

TEST_CASE(last_error_record) {
    CHECK_EQ(solClient_msg_setClassOfService(nullptr, 1), FAIL);
    CHECK(error_record_is_sound());
    solClient_resetLastErrorInfo();
    const solClient_errorInfo_pt info = solClient_getLastErrorInfo();
    CHECK(info->subCode == 0 && info->responseCode == 0 && info->errorStr[0] == '\0');
    bool other_thread_sound = false;
    std::thread([&] {
        solClient_msg_setClassOfService(nullptr, 1);
        other_thread_sound = error_record_is_sound();
    }).join();
    CHECK(other_thread_sound);
}

TEST_CASE(control_interface_bad_input) {
    Message msg;
    standin_set_error_text(std::string(1000, 'e').c_str());
    CHECK_EQ(solClient_msg_setClassOfService(msg, 9), FAIL);
    CHECK_EQ(std::strlen(solClient_getLastErrorInfo()->errorStr), std::size_t{255});
    standin_set_error_text(nullptr);

    standin_fail_next(nullptr, FAIL, 1);
    standin_fail_next("solClient_msg_noSuchCall", FAIL, 1);
    CHECK_EQ(solClient_msg_setClassOfService(msg, 1), OK);
    CHECK_EQ(standin_calls(nullptr), 0UL);
    CHECK_EQ(standin_calls("solClient_msg_noSuchCall"), 0UL);
    for (const int times : {0, -1, INT_MIN}) {
        standin_fail_next("solClient_msg_setClassOfService", FAIL, 1);
        standin_fail_next("solClient_msg_setClassOfService", FAIL, times);
        CHECK_EQ(solClient_msg_setClassOfService(msg, 1), OK);
    }

    for (const long long count : {-2147483649LL, 2147483648LL, LLONG_MIN, LLONG_MAX})
        CHECK_EQ(standin_set_received(msg, "delivery_count", count), -1);
    CHECK_EQ(standin_set_received(msg, nullptr, 1), -1);
    CHECK_EQ(standin_set_received(msg, "", 1), -1);
    CHECK_EQ(standin_set_received(msg, "Redelivered", 1), -1);
    CHECK_EQ(solClient_msg_isRedelivered(msg), 0);
    solClient_int32_t count = kSentinel;
    CHECK_EQ(solClient_msg_getDeliveryCount(msg, &count), FAIL);
    CHECK_EQ(count, solClient_int32_t{kSentinel});
    standin_reset();
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<const Case *> selected;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--list") == 0) {
            for (const Case &c : all_cases()) std::printf("%s\n", c.name);
            return 0;
        }
        const Case *found = nullptr;
        for (const Case &c : all_cases()) found = std::strcmp(c.name, argv[i]) == 0 ? &c : found;
        if (found == nullptr) {
            std::fprintf(stderr, "standin_abi_tests: no case named %s\n", argv[i]);
            return 2;
        }
        selected.push_back(found);
    }
    if (selected.empty())
        for (const Case &c : all_cases()) selected.push_back(&c);

    standin_reset();
    const long live = standin_live_messages();
    const unsigned long open_containers = standin_open_containers();
    for (const Case *c : selected) {
        const int checks_before = checks, failures_before = failures;
        c->run();
        std::printf("%-44s %5d checks, %d failed\n", c->name, checks - checks_before, failures - failures_before);
    }
    // Every case frees what it allocates and closes what it opens.
    CHECK_EQ(standin_live_messages(), live);
    CHECK_EQ(standin_open_containers(), open_containers);
    std::printf("standin_abi_tests: %zu cases, %d checks, %d failed\n", selected.size(), checks, failures);
    return failures == 0 ? 0 : 1;
}
