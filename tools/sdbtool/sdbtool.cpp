// sdbtool: builds SDB symbol files from project descriptions and lists what SDB files hold.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

#include "formats/file_bytes.h"
#include "formats/sdb_description.h"
#include "formats/sdb_writer.h"
#include "tools/sdbtool/sdb_dump.h"

namespace {

// `sdbtool build`: 0 when written, 1 when the description cannot be read or is malformed,
// 2 when the output cannot be written.
int RunBuild(const std::string& descriptionPath, const std::string& outputPath) {
    std::vector<uint8_t> text;
    if (!formats::ReadFileBytes(descriptionPath, text)) {
        std::cerr << "sdbtool: cannot read " << descriptionPath << "\n";
        return 1;
    }
    formats::SdbDescription description;
    std::string error;
    if (!formats::ParseSdbDescription(std::string(text.begin(), text.end()), description, error)) {
        std::cerr << "sdbtool: " << error << "\n"; // the error begins with the line number
        return 1;
    }
    if (!formats::WriteFileBytes(outputPath, formats::WriteSdb(description.project), error)) {
        std::cerr << "sdbtool: " << error << "\n";
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"sdbtool: builds and lists SDB symbol files"};
    app.require_subcommand(1);

    std::string descriptionPath;
    std::string outputPath;
    CLI::App* build =
        app.add_subcommand("build", "build an SDB file from a project description; exit 1 on a "
                                    "bad description, 2 when the file cannot be written");
    build->add_option("DESCRIPTION", descriptionPath, "the description (docs/sdb-description.md)")
        ->required();
    build->add_option("-o,--output", outputPath, "the SDB file to write")->required();

    std::string dumpPath;
    CLI::App* dump = app.add_subcommand(
        "dump", "list the sections of an SDB file; exit 1 when the file breaks the layout, 2 "
                "when it cannot be read");
    dump->add_option("FILE", dumpPath, "the SDB file")->required();

    CLI11_PARSE(app, argc, argv);
    if (build->parsed()) {
        return RunBuild(descriptionPath, outputPath);
    }
    return sdbtool::Dump(dumpPath, std::cout, std::cerr);
}
