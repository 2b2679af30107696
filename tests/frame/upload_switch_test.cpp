#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/win32.h"

#ifndef KSYM_UPLOAD_SWITCH_PROBE
#error "the build names the probe program"
#endif

namespace {

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#endif

// Runs the probe with KSYM_ROOT at `root`; what it printed, or -1.
int ProbeUploadSwitch(const std::string& root) {
    const std::string command = "KSYM_ROOT='" + root + "' '" KSYM_UPLOAD_SWITCH_PROBE "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    int value = -1;
    if (std::fscanf(pipe, "%d", &value) != 1) {
        value = -1;
    }
    pclose(pipe);
    return value;
}

std::string FreshRoot(const std::string& name) {
    const char* base = std::getenv("KSYM_ROOT");
    const std::string root = std::string(base != nullptr ? base : "/tmp") + "/switch-" + name;
    std::system(("rm -rf '" + root + "' && mkdir -p '" + root + "'").c_str());
    return root;
}

void WriteRegistry(const std::string& root, const std::string& values) {
    std::ofstream file(root + "/registry.reg");
    file << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Korvan Server\\Config]\n"
         << values;
}

TEST(UploadSwitchTest, ReadAtAttachFromTheRegistry) {
    EXPECT_EQ(ProbeUploadSwitch(FreshRoot("no-file")), 1) << "key absent";

    const std::string noValue = FreshRoot("no-value");
    WriteRegistry(noValue, "\"Files\"=\"C:\\\\WINDOWS\\\\Korvan Files\"\n");
    EXPECT_EQ(ProbeUploadSwitch(noValue), 1) << "value absent";

    const std::string off = FreshRoot("off");
    WriteRegistry(off, "\"EnableSymbolFileUpload\"=dword:00000000\n");
    EXPECT_EQ(ProbeUploadSwitch(off), 0);

    const std::string five = FreshRoot("five");
    WriteRegistry(five, "\"EnableSymbolFileUpload\"=dword:00000005\n");
    EXPECT_EQ(ProbeUploadSwitch(five), 1);

    // Only the value's first bytes count, whatever its type: a zero byte string is off.
    const std::string binaryZero = FreshRoot("binary-zero");
    WriteRegistry(binaryZero, "\"EnableSymbolFileUpload\"=hex:00,00\n");
    EXPECT_EQ(ProbeUploadSwitch(binaryZero), 0);
}

} // namespace
