// Runs a fuzz target's input function on every file of the folders (and on the files) given,
// so that the ordinary test builds, with gcc and each sanitizer, replay the kept corpora
// without libFuzzer. Files of a folder run in name order; the name is printed before each
// input, so that a failure (an abort from FUZZ_CHECK or a sanitizer report) names its input.
//   TARGET_replay PATH...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool ReadWhole(const fs::path& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The files to run for one argument: the argument itself, or the regular files of a folder.
bool Collect(const fs::path& argument, std::vector<fs::path>& files) {
    std::error_code error;
    if (!fs::is_directory(argument, error)) {
        if (!fs::is_regular_file(argument, error)) {
            std::fprintf(stderr, "replay: no such file or folder: %s\n", argument.c_str());
            return false;
        }
        files.push_back(argument);
        return true;
    }
    std::vector<fs::path> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(argument, error)) {
        if (entry.is_regular_file(error)) {
            found.push_back(entry.path());
        }
    }
    if (error) {
        std::fprintf(stderr, "replay: cannot list %s: %s\n", argument.c_str(),
                     error.message().c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!Collect(argv[i], files)) {
            return 2;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "replay: no input found\n");
        return 2;
    }
    std::vector<uint8_t> bytes;
    for (const fs::path& file : files) {
        std::printf("replay: %s\n", file.c_str());
        std::fflush(stdout);
        if (!ReadWhole(file, bytes)) {
            std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
            return 2;
        }
        // An exact-size copy, so that a sanitizer sees a read one byte past the input.
        std::vector<uint8_t> input(bytes);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("replay: %zu inputs passed\n", files.size());
    return 0;
}
