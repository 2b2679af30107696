#include "tools/ksym/opcua/node_gateway.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace ksymtool {

namespace {

bool IsExecutable(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The folder of the running ksym program; empty when /proc does not tell.
std::string ProgramFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return std::string();
    }
    const std::string program(path, static_cast<size_t>(length));
    const size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

} // namespace

std::string FindNode() {
    if (const char* given = std::getenv("KSYM_NODE")) {
        return IsExecutable(given) ? given : std::string();
    }
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= folders.size()) {
        size_t end = folders.find(':', at);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string folder = end > at ? folders.substr(at, end - at) : ".";
        if (IsExecutable(folder + "/node")) {
            return folder + "/node";
        }
        at = end + 1;
    }
    return std::string();
}

std::string FindGatewayFolder(std::string& looked) {
    std::vector<std::string> candidates;
    if (const char* given = std::getenv("KSYM_OPCUA_DIR")) {
        candidates.emplace_back(given);
    } else {
        const std::string folder = ProgramFolder();
        if (!folder.empty()) {
            candidates.push_back(folder + "/opcua-gateway");
            candidates.push_back(folder + "/../lib/ksym/opcua-gateway");
        }
    }
    looked.clear();
    for (const std::string& candidate : candidates) {
        if (IsFile(candidate + "/gateway.js") &&
            IsFile(candidate + "/node_modules/node-opcua/package.json")) {
            return candidate;
        }
        looked += (looked.empty() ? "" : ", ") + candidate;
    }
    return std::string();
}

NodeGateway::~NodeGateway() {
    Stop();
}

bool NodeGateway::Start(const std::string& program, const std::vector<std::string>& args,
                        const std::vector<std::pair<std::string, std::string>>& environment) {
    int pipeEnds[2];
    if (pid_ > 0 || args.empty() || pipe(pipeEnds) != 0) {
        return false;
    }
    // Everything the child needs is made before the fork: after it, only async-signal-safe
    // calls.
    // ksym's own environment, less the variables given here: a name twice would leave the
    // child to choose between the two.
    std::vector<std::string> entries;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        const std::string name = entry.substr(0, entry.find('='));
        bool given = false;
        for (const auto& pair : environment) {
            given = given || pair.first == name;
        }
        if (!given) {
            entries.push_back(entry);
        }
    }
    for (const auto& [name, value] : environment) {
        entries.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& entry : entries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argCopies(args);
    std::vector<char*> argv;
    for (std::string& arg : argCopies) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        return false;
    }
    if (pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        // The child must not inherit ksym's blocked or ignored signals.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    fcntl(pipeEnds[0], F_SETFD, FD_CLOEXEC);
    pid_ = pid;
    out_ = pipeEnds[0];
    return true;
}

bool NodeGateway::ReadLine(int ms, std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out_ >= 0) {
        const size_t newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd ready{out_, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return false;
        }
        char chunk[512];
        const ssize_t got = read(out_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            close(out_);
            out_ = -1;
            return false;
        }
        // A line longer than any the gateway prints is not waited for without end.
        if (buffer_.size() + static_cast<size_t>(got) > 64 * 1024) {
            buffer_.clear();
        }
        buffer_.append(chunk, static_cast<size_t>(got));
    }
    return false;
}

bool NodeGateway::Running(int& status) {
    if (pid_ <= 0) {
        status = status_;
        return false;
    }
    int raw = 0;
    const pid_t waited = waitpid(pid_, &raw, WNOHANG);
    if (waited == 0) {
        return true;
    }
    status_ = waited == pid_ ? ExitCodeOf(raw) : 1;
    pid_ = -1;
    status = status_;
    return false;
}

int NodeGateway::Finish(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int status = status_;
    while (Running(status) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Stop();
}

int NodeGateway::Stop(int graceMs) {
    int status = status_;
    if (Running(status)) {
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
        while (Running(status) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int raw = 0;
            while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
            }
            status_ = ExitCodeOf(raw);
            pid_ = -1;
            status = status_;
        }
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
    return status;
}

} // namespace ksymtool
