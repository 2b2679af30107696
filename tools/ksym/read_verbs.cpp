// read: the values of variables, once.
#include <cstdio>
#include <memory>

#include "tools/ksym/list_read.h"
#include "tools/ksym/session.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

int RunRead(const Options& options, const std::vector<std::string>& names) {
    Session session(options);
    int exitCode = kExitOk;
    const std::unique_ptr<ListReader> reader = PrepareReader(session, names, exitCode);
    if (!reader) {
        return exitCode;
    }
    if (reader->Read(exitCode) != ReadEnd::kDone) {
        return exitCode;
    }
    if (options.json) {
        std::printf("%s\n", DumpJson(ValuesJson(reader->variables(), reader->values()), 2).c_str());
    } else {
        PrintValueTable(reader->variables(), reader->values());
    }
    return reader->AllValid() ? kExitOk : kExitNoValue;
}

class ReadVerb final : public Verb {
public:
    void Arguments(VerbArguments& arguments) override {
        arguments.Positionals("NAME", names_, "symbol names or direct addresses (%MW4, %IX1.2)");
    }
    int Run(const Options& options) override { return RunRead(options, names_); }

private:
    std::vector<std::string> names_;
};

const VerbRegistration<ReadVerb> kRead("read", "read variables once and show their values", 20);

} // namespace

} // namespace ksymtool
