#include "tools/ksym/publish/sparkplug_publisher.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tools/ksym/change_filter.h"
#include "tools/ksym/publish/sparkplug_metrics.h"
#include "tools/ksym/publish/write_inbox.h"

namespace ksymtool {

namespace {

constexpr const char* kNodeCommand = "NCMD";
constexpr const char* kDeviceCommand = "DCMD";
constexpr const char* kBirthSequenceFile = "ksym-publish.bdseq";

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// The bdSeq of the node's connections: one more (after 255, 0 again) with every connection,
// kept in the buffer folder when there is one, so that a restarted node does not take the
// number its predecessor's will still carries.
// Threads: the verb's thread makes it and reads it; after the link's first connection only
// the link's thread moves it on (between connections).
class BirthSequence {
public:
    explicit BirthSequence(std::string folder) {
        if (folder.empty()) {
            return;
        }
        path_ = (std::filesystem::path(folder) / kBirthSequenceFile).string();
        std::ifstream file(path_);
        unsigned last = 0;
        if (file >> last && last <= 255) {
            current_.store((last + 1) % 256);
        }
        Save();
    }

    uint64_t current() const { return current_.load(); }
    uint64_t Next() {
        current_.store((current_.load() + 1) % 256);
        Save();
        return current_.load();
    }

private:
    // Written beside and renamed over, so that a kill leaves the old number or the new one.
    void Save() const {
        if (path_.empty()) {
            return;
        }
        const std::string part = path_ + ".part";
        {
            std::ofstream file(part, std::ios::trunc);
            file << current_.load() << '\n';
            if (!file.flush()) {
                return;
            }
        }
        std::error_code ignored;
        std::filesystem::rename(part, path_, ignored);
    }

    std::string path_; // empty: not kept
    std::atomic<uint64_t> current_{0};
};

std::string Serialized(const sparkplug::Payload& payload) {
    std::string bytes;
    payload.SerializeToString(&bytes);
    return bytes;
}

// The NDEATH payload: its time and the bdSeq of the connection it stands for.
std::string DeathPayload(uint64_t bdSeq) {
    sparkplug::Payload payload;
    payload.set_timestamp(NowMs());
    SparkplugMetric* metric = payload.add_metrics();
    metric->set_name("bdSeq");
    metric->set_datatype(kSparkplugUInt64);
    metric->set_long_value(bdSeq);
    return Serialized(payload);
}

class SparkplugPublisher final : public Publisher {
public:
    SparkplugPublisher(MqttLink& link, MessageBuffer* buffer, SparkplugIds ids,
                       const PublisherSettings& settings)
        : link_(link), buffer_(buffer), ids_(std::move(ids)),
          filter_(settings.deadband, settings.heartbeatMs),
          bdSeq_(buffer != nullptr ? buffer->folder() : std::string()) {
        link_.SetWill({SparkplugTopic(ids_, "NDEATH", false), DeathPayload(bdSeq_.current()), false,
                       [this] { return DeathPayload(bdSeq_.Next()); }});
        Take(SparkplugTopic(ids_, kNodeCommand, false), kNodeCommand);
        if (settings.allowWrites) {
            Take(SparkplugTopic(ids_, kDeviceCommand, true), kDeviceCommand);
        }
    }

    // The DBIRTH waits for the first read, so that it carries the values.
    void Born(const Session&, const ListReader&) override { deviceBirthDue_ = true; }

    void StationLost() override {
        sparkplug::Payload payload;
        payload.set_timestamp(NowMs());
        Send("DDEATH", true, payload);
    }

    void Values(const ListReader& reader, uint64_t nowMs) override {
        lastSelectMs_ = nowMs;
        const std::vector<size_t> changed =
            filter_.Select(reader.variables(), reader.values(), nowMs);
        if (!link_.connected()) {
            if (buffer_ != nullptr && !changed.empty() && !deviceBirthDue_) {
                sparkplug::Payload payload = ChangesPayload(reader, changed, true);
                buffer_->Append({SparkplugTopic(ids_, "DDATA", true), Serialized(payload)});
            }
            return;
        }
        if (link_.connections() != connectionsSeen_ || deviceBirthDue_) {
            SendBirths(reader, link_.connections() != connectionsSeen_);
            return;
        }
        if (!changed.empty()) {
            sparkplug::Payload payload = ChangesPayload(reader, changed, false);
            Send("DDATA", true, payload);
        }
    }

    void Commands(const Session& session, const ListReader& reader) override {
        for (const WriteRequest& command : inbox_.TakeAll()) {
            sparkplug::Payload payload;
            if (!payload.ParseFromString(command.text)) {
                std::fprintf(stderr, "ksym: a %s that is no Sparkplug B payload is ignored\n",
                             command.name.c_str());
                continue;
            }
            if (command.name == kNodeCommand) {
                for (const SparkplugMetric& metric : payload.metrics()) {
                    if (metric.name() == kRebirthMetric && metric.has_boolean_value() &&
                        metric.boolean_value() && link_.connected()) {
                        SendBirths(reader, true);
                    }
                }
            } else {
                for (const SparkplugMetric& metric : payload.metrics()) {
                    Write(session, reader, metric);
                }
            }
        }
    }

    void Offline(uint32_t timeoutMs) override {
        // The will is not sent for a goodbye: NDEATH says it.
        link_.Publish(SparkplugTopic(ids_, "NDEATH", false), DeathPayload(bdSeq_.current()), false);
        link_.Flush(timeoutMs);
    }

private:
    void Take(const std::string& topic, const char* kind) {
        link_.Subscribe(topic, [this, kind](const std::string&, const std::string& payload) {
            if (!inbox_.Put({kind, payload})) {
                std::fprintf(stderr, "ksym: too many commands waiting; a %s dropped\n", kind);
            }
        });
    }

