// A verb of ksym. Each verb's file defines one and registers it; the command line
// (ksym_main.cpp) adds every registered verb as a subcommand and runs the one named, so that
// a new verb is one file and one line in CMakeLists.txt.
#ifndef KSYM_TOOLS_VERB_H
#define KSYM_TOOLS_VERB_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/ksym/options.h"

namespace ksymtool {

// A verb's subcommand, to which it binds its arguments; the values land in the bound
// variables when the command line is parsed. The command line implements it.
class VerbArguments {
public:
    virtual ~VerbArguments() = default;
    // An optional positional argument, and positional arguments of which one at least must
    // be given.
    virtual void Positional(const char* name, std::string& value, const char* help) = 0;
    virtual void Positionals(const char* name, std::vector<std::string>& values,
                             const char* help) = 0;
    // Positional arguments that may be left out (the verb says what stands for them).
    virtual void OptionalPositionals(const char* name, std::vector<std::string>& values,
                                     const char* help) = 0;
    virtual void Flag(const char* name, bool& value, const char* help) = 0;
    virtual void Text(const char* name, std::string& value, const char* help) = 0;
    virtual void Number(const char* name, uint32_t& value, const char* help, uint32_t least,
                        uint32_t most) = 0;
    virtual void Number(const char* name, uint64_t& value, const char* help) = 0;
    virtual void Number(const char* name, double& value, const char* help, double least,
                        double most) = 0;
};

class Verb {
public:
    virtual ~Verb() = default;
    // Binds the verb's arguments to its own members.
    virtual void Arguments(VerbArguments& arguments) = 0;
    // Runs the verb with the common options; the process's exit code.
    virtual int Run(const Options& options) = 0;
};

struct VerbEntry {
    const char* name;
    const char* help;
    int rank; // the place in the help: smaller first
    std::unique_ptr<Verb> (*make)();
};

// Every registered verb, by rank.
std::vector<VerbEntry> RegisteredVerbs();
void RegisterVerb(const VerbEntry& entry);

// Registers V (default-constructible) at start-up: a constant of this type in V's file.
template <typename V> class VerbRegistration {
public:
    VerbRegistration(const char* name, const char* help, int rank) {
        RegisterVerb({name, help, rank, [] { return std::unique_ptr<Verb>(new V); }});
    }
};

// What ksym does when no verb is named: opens a channel, reports the library version and
// the channel, closes it.
int RunHello(const Options& options);

} // namespace ksymtool

#endif
