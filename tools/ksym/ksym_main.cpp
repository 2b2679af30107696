// ksym: the command-line tool for a controller's variables, through KSymbol. The common
// options are here; each verb brings its own (verb.h).
#include <CLI/CLI.hpp>

#include <string>
#include <utility>
#include <vector>

#include "extern/kclient.h"
#include "tools/ksym/options.h"
#include "tools/ksym/verb.h"

namespace {

using ksymtool::Options;

// A verb's arguments as options of its CLI11 subcommand.
class SubcommandArguments final : public ksymtool::VerbArguments {
public:
    explicit SubcommandArguments(CLI::App* command) : command_(command) {}

    void Positional(const char* name, std::string& value, const char* help) override {
        command_->add_option(name, value, help);
    }
    void Positionals(const char* name, std::vector<std::string>& values,
                     const char* help) override {
        command_->add_option(name, values, help)->required();
    }
    void OptionalPositionals(const char* name, std::vector<std::string>& values,
                             const char* help) override {
        command_->add_option(name, values, help);
    }
    void Flag(const char* name, bool& value, const char* help) override {
        command_->add_flag(name, value, help);
    }
    void Text(const char* name, std::string& value, const char* help) override {
        command_->add_option(name, value, help);
    }
    void Number(const char* name, uint32_t& value, const char* help, uint32_t least,
                uint32_t most) override {
        command_->add_option(name, value, help)->check(CLI::Range(least, most));
    }
    void Number(const char* name, uint64_t& value, const char* help) override {
        command_->add_option(name, value, help);
    }
    void Number(const char* name, double& value, const char* help, double least,
                double most) override {
        command_->add_option(name, value, help)->check(CLI::Range(least, most));
    }

private:
    CLI::App* command_;
};

void AddCommonOptions(CLI::App& app, Options& options) {
    // The common options may also follow the verb.
    app.fallthrough();
    app.require_subcommand(0, 1);
    app.add_option("--station", options.station,
                   "station address: sim, sim:OPTIONS (default: the embedded simulator)");
    app.add_flag("--debug", options.debug, "show the library's debug lines on stderr");
    app.add_flag("--json", options.json, "print JSON for scripts");
    app.add_option("--timeout", options.timeoutMs,
                   "milliseconds to wait for each answer of the controller (default 5000)")
        ->check(CLI::Range(1u, 600000u));
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"ksym: symbolic access to a controller's variables"};
    AddCommonOptions(app, options);
    std::vector<std::pair<CLI::App*, std::unique_ptr<ksymtool::Verb>>> verbs;
    for (const ksymtool::VerbEntry& entry : ksymtool::RegisteredVerbs()) {
        CLI::App* command = app.add_subcommand(entry.name, entry.help);
        std::unique_ptr<ksymtool::Verb> verb = entry.make();
        SubcommandArguments arguments(command);
        verb->Arguments(arguments);
        verbs.emplace_back(command, std::move(verb));
    }
    CLI11_PARSE(app, argc, argv);
    if (options.debug) {
        KClientSetDebugTarget("stderr");
    }
    for (const auto& [command, verb] : verbs) {
        if (command->parsed()) {
            return verb->Run(options);
        }
    }
    return ksymtool::RunHello(options);
}
