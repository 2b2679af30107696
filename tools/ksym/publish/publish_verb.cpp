// publish: the values of variables into an MQTT broker, as retained JSON topics or as
// Sparkplug B, over one channel to the station: on change (numbers beyond a deadband), on a
// heartbeat and after every (re)connection, through breaks of the station and of the broker.
#include <cstdio>
#include <fstream>
#include <memory>

#include <unistd.h>

#include "tools/common/listen_address.h"
#include "tools/ksym/deadline.h"
#include "tools/ksym/json_topics.h"
#include "tools/ksym/list_read.h"
#include "tools/ksym/mended_list.h"
#include "tools/ksym/publish/message_buffer.h"
#include "tools/ksym/publish/json_publisher.h"
#include "tools/ksym/publish/mqtt_link.h"
#include "tools/ksym/publish/sparkplug_publisher.h"
#include "tools/ksym/read_pacing.h"
#include "tools/ksym/session.h"
#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

constexpr const char* kDefaultGroup = "ksym";

struct PublishOptions {
    std::string broker;
    std::string prefix;
    std::string format = "json";
    std::string topic;
    std::string group = kDefaultGroup;
    std::string node;
    std::string device;
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
int LinkSettings(const Options& options, const PublishOptions& publish, MqttSettings& settings) {
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
    settings.timeoutMs = options.timeoutMs;
    return kExitOk;
}

// The publisher of the chosen format; null with a message on stderr for a bad choice.
std::unique_ptr<Publisher> MakePublisher(const Options& options, const PublishOptions& publish,
                                         MqttLink& link, MessageBuffer* buffer,
                                         const std::string& root) {
    PublisherSettings settings;
    settings.deadband = publish.deadband;
    settings.heartbeatMs = static_cast<uint64_t>(publish.heartbeatSeconds * 1000);
    settings.allowWrites = publish.allowWrites;
    if (publish.format == "json") {
        return MakeJsonPublisher(link, buffer, root, settings);
    }
    SparkplugIds ids{publish.group, publish.node, publish.device};
    if (ids.node.empty()) {
        char host[256] = {};
        ids.node = gethostname(host, sizeof host - 1) == 0 && host[0] != '\0' ? host : "ksym";
    }
    if (ids.device.empty()) {
        ids.device = TopicLevel(options.station);
    }
    for (const std::string* id : {&ids.group, &ids.node, &ids.device}) {
        if (!ValidSparkplugId(*id)) {
            std::fprintf(stderr,
                         "ksym: '%s' cannot be a Sparkplug id: it must be a topic level without "
                         "/, + or #\n",
                         id->c_str());
            return nullptr;
        }
    }
    return MakeSparkplugPublisher(link, buffer, std::move(ids), settings);
}

// The options that belong to one format only, with the other.
bool FormatOptionsFit(const PublishOptions& publish) {
    if (publish.format != "json" && publish.format != "sparkplug") {
        std::fprintf(stderr, "ksym: --format takes json or sparkplug, not '%s'\n",
                     publish.format.c_str());
        return false;
    }
    if (publish.format == "json" &&
        !(publish.group == kDefaultGroup && publish.node.empty() && publish.device.empty())) {
        std::fprintf(stderr, "ksym: --group, --node and --device go with --format sparkplug\n");
        return false;
    }
    if (publish.format == "sparkplug" && !publish.topic.empty()) {
        std::fprintf(stderr, "ksym: --topic goes with --format json\n");
        return false;
    }
    return true;
}

int RunPublish(const Options& options, std::vector<std::string> names,
               const PublishOptions& publish) {
    InstallInterruptHandler();
    if (!FormatOptionsFit(publish)) {
        return kExitBadArgument;
    }
    if (names.empty() == publish.prefix.empty()) {
        std::fprintf(stderr, "ksym: publish takes names or --prefix, one of the two\n");
        return kExitBadArgument;
    }
    const std::string root =
        publish.topic.empty() ? DefaultTopicRoot(options.station) : publish.topic;
    MqttSettings settings;
    int exitCode = LinkSettings(options, publish, settings);
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
    // The link goes first: its thread calls into the publisher (the will, the commands)
    // until the link's destructor has stopped it.
    std::unique_ptr<Publisher> publisher;
    MqttLink link(settings);
    publisher = MakePublisher(options, publish, link, buffer.get(), root);
    if (!publisher) {
        return kExitBadArgument;
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
    std::fprintf(stderr, "ksym publish: %zu variables to %s as %s\n", names.size(),
                 publish.broker.c_str(), publish.format == "json" ? root.c_str() : "Sparkplug B");
    publisher->Born(session, *reader);
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
            publisher->StationLost();
            if (!MendList(session, names, reader, deadline, exitCode)) {
                break;
            }
            exitCode = kExitOk;
            publisher->Born(session, *reader);
            continue;
        }
        ++reads;
        publisher->Values(*reader, static_cast<DWORD>(GetTickCount() - start));
        publisher->Commands(session, *reader);
        if (reads == publish.pacing.count || !publish.pacing.AwaitNext(readStart, deadline)) {
            break;
        }
    }
    publisher->Offline(options.timeoutMs);
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
        arguments.Text("--format", publish_.format, "json (the default) or sparkplug (B)");
        arguments.Text("--topic", publish_.topic, "json: the topic root (default ksym/STATION)");
        arguments.Text("--group", publish_.group, "sparkplug: the group id (default ksym)");
        arguments.Text("--node", publish_.node,
                       "sparkplug: the edge node id (default: the host's name)");
        arguments.Text("--device", publish_.device,
                       "sparkplug: the station's device id (default: its address)");
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
                       "json: take writes from ROOT/set/NAME, answered on "
                       "ROOT/set-result/NAME; sparkplug: write the metrics of DCMD");
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

const VerbRegistration<PublishVerb>
    kPublish("publish",
             "publish variables into an MQTT broker as retained JSON topics or as Sparkplug B, on "
             "change, deadband and heartbeat, through breaks of the station and the broker",
             47);

} // namespace

} // namespace ksymtool
