// A fresh folder per test as the stand-in for the Windows machine: KSYM_ROOT points into it
// while the test runs, and both are put back afterwards.
#ifndef KSYM_TESTS_PLATFORM_TEMP_ROOT_H
#define KSYM_TESTS_PLATFORM_TEMP_ROOT_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

class TempRoot : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("KSYM_ROOT");
        if (base)
            saved_ = base;
        std::filesystem::path parent = base && *base ? base : "/tmp";
        std::filesystem::create_directories(parent);
        std::string pattern = (parent / "testXXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        folder_ = pattern;
        root_ = folder_ + "/root"; // not there yet: the layer has to make it
        setenv("KSYM_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        if (saved_.empty())
            unsetenv("KSYM_ROOT");
        else
            setenv("KSYM_ROOT", saved_.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    static std::string read_text(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void write_text(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }

    std::string folder_; // removed after the test
    std::string root_;   // $KSYM_ROOT during the test

private:
    std::string saved_;
};

#endif
