// publish where ksym was built without the MQTT client library or Protocol Buffers: the verb
// is listed, and says why it cannot run.
#include <cstdio>

#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

class MissingPublishVerb final : public Verb {
public:
    void Arguments(VerbArguments&) override {}
    int Run(const Options&) override {
        std::fprintf(stderr, "ksym: publish is missing: this ksym was built without the MQTT "
                             "client library (libmosquitto) or Protocol Buffers (libprotobuf)\n");
        return kExitBadArgument;
    }
};

const VerbRegistration<MissingPublishVerb>
    kPublish("publish", "(missing: this ksym was built without libmosquitto or libprotobuf)", 47);

} // namespace

} // namespace ksymtool
