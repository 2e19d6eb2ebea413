// The library's own cost: for each zelmsg operation, the sequence of libsolclient calls
// it makes, timed from C++ with no Python in the way. Built once per library (the
// stand-in and the genuine one) from this same source.
//
// Extra arguments, taken out before Google Benchmark reads the rest:
//   --sizes=N,N,...       attachment sizes to time the attachment calls and copies at
//   --dump-body=PATH      the attachment of the message whose dump is timed
//   --topic=NAME, --reply-queue=NAME, --content-type=TEXT, --correlation-id=TEXT,
//   --application-message-id=TEXT, --text=TEXT, --ttl=N, --priority=N,
//   --sender-timestamp=N, --sequence-number=N
//                         the message's values, the same as the Python benchmark's
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "solclient.h"

namespace {

std::vector<std::uint32_t> sizes;
std::string dump_body;
std::string topic_name = "orders/eu-west/new/v1";
std::string queue_name = "order-replies/eu-west";
std::string content_type = "application/json";
// The rest of the header and the text attachment, as bench/run.py passes them.
std::string correlation_id;
std::string application_message_id;
std::string text;
solClient_int64_t ttl = 0;
solClient_int32_t priority = 0;
solClient_int64_t sender_timestamp = 0;
solClient_uint64_t sequence_number = 0;

solClient_destination_t topic{SOLCLIENT_TOPIC_DESTINATION, nullptr};
solClient_destination_t queue{SOLCLIENT_QUEUE_DESTINATION, nullptr};

void check(solClient_returnCode_t rc, const char *what) {
    if (rc != SOLCLIENT_OK) throw std::runtime_error(std::string(what) + " failed");
}

// Which message an operation works on: the base one, or one that also holds the rest of
// the header and the text attachment, as the Python benchmark's cases for those do.
enum class Held { base, fields };

// The content type as zelmsg's tag writers (content_type, json, msgpack) write it: the map's
// own "ct" replaced, or, on a message with no map, a new map made for it; then closed.
solClient_returnCode_t tag(solClient_opaqueMsg_pt msg, const char *text) {
    solClient_opaqueContainer_pt map = nullptr;
    solClient_returnCode_t rc = solClient_msg_getUserPropertyMap(msg, &map);
    if (rc == SOLCLIENT_OK) {
        rc = solClient_container_deleteField(map, "ct");
    } else if (rc == SOLCLIENT_NOT_FOUND) {
        rc = solClient_msg_createUserPropertyMap(msg, &map, 64);
    }
    if (rc == SOLCLIENT_OK) rc = solClient_container_addString(map, text, "ct");
    if (map) solClient_container_closeMapStream(&map);
    return rc;
}

// A message in the state the Python benchmark gives its own: the same header values,
// and the content type in the user property map.
struct Message {
    explicit Message(std::uint32_t attachment = 0, const std::string *body = nullptr) {
        check(solClient_msg_alloc(&msg), "alloc");
        check(solClient_msg_setDestination(msg, &topic, sizeof topic), "setDestination");
        check(solClient_msg_setReplyTo(msg, &queue, sizeof queue), "setReplyTo");
        check(solClient_msg_setDeliveryMode(msg, SOLCLIENT_DELIVERY_MODE_PERSISTENT), "setDeliveryMode");
        check(solClient_msg_setClassOfService(msg, 1), "setClassOfService");
        check(solClient_msg_setElidingEligible(msg, 1), "setElidingEligible");
        set_content_type(body ? "json" : content_type.c_str());
        if (body) {
            check(solClient_msg_setBinaryAttachment(msg, body->data(), static_cast<std::uint32_t>(body->size())),
                  "setBinaryAttachment");
        } else if (attachment) {
            const std::vector<char> payload(attachment, 'x');
            check(solClient_msg_setBinaryAttachment(msg, payload.data(), attachment), "setBinaryAttachment");
        }
    }
    explicit Message(Held held) : Message() {
        if (held == Held::base) return;
        check(solClient_msg_setDMQEligible(msg, 1), "setDMQEligible");
        check(solClient_msg_setTimeToLive(msg, ttl), "setTimeToLive");
        check(solClient_msg_setPriority(msg, priority), "setPriority");
        check(solClient_msg_setCorrelationId(msg, correlation_id.c_str()), "setCorrelationId");
        check(solClient_msg_setApplicationMessageId(msg, application_message_id.c_str()), "setApplicationMessageId");
        check(solClient_msg_setSenderTimestamp(msg, sender_timestamp), "setSenderTimestamp");
        check(solClient_msg_setSequenceNumber(msg, sequence_number), "setSequenceNumber");
        check(solClient_msg_setBinaryAttachmentString(msg, text.c_str()), "setBinaryAttachmentString");
    }
    ~Message() { solClient_msg_free(&msg); }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;

