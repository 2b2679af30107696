// opcua where ksym was built without the HTTP library its gateway talks through (the i386
// build), or for Windows: the verb is listed, and says why it cannot run.
#include <cstdio>

#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

class MissingOpcuaVerb final : public Verb {
public:
    void Arguments(VerbArguments&) override {}
    int Run(const Options&) override {
        std::fprintf(stderr, "ksym: opcua is missing: this ksym was built for Windows or without "
                             "the HTTP library (cpp-httplib) that its Node.js gateway talks "
                             "through; the native Linux build has it\n");
        return kExitBadArgument;
    }
};

const VerbRegistration<MissingOpcuaVerb>
    kOpcua("opcua", "(missing: the OPC UA gateway runs beside the native Linux build of ksym)", 52);

} // namespace

} // namespace ksymtool
