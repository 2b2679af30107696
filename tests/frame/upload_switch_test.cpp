#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// The real registry of the machine (of the wine prefix under the emulator).
std::string Prepare(const RegistryCase& c) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
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

std::FILE* OpenPipe(const std::string& command) {
    return _popen(command.c_str(), "r");
}
void ClosePipe(std::FILE* pipe) {
    _pclose(pipe);
}

#else

// A registry file of its own below $KSYM_ROOT, written as a person would.
std::string Prepare(const RegistryCase& c) {
    const char* base = std::getenv("KSYM_ROOT");
    const fs::path root =
        fs::path(base != nullptr ? base : "/tmp") / ("switch-" + std::string(c.name));
    std::error_code ignored;
    fs::remove_all(root, ignored);
    fs::create_directories(root);
    if (c.key) {
        std::ofstream file(root / "registry.reg");
        file << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" << kKey << "]\n";
        file << "\"Files\"=\"C:\\\\WINDOWS\\\\Korvan Files\"\n";
        if (c.value && c.type == REG_DWORD) {
            char line[64];
            uint32_t word = 0;
            std::memcpy(&word, c.bytes.data(), sizeof word);
            std::snprintf(line, sizeof line, "\"EnableSymbolFileUpload\"=dword:%08x\n", word);
            file << line;
        } else if (c.value) {
            file << "\"EnableSymbolFileUpload\"=hex:";
            for (size_t i = 0; i < c.bytes.size(); ++i) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%s%02x", i == 0 ? "" : ",", c.bytes[i]);
                file << hex;
            }
            file << "\n";
        }
    }
    return "KSYM_ROOT='" + root.string() + "' '" KSYM_UPLOAD_SWITCH_PROBE "'";
}

std::FILE* OpenPipe(const std::string& command) {
    return popen(command.c_str(), "r");
}
void ClosePipe(std::FILE* pipe) {
    pclose(pipe);
}

#endif

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