    solClient_returnCode_t set_content_type(const char *text) { return tag(msg, text); }

    solClient_opaqueMsg_pt msg = nullptr;
};

void alloc_free(benchmark::State &state) {
    for (auto _ : state) {
        solClient_opaqueMsg_pt msg = nullptr;
        solClient_msg_alloc(&msg);
        solClient_msg_free(&msg);
    }
}

template <solClient_returnCode_t (*Read)(solClient_opaqueMsg_pt, solClient_destination_t *, size_t)>
void read_destination(benchmark::State &state) {
    Message m;
    for (auto _ : state) {
        solClient_destination_t rec{SOLCLIENT_NULL_DESTINATION, ""};
        benchmark::DoNotOptimize(Read(m.msg, &rec, sizeof rec));
        benchmark::DoNotOptimize(rec);
    }
}

template <solClient_returnCode_t (*Write)(solClient_opaqueMsg_pt, solClient_destination_t *, size_t)>
void write_destination(benchmark::State &state, solClient_destination_t *value) {
    Message m;
    for (auto _ : state) {
        solClient_destination_t rec = *value;
        benchmark::DoNotOptimize(Write(m.msg, &rec, sizeof rec));
    }
}

template <solClient_bool_t (*Read)(solClient_opaqueMsg_pt), Held held = Held::base>
void read_flag(benchmark::State &state) {
    Message m(held);
    for (auto _ : state) benchmark::DoNotOptimize(Read(m.msg));
}

// A number or a text pointer, which the library hands back through its second argument.
template <typename Value, solClient_returnCode_t (*Read)(solClient_opaqueMsg_pt, Value *), Held held = Held::base>
void read_value(benchmark::State &state) {
    Message m(held);
    for (auto _ : state) {
        Value value{};
        benchmark::DoNotOptimize(Read(m.msg, &value));
        benchmark::DoNotOptimize(value);
    }
}

template <typename Value, solClient_returnCode_t (*Write)(solClient_opaqueMsg_pt, Value), Held held = Held::base>
void write_value(benchmark::State &state, Value value) {
    Message m(held);
    for (auto _ : state) benchmark::DoNotOptimize(Write(m.msg, value));
}

void read_content_type(benchmark::State &state) {
    Message m;
    for (auto _ : state) {
        solClient_opaqueContainer_pt map = nullptr;
        const char *text = nullptr;
        if (solClient_msg_getUserPropertyMap(m.msg, &map) == SOLCLIENT_OK) {
            benchmark::DoNotOptimize(solClient_container_getStringPtr(map, &text, "ct"));
            solClient_container_closeMapStream(&map);
        }
        benchmark::DoNotOptimize(text);
    }
}

void write_content_type(benchmark::State &state) {
    Message m;
    for (auto _ : state) benchmark::DoNotOptimize(m.set_content_type(content_type.c_str()));
}

// is_request reads the reply-to destination and the reply flag.
void read_is_request(benchmark::State &state) {
    Message m;
    for (auto _ : state) {
        solClient_destination_t rec{SOLCLIENT_NULL_DESTINATION, ""};
        benchmark::DoNotOptimize(solClient_msg_getReplyTo(m.msg, &rec, sizeof rec));
        benchmark::DoNotOptimize(solClient_msg_isReplyMsg(m.msg));
    }
}

void read_attachment(benchmark::State &state) {
    Message m(static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        solClient_opaquePointer_pt data = nullptr;
        solClient_uint32_t size = 0;
        benchmark::DoNotOptimize(solClient_msg_getBinaryAttachmentPtr(m.msg, &data, &size));
        benchmark::DoNotOptimize(data);
    }
}

void write_attachment(benchmark::State &state) {
    Message m;
    const std::vector<char> payload(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            solClient_msg_setBinaryAttachment(m.msg, payload.data(), static_cast<std::uint32_t>(payload.size())));
    }
}

