// The local symbol file when the process writing it dies: a ksym killed at any moment of a
// slow upload leaves the old file or the complete new one, never a file cut short, and the
// next load succeeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ksym_tool_run.h"
#include "plcsim/sdb_writer.h"
#include "plcsim_process.h"

namespace {

namespace fs = std::filesystem;
using ksymtest::KsymCli;
using ksymtest::Station;
using ksymtest::ToolRun;
using Clock = std::chrono::steady_clock;

// A project big enough that its upload in small chunks takes about a second.
std::vector<uint8_t> BigProject(uint32_t id) {
    plcsim::SdbProject project;
    project.projectId = id;
    project.types = {{2, 2, "INT", 0, 0, {}, 0}};
    char name[64];
    for (uint32_t i = 0; i < 16000; ++i) {
        std::snprintf(name, sizeof name, "Plant.Unit%05u.Sensor.Value", static_cast<unsigned>(i));
        project.variables.push_back({name, 0, 0, 3, 2 * i});
    }
    return plcsim::WriteSdb(project);
}

fs::path WriteProject(const fs::path& folder, const std::vector<uint8_t>& bytes) {
    fs::create_directories(folder);
    const fs::path path = folder / "BIG.SDB";
    std::string error;
    EXPECT_TRUE(plcsim::WriteFileBytes(path.string(), bytes, error)) << error;
    return path;
}

bool EndsWith(std::string text, const std::string& end) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class SymbolFileCrashTest : public KsymCli {
protected:
    // The machine's local symbol files (not the part files of uploads under way).
    std::vector<fs::path> LocalFiles() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(machine_)) {
            if (entry.is_regular_file() && EndsWith(entry.path().string(), ".sdb")) {
                files.push_back(entry.path());
            }
        }
        return files;
    }
    std::vector<uint8_t> LocalFile() const {
        const std::vector<fs::path> files = LocalFiles();
        EXPECT_LE(files.size(), 1u);
        if (files.empty()) {
            return {};
        }
        const std::string text = ksymtest::ReadText(files[0]);
        return std::vector<uint8_t>(text.begin(), text.end());
    }
};

TEST_F(SymbolFileCrashTest, AKillDuringAnUploadLeavesTheOldFileOrTheNewOneWhole) {
    const std::vector<uint8_t> oldBytes = BigProject(0x1001);
    const std::vector<uint8_t> newBytes = BigProject(0x2002);
    ASSERT_NE(oldBytes, newBytes);
    const std::vector<std::string> slow = {"--chunk", "1024", "--latency", "1"};
    auto options = [&](const fs::path& project) {
        std::vector<std::string> all = {"--project", project.string()};
        all.insert(all.end(), slow.begin(), slow.end());
        return all;
    };
    Station oldStation(scratch_, 0, options(WriteProject(scratch_ / "old", oldBytes)));
    Station newStation(scratch_, 0, options(WriteProject(scratch_ / "new", newBytes)));
    const std::vector<std::string> load = {"--station", newStation.address(), "--timeout", "10000",
                                           "symbols",   "Plant.Unit00001."};

    // How long a whole load of the new project takes here, on a machine of its own.
    machine_ = scratch_ / "measure";
    fs::create_directories(machine_);
    const Clock::time_point measureStart = Clock::now();
    const ToolRun measured = Ksym(load);
    const auto whole = Clock::now() - measureStart;
    ASSERT_EQ(measured.exitCode, 0) << measured.err;
    ASSERT_EQ(LocalFile(), newBytes);

    // The machine under test holds the old project's file.
    machine_ = scratch_ / "machine";
    fs::create_directories(machine_);
    const ToolRun first =
        Ksym({"--station", oldStation.address(), "--timeout", "10000", "symbols", "Plant.Unit1"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    ASSERT_EQ(LocalFile(), oldBytes);
    const fs::path local = LocalFiles().at(0);

    int newOnes = 0;
    for (const double fraction : {0.1, 0.3, 0.5, 0.7, 0.85, 0.95, 0.98, 1.0, 1.05}) {
        SCOPED_TRACE("killed at " + std::to_string(fraction) + " of a load");
        const auto killAt = std::chrono::duration_cast<Clock::duration>(whole * fraction);
        const Clock::time_point start = Clock::now();
        bool killed = false;
        Ksym(load, [&](pid_t pid, const std::string&) {
            if (!killed && Clock::now() - start >= killAt) {
                kill(pid, SIGKILL);
                killed = true;
            }
        });
        const std::vector<uint8_t> after = LocalFile();
        EXPECT_TRUE(after == oldBytes || after == newBytes)
            << "a local file of " << after.size() << " bytes was left";
        if (after == newBytes) {
            // The load got through: the old file again, so that the next run uploads too.
            ++newOnes;
            std::string error;
            ASSERT_TRUE(plcsim::WriteFileBytes(local.string(), oldBytes, error)) << error;
        }
    }
    EXPECT_LT(newOnes, 9) << "no kill landed during an upload";

    // The next load uploads and succeeds.
    const ToolRun last = Ksym(load);
    EXPECT_EQ(last.exitCode, 0) << last.err;
    EXPECT_NE(last.out.find("Plant.Unit00001.Sensor.Value"), std::string::npos) << last.out;
    EXPECT_EQ(LocalFile(), newBytes);
}

} // namespace
