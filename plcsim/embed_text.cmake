# Writes a C++ source file that holds a text file's bytes, for SampleDescriptionText():
#   cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -P embed_text.cmake
# It runs in CMake itself, so the cross builds embed the text without running a program
# they built. The bytes are written as numbers, so that no character of the text can end a
# literal early.
file(READ "${INPUT}" hex HEX)
# Each byte as 0xNN, sixteen to a line (CMake's expressions have no counted repeat).
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REPEAT "0x..," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}" "// Generated from ${name} by plcsim/embed_text.cmake; do not edit.
#include \"plcsim/sample_description.h\"

namespace plcsim {

namespace {
const unsigned char kText[] = {
    ${bytes}0x00};
} // namespace

std::string SampleDescriptionText() {
    return std::string(reinterpret_cast<const char*>(kText), sizeof kText - 1);
}

} // namespace plcsim
")
