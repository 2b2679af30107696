#include "bench/library_root.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "frame/module_settings.h"

namespace ksymbench {

LibraryRoot::LibraryRoot(const char* program) {
    char rootTemplate[] = "/tmp/ksym-bench.XXXXXX";
    const char* root = mkdtemp(rootTemplate);
    if (root == nullptr || setenv("KSYM_ROOT", root, 1) != 0) {
        std::fprintf(stderr, "%s: no temporary folder\n", program);
        return;
    }
    path_ = root;
    ksym::ModuleAttach();
}

LibraryRoot::~LibraryRoot() {
    if (path_.empty()) {
        return;
    }
    ksym::ModuleDetach();
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace ksymbench
