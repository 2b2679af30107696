// A plcsim station server as a process of its own, for the tool's tests: started with the
// options a test gives, on a port the test can take again after a stop.
#ifndef KSYM_TESTS_TOOLS_PLCSIM_PROCESS_H
#define KSYM_TESTS_TOOLS_PLCSIM_PROCESS_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ksym_tool_run.h"

namespace ksymtest {

class Station {
public:
    // `options` are plcsim's own (e.g. --latency 5); its output goes to files in `folder`.
    // A `descriptorLimit` other than 0 is the process's limit of open files, soft and hard.
    explicit Station(const std::filesystem::path& folder, uint16_t port = 0,
                     std::vector<std::string> options = {}, rlim_t descriptorLimit = 0)
        : options_(std::move(options)), descriptorLimit_(descriptorLimit) {
        Start(folder, port);
    }
    ~Station() { Stop(); }
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    uint16_t port() const { return port_; }
    std::string address() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    pid_t pid() const { return pid_; }
    // What the program printed so far, stdout and stderr.
    std::string Output() const { return ReadText(out_); }

    void Start(const std::filesystem::path& folder, uint16_t port) {
        static int starts = 0; // every start of every station writes a file of its own
        const std::string out = (folder / ("plcsim" + std::to_string(++starts) + ".out")).string();
        out_ = out;
        std::vector<std::string> args = {KSYM_PLCSIM, "--listen",
                                         "127.0.0.1:" + std::to_string(port)};
        args.insert(args.end(), options_.begin(), options_.end());
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            if (descriptorLimit_ != 0) {
                const rlimit limit{descriptorLimit_, descriptorLimit_};
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_GT(pid_, 0);
        for (int i = 0; i < 3000; ++i) {
            std::smatch match;
            const std::string text = ReadText(out);
            if (std::regex_search(text, match,
                                  std::regex("plcsim listening on 127.0.0.1:([0-9]+)"))) {
                port_ = static_cast<uint16_t>(std::stoi(match[1]));
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << "plcsim did not start: " << ReadText(out);
    }

    // SIGTERM, and SIGKILL when the station has not ended 10 s later (a failure then).
    void Stop() {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, SIGTERM);
        int status = 0;
        for (int waited = 0; waitpid(pid_, &status, WNOHANG) == 0; waited += 10) {
            if (waited >= 10000) {
                ADD_FAILURE() << "plcsim did not end on SIGTERM";
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }

private:
    std::vector<std::string> options_;
    rlim_t descriptorLimit_ = 0;
    std::string out_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

} // namespace ksymtest

#endif
