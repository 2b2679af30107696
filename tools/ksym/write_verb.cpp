// write: new values for variables, parsed by each variable's type, in one telegram when the
// station's block size allows, else one variable at a time.
#include <cstdio>
#include <memory>

#include "extern/kclient.h"
#include "tools/ksym/list_read.h"
#include "tools/ksym/session.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/verbs.h"

namespace ksymtool {

namespace {

struct Assignment {
    Variable variable;
    std::string text;
    std::vector<uint8_t> bytes;
};

// Sends one write of `items` and takes the controller's answer. kExitOk when it accepted;
// for a list that needs several telegrams, `tooBig` is set and nothing was sent.
int WriteOnce(const Session& session, const std::vector<const Assignment*>& items, bool& tooBig) {
    tooBig = false;
    std::vector<const char*> names;
    std::vector<const void*> buffers;
    for (const Assignment* item : items) {
        names.push_back(item->variable.name.c_str());
        buffers.push_back(item->bytes.data());
    }
    const int32_t channel = session.channel();
    if (KSymWriteVars(channel, names.data(), static_cast<uint32_t>(names.size()), buffers.data()) ==
        0) {
        const int32_t code = KClientGetLastError();
        if (items.size() > 1 &&
            (code == KSYM_ERR_TOO_BIG_WRITE || code == KSYM_ERR_MULTI_TELEGRAM)) {
            tooBig = true;
            return kExitOk;
        }
        if (code == KSYM_ERR_NO_SYMBOLS || code == KSYM_ERR_TOO_BIG_READ ||
            code == KSYM_ERR_TOO_BIG_WRITE || code == KSYM_ERR_MULTI_TELEGRAM) {
            std::vector<Variable> variables;
            for (const Assignment* item : items) {
                variables.push_back(item->variable);
            }
            return ReportRefusedDefinition(channel, variables);
        }
        std::fprintf(stderr, "ksym: the write could not be sent: %s\n", LastErrorText().c_str());
        return kExitExchangeFailed;
    }
    int exitCode = kExitOk;
    if (!session.AwaitReply(exitCode)) {
        return exitCode;
    }
    if (KSymWriteResult(channel) != 1) {
        if (items.size() == 1) {
            std::fprintf(stderr, "ksym: the controller refused the write (%s)\n", names[0]);
        } else {
            std::fprintf(stderr, "ksym: the controller refused the write\n");
        }
        return kExitRefused;
    }
    return kExitOk;
}

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

} // namespace

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
        Assignment item{variables[i], texts[i], {}};
        if (!ParseValue(item.variable.shape, item.text, item.bytes)) {
            const uint32_t size = item.variable.shape.size;
            std::fprintf(stderr, "ksym: value does not fit %s (%s, %u byte%s): %s\n",
                         item.variable.name.c_str(), item.variable.typeName.c_str(),
                         static_cast<unsigned>(size), size == 1 ? "" : "s", item.text.c_str());
            return kExitBadArgument;
        }
        assignments.push_back(std::move(item));
    }

    std::vector<const Assignment*> all;
    for (const Assignment& item : assignments) {
        all.push_back(&item);
    }
    bool tooBig = false;
    exitCode = WriteOnce(session, all, tooBig);
    // The station's block size holds them only one by one.
    for (size_t i = 0; tooBig && i < all.size(); ++i) {
        bool single = false;
        exitCode = WriteOnce(session, {all[i]}, single);
        if (exitCode != kExitOk) {
            if (i > 0) {
                std::fprintf(stderr, "ksym: the %lu variable%s before it %s written\n",
                             static_cast<unsigned long>(i), i == 1 ? "" : "s",
                             i == 1 ? "was" : "were");
            }
            break;
        }
    }
    if (exitCode != kExitOk) {
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

} // namespace ksymtool
