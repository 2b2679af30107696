#include "tools/ksym/publish/json_publisher.h"

#include <cstdio>

#include "formats/sdb_symbols.h"
#include "tools/ksym/change_filter.h"
#include "tools/ksym/identification.h"
#include "tools/ksym/json_topics.h"
#include "tools/ksym/publish/write_inbox.h"
#include "tools/ksym/recorder.h"
#include "tools/ksym/watch_output.h"

namespace ksymtool {

namespace {

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

std::string JsonText(const nlohmann::json& json) {
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

class JsonPublisher final : public Publisher {
public:
    JsonPublisher(MqttLink& link, MessageBuffer* buffer, std::string root,
                  const PublisherSettings& settings)
        : link_(link), buffer_(buffer), root_(std::move(root)),
          filter_(settings.deadband, settings.heartbeatMs) {
        link_.SetWill({StateTopic(root_), "offline", true, nullptr});
        if (settings.allowWrites) {
            const std::string setPrefix = root_ + "/set/";
            link_.Subscribe(setPrefix + "+", [this, setPrefix](const std::string& topic,
                                                               const std::string& payload) {
                if (topic.compare(0, setPrefix.size(), setPrefix) == 0 &&
                    !inbox_.Put({topic.substr(setPrefix.size()), WriteText(payload)})) {
                    std::fprintf(stderr, "ksym: too many writes waiting; %s dropped\n",
                                 topic.c_str());
                }
            });
        }
    }

    void Born(const Session& session, const ListReader& reader) override {
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

    void StationLost() override { link_.Publish(StateTopic(root_), "station-lost", true); }

    void Values(const ListReader& reader, uint64_t nowMs) override {
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

    // Writes what ROOT/set/NAME asked for and answers on ROOT/set-result/NAME. Only the
    // published variables can be written.
    void Commands(const Session& session, const ListReader& reader) override {
        for (WriteRequest& request : inbox_.TakeAll()) {
            const Variable* target = nullptr;
            for (const Variable& variable : reader.variables()) {
                if (TopicLevel(variable.name) == request.name) {
                    target = &variable;
                    break;
                }
            }
            std::string why = "not a published variable: " + request.name;
            const int code = target != nullptr
                                 ? WriteVariable(session, *target, std::move(request.text), why)
                                 : kExitBadArgument;
            link_.Publish(root_ + "/set-result/" + request.name,
                          JsonText(code == kExitOk
                                       ? nlohmann::json{{"ok", true}}
                                       : nlohmann::json{{"error", why}, {"code", code}}),
                          false);
        }
    }

    void Offline(uint32_t timeoutMs) override {
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
    WriteInbox inbox_;
    nlohmann::json identity_;
    std::vector<formats::RecordedVariable> variables_;
    uint64_t connectionsSeen_ = 0;
};

} // namespace

std::unique_ptr<Publisher> MakeJsonPublisher(MqttLink& link, MessageBuffer* buffer,
                                             std::string root, const PublisherSettings& settings) {
    return std::make_unique<JsonPublisher>(link, buffer, std::move(root), settings);
}

} // namespace ksymtool
