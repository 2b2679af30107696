// Feeds the input as a project description, the text `sdbtool build` and the simulator's
// project=PATH read, through everything that follows a description that parses: the SDB
// writer, the library's reader of the file written, and the plant of the description.
//
// Checked: a description that parses writes a file the reader accepts, with the project's
// identifier and every variable as the description declares it (name, the type name the
// readers give it, area, offset, the type's size, the tag bytes), in order; its plant
// starts, advances and takes writes on memories of both byte orders without fault (the
// sanitizers watch), and leaves every memory byte no variable of it covers as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "extern/kutil.h"
#include "frame/channel_context.h"
#include "fuzz/fuzz_check.h"
#include "plcsim/memory.h"
#include "plcsim/plant.h"
#include "formats/sdb_description.h"
#include "formats/sdb_writer.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_table.h"

namespace {

// Small areas keep every input quick; variables beyond them must be left alone.
constexpr uint32_t kAreaSize = 512;

std::string ReaderTypeName(const formats::SdbProject& project, uint32_t index) {
    const formats::SdbType& type = project.types[index];
    if (type.code == formats::kSdbCodeDataBlock) {
        return "DATA";
    }
    if (type.code == formats::kSdbCodeArray) {
        const uint32_t base = project.types[type.baseIndex].code;
        if (base == formats::kSdbCodeArray || base == formats::kSdbCodeDataBlock) {
            return "DATA";
        }
    }
    return type.name;
}

void CheckReadBack(const formats::SdbProject& project, std::vector<uint8_t> file) {
    const long size = static_cast<long>(file.size());
    file.push_back(0); // a memory device needs memory even for an empty file
    KMemSerDev device(reinterpret_cast<char*>(file.data()), size, SD_READ);
    ksym::ChannelContext context;
    FUZZ_CHECK(ksym::ReadSdbFile(device, context) == 1);
    FUZZ_CHECK(static_cast<uint32_t>(context.projectId.load()) == project.projectId);
    FUZZ_CHECK(static_cast<size_t>(context.symbolCount) == project.variables.size());
    for (size_t i = 0; i < project.variables.size(); ++i) {
        const formats::SdbVariable& declared = project.variables[i];
        const SymbolEntry& entry = context.symbols[i];
        FUZZ_CHECK(declared.name == entry.name);
        FUZZ_CHECK(ReaderTypeName(project, declared.typeIndex) == entry.typeName);
        FUZZ_CHECK(entry.area == declared.area);
        FUZZ_CHECK(entry.offset == declared.offset);
        FUZZ_CHECK(entry.size == project.types[declared.typeIndex].size);
        FUZZ_CHECK(entry.tag[0] == static_cast<uint8_t>(declared.tag));
        FUZZ_CHECK(entry.tag[1] == static_cast<uint8_t>(declared.tag >> 8));
    }
    ksym::ClearSymbolTable(context);
}

// Whether a plant variable covers the byte (one without bytes is written at its offset too).
bool Covered(const formats::PlantDescription& plant, uint16_t area, uint32_t offset) {
    for (const formats::PlantVariable& variable : plant.variables) {
        const uint64_t end =
            static_cast<uint64_t>(variable.offset) + std::max<uint32_t>(variable.shape.size, 1);
        if (variable.area == area && offset >= variable.offset && offset < end) {
            return true;
        }
    }
    return false;
}

void RunPlant(const std::shared_ptr<const formats::PlantDescription>& description,
              formats::ByteOrder order) {
    plcsim::Memory memory(kAreaSize);
    plcsim::Plant plant(description);
    plant.Start(memory, order, 0);
    int64_t now = 0;
    for (int64_t step : {1, 250, 999, 1000, 7001, 3600000}) {
        now += step;
        plant.Advance(memory, order, now);
    }
    // A client's writes: every variable's first byte, and a bit of it.
    for (const formats::PlantVariable& variable : description->variables) {
        const uint8_t byte = 0xA5;
        memory.Write(variable.area, variable.offset, &byte, 1);
        plant.Written(memory, order, variable.area, variable.offset, 1, now);
        plant.Written(memory, order, variable.area, variable.offset * 8u + 3u, 0, now);
    }
    plant.Advance(memory, order, now + 5000);
    for (uint16_t area = 0; area < plcsim::kMemoryAreas; ++area) {
        for (uint32_t offset = 0; offset < kAreaSize; ++offset) {
            if (Covered(*description, area, offset)) {
                continue;
            }
            uint8_t byte = 0;
            FUZZ_CHECK(memory.Read(area, offset, 1, &byte));
            FUZZ_CHECK(byte == plcsim::InitialMemoryByte(area, offset));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    formats::SdbDescription description;
    std::string error;
    if (!formats::ParseSdbDescription(text, description, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    CheckReadBack(description.project, formats::WriteSdb(description.project));
    const auto plant = std::make_shared<const formats::PlantDescription>(description.plant);
    RunPlant(plant, formats::ByteOrder::Little);
    RunPlant(plant, formats::ByteOrder::Big);
    return 0;
}
