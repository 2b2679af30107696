// The project a simulated controller holds: its file name, identifier, identification and
// the bytes of its symbol file.
#ifndef KSYM_PLCSIM_PROJECT_H
#define KSYM_PLCSIM_PROJECT_H

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats/plant_description.h"
#include "formats/recording.h"

namespace plcsim {

struct Project {
    std::string fileName; // what the controller calls its project, e.g. "SAMPLE.PRO"
    // The symbol file served for upload, shared and never changed, so that an upload in
    // progress keeps its bytes when the controller switches project. Null: there is none.
    std::shared_ptr<const std::vector<uint8_t>> sdb;
    int32_t id = 0;      // the project identifier, as in the symbol file's header
    uint32_t number = 0; // the second number of the identification reply
    // The identification texts in the order the reply carries them: project name, version,
    // description, author, date.
    std::array<std::string, 5> texts;
    // Initial values and behaviours, when the project comes from a description. Null: none,
    // the memory keeps its pattern.
    std::shared_ptr<const formats::PlantDescription> plant;
};

// The project a controller holds unless told otherwise: its name, identifier and symbol
// file come from examples/sample_project.sdbdesc, embedded at build time and built into SDB
// bytes once, on the first call (from any thread).
Project SampleProject();

// The project of a symbol file, read whole: its identifier from the file header, its file
// name from the path's last component. A project description (the text sdbtool builds
// from) serves as well: its symbol file is built from it, and it brings its plant. False
// with `error` set when the file cannot be read, or is neither a symbol file with a valid
// header (section kind 1, version 0 or 1) nor a description that parses.
bool LoadProject(const std::string& sdbPath, Project& project, std::string& error);

// Whether `bytes` begin with a symbol file's header (section kind 1, version 0 or 1).
bool HasSdbHeader(const std::vector<uint8_t>& bytes);

// The project a recording's station held: its name, symbol file and identification, exactly
// as recorded, without a plant. False with `error` when the symbol file has no valid header,
// is one the library's reader refuses, or does not hold a recorded variable where the
// recording says it is.
bool ProjectOfRecording(const formats::Recording& recording, Project& project, std::string& error);

} // namespace plcsim

#endif
