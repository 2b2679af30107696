// write: new values for variables, parsed by each variable's type, in one telegram when the
// station's block size allows, else one variable at a time.
#include <cstdio>
#include <memory>

#include "tools/ksym/list_read.h"
#include "tools/ksym/session.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/variable_write.h"
#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

// Reads the variables back, shows them as read does and compares them with what was
// written.
int Verify(const Options& options, const Session& session,
           const std::vector<Assignment>& assignments) {
    std::vector<Variable> variables;
    for (const Assignment& item : assignments) {
        variables.push_back(item.variable);
    }
    ListReader reader(session, std::move(variables));
    int exitCode = kExitOk;
    if (!reader.Define(exitCode) || reader.Read(exitCode) != ReadEnd::kDone) {
        return exitCode;
    }
    if (options.json) {
        std::printf("%s\n", DumpJson(ValuesJson(reader.variables(), reader.values()), 2).c_str());
    } else {
        PrintValueTable(reader.variables(), reader.values());
    }
    if (!reader.AllValid()) {
        return kExitNoValue;
    }
    for (size_t i = 0; i < assignments.size(); ++i) {
        const ReadValue& value = reader.values()[i];
        if (value.bytes != assignments[i].bytes) {
            std::fprintf(stderr, "ksym: %s reads back %s, not what was written\n",
                         assignments[i].variable.name.c_str(),
                         ValueText(assignments[i].variable, value).c_str());
            exitCode = kExitVerifyFailed;
        }
    }
    return exitCode;
}

int RunWrite(const Options& options, const std::vector<std::string>& arguments, bool verify) {
    std::vector<std::string> names;
    std::vector<std::string> texts;
    for (const std::string& argument : arguments) {
        const size_t equals = argument.find('=');
        if (equals == std::string::npos || equals == 0) {
            std::fprintf(stderr, "ksym: expected NAME=VALUE: %s\n", argument.c_str());
            return kExitBadArgument;
        }
        names.push_back(argument.substr(0, equals));
        texts.push_back(argument.substr(equals + 1));
    }

    Session session(options);
    if (!session.Open()) {
        return kExitOpenFailed;
    }
    if (!session.LoadSymbols()) {
        return kExitNoSymbols;
    }
    std::vector<Variable> variables;
    int exitCode = kExitOk;
    if (!ResolveNames(session, names, variables, exitCode)) {
        return exitCode;
    }
    // Every value is checked before anything is sent.
    std::vector<Assignment> assignments;
    for (size_t i = 0; i < variables.size(); ++i) {
        assignments.push_back(Assignment{variables[i], texts[i], {}});
    }
    std::string why;
    if (!ParseAssignments(assignments, why)) {
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
        return kExitBadArgument;
    }
    exitCode = WriteAssignments(session, assignments, why);
    if (exitCode != kExitOk) {
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
        return exitCode;
    }
    if (verify) {
        return Verify(options, session, assignments);
    }
    if (options.json) {
        nlohmann::json written = nlohmann::json::array();
        for (const std::string& name : names) {
            written.push_back(name);
        }
        std::printf("%s\n", DumpJson({{"written", written}}, 2).c_str());
    } else {
        std::printf("wrote %lu variable%s\n", static_cast<unsigned long>(names.size()),
                    names.size() == 1 ? "" : "s");
    }
    return kExitOk;
}

class WriteVerb final : public Verb {
public:
    void Arguments(VerbArguments& arguments) override {
        arguments.Positionals("NAME=VALUE", assignments_, "variables and their new values");
        arguments.Flag("--verify", verify_, "read the variables back and show them as read does");
    }
    int Run(const Options& options) override { return RunWrite(options, assignments_, verify_); }

private:
    std::vector<std::string> assignments_;
    bool verify_ = false;
};

const VerbRegistration<WriteVerb> kWrite("write", "write new values to variables", 30);

} // namespace

} // namespace ksymtool
