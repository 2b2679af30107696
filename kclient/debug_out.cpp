// Debug lines: off unless KSYM_DEBUG (or KClientSetDebugTarget) names "stderr" or a file.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "extern/kclient.h"

namespace kclient {

namespace {

// One line per call, whole, from any thread; mutex_ guards the target.
class DebugSink {
public:
    static DebugSink& Instance() {
        static DebugSink sink;
        return sink;
    }

    void SetTarget(const char* target) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_ != nullptr && file_ != stderr) {
            std::fclose(file_);
        }
        file_ = nullptr;
        const std::string name = target == nullptr ? "" : target;
        if (name == "stderr") {
            file_ = stderr;
        } else if (!name.empty()) {
            file_ = std::fopen(name.c_str(), "a");
        }
    }

    bool Enabled() {
        std::lock_guard<std::mutex> lock(mutex_);
        return file_ != nullptr;
    }

    void Write(int32_t channel, const char* text) {
        using namespace std::chrono;
        const auto now = system_clock::now();
        const std::time_t seconds = system_clock::to_time_t(now);
        const long millis =
            static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_ == nullptr) {
            return;
        }
        char stamp[32] = "";
        if (const std::tm* utc = std::gmtime(&seconds)) { // gmtime's buffer: under mutex_
            std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", utc);
        }
        const std::string line = text;
        const bool terminated = !line.empty() && line.back() == '\n';
        std::fprintf(file_, "%s.%03ldZ C=%ld %s%s", stamp, millis, static_cast<long>(channel),
                     line.c_str(), terminated ? "" : "\n");
        std::fflush(file_);
    }

private:
    DebugSink() { SetTarget(std::getenv("KSYM_DEBUG")); }
    ~DebugSink() {
        if (file_ != nullptr && file_ != stderr) {
            std::fclose(file_);
        }
    }

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

} // namespace

} // namespace kclient

extern "C" KCLIENT_API void KCLIENT_CALL KClientDllKDebugOut(int32_t channel, const char* format,
                                                             ...) {
    kclient::DebugSink& sink = kclient::DebugSink::Instance();
    if (format == nullptr || !sink.Enabled()) {
        return;
    }
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    sink.Write(channel, text);
}

extern "C" KCLIENT_API void KCLIENT_CALL KClientSetDebugTarget(const char* target) {
    kclient::DebugSink::Instance().SetTarget(target);
}
