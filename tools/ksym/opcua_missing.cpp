// opcua where ksym was built without the HTTP library its gateway talks through, or for
// Windows: the verb is listed, and says why it cannot run.
#include <cstdio>

#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

class MissingOpcuaVerb final : public Verb {
public:
    void Arguments(VerbArguments&) override {}
    int Run(const Options&) override {
        std::fprintf(stderr, "ksym: opcua is missing: its Node.js gateway runs beside the Linux "
                             "build of ksym, built with the HTTP library\n");
        return kExitBadArgument;
    }
};

const VerbRegistration<MissingOpcuaVerb>
    kOpcua("opcua", "(missing: the OPC UA gateway runs beside the Linux build of ksym)", 52);

} // namespace

} // namespace ksymtool
