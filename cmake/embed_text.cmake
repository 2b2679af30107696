# Writes a C++ source file that holds a text file's bytes, as a function that returns them:
#   cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -DHEADER=H -DNAMESPACE=NS -DFUNCTION=NAME
#         -P embed_text.cmake
# HEADER is the header that declares NS::NAME(). ksym_embed_text (KSymEmbed.cmake) runs it.
# It runs in CMake itself, so the cross builds embed the text without running a program
# they built. The bytes are written as numbers, so that no character of the text can end a
# literal early.
file(READ "${INPUT}" hex HEX)
# Each byte as 0xNN, sixteen to a line (CMake's expressions have no counted repeat).
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REPEAT "0x..," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
foreach(argument INPUT OUTPUT HEADER NAMESPACE FUNCTION)
    if(NOT DEFINED ${argument})
        message(FATAL_ERROR "embed_text.cmake: ${argument} is not given")
    endif()
endforeach()
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}" "// Generated from ${name} by cmake/embed_text.cmake; do not edit.
#include \"${HEADER}\"

namespace ${NAMESPACE} {

namespace {
const unsigned char kText[] = {
    ${bytes}0x00};
} // namespace

std::string ${FUNCTION}() {
    return std::string(reinterpret_cast<const char*>(kText), sizeof kText - 1);
}

} // namespace ${NAMESPACE}
")
