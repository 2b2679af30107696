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
#include "formats/sdb_writer.h"
#include "plcsim_process.h"

namespace {

namespace fs = std::filesystem;
using ksymtest::KsymCli;
using ksymtest::Station;
using ksymtest::ToolRun;
using Clock = std::chrono::steady_clock;

// A project big enough that its upload in small chunks takes about a second.
std::vector<uint8_t> BigProject(uint32_t id) {
    formats::SdbProject project;
    project.projectId = id;
    project.types = {{2, 2, "INT", 0, 0, {}, 0}};
    char name[64];
    for (uint32_t i = 0; i < 10000; ++i) {
        std::snprintf(name, sizeof name, "Plant.Unit%05u.Sensor.Value", static_cast<unsigned>(i));
        project.variables.push_back({name, 0, 0, 3, 2 * i});
    }
    return formats::WriteSdb(project);
}

fs::path WriteProject(const fs::path& folder, const std::vector<uint8_t>& bytes) {
    fs::create_directories(folder);
    const fs::path path = folder / "BIG.SDB";
    std::string error;
    EXPECT_TRUE(formats::WriteFileBytes(path.string(), bytes, error)) << error;
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
    // The machine's files whose names end so (any case).
    std::vector<fs::path> FilesEndingIn(const std::string& end) const {
        std::vector<fs::path> files;
        std::error_code ignored;
        for (fs::recursive_directory_iterator it(machine_, ignored), last; it != last;
             it.increment(ignored)) {
            if (it->is_regular_file(ignored) && EndsWith(it->path().string(), end)) {
                files.push_back(it->path());
            }
        }
        return files;
    }
    // The local symbol file's bytes (not those of an upload's part file).
    std::vector<uint8_t> LocalFile() const {
        const std::vector<fs::path> files = FilesEndingIn(".sdb");
        EXPECT_LE(files.size(), 1u);
        if (files.empty()) {
            return {};
        }
        const std::string text = ksymtest::ReadText(files[0]);
        return std::vector<uint8_t>(text.begin(), text.end());
    }
    // Whether an upload is under way: its part file exists.
    bool Uploading() const { return !FilesEndingIn(".part").empty(); }
    void RemovePartFiles() const {
        for (const fs::path& part : FilesEndingIn(".part")) {
            fs::remove(part);
        }
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

    // How long the upload of the new project takes here, from its part file's appearance to
    // its rename, on a machine of its own.
    machine_ = scratch_ / "measure";
    fs::create_directories(machine_);
    Clock::time_point began{};
    Clock::time_point ended{};
    const ToolRun measured = Ksym(load, [&](pid_t, const std::string&) {
        const bool uploading = Uploading();
        if (uploading && began == Clock::time_point{}) {
            began = Clock::now();
        } else if (!uploading && began != Clock::time_point{} && ended == Clock::time_point{}) {
            ended = Clock::now();
        }
    });
    ASSERT_EQ(measured.exitCode, 0) << measured.err;
    ASSERT_EQ(LocalFile(), newBytes);
    ASSERT_NE(began, Clock::time_point{}) << "the upload was never seen under way";
    Clock::duration upload = (ended != Clock::time_point{} ? ended : Clock::now()) - began;

    // The machine under test holds the old project's file.
    machine_ = scratch_ / "machine";
    fs::create_directories(machine_);
    const ToolRun first =
        Ksym({"--station", oldStation.address(), "--timeout", "10000", "symbols", "Plant.Unit1"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    ASSERT_EQ(LocalFile(), oldBytes);
    const fs::path local = FilesEndingIn(".sdb").at(0);

    // Kills at moments of the upload, the last ones around its end: the file's last write,
    // its reading and its rename. The moments are fractions of the shortest upload seen so
    // far: a load the kill came too late for shows how long its upload really took (a
    // machine busy with other tests makes the first measure long), and the round goes on
    // until enough kills landed while an upload was under way.
    const std::vector<double> fractions = {0.0, 0.25, 0.5, 0.75, 0.95, 1.0, 1.1};
    int killedUploading = 0;
    for (size_t round = 0; round < 3 * fractions.size(); ++round) {
        if (round >= fractions.size() && killedUploading >= 4) {
            break;
        }
        const double fraction = fractions[round % fractions.size()];
        SCOPED_TRACE("killed at " + std::to_string(fraction) + " of the upload");
        const auto delay = std::chrono::duration_cast<Clock::duration>(upload * fraction);
        Clock::time_point seen{};
        Clock::time_point gone{};
        bool killed = false;
        Ksym(load, [&](pid_t pid, const std::string&) {
            const bool uploading = Uploading();
            if (seen == Clock::time_point{} && uploading) {
                seen = Clock::now();
            } else if (seen != Clock::time_point{} && !uploading && gone == Clock::time_point{}) {
                gone = Clock::now();
            }
            if (!killed && seen != Clock::time_point{} && Clock::now() - seen >= delay) {
                killedUploading += uploading ? 1 : 0;
                kill(pid, SIGKILL);
                killed = true;
            }
        });
        if (gone != Clock::time_point{} && gone - seen < upload) {
            upload = gone - seen;
        }
        const std::vector<uint8_t> after = LocalFile();
        EXPECT_TRUE(after == oldBytes || after == newBytes)
            << "a local file of " << after.size() << " bytes was left";
        if (after == newBytes) {
            // The load got through: the old file again, so that the next run uploads too.
            std::string error;
            ASSERT_TRUE(formats::WriteFileBytes(local.string(), oldBytes, error)) << error;
        }
        RemovePartFiles(); // what a killed upload leaves beside the local file
    }
    EXPECT_GE(killedUploading, 4) << "too few kills landed while the upload was under way";

    // The next load uploads and succeeds.
    const ToolRun last = Ksym(load);
    EXPECT_EQ(last.exitCode, 0) << last.err;
    EXPECT_NE(last.out.find("Plant.Unit00001.Sensor.Value"), std::string::npos) << last.out;
    EXPECT_EQ(LocalFile(), newBytes);
    EXPECT_FALSE(Uploading()) << "a completed upload left its part file";
}

} // namespace
