// Reading a list of variables through the library: the list is defined once, and each read
// sends it and waits, through the session's message window, for the library to announce that
// every telegram has been answered. The values are copied out under the list's lock.
#ifndef KSYM_TOOLS_LIST_READ_H
#define KSYM_TOOLS_LIST_READ_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/ksym/session.h"
#include "tools/ksym/variables.h"

namespace ksymtool {

struct ReadValue {
    bool valid = false;
    std::vector<uint8_t> bytes; // shape.size bytes (1 for size 0), host order; when valid
};

enum class ReadEnd { kDone, kFailed, kInterrupted };

class ListReader {
public:
    ListReader(const Session& session, std::vector<Variable> variables);
    ListReader(const ListReader&) = delete;
    ListReader& operator=(const ListReader&) = delete;
    // Deleting the list also abandons a read still in progress.
    ~ListReader();

    // Defines the list; false (with a message on stderr and the exit code) when the library
    // refuses a name.
    bool Define(int& exitCode);
    // As above, with the reason in `why` instead of on stderr.
    bool Define(int& exitCode, std::string& why);
    // One complete read. kFailed comes with a message on stderr and the exit code.
    ReadEnd Read(int& exitCode);

    const std::vector<Variable>& variables() const { return variables_; }
    const std::vector<ReadValue>& values() const { return values_; }
    // True when the last read delivered every value.
    bool AllValid() const;

private:
    const Session& session_;
    std::vector<Variable> variables_;
    std::vector<ReadValue> values_;
    HVARLIST list_ = nullptr;
};

// Resolves the names against the session's symbols (see variables.h); false, with
// "unknown variable: NAME" on stderr and the exit code, for a name that is neither a direct
// address nor a symbol.
bool ResolveNames(const Session& session, const std::vector<std::string>& names,
                  std::vector<Variable>& variables, int& exitCode);

// Opens the session, loads its symbols and defines the list of `names` on it; null with the
// exit code (and a message on stderr). The list must go before the session closes its
// channel.
std::unique_ptr<ListReader> PrepareReader(Session& session, const std::vector<std::string>& names,
                                          int& exitCode);
// As PrepareReader on a session whose channel is open: loads the symbols (quietly when
// `quiet`) and defines the list.
std::unique_ptr<ListReader> DefineReader(Session& session, const std::vector<std::string>& names,
                                         bool quiet, int& exitCode);

// The names of the session's loaded symbols (those its load selected), each reaching its
// symbol: placeholders have no name, and a symbol whose name equals an earlier one's (letters
// in any case) cannot be reached by it, so it is left out, said on stderr.
std::vector<std::string> ReachableNames(const Session& session);

// Tells why the library refused to define a list of `variables` (error 19, 31 or 32): finds
// the variable it refuses and sets `why` to "unknown variable: NAME" or that it does not fit
// a telegram of the station. Returns the exit code.
int DescribeRefusedDefinition(int32_t channel, const std::vector<Variable>& variables,
                              std::string& why);
// As DescribeRefusedDefinition, printing the reason on stderr.
int ReportRefusedDefinition(int32_t channel, const std::vector<Variable>& variables);

} // namespace ksymtool

#endif
