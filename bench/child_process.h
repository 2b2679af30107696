// Programs a benchmark runs beside itself (a broker, a station, the ksym tool): started with
// their output in a file, ended by their id, every wait bounded.
#ifndef KSYM_BENCH_CHILD_PROCESS_H
#define KSYM_BENCH_CHILD_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ksymbench {

class ChildProcess {
public:
    // Starts `args` (looked up on PATH) with stdout and stderr into `outFile`.
    ChildProcess(const std::vector<std::string>& args, std::string outFile);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Ends it as Stop does.
    ~ChildProcess();

    bool started() const { return pid_ > 0; }
    // SIGTERM, and SIGKILL after 5 s; its exit status (-1 when it had to be killed).
    int Stop();
    // Waits at most `ms` for it to end by itself; its exit status, or -1 when it has not.
    int Wait(int ms);
    // What it has printed so far.
    std::string Output() const;
    // Polls Output() for `text` for at most `ms`.
    bool AwaitOutput(const std::string& text, int ms) const;

private:
    pid_t pid_ = -1;
    std::string outFile_;
    int status_ = -1;
};

// A loopback port nobody listens on now.
uint16_t FreeLoopbackPort();

} // namespace ksymbench

#endif
