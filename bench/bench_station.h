// What the benchmarks that read variable lists share: a station server serving the sample
// project on the loopback interface, channels with the project's symbols loaded, one read of
// a list, and a main that sets all of it up and takes it down.
#ifndef KSYM_BENCH_BENCH_STATION_H
#define KSYM_BENCH_BENCH_STATION_H

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "include/ksymbol.h"
#include "platform/win32.h"
#include "plcsim/controller.h"
#include "plcsim/station_server.h"

namespace ksymbench {

// The message every channel of the benchmarks is opened with.
constexpr UINT kNotifyMsg = WM_USER + 7;

// A station server on 127.0.0.1 (a free port) serving one controller with the sample project
// and the given block size: the server code the plcsim program runs, in this process.
class SampleStation {
public:
    SampleStation();
    // False with a message on stderr when the controller or the server cannot start.
    bool Start(uint32_t blockSize, const char* program);
    // The station address the channels open: tcp:HOST:PORT.
    std::string TcpAddress() const { return "tcp:" + server_.Address(); }
    void Stop() { server_.Stop(); }

private:
    std::shared_ptr<plcsim::Controller> controller_;
    plcsim::StationServer server_;
};

// A channel with its message window, which belongs to the thread that made it: that thread
// receives the completions.
struct Station {
    HWND window = nullptr;
    int32_t channel = -1;
    std::vector<std::string> symbols; // the loaded symbols' names, in file order
};

// Makes the window on the calling thread, opens the channel with `blockSize` and loads the
// symbols; false with a message on stderr when it cannot (what was made stays for Close).
bool OpenStation(Station& target, const char* address, uint32_t blockSize, const char* program);
// Closes the channel and destroys the window, on the thread that made it.
void CloseStation(Station& target);

std::vector<const char*> Pointers(const std::vector<std::string>& names);
uint32_t TelegramCount(HVARLIST list);

// Waits for a read's completion, at most timeoutMs when one is given, else for as long as it
// takes; the completion's wParam, or -1 when none came.
long AwaitCompletion(const Station& on, DWORD timeoutMs);
// One read: KSymSendVarList, the completion, KSymGetValues between KSymEnterVarListAccess
// and KSymLeaveVarListAccess. False when it did not complete with every value taken in.
bool ReadOnce(const Station& on, HVARLIST list, uint32_t count, DWORD timeoutMs);

// The main of a benchmark that reads over channels: takes the benchmark's flags, sets the
// library up in a temporary folder (LibraryRoot), starts the sample station with
// `blockSize`, lets `prepare` open what the runs need and register them (false when it could
// not, having said why on stderr), runs them through `reporter`, then lets `finish` close
// what `prepare` opened and takes the station and the library down. The process's exit
// status.
int RunOnSampleStation(int argc, char** argv, const char* program, uint32_t blockSize,
                       const std::function<bool(const SampleStation&)>& prepare,
                       const std::function<void()>& finish, benchmark::BenchmarkReporter& reporter);

} // namespace ksymbench

#endif