// What a json or msgpack write asks of the library: the tag, then the attachment.
void write_tagged_attachment(benchmark::State &state) {
    Message m;
    const std::vector<char> payload(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.set_content_type("json"));
        benchmark::DoNotOptimize(
            solClient_msg_setBinaryAttachment(m.msg, payload.data(), static_cast<std::uint32_t>(payload.size())));
    }
}

// One copy of an attachment into a new buffer: what a read of the body adds to the call.
void copy_out(benchmark::State &state) {
    const std::vector<char> source(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        char *copy = static_cast<char *>(std::malloc(source.size()));
        std::memcpy(copy, source.data(), source.size());
        benchmark::DoNotOptimize(copy);
        benchmark::ClobberMemory();
        std::free(copy);
    }
}

// The library's share of one outbound message as the vendor comparison builds it:
// allocate, delivery mode, class of service, content type, attachment, free.
void build_message(benchmark::State &state) {
    const std::vector<char> payload(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        solClient_opaqueMsg_pt msg = nullptr;
        solClient_msg_alloc(&msg);
        solClient_msg_setDeliveryMode(msg, SOLCLIENT_DELIVERY_MODE_PERSISTENT);
        solClient_msg_setClassOfService(msg, 1);
        benchmark::DoNotOptimize(tag(msg, "json"));
        solClient_msg_setBinaryAttachment(msg, payload.data(), static_cast<std::uint32_t>(payload.size()));
        solClient_msg_free(&msg);
    }
}

void dump(benchmark::State &state) {
    Message m(0, &dump_body);
    char buffer[4096];
    for (auto _ : state) {
        benchmark::DoNotOptimize(solClient_msg_dump(m.msg, buffer, sizeof buffer));
        benchmark::ClobberMemory();
    }
}

