// Running ksym as a user runs it, for the tool's tests: a child process with a machine
// folder of its own, its output and exit code; and the simulator's fresh memory to compare
// what it shows with.
#ifndef KSYM_TESTS_TOOLS_KSYM_TOOL_RUN_H
#define KSYM_TESTS_TOOLS_KSYM_TOOL_RUN_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "plcsim/memory.h"

extern char** environ;

namespace ksymtest {

namespace fs = std::filesystem;
using nlohmann::json;

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Symbol {
    std::string type;
    uint16_t area = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
};

// The simulator's fresh memory, `size` bytes from `offset`.
inline std::vector<uint8_t> Fresh(uint16_t area, uint32_t offset, uint32_t size) {
    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; i < size; ++i) {
        bytes.push_back(plcsim::InitialMemoryByte(area, offset + i));
    }
    return bytes;
}

// The unsigned number of `bytes` in the station's order.
inline uint64_t Number(const std::vector<uint8_t>& bytes, bool big) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t byte = big ? bytes[i] : bytes[bytes.size() - 1 - i];
        value = value << 8 | byte;
    }
    return value;
}

inline int64_t Signed(const std::vector<uint8_t>& bytes, bool big) {
    const uint64_t value = Number(bytes, big);
    const unsigned bits = static_cast<unsigned>(bytes.size() * 8);
    return bits < 64 && (value >> (bits - 1)) != 0
               ? static_cast<int64_t>(value) - (int64_t{1} << bits)
               : static_cast<int64_t>(value);
}

// A program run in the background with its output in a file.
inline pid_t Spawn(std::vector<std::string> args, const std::string& out) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// A break at set times of a run, for the `during` callback of KsymCli::Ksym: `stop` once
// `stopAt` has passed since the outage was made, `start` once `startAt` has.
class Outage {
public:
    Outage(std::function<void()> stop, std::function<void()> start,
           std::chrono::milliseconds stopAt, std::chrono::milliseconds startAt)
        : stop_(std::move(stop)), start_(std::move(start)), stopAt_(stopAt), startAt_(startAt),
          began_(std::chrono::steady_clock::now()) {}

    void Step() {
        const auto passed = std::chrono::steady_clock::now() - began_;
        if (stage_ == 0 && passed > stopAt_) {
            stop_();
            stage_ = 1;
        } else if (stage_ == 1 && passed > startAt_) {
            start_();
            stage_ = 2;
        }
    }

private:
    std::function<void()> stop_;
    std::function<void()> start_;
    std::chrono::milliseconds stopAt_;
    std::chrono::milliseconds startAt_;
    std::chrono::steady_clock::time_point began_;
    int stage_ = 0;
};

class KsymCli : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("KSYM_ROOT");
        fs::path parent = base != nullptr ? fs::path(base) : fs::temp_directory_path();
        fs::create_directories(parent);
        std::string pattern = (parent / "ksym-cli-XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        scratch_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }

    // Runs ksym with `arguments` and a fresh machine folder (see machine_). With
    // `interruptAfterFirstLine` it sends SIGINT once the tool has printed a line.
    ToolRun Ksym(const std::vector<std::string>& arguments, bool interruptAfterFirstLine = false) {
        bool interrupted = false;
        return Ksym(arguments, [&](pid_t pid, const std::string& out) {
            if (interruptAfterFirstLine && !interrupted && out.find('\n') != std::string::npos) {
                kill(pid, SIGINT);
                interrupted = true;
                interruptedAt_ = std::chrono::steady_clock::now();
            }
        });
    }

    // Runs ksym as above; `during` is called every few milliseconds while it runs, with its
    // process and what it has printed so far.
    ToolRun Ksym(const std::vector<std::string>& arguments,
                 const std::function<void(pid_t, const std::string&)>& during) {
        const fs::path root = scratch_ / ("run" + std::to_string(++runs_));
        fs::create_directories(root);
        const fs::path outPath = root / "out.txt";
        const fs::path errPath = root / "err.txt";
        const fs::path machine = machine_.empty() ? root : machine_;
        std::vector<std::string> env = {"KSYM_ROOT=" + machine.string()};
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "KSYM_ROOT=", 10) != 0 &&
                std::strncmp(*e, "KSYM_DEBUG=", 11) != 0) {
                env.emplace_back(*e);
            }
        }
        std::vector<std::string> args = {KSYM_TOOL};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(&e[0]);
        }
        envp.push_back(nullptr);

        const pid_t pid = fork();
        if (pid == 0) {
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        ToolRun run;
        if (pid < 0) {
            ADD_FAILURE() << "fork failed";
            return run;
        }
        const auto start = std::chrono::steady_clock::now();
        int status = 0;
        for (;;) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                break;
            }
            const auto passed = std::chrono::steady_clock::now() - start;
            during(pid, ReadText(outPath));
            if (passed > std::chrono::seconds(60)) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "ksym did not end";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadText(outPath);
        run.err = ReadText(errPath);
        return run;
    }

    // Output parsed as JSON; a failure when it is not.
    static json Json(const ToolRun& run) {
        try {
            return json::parse(run.out);
        } catch (const json::exception& e) {
            ADD_FAILURE() << e.what() << " in: " << run.out << run.err;
            return json();
        }
    }

    // The sample project's symbols as the tool lists them.
    std::map<std::string, Symbol> Layout() {
        const ToolRun run = Ksym({"symbols", "--json"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::map<std::string, Symbol> layout;
        for (const json& entry : Json(run)) {
            layout[entry.at("name").get<std::string>()] =
                Symbol{entry.at("type").get<std::string>(), entry.at("area").get<uint16_t>(),
                       entry.at("offset").get<uint32_t>(), entry.at("size").get<uint32_t>()};
        }
        return layout;
    }

    fs::path scratch_;
    // When set, the machine folder every run shares (a local symbol file outlives a run);
    // otherwise each run gets a fresh one.
    fs::path machine_;
    int runs_ = 0;
    std::chrono::steady_clock::time_point interruptedAt_;
};

} // namespace ksymtest

#endif
