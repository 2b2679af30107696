#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32.h"

#ifndef KSYM_UPLOAD_SWITCH_PROBE
#error "the build names the probe program"
#endif

namespace {

namespace fs = std::filesystem;

// One registry case: the value's type and bytes, or no value, or no key at all.
struct RegistryCase {
    const char* name;
    bool key;
    bool value;
    DWORD type;
    std::vector<BYTE> bytes;
};

const char kKey[] = "Software\\Quorvane\\Korvan Server\\Config";

#ifdef _WIN32
std::FILE* OpenPipe(const std::string& command) {
    return _popen(command.c_str(), "r");
}
void ClosePipe(std::FILE* pipe) {
    _pclose(pipe);
}
#else
std::FILE* OpenPipe(const std::string& command) {
    return popen(command.c_str(), "r");
}
void ClosePipe(std::FILE* pipe) {
    pclose(pipe);
}
#endif

// Sets the case up through the registry calls: on Windows in the machine's registry (the
// wine prefix's under the emulator), elsewhere in a registry file below a fresh $KSYM_ROOT,
// which the probe inherits. Returns the command that runs the probe.
std::string Prepare(const RegistryCase& c) {
#ifdef _WIN32
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
#else
    static const fs::path base =
        std::getenv("KSYM_ROOT") != nullptr ? std::getenv("KSYM_ROOT") : "/tmp";
    const fs::path root = base / ("switch-" + std::string(c.name));
    std::error_code ignored;
    fs::remove_all(root, ignored);
    fs::create_directories(root);
    setenv("KSYM_ROOT", root.string().c_str(), 1);
#endif
    if (c.key) {
        HKEY key = nullptr;
        if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kKey, &key) == ERROR_SUCCESS) {
            if (c.value) {
                RegSetValueExA(key, "EnableSymbolFileUpload", 0, c.type, c.bytes.data(),
                               static_cast<DWORD>(c.bytes.size()));
            }
            RegCloseKey(key);
        }
    }
    return "\"" KSYM_UPLOAD_SWITCH_PROBE "\"";
}

// Runs the probe, a process of its own, on the case; what it printed, or -1.
int ProbeUploadSwitch(const RegistryCase& c) {
    std::FILE* pipe = OpenPipe(Prepare(c));
    if (pipe == nullptr) {
        return -1;
    }
    int value = -1;
    if (std::fscanf(pipe, "%d", &value) != 1) {
        value = -1;
    }
    ClosePipe(pipe);
    return value;
}

TEST(UploadSwitchTest, ReadAtAttachFromTheRegistry) {
    EXPECT_EQ(ProbeUploadSwitch({"no-key", false, false, REG_NONE, {}}), 1);
    EXPECT_EQ(ProbeUploadSwitch({"no-value", true, false, REG_NONE, {}}), 1);
    EXPECT_EQ(ProbeUploadSwitch({"off", true, true, REG_DWORD, {0, 0, 0, 0}}), 0);
    EXPECT_EQ(ProbeUploadSwitch({"five", true, true, REG_DWORD, {5, 0, 0, 0}}), 1);
    // Only the value's first bytes count, whatever its type: two zero bytes are off.
    EXPECT_EQ(ProbeUploadSwitch({"binary-zero", true, true, REG_BINARY, {0, 0}}), 0);
#ifdef _WIN32
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
#endif
}

} // namespace
