// The formats library's walk of a symbol file (used by the recorder and the replaying
// simulator, which do not hold the library's table) against the library's reader: on the
// sample project's file, on every file cut short from it and on every file with one byte
// changed, both give the same verdict and, when they accept, the same entries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extern/kutil.h"
#include "formats/sdb_symbols.h"
#include "frame/channel_context.h"
#include "plcsim/project.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_table.h"

namespace {

// The disagreement between the two readers of `bytes`, or "" when there is none.
std::string Disagreement(std::vector<uint8_t> bytes) {
    uint32_t projectId = 0;
    std::vector<formats::SdbSymbol> walked;
    const bool walkAccepts = formats::ReadSdbSymbols(bytes, projectId, walked);
    const auto size = static_cast<long>(bytes.size());
    bytes.push_back(0); // a memory device needs memory even for an empty file
    ksym::ChannelContext context;
    KMemSerDev device(reinterpret_cast<char*>(bytes.data()), size, SD_READ);
    const bool readerAccepts = ksym::ReadSdbFile(device, context) == 1;
    std::string why;
    if (walkAccepts != readerAccepts) {
        why = readerAccepts ? "only the reader accepts" : "only the walk accepts";
    } else if (readerAccepts) {
        if (walked.size() != static_cast<size_t>(context.symbolCount) ||
            static_cast<int32_t>(projectId) != context.projectId.load()) {
            why = "other count or project id";
        }
        for (size_t i = 0; why.empty() && i < walked.size(); ++i) {
            const SymbolEntry& entry = context.symbols[i];
            const formats::SdbSymbol& symbol = walked[i];
            if (symbol.name != entry.name || symbol.typeName != entry.typeName ||
                symbol.area != entry.area || symbol.offset != entry.offset ||
                symbol.size != entry.size || symbol.elementSize != context.elementSizes[i]) {
                why = "entry " + std::to_string(i) + " differs";
            }
        }
    }
    ksym::ClearSymbolTable(context);
    return why;
}

TEST(SdbWalk, AgreesWithTheLibraryReaderOnEveryCutAndEveryChangedByte) {
    const std::vector<uint8_t> sample = *plcsim::SampleProject().sdb;
    ASSERT_GT(sample.size(), 100u);
    uint32_t projectId = 0;
    std::vector<formats::SdbSymbol> symbols;
    ASSERT_TRUE(formats::ReadSdbSymbols(sample, projectId, symbols));
    EXPECT_EQ(symbols.size(), 40u);
    bool someArraySwapsPerElement = false;
    for (const formats::SdbSymbol& symbol : symbols) {
        someArraySwapsPerElement = someArraySwapsPerElement ||
                                   (symbol.elementSize > 1 && symbol.size > symbol.elementSize);
    }
    EXPECT_TRUE(someArraySwapsPerElement) << "the sample should hold an integer array";
    EXPECT_EQ(Disagreement(sample), "");
    for (size_t length = 0; length < sample.size(); ++length) {
        const std::vector<uint8_t> cut(sample.begin(), sample.begin() + length);
        ASSERT_EQ(Disagreement(cut), "") << "cut to " << length << " bytes";
    }
    for (size_t at = 0; at < sample.size(); ++at) {
        for (const unsigned flip : {0x01u, 0x80u, 0xFFu}) {
            std::vector<uint8_t> changed = sample;
            changed[at] = static_cast<uint8_t>(changed[at] ^ flip);
            ASSERT_EQ(Disagreement(changed), "") << "byte " << at << " ^ " << flip;
        }
    }
}

} // namespace
