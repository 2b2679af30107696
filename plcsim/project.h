// The project a simulated controller holds: its file name, identifier and identification.
#ifndef KSYM_PLCSIM_PROJECT_H
#define KSYM_PLCSIM_PROJECT_H

#include <array>
#include <cstdint>
#include <string>

namespace plcsim {

struct Project {
    std::string fileName; // what the controller calls its project, e.g. "SAMPLE.PRO"
    std::string sdbPath;  // the symbol file served for upload; empty: none
    int32_t id = 0;       // the project identifier, as in the symbol file's header
    uint32_t number = 0;  // the second number of the identification reply
    // The identification texts in the order the reply carries them: project name, version,
    // description, author, date.
    std::array<std::string, 5> texts;
};

// The project a controller holds unless told otherwise.
Project SampleProject();

// The project of a symbol file: its identifier from the file header, its file name from
// the path's last component. False with `error` set when the file cannot be read or does
// not begin with a valid header.
bool LoadProject(const std::string& sdbPath, Project& project, std::string& error);

} // namespace plcsim

#endif
