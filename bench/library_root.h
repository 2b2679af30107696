// The library's machine folder (registry, uploaded symbol files) for one benchmark run: a
// temporary KSYM_ROOT set before the first call into the library reads it, and the module
// attached as the shared library's entry would do (the benchmarks link the objects).
#ifndef KSYM_BENCH_LIBRARY_ROOT_H
#define KSYM_BENCH_LIBRARY_ROOT_H

#include <string>

namespace ksymbench {

class LibraryRoot {
public:
    // `program` names the benchmark in the message printed when no folder can be made.
    explicit LibraryRoot(const char* program);
    LibraryRoot(const LibraryRoot&) = delete;
    LibraryRoot& operator=(const LibraryRoot&) = delete;
    // Detaches the module and removes the folder with everything in it.
    ~LibraryRoot();

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace ksymbench

#endif
