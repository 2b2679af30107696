#include <algorithm>

#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

// Filled by the registrations while the program starts, before main; read by main.
std::vector<VerbEntry>& Registry() {
    static std::vector<VerbEntry> verbs;
    return verbs;
}

} // namespace

void RegisterVerb(const VerbEntry& entry) {
    Registry().push_back(entry);
}

std::vector<VerbEntry> RegisteredVerbs() {
    std::vector<VerbEntry> verbs = Registry();
    std::stable_sort(verbs.begin(), verbs.end(),
                     [](const VerbEntry& a, const VerbEntry& b) { return a.rank < b.rank; });
    return verbs;
}

} // namespace ksymtool
