// How many values ksym publish gets through a broker, against what a bare publisher gets
// through the same broker.
//   Json       the ksym program, as users run it: publish of 1,000 DINT variables of a plcsim
//              station whose every variable counts up each millisecond (so that every read
//              changes all of them), --interval 10 (the shortest), QoS 1 (the default), into
//              a mosquitto broker on loopback: one retained message per value
//   Sparkplug  the same with --format sparkplug: one DDATA of 1,000 metrics per read
//   Floor      a bare libmosquitto publisher loop in this process: the same 1,000 topics with
//              payloads of the same size, retained, QoS 1, as fast as the broker takes them
//              (at most 10,000 unacknowledged, the bound ksym's link keeps), to the same
//              broker
// One subscriber in this process (libmosquitto) takes everything and counts it. After the
// first message and a warm-up of 1 s, the next 4 s count: values/s delivered to the
// subscriber (a DDATA counts its 1,000 metrics). One iteration per run, manual time.
// After the table the benchmark sets Json against Floor: the goal is at least 0.8.
#include <benchmark/benchmark.h>
#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/child_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kVariables = 1000;
constexpr uint64_t kFloorOutstanding = 10000;
constexpr auto kWarmUp = std::chrono::seconds(1);
constexpr auto kWindow = std::chrono::seconds(4);
// The JSON payload of a DINT as ksym publish sends it, for the floor's size.
const std::string kValuePayload =
    R"({"time":"2026-12-09T12:00:00.000Z","value":1234567,"valid":true,"type":"DINT"})";

std::string VariableName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "Bench.V%04d", i);
    return name;
}

// A subscriber of its own connection, counting what arrives.
class CountingSubscriber {
public:
    bool Start(uint16_t port) {
        client_ = mosquitto_new(nullptr, true, this);
        if (client_ == nullptr) {
            return false;
        }
        mosquitto_message_callback_set(
            client_, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto* subscriber = static_cast<CountingSubscriber*>(self);
                const std::string topic = message->topic;
                // A DDATA carries every variable; anything else one value.
                const bool data = topic.find("/DDATA/") != std::string::npos;
                subscriber->values_.fetch_add(data ? kVariables : 1);
            });
        if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_subscribe(client_, nullptr, "#", 0) != MOSQ_ERR_SUCCESS) {
            return false;
        }
        return mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
    }
    ~CountingSubscriber() {
        if (client_ != nullptr) {
            mosquitto_disconnect(client_);
            mosquitto_loop_stop(client_, false);
            mosquitto_destroy(client_);
        }
    }
    uint64_t values() const { return values_.load(); }

private:
    mosquitto* client_ = nullptr;
    std::atomic<uint64_t> values_{0};
};

struct Setting {
    fs::path folder;
    std::string station; // tcp:HOST:PORT
    uint16_t brokerPort = 0;
};
Setting* setting = nullptr;