void register_all() {
    benchmark::RegisterBenchmark("ZelMsg()", alloc_free);
    benchmark::RegisterBenchmark("get dest", read_destination<solClient_msg_getDestination>);
    benchmark::RegisterBenchmark("set dest", write_destination<solClient_msg_setDestination>, &topic);
    benchmark::RegisterBenchmark("get reply2", read_destination<solClient_msg_getReplyTo>);
    benchmark::RegisterBenchmark("set reply2", write_destination<solClient_msg_setReplyTo>, &queue);
    benchmark::RegisterBenchmark("get is_reply", read_flag<solClient_msg_isReplyMsg>);
    benchmark::RegisterBenchmark("set is_reply", write_value<solClient_bool_t, solClient_msg_setAsReplyMsg>, 0);
    benchmark::RegisterBenchmark("get delivery_mode", read_value<solClient_uint32_t, solClient_msg_getDeliveryMode>);
    benchmark::RegisterBenchmark("set delivery_mode", write_value<solClient_uint32_t, solClient_msg_setDeliveryMode>,
                                 SOLCLIENT_DELIVERY_MODE_PERSISTENT);
    benchmark::RegisterBenchmark("get content_type", read_content_type);
    benchmark::RegisterBenchmark("set content_type", write_content_type);
    benchmark::RegisterBenchmark("get elide", read_flag<solClient_msg_isElidingEligible>);
    benchmark::RegisterBenchmark("set elide", write_value<solClient_bool_t, solClient_msg_setElidingEligible>, 1);
    benchmark::RegisterBenchmark("get cos", read_value<solClient_uint32_t, solClient_msg_getClassOfService>);
    benchmark::RegisterBenchmark("set cos", write_value<solClient_uint32_t, solClient_msg_setClassOfService>, 1);
    benchmark::RegisterBenchmark("get is_request", read_is_request);
    benchmark::RegisterBenchmark("get is_p2p", read_destination<solClient_msg_getDestination>);

    constexpr Held fields = Held::fields;
    using Text = const char *;
    benchmark::RegisterBenchmark("get dmq_eligible", read_flag<solClient_msg_isDMQEligible, fields>);
    benchmark::RegisterBenchmark("set dmq_eligible", write_value<solClient_bool_t, solClient_msg_setDMQEligible, fields>,
                                 1);
    benchmark::RegisterBenchmark("get ttl", read_value<solClient_int64_t, solClient_msg_getTimeToLive, fields>);
    benchmark::RegisterBenchmark("set ttl", write_value<solClient_int64_t, solClient_msg_setTimeToLive, fields>, ttl);
    benchmark::RegisterBenchmark("get priority", read_value<solClient_int32_t, solClient_msg_getPriority, fields>);
    benchmark::RegisterBenchmark("set priority", write_value<solClient_int32_t, solClient_msg_setPriority, fields>,
                                 priority);
    benchmark::RegisterBenchmark("get correlation_id", read_value<Text, solClient_msg_getCorrelationId, fields>);
    benchmark::RegisterBenchmark("set correlation_id", write_value<Text, solClient_msg_setCorrelationId, fields>,
                                 correlation_id.c_str());
    benchmark::RegisterBenchmark("get application_message_id",
                                 read_value<Text, solClient_msg_getApplicationMessageId, fields>);
    benchmark::RegisterBenchmark("set application_message_id",
                                 write_value<Text, solClient_msg_setApplicationMessageId, fields>,
                                 application_message_id.c_str());
    benchmark::RegisterBenchmark("get sender_timestamp",
                                 read_value<solClient_int64_t, solClient_msg_getSenderTimestamp, fields>);
    benchmark::RegisterBenchmark("set sender_timestamp",
                                 write_value<solClient_int64_t, solClient_msg_setSenderTimestamp, fields>,
                                 sender_timestamp);
    benchmark::RegisterBenchmark("get sequence_number",
                                 read_value<solClient_int64_t, solClient_msg_getSequenceNumber, fields>);
    benchmark::RegisterBenchmark("set sequence_number",
                                 write_value<solClient_uint64_t, solClient_msg_setSequenceNumber, fields>,
                                 sequence_number);
    benchmark::RegisterBenchmark("get text", read_value<Text, solClient_msg_getBinaryAttachmentString, fields>);
    benchmark::RegisterBenchmark("set text", write_value<Text, solClient_msg_setBinaryAttachmentString, fields>,
                                 text.c_str());
    benchmark::RegisterBenchmark("repr", dump);
    for (const std::uint32_t size : sizes) {
        benchmark::RegisterBenchmark("get attachment", read_attachment)->Arg(size);
        benchmark::RegisterBenchmark("set attachment", write_attachment)->Arg(size);
        benchmark::RegisterBenchmark("set tag+attachment", write_tagged_attachment)->Arg(size);
        benchmark::RegisterBenchmark("copy", copy_out)->Arg(size);
        benchmark::RegisterBenchmark("build message", build_message)->Arg(size);
    }
}

bool take(const char *arg, const char *name, std::string &value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0) return false;
    value = arg + length;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const std::map<std::string, std::string *> texts{
        {"--topic=", &topic_name},
        {"--reply-queue=", &queue_name},
        {"--content-type=", &content_type},
        {"--correlation-id=", &correlation_id},
        {"--application-message-id=", &application_message_id},
        {"--text=", &text},
    };
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string value;
        const auto named = std::find_if(texts.begin(), texts.end(),
                                        [&](const auto &entry) { return take(argv[i], entry.first.c_str(), value); });
        if (named != texts.end()) {
            *named->second = value;
        } else if (take(argv[i], "--sizes=", value)) {
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) sizes.push_back(std::stoul(item));
        } else if (take(argv[i], "--ttl=", value)) {
            ttl = std::stoll(value);
        } else if (take(argv[i], "--priority=", value)) {
            priority = std::stoi(value);
        } else if (take(argv[i], "--sender-timestamp=", value)) {
            sender_timestamp = std::stoll(value);
        } else if (take(argv[i], "--sequence-number=", value)) {
            sequence_number = std::stoull(value);
        } else if (take(argv[i], "--dump-body=", value)) {
            std::ifstream file(value, std::ios::binary);
            dump_body.assign(std::istreambuf_iterator<char>(file), {});
        } else {
            rest.push_back(argv[i]);
        }
    }
    topic.dest = topic_name.c_str();
    queue.dest = queue_name.c_str();
    // As zelmsg does on import: the genuine library's calls take other paths, and cost
    // other times, once it is initialised.
    check(solClient_initialize(SOLCLIENT_LOG_CRITICAL, nullptr), "initialize");
    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