    bool Send(const char* type, bool device, sparkplug::Payload& payload) {
        seq_ = (seq_ + 1) % 256;
        payload.set_seq(seq_);
        return link_.Publish(SparkplugTopic(ids_, type, device), Serialized(payload), false);
    }

    // NBIRTH (when `node`: after a connection or a rebirth command), DBIRTH with every value
    // of the last read, then what the buffer kept, each with the next seq.
    void SendBirths(const ListReader& reader, bool node) {
        const uint64_t now = NowMs();
        if (node) {
            connectionsSeen_ = link_.connections();
            sparkplug::Payload birth;
            birth.set_timestamp(now);
            birth.set_seq(0);
            seq_ = 0;
            SparkplugMetric* bdSeq = birth.add_metrics();
            bdSeq->set_name("bdSeq");
            bdSeq->set_datatype(kSparkplugUInt64);
            bdSeq->set_long_value(bdSeq_.current());
            SparkplugMetric* rebirth = birth.add_metrics();
            rebirth->set_name(kRebirthMetric);
            rebirth->set_datatype(kSparkplugBoolean);
            rebirth->set_boolean_value(false);
            link_.Publish(SparkplugTopic(ids_, "NBIRTH", false), Serialized(birth), false);
        }
        sparkplug::Payload birth;
        birth.set_timestamp(now);
        const std::vector<Variable>& variables = reader.variables();
        for (size_t i = 0; i < variables.size() && i < reader.values().size(); ++i) {
            SparkplugMetric* metric = birth.add_metrics();
            metric->set_name(variables[i].name);
            metric->set_alias(i + 1);
            metric->set_timestamp(now);
            metric->set_datatype(SparkplugTypeOf(variables[i]));
            SetMetricValue(variables[i], reader.values()[i], *metric);
        }
        Send("DBIRTH", true, birth);
        deviceBirthDue_ = false;
        // The birth carried every value: the filter counts them as sent.
        filter_.Reset();
        filter_.Select(variables, reader.values(), lastSelectMs_);
        if (buffer_ != nullptr) {
            buffer_->Drain([&](const BufferedMessage& message) {
                sparkplug::Payload kept;
                if (!kept.ParseFromString(message.payload)) {
                    return link_.Publish(message.topic, message.payload, false);
                }
                seq_ = (seq_ + 1) % 256;
                kept.set_seq(seq_);
                return link_.Publish(message.topic, Serialized(kept), false);
            });
        }
    }

    sparkplug::Payload ChangesPayload(const ListReader& reader, const std::vector<size_t>& changed,
                                      bool historical) {
        sparkplug::Payload payload;
        const uint64_t now = NowMs();
        payload.set_timestamp(now);
        for (const size_t i : changed) {
            SparkplugMetric* metric = payload.add_metrics();
            metric->set_alias(i + 1);
            metric->set_timestamp(now);
            if (historical) {
                metric->set_is_historical(true);
            }
            SetMetricValue(reader.variables()[i], reader.values()[i], *metric);
        }
        return payload;
    }

    // A DCMD metric, by alias or name, written as ksym write writes; refusals on stderr.
    void Write(const Session& session, const ListReader& reader, const SparkplugMetric& metric) {
        const std::vector<Variable>& variables = reader.variables();
        const Variable* target = nullptr;
        if (metric.has_alias()) {
            if (metric.alias() >= 1 && metric.alias() <= variables.size()) {
                target = &variables[metric.alias() - 1];
            }
        } else {
            for (const Variable& variable : variables) {
                if (variable.name == metric.name()) {
                    target = &variable;
                    break;
                }
            }
        }
        const std::string shown =
            metric.has_alias() ? "alias " + std::to_string(metric.alias()) : metric.name();
        std::string text;
        std::string why = "not a published variable";
        if (target == nullptr || !MetricWriteText(metric, *target, text, why) ||
            WriteVariable(session, *target, text, why) != kExitOk) {
            std::fprintf(stderr, "ksym: DCMD %s not written: %s\n", shown.c_str(), why.c_str());
        }
    }

    MqttLink& link_;
    MessageBuffer* buffer_;
    SparkplugIds ids_;
    ChangeFilter filter_;
    WriteInbox inbox_; // the commands: name NCMD or DCMD, text the payload
    BirthSequence bdSeq_;
    uint64_t seq_ = 0;
    uint64_t connectionsSeen_ = 0;
    uint64_t lastSelectMs_ = 0;
    bool deviceBirthDue_ = true;
};

} // namespace

bool ValidSparkplugId(const std::string& id) {
    return !id.empty() && id.find_first_of("/+#", 0) == std::string::npos &&
           id.find('\0') == std::string::npos;
}

std::string SparkplugTopic(const SparkplugIds& ids, const std::string& type, bool device) {
    std::string topic = "spBv1.0/" + ids.group + "/" + type + "/" + ids.node;
    if (device) {
        topic += "/" + ids.device;
    }
    return topic;
}

std::unique_ptr<Publisher> MakeSparkplugPublisher(MqttLink& link, MessageBuffer* buffer,
                                                  SparkplugIds ids,
                                                  const PublisherSettings& settings) {
    return std::make_unique<SparkplugPublisher>(link, buffer, std::move(ids), settings);
}

} // namespace ksymtool