// Waits for the first value, the warm-up, then counts over the window; values/s, or a
// negative number when nothing came.
double Measure(const CountingSubscriber& subscriber, benchmark::State& state) {
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
    while (subscriber.values() == 0 && Clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (subscriber.values() == 0) {
        state.SkipWithError("nothing reached the subscriber");
        return -1;
    }
    std::this_thread::sleep_for(kWarmUp);
    const uint64_t from = subscriber.values();
    const Clock::time_point begun = Clock::now();
    std::this_thread::sleep_for(kWindow);
    const uint64_t to = subscriber.values();
    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    state.SetIterationTime(seconds);
    const double rate = static_cast<double>(to - from) / seconds;
    state.counters["values/s"] = rate;
    return rate;
}

double jsonRate = 0;
double floorRate = 0;

void RunKsym(benchmark::State& state, const std::vector<std::string>& format, double& rate) {
    for (auto _ : state) {
        CountingSubscriber subscriber;
        if (!subscriber.Start(setting->brokerPort)) {
            state.SkipWithError("the subscriber could not connect");
            return;
        }
        std::vector<std::string> args = {
            KSYM_TOOL,  "--station", setting->station,
            "publish",  "--broker",  "mqtt://127.0.0.1:" + std::to_string(setting->brokerPort),
            "--prefix", "Bench.",    "--interval",
            "10"};
        args.insert(args.end(), format.begin(), format.end());
        ksymbench::ChildProcess ksym(args, (setting->folder / "ksym.out").string());
        rate = Measure(subscriber, state);
        ksym.Stop();
        if (rate < 0) {
            std::fprintf(stderr, "%s\n", ksym.Output().c_str());
        }
    }
}

void Json(benchmark::State& state) {
    RunKsym(state, {"--topic", "bench"}, jsonRate);
}

void Sparkplug(benchmark::State& state) {
    double rate = 0;
    RunKsym(state, {"--format", "sparkplug", "--group", "Bench", "--node", "Gate"}, rate);
}

// The bare loop: its own connection, the same topics and payload sizes.
void Floor(benchmark::State& state) {
    for (auto _ : state) {
        CountingSubscriber subscriber;
        mosquitto* publisher = mosquitto_new(nullptr, true, nullptr);
        if (!subscriber.Start(setting->brokerPort) || publisher == nullptr ||
            mosquitto_connect(publisher, "127.0.0.1", setting->brokerPort, 30) !=
                MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(publisher) != MOSQ_ERR_SUCCESS) {
            state.SkipWithError("the floor's clients could not connect");
            return;
        }
        static std::atomic<uint64_t> acknowledged{0};
        acknowledged.store(0);
        mosquitto_publish_callback_set(publisher,
                                       [](mosquitto*, void*, int) { acknowledged.fetch_add(1); });
        std::vector<std::string> topics;
        for (int i = 0; i < kVariables; ++i) {
            topics.push_back("floor/value/" + VariableName(i));
        }
        std::atomic<bool> stop{false};
        std::thread loop([&] {
            uint64_t sent = 0;
            while (!stop.load()) {
                for (const std::string& topic : topics) {
                    while (sent - acknowledged.load() >= kFloorOutstanding && !stop.load()) {
                        // Not a spin: the broker needs the core.
                        std::this_thread::sleep_for(std::chrono::microseconds(100));
                    }
                    mosquitto_publish(publisher, nullptr, topic.c_str(),
                                      static_cast<int>(kValuePayload.size()), kValuePayload.data(),
                                      1, true);
                    ++sent;
                }
            }
        });
        floorRate = Measure(subscriber, state);
        stop.store(true);
        loop.join();
        mosquitto_disconnect(publisher);
        mosquitto_loop_stop(publisher, false);
        mosquitto_destroy(publisher);
    }
}

BENCHMARK(Floor)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(Json)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(Sparkplug)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The station's project: 1,000 DINTs, each counting up every millisecond.
void WriteProject(const fs::path& path) {
    std::ofstream out(path);
    out << "project BENCH.PRO\nid 0x00001000\ntype DINT code 6 size 4\n";
    for (int i = 0; i < kVariables; ++i) {
        out << "var " << VariableName(i) << " type DINT area 3 offset " << 4 * i << "\n";
    }
    for (int i = 0; i < kVariables; ++i) {
        out << "counter " << VariableName(i) << " step 1 every 0.001\n";
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    char folderTemplate[] = "/tmp/ksym-publish-bench.XXXXXX";
    if (mkdtemp(folderTemplate) == nullptr) {
        std::fprintf(stderr, "publish_bench: no temporary folder\n");
        return 1;
    }
    Setting chosen;
    chosen.folder = folderTemplate;
    setenv("KSYM_ROOT", (chosen.folder / "root").c_str(), 1);
    fs::create_directories(chosen.folder / "root");
    mosquitto_lib_init();
    int status = 1;
    {
        chosen.brokerPort = ksymbench::FreeLoopbackPort();
        const fs::path config = chosen.folder / "mosquitto.conf";
        std::ofstream(config) << "listener " << chosen.brokerPort
                              << " 127.0.0.1\nallow_anonymous true\n";
        ksymbench::ChildProcess broker({"mosquitto", "-c", config.string()},
                                       (chosen.folder / "mosquitto.out").string());
        const fs::path project = chosen.folder / "bench.sdbdesc";
        WriteProject(project);
        ksymbench::ChildProcess station({KSYM_PLCSIM, "--listen", "127.0.0.1:0", "--project",
                                         project.string(), "--memory", "65536"},
                                        (chosen.folder / "plcsim.out").string());
        const std::string ready = "plcsim listening on ";
        if (!station.AwaitOutput(ready, 10000)) {
            std::fprintf(stderr, "publish_bench: the station did not start: %s\n",
                         station.Output().c_str());
        } else {
            const std::string out = station.Output();
            const size_t at = out.find(ready) + ready.size();
            chosen.station = "tcp:" + out.substr(at, out.find_first_of("\r\n", at) - at);
            setting = &chosen;
            std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the broker's start
            benchmark::RunSpecifiedBenchmarks();
            if (floorRate > 0 && jsonRate > 0) {
                std::printf("\nJson against Floor: %.0f of %.0f values/s, %.2f (goal: at least "
                            "0.80): %s\n",
                            jsonRate, floorRate, jsonRate / floorRate,
                            jsonRate / floorRate >= 0.8 ? "met" : "NOT met");
            }
            status = 0;
        }
    }
    mosquitto_lib_cleanup();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(chosen.folder, ignored);
    return status;
}
