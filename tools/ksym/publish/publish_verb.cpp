// publish: the values of variables into an MQTT broker, as retained JSON topics, over one
// channel to the station: on change (numbers beyond a deadband), on a heartbeat and after
// every (re)connection, through breaks of the station and of the broker.
#include <cstdio>
#include <fstream>
#include <memory>

#include "formats/sdb_symbols.h"
#include "tools/common/listen_address.h"
#include "tools/ksym/change_filter.h"
#include "tools/ksym/deadline.h"
#include "tools/ksym/identification.h"
#include "tools/ksym/json_topics.h"
#include "tools/ksym/list_read.h"
#include "tools/ksym/mended_list.h"
#include "tools/ksym/publish/message_buffer.h"
#include "tools/ksym/publish/mqtt_link.h"
#include "tools/ksym/publish/write_inbox.h"
#include "tools/ksym/read_pacing.h"
#include "tools/ksym/recorder.h"
#include "tools/ksym/session.h"
#include "tools/ksym/variable_write.h"
#include "tools/ksym/verb.h"
#include "tools/ksym/watch_output.h"

namespace ksymtool {

namespace {

struct PublishOptions {
    std::string broker;
    std::string prefix;
    std::string format = "json";
    std::string topic;
    ReadPacing pacing;
    double deadband = 0;
    double heartbeatSeconds = 0;
    uint32_t qos = 1;
    std::string clientId;
    std::string username;
    std::string passwordFile;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string bufferFolder;
    uint32_t bufferLimitMb = 64;
    bool allowInsecure = false;
    bool allowWrites = false;
};

// The first line of the password file, without its line end.
bool ReadPassword(const std::string& path, std::string& password) {
    std::ifstream file(path, std::ios::binary);
    if (!file || !std::getline(file, password)) {
        return false;
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return true;
}

// The settings of the link, checked; kExitOk or kExitBadArgument with a message on stderr.
int LinkSettings(const Options& options, const PublishOptions& publish, const std::string& root,
                 MqttSettings& settings) {
    std::string why;
    if (!ParseBrokerAddress(publish.broker, settings.broker, why)) {
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
        return kExitBadArgument;
    }
    if (!settings.broker.tls &&
        !(publish.caFile.empty() && publish.certFile.empty() && publish.keyFile.empty())) {
        std::fprintf(stderr, "ksym: --ca-file, --cert-file and --key-file go with mqtts://\n");
        return kExitBadArgument;
    }
    if (publish.certFile.empty() != publish.keyFile.empty()) {
        std::fprintf(stderr, "ksym: --cert-file and --key-file go together\n");
        return kExitBadArgument;
    }
    settings.caFile = publish.caFile;
    settings.certFile = publish.certFile;
    settings.keyFile = publish.keyFile;
    if (publish.passwordFile.empty() != publish.username.empty()) {
        std::fprintf(stderr, "ksym: --username and --password-file go together\n");
        return kExitBadArgument;
    }
    if (!publish.passwordFile.empty() && !ReadPassword(publish.passwordFile, settings.password)) {
        std::fprintf(stderr, "ksym: cannot read the password file %s\n",
                     publish.passwordFile.c_str());
        return kExitBadArgument;
    }
    if (!publish.username.empty() && !settings.broker.tls &&
        !IsLoopbackHost(settings.broker.host) && !publish.allowInsecure) {
        std::fprintf(stderr,
                     "ksym: a password over mqtt:// to %s would cross the network in the clear; "
                     "use mqtts:// or --allow-insecure\n",
                     settings.broker.host.c_str());
        return kExitBadArgument;
    }
    settings.clientId = publish.clientId;
    settings.username = publish.username;
    settings.qos = static_cast<int>(publish.qos);
    settings.willTopic = StateTopic(root);
    settings.willPayload = "offline";
    settings.timeoutMs = options.timeoutMs;
    return kExitOk;
}

// The symbols of the session as the symbol walk gives them, for the birth's places.
std::vector<formats::SdbSymbol> SessionSymbols(const Session& session) {
    std::vector<formats::SdbSymbol> symbols;
    for (int32_t i = 0; i < session.symbolCount(); ++i) {
        const SymbolEntry* entry = session.symbols()[i];
        symbols.push_back({entry->name != nullptr ? entry->name : "",
                           entry->typeName != nullptr ? entry->typeName : "", entry->area,
                           entry->offset, entry->size, 0});
    }
    return symbols;
}

// What a publisher says of its station and variables: the birth after every connection of
// either side, the state, the values the filter lets through.
class JsonPublisher {
public:
    // `buffer` (may be null) keeps the values while the broker is out of reach.
    JsonPublisher(MqttLink& link, MessageBuffer* buffer, std::string root,
                  const PublishOptions& publish)
        : link_(link), buffer_(buffer), root_(std::move(root)),
          filter_(publish.deadband, static_cast<uint64_t>(publish.heartbeatSeconds * 1000)) {}

    // The station answers (again): state online, a new birth, every value with the next read.
    void Born(const Session& session, const ListReader& reader) {
        Identification identification;
        std::string why;
        identity_ = Identify(session, true, identification, why) == kExitOk
                        ? IdentificationJson(identification)
                        : nlohmann::json();
        variables_.clear();
        const std::vector<formats::SdbSymbol> symbols = SessionSymbols(session);
        for (const Variable& variable : reader.variables()) {
            formats::RecordedVariable placed;
            uint8_t element = 0;
            RecordedVariableOf(variable.name, variable.typeName, symbols, placed, element);
            variables_.push_back(std::move(placed));
        }
        SendBirth();
    }

    void StationLost() { link_.Publish(StateTopic(root_), "station-lost", true); }

    void Values(const ListReader& reader, uint64_t nowMs) {
        if (link_.connected() && link_.connections() != connectionsSeen_) {
            SendBirth(); // the broker came back: the births, what was kept, every value
        }
        const std::string time = IsoTimeNow();
        const bool buffering = !link_.connected() && buffer_ != nullptr;
        for (const size_t i : filter_.Select(reader.variables(), reader.values(), nowMs)) {
            const Variable& variable = reader.variables()[i];
            const std::string topic = ValueTopic(root_, variable.name);
            if (buffering) {
                buffer_->Append({topic, ValuePayload(time, variable, reader.values()[i], true)});
            } else {
                link_.Publish(topic, ValuePayload(time, variable, reader.values()[i]), true);
            }
        }
    }

    // The last word: offline, delivered before the link goes.
    // Writes what ROOT/set/NAME asked for, each checked as ksym write checks it, and answers
    // on ROOT/set-result/NAME. Only the published variables can be written.
    void Write(const Session& session, const ListReader& reader, WriteInbox& inbox) {
        for (WriteRequest& request : inbox.TakeAll()) {
            nlohmann::json result;
            const Variable* target = nullptr;
            for (const Variable& variable : reader.variables()) {
                if (TopicLevel(variable.name) == request.name) {
                    target = &variable;
                    break;
                }
            }
            std::string why;
            int code = kExitBadArgument;
            if (target == nullptr) {
                why = "not a published variable: " + request.name;
            } else {
                std::vector<Assignment> assignments = {{*target, std::move(request.text), {}}};
                code = ParseAssignments(assignments, why)
                           ? WriteAssignments(session, assignments, why)
                           : kExitBadArgument;
            }
            result = code == kExitOk ? nlohmann::json{{"ok", true}}
                                     : nlohmann::json{{"error", why}, {"code", code}};
            link_.Publish(root_ + "/set-result/" + request.name,
                          result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                          false);
        }
    }

    void Offline(uint32_t timeoutMs) {
        link_.Publish(StateTopic(root_), "offline", true);
        link_.Flush(timeoutMs);
    }

private:
    void SendBirth() {
        connectionsSeen_ = link_.connections();
        link_.Publish(StateTopic(root_), "online", true);
        link_.Publish(BirthTopic(root_), BirthPayload(identity_, variables_), true);
        if (buffer_ != nullptr) {
            // Not retained: the values that come next are the newer ones.
            buffer_->Drain([&](const BufferedMessage& message) {
                return link_.Publish(message.topic, message.payload, false);
            });
        }
        filter_.Reset();
    }

    MqttLink& link_;
    MessageBuffer* buffer_;
    std::string root_;
    ChangeFilter filter_;
    nlohmann::json identity_;
    std::vector<formats::RecordedVariable> variables_;
    uint64_t connectionsSeen_ = 0;
};

int RunPublish(const Options& options, std::vector<std::string> names,
               const PublishOptions& publish) {
    InstallInterruptHandler();
    if (publish.format != "json") {
        std::fprintf(stderr, "ksym: --format takes json, not '%s'\n", publish.format.c_str());
        return kExitBadArgument;
    }
    if (names.empty() == publish.prefix.empty()) {
        std::fprintf(stderr, "ksym: publish takes names or --prefix, one of the two\n");
        return kExitBadArgument;
    }
    const std::string root =
        publish.topic.empty() ? DefaultTopicRoot(options.station) : publish.topic;
    MqttSettings settings;
    int exitCode = LinkSettings(options, publish, root, settings);
    if (exitCode != kExitOk) {
        return exitCode;
    }
    Session session(options);
    if (!session.Open()) {
        return kExitOpenFailed;
    }
    if (!publish.prefix.empty()) {
        if (!session.LoadSymbols(publish.prefix.c_str())) {
            return kExitNoSymbols;
        }
        names = ReachableNames(session);
        if (names.empty()) {
            std::fprintf(stderr, "ksym: no symbol begins with '%s'\n", publish.prefix.c_str());
            return kExitBadArgument;
        }
    }
    std::unique_ptr<ListReader> reader = DefineReader(session, names, false, exitCode);
    if (!reader) {
        return exitCode;
    }
    std::unique_ptr<MessageBuffer> buffer;
    if (!publish.bufferFolder.empty()) {
        buffer = std::make_unique<MessageBuffer>(publish.bufferFolder,
                                                 uint64_t{publish.bufferLimitMb} * 1024 * 1024);
        std::string refusal;
        if (!buffer->Open(refusal)) {
            std::fprintf(stderr, "ksym: %s\n", refusal.c_str());
            return kExitBadArgument;
        }
    }
    MqttLink link(settings);
    WriteInbox inbox;
    if (publish.allowWrites) {
        const std::string setPrefix = root + "/set/";
        link.Subscribe(setPrefix + "+", [&inbox, setPrefix](const std::string& topic,
                                                            const std::string& payload) {
            if (topic.compare(0, setPrefix.size(), setPrefix) == 0 &&
                !inbox.Put({topic.substr(setPrefix.size()), WriteText(payload)})) {
                std::fprintf(stderr, "ksym: too many writes waiting; %s dropped\n", topic.c_str());
            }
        });
    }
    std::string why;
    switch (link.Connect(why)) {
    case MqttLink::Start::kConnected:
        break;
    case MqttLink::Start::kUnreachable:
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
        return kExitBrokerUnreachable;
    case MqttLink::Start::kRefused:
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
        return kExitBrokerRefused;
    case MqttLink::Start::kFailed:
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
        return kExitBadArgument;
    }
    std::fprintf(stderr, "ksym publish: %zu variables to %s under %s\n", names.size(),
                 publish.broker.c_str(), root.c_str());
    JsonPublisher publisher(link, buffer.get(), root, publish);
    publisher.Born(session, *reader);
    const Deadline deadline(publish.pacing.durationSeconds);
    const DWORD start = GetTickCount();
    uint64_t reads = 0;
    while (publish.pacing.More(reads, deadline)) {
        const DWORD readStart = GetTickCount();
        const ReadEnd end = reader->Read(exitCode);
        if (end == ReadEnd::kInterrupted) {
            break;
        }
        if (end == ReadEnd::kFailed) {
            publisher.StationLost();
            if (!MendList(session, names, reader, deadline, exitCode)) {
                break;
            }
            exitCode = kExitOk;
            publisher.Born(session, *reader);
            continue;
        }
        ++reads;
        publisher.Values(*reader, static_cast<DWORD>(GetTickCount() - start));
        publisher.Write(session, *reader, inbox);
        if (reads == publish.pacing.count || !publish.pacing.AwaitNext(readStart, deadline)) {
            break;
        }
    }
    publisher.Offline(options.timeoutMs);
    return exitCode;
}

class PublishVerb final : public Verb {
public:
    void Arguments(VerbArguments& arguments) override {
        arguments.OptionalPositionals("NAME", names_,
                                      "symbol names or direct addresses (or --prefix)");
        arguments.Text("--broker", publish_.broker,
                       "mqtt://HOST:PORT or mqtts://HOST:PORT (required)");
        arguments.Text("--prefix", publish_.prefix,
                       "every symbol whose name begins with this (any case)");
        arguments.Text("--format", publish_.format, "json (the default)");
        arguments.Text("--topic", publish_.topic, "the topic root (default ksym/STATION)");
        publish_.pacing.Bind(arguments);
        arguments.Number("--deadband", publish_.deadband,
                         "a number is sent when it moved by more than this", 0.0, 1e300);
        arguments.Number("--heartbeat", publish_.heartbeatSeconds,
                         "every value again this often, in seconds (0: never)", 0.0, 86400.0);
        arguments.Number("--qos", publish_.qos, "0 or 1 (default 1)", 0u, 1u);
        arguments.Text("--client-id", publish_.clientId, "the MQTT client id");
        arguments.Text("--username", publish_.username, "the broker login's user name");
        arguments.Text("--password-file", publish_.passwordFile,
                       "the file whose first line is the password");
        arguments.Text("--ca-file", publish_.caFile,
                       "mqtts://: the CA the broker's certificate must come from (default: the "
                       "system's)");
        arguments.Text("--cert-file", publish_.certFile, "mqtts://: the client's certificate");
        arguments.Text("--key-file", publish_.keyFile, "mqtts://: the client's key");
        arguments.Text("--buffer", publish_.bufferFolder,
                       "a folder that keeps the values while the broker is out of reach, sent "
                       "in order once it is back (also after a restart)");
        arguments.Number("--buffer-limit", publish_.bufferLimitMb,
                         "megabytes the buffer may take; the oldest go first (default 64)", 1u,
                         65536u);
        arguments.Flag("--allow-writes", publish_.allowWrites,
                       "take writes from ROOT/set/NAME, answered on ROOT/set-result/NAME");
        arguments.Flag("--allow-insecure", publish_.allowInsecure,
                       "a password over mqtt:// to a broker beyond loopback");
    }
    int Run(const Options& options) override {
        if (publish_.broker.empty()) {
            std::fprintf(stderr,
                         "ksym: publish needs --broker mqtt://HOST:PORT or mqtts://HOST:PORT\n");
            return kExitBadArgument;
        }
        return RunPublish(options, names_, publish_);
    }

private:
    std::vector<std::string> names_;
    PublishOptions publish_;
};

const VerbRegistration<PublishVerb> kPublish(
    "publish",
    "publish variables into an MQTT broker as retained JSON topics, on change, deadband and "
    "heartbeat, through breaks of the station and the broker",
    47);

} // namespace

} // namespace ksymtool
