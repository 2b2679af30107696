#include "tools/ksym/list_read.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "extern/kclient.h"
#include "formats/direct_address.h"
#include "formats/name_compare.h"

namespace ksymtool {

namespace {

std::vector<const char*> NamesOf(const std::vector<Variable>& variables) {
    std::vector<const char*> names;
    names.reserve(variables.size());
    for (const Variable& variable : variables) {
        names.push_back(variable.name.c_str());
    }
    return names;
}

} // namespace

bool ResolveNames(const Session& session, const std::vector<std::string>& names,
                  std::vector<Variable>& variables, int& exitCode) {
    variables.clear();
    for (const std::string& name : names) {
        std::optional<Variable> variable =
            ResolveVariable(name, session.symbols(), session.symbolCount());
        if (!variable) {
            std::fprintf(stderr, "ksym: unknown variable: %s\n", name.c_str());
            exitCode = kExitBadArgument;
            return false;
        }
        variables.push_back(std::move(*variable));
    }
    return true;
}

std::unique_ptr<ListReader> PrepareReader(Session& session, const std::vector<std::string>& names,
                                          int& exitCode) {
    if (!session.Open()) {
        exitCode = kExitOpenFailed;
        return nullptr;
    }
    return DefineReader(session, names, false, exitCode);
}

std::unique_ptr<ListReader> DefineReader(Session& session, const std::vector<std::string>& names,
                                         bool quiet, int& exitCode) {
    // Lists need the symbol table, even when they name direct addresses only.
    if (!session.LoadSymbols(nullptr, quiet)) {
        exitCode = kExitNoSymbols;
        return nullptr;
    }
    std::vector<Variable> variables;
    if (!ResolveNames(session, names, variables, exitCode)) {
        return nullptr;
    }
    auto reader = std::make_unique<ListReader>(session, std::move(variables));
    if (!reader->Define(exitCode)) {
        return nullptr;
    }
    return reader;
}

int DescribeRefusedDefinition(int32_t channel, const std::vector<Variable>& variables,
                              std::string& why) {
    const int32_t listError = KClientGetLastError();
    // The list as a whole was refused: the first variable refused on its own is the culprit.
    for (const Variable& variable : variables) {
        const char* name = variable.name.c_str();
        HVARLIST single = KSymDefineVarList(channel, &name, 1);
        if (single != nullptr) {
            KSymDeleteVarList(channel, single);
            continue;
        }
        const int32_t code = KClientGetLastError();
        if (code == KSYM_ERR_NO_SYMBOLS) {
            why = "unknown variable: " + variable.name;
        } else {
            why = variable.name + " (" + variable.typeName + ", " +
                  std::to_string(variable.shape.size) +
                  " bytes) does not fit a telegram of the station: " + LastErrorText();
        }
        return kExitBadArgument;
    }
    KClientSetLastError(listError);
    why = "the variable list was refused: " + LastErrorText();
    return kExitBadArgument;
}

int ReportRefusedDefinition(int32_t channel, const std::vector<Variable>& variables) {
    std::string why;
    const int exitCode = DescribeRefusedDefinition(channel, variables, why);
    std::fprintf(stderr, "ksym: %s\n", why.c_str());
    return exitCode;
}

ListReader::ListReader(const Session& session, std::vector<Variable> variables)
    : session_(session), variables_(std::move(variables)), values_(variables_.size()) {}

ListReader::~ListReader() {
    if (list_ != nullptr) {
        KSymDeleteVarList(session_.channel(), list_);
    }
}

bool ListReader::Define(int& exitCode) {
    std::string why;
    if (Define(exitCode, why)) {
        return true;
    }
    std::fprintf(stderr, "ksym: %s\n", why.c_str());
    return false;
}

bool ListReader::Define(int& exitCode, std::string& why) {
    const std::vector<const char*> names = NamesOf(variables_);
    list_ =
        KSymDefineVarList(session_.channel(), names.data(), static_cast<uint32_t>(names.size()));
    if (list_ == nullptr) {
        exitCode = DescribeRefusedDefinition(session_.channel(), variables_, why);
        return false;
    }
    return true;
}

ReadEnd ListReader::Read(int& exitCode) {
    for (ReadValue& value : values_) {
        value.valid = false;
    }
    const int32_t channel = session_.channel();
    if (KSymSendVarList(channel, list_) == 0) {
        std::fprintf(stderr, "ksym: the read could not be sent: %s\n", LastErrorText().c_str());
        exitCode = kExitExchangeFailed;
        return ReadEnd::kFailed;
    }
    const uint32_t complete = KSYM_READ_COMPLETE(variables_.size());
    const DWORD start = GetTickCount();
    const uint32_t timeout = session_.options().timeoutMs;
    for (;;) {
        const DWORD passed = GetTickCount() - start;
        const Notification note = session_.Wait(passed < timeout ? timeout - passed : 0);
        if (note.end == WaitEnd::kInterrupted) {
            return ReadEnd::kInterrupted;
        }
        if (note.end == WaitEnd::kTimedOut ||
            (note.end == WaitEnd::kPosted && note.status == COMM_TIMEOUT)) {
            std::fprintf(stderr, "ksym: %s\n", kNoAnswer);
            exitCode = kExitNoAnswer;
            return ReadEnd::kFailed;
        }
        if (note.status == COMM_FATALERROR) {
            std::fprintf(stderr,
                         "ksym: the read failed: the exchange with the controller failed\n");
            exitCode = kExitExchangeFailed;
            return ReadEnd::kFailed;
        }
        if (note.status == COMM_MESSAGEREADY && note.value == complete) {
            break;
        }
        // Anything else is not this read's: a late answer to an earlier request.
    }

    KSymEnterVarListAccess(channel, list_);
    VarValue** records = nullptr;
    uint32_t got = 0;
    if (KSymGetValues(channel, list_, &records, &got) != 0 && records != nullptr) {
        for (size_t i = 0; i < values_.size() && i < got; ++i) {
            const VarValue* record = records[i];
            const uint8_t valid = record->valid;
            ReadValue& value = values_[i];
            value.valid = valid == 1;
            if (value.valid) {
                const uint8_t* data = record->data;
                // A variable of size 0 still takes a byte, as a bit does.
                value.bytes.assign(data, data + formats::EffectiveSize(variables_[i].shape.size));
            }
        }
    }
    KSymLeaveVarListAccess(channel, list_);
    return ReadEnd::kDone;
}

bool ListReader::AllValid() const {
    for (const ReadValue& value : values_) {
        if (!value.valid) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> ReachableNames(const Session& session) {
    std::vector<std::string> names;
    for (int32_t i = 0; i < session.symbolCount(); ++i) {
        const char* name = session.symbols()[i]->name;
        if (name == nullptr || name[0] == '\0') {
            continue;
        }
        bool reached = true;
        for (const std::string& earlier : names) {
            if (formats::NamesEqual(earlier.c_str(), name)) {
                std::fprintf(stderr, "ksym: '%s' has the name of '%s' and is left out\n", name,
                             earlier.c_str());
                reached = false;
                break;
            }
        }
        if (reached) {
            names.emplace_back(name);
        }
    }
    return names;
}

} // namespace ksymtool
