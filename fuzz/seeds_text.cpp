// Seeds of the targets that take texts: registry files as the library and a hand write
// them, project descriptions (the sample project's own, split in two so that each half stays
// small, the documented example, and faulty ones), and value texts of every type.
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "formats/symbol_file_location.h"
#include "fuzz/seeds.h"
#include "plcsim/sample_description.h"

namespace ksymseeds {

namespace {

using Bytes = std::vector<uint8_t>;

Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A registry_file input: the text, then edits of (key, name, type, data).
struct RegistryEdit {
    std::string key;
    std::string name;
    uint32_t type;
    std::string data;
};

Bytes RegistryInput(const std::string& text, const std::vector<RegistryEdit>& edits) {
    Bytes out = {static_cast<uint8_t>(text.size()), static_cast<uint8_t>(text.size() >> 8)};
    out.insert(out.end(), text.begin(), text.end());
    for (const RegistryEdit& edit : edits) {
        out.push_back(static_cast<uint8_t>(edit.key.size()));
        out.insert(out.end(), edit.key.begin(), edit.key.end());
        out.push_back(static_cast<uint8_t>(edit.name.size()));
        out.insert(out.end(), edit.name.begin(), edit.name.end());
        if (edit.type < 0xFF) {
            out.push_back(static_cast<uint8_t>(edit.type));
        } else {
            out.push_back(0xFF);
            for (int i = 0; i < 4; ++i) {
                out.push_back(static_cast<uint8_t>(edit.type >> (8 * i)));
            }
        }
        out.push_back(static_cast<uint8_t>(edit.data.size()));
        out.insert(out.end(), edit.data.begin(), edit.data.end());
    }
    return out;
}

using formats::kConfigKey;

bool WriteRegistrySeeds(const std::string& dir) {
    // What the library writes after a first load.
    const std::string written = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Korvan "
                                "Server\\Config]\n\"Files\"=\"/home/me/.local/share/ksymbol/"
                                "windows\\\\Korvan Files\"\n";
    // What a hand writes: a byte-order mark, CR LF, comments, another root, values of every
    // form, a hex value continued over lines, case that differs, a value given twice.
    const std::string byHand =
        "\xEF\xBB\xBFREGEDIT4\r\n\r\n; settings\r\n"
        "[HKEY_CURRENT_USER\\Software\\Other]\r\n\"Ignored\"=\"yes\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\quorvane\\Korvan Server\\Config]\r\n"
        "\"Files\"=\"C:\\Korvan Files\"\r\n\"EnableSymbolFileUpload\"=dword:00000001\r\n"
        "@=\"default\"\r\n\"Raw\"=hex:01,02,0a,ff\r\n\"Long\"=hex(7):41,00,42,00,\\\r\n"
        "  43,00,00,00\r\n\"Say \\\"hi\\\"\"=\"a\\\"b\\\\c\"\r\n\"files\"=\"/again\"\r\n"
        "garbage line\r\n[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Korvan Server\\Config\\Sub]\r\n"
        "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n";
    // A file that ends inside a continued line, and one of odd section lines.
    const std::string dangling = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=hex:01,\\";
    const std::string oddSections = "[HKEY_LOCAL_MACHINE]\n\"Top\"=dword:ffffffff\n[-HKEY_LOCAL_"
                                    "MACHINE\\Gone]\n[HKEY_LOCAL_MACHINE\\\\A\\\\B\\]\n\"N\"=\"v\""
                                    "\n[broken\n\"After\"=dword:1\n";
    const std::string nul(1, '\0');
    return WriteSeed(dir + "library_written.reg", RegistryInput(written, {})) &&
           WriteSeed(dir + "library_edits.reg",
                     RegistryInput(written, {{kConfigKey, "Files", 1, "/srv/ksymbol/symbols" + nul},
                                             {kConfigKey, "EnableSymbolFileUpload", 4,
                                              std::string("\x01\x00\x00\x00", 4)}})) &&
           WriteSeed(dir + "by_hand.reg",
                     RegistryInput(byHand, {{"software\\QUORVANE\\Korvan Server\\config", "FILES",
                                             1, "x\\y\"z" + nul},
                                            {kConfigKey, "New", 3, std::string("\x00\xff", 2)},
                                            {"Software\\Quorvane", "", 2, "%ROOT%" + nul}})) &&
           WriteSeed(dir + "empty_then_edits.reg",
                     RegistryInput("", {{"", "Top", 4, "\x01\x02\x03\x04"},
                                        {"A\\\\B\\", "multi", 7, "a" + nul + "b" + nul + nul},
                                        {"A\\B", "odd dword", 4, "\x01\x02"},
                                        {"A\\B", "no nul", 1, "text"},
                                        {"A\\B", "lines", 1, "one\r\ntwo" + nul},
                                        {"C", "big type", 0x12345678, "\x07"}})) &&
           WriteSeed(dir + "dangling_continuation.reg",
                     RegistryInput(dangling, {{"A", "Y", 4, std::string("\x05\x00\x00\x00", 4)},
                                              {"B", "Z", 1, "z" + nul}})) &&
           WriteSeed(dir + "odd_sections.reg",
                     RegistryInput(oddSections, {{"A\\B", "N", 1, "w" + nul}}));
}

// The words of a description line, without its comment.
std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// The sample project's description without comments, with only the variables of the given
// areas and the plant lines about them.
std::string SampleHalf(const std::set<std::string>& areas) {
    std::istringstream in(plcsim::SampleDescriptionText());
    std::set<std::string> declared;
    std::string out;
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> words = Words(line);
        if (words.empty() || line.find('"') != std::string::npos) {
            if (!words.empty() && words[0] == "init") {
                // A quoted text value: kept when its variable is.
                if (declared.count(words[1]) != 0) {
                    out += line + "\n";
                }
            }
            continue;
        }
        bool keep = true;
        if (words[0] == "var") {
            keep = words.size() > 7 && areas.count(words[5]) != 0;
            if (keep) {
                declared.insert(words[1]);
            }
        } else if (words[0] != "project" && words[0] != "id" && words[0] != "version" &&
                   words[0] != "type") {
            // A plant line: every variable it names must be there.
            keep = declared.count(words[1]) != 0;
            for (size_t i = 2; i + 1 < words.size(); ++i) {
                if (words[i] == "source" || words[i] == "while") {
                    keep = keep && declared.count(words[i + 1]) != 0;
                }
            }
        }
        if (keep) {
            out += line + "\n";
        }
    }
    return out;
}

bool WriteDescriptionSeeds(const std::string& dir) {
    const std::string example = "# One station with a motor.\n"
                                "project SAMPLE.PRO\nid 0x2026120B\n\n"
                                "type BOOL code 1 size 1\ntype INT code 5 size 2\n"
                                "type STR20 code 13 size 21 extra 20\n"
                                "type INTARR10 code 9 size 20 base INT count 10\n\n"
                                "var Line1.Motor1.Running type BOOL area 1 offset 0\n"
                                "var Line1.Motor1.Speed type INT area 2 offset 0\n"
                                "var Line1.Recipe type STR20 area 3 offset 0\n"
                                "var Line1.Counts type INTARR10 area 3 offset 22 tag 0\n";
    const std::string plant =
        "project P\r\nid 7\r\nversion 0\r\n"
        "type BOOL code 1 size 1\ntype INT code 5 size 2\ntype REAL code 7 size 4\n"
        "type LINT code 6 size 8\ntype DB code 11 size 8 extra 5\n"
        "type DBS code 9 size 16 base DB count 2\ntype TEXT code 8 size 6\n"
        "var Enable type BOOL area 2 offset 1\nvar Speed type INT area 2 offset 4\n"
        "var Actual type INT area 1 offset 8 tag 0xFFFF\nvar Temp type REAL area 1 offset 40\n"
        "var Count type LINT area 3 offset 0\nvar Blocks type DBS area 3 offset 8\n"
        "var Far type INT area 65535 offset 4294967295\nvar Name type TEXT area 0 offset 600\n"
        "init Enable true\ninit Speed 0x7FFF\ninit Blocks 0x00112233445566778899aabbccddeeff\n"
        "init Name \"a \\\"b\\\"\"\ninit Far -1\n"
        "follow Actual source Speed rate 0.5 while Enable\n"
        "sine Temp mean -1e3 amplitude 1e30 period 0.001\n"
        "counter Count step -3 every 10000000\nramp Far from -40000 to 40000 period 1\n";
    return WriteSeed(dir + "sample_inputs_outputs.sdbdesc", BytesOf(SampleHalf({"1", "2"}))) &&
           WriteSeed(dir + "sample_memory.sdbdesc", BytesOf(SampleHalf({"3"}))) &&
           WriteSeed(dir + "documented_example.sdbdesc", BytesOf(example)) &&
           WriteSeed(dir + "plant_edges.sdbdesc", BytesOf(plant)) &&
           WriteSeed(dir + "later_declared_base.sdbdesc",
                     BytesOf("project A\nid 1\ntype A code 9 size 4 base B count 2\n"
                             "type B code 2 size 1\n")) &&
           WriteSeed(dir + "unterminated_quote.sdbdesc", BytesOf("project \"A B\nid 1\n")) &&
           WriteSeed(dir + "numbers_out_of_range.sdbdesc",
                     BytesOf("project A\nid 0x100000000\ntype T code 9 size 1 base T count "
                             "1048577\nvar V type T area 65536 offset 1\n"));
}

// A value_text input: the type name's index (bit 7: the name's own size), the size, the text.
Bytes ValueInput(uint8_t name, uint16_t size, const std::string& text) {
    Bytes out = {name, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)};
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

// Indexes into value_text_fuzz's table of type names.
constexpr uint8_t kOwnSize = 0x80;
constexpr uint8_t kBool = 0, kByte = 1, kSint = 3, kWord = 4, kInt = 6, kDword = 7, kDint = 10,
                  kUlint = 12, kLint = 13, kReal = 14, kLreal = 15, kStr = 18, kIntArr = 20,
                  kData = 22;

bool WriteValueSeeds(const std::string& dir) {
    struct Seed {
        const char* file;
        Bytes input;
    };
    const std::vector<Seed> seeds = {
        {"bool_true.txt", ValueInput(kBool | kOwnSize, 0, "true")},
        {"bool_zero.txt", ValueInput(kBool | kOwnSize, 0, "0")},
        {"byte_hex.txt", ValueInput(kByte | kOwnSize, 0, "0xFF")},
        {"sint_min.txt", ValueInput(kSint | kOwnSize, 0, "-128")},
        {"word_too_big.txt", ValueInput(kWord | kOwnSize, 0, "65536")},
        {"int_speed.txt", ValueInput(kInt | kOwnSize, 0, "1450")},
        {"int_hex_pattern.txt", ValueInput(kInt | kOwnSize, 0, "0xFFFF")},
        {"dword_status.txt", ValueInput(kDword | kOwnSize, 0, "4294967295")},
        {"dint_position.txt", ValueInput(kDint | kOwnSize, 0, "-12000")},
        {"ulint_max.txt", ValueInput(kUlint | kOwnSize, 0, "18446744073709551615")},
        {"lint_min.txt", ValueInput(kLint | kOwnSize, 0, "-9223372036854775808")},
        {"real_weight.txt", ValueInput(kReal | kOwnSize, 0, "12.5")},
        {"real_largest.txt", ValueInput(kReal | kOwnSize, 0, "3.4028235e+38")},
        {"real_smallest.txt", ValueInput(kReal | kOwnSize, 0, "1e-45")},
        {"real_nan.txt", ValueInput(kReal | kOwnSize, 0, "nan")},
        {"lreal_temperature.txt", ValueInput(kLreal | kOwnSize, 0, "68.5")},
        {"lreal_exponent.txt", ValueInput(kLreal | kOwnSize, 0, "-1.7976931348623157e308")},
        {"lreal_inf.txt", ValueInput(kLreal | kOwnSize, 0, "-inf")},
        {"text_recipe.txt", ValueInput(kStr | kOwnSize, 0, "Bread 750g")},
        {"text_full.txt", ValueInput(kStr | kOwnSize, 0, "twenty characters!!!")},
        {"text_escapes.txt", ValueInput(kStr | kOwnSize, 0, "a\"b\\c\x01\xff")},
        {"int_array.txt", ValueInput(kIntArr | kOwnSize, 0,
                                     "[120, 135, 98, 142, 151, 88, 117, "
                                     "125, 104, 111]")},
        {"int_array_plain.txt", ValueInput(kIntArr | kOwnSize, 0, "3,0,12,7,0,1,4,9,2,-32768")},
        {"bytes_data.txt", ValueInput(kData, 8, "0x0011223344556677")},
        {"bytes_odd.txt", ValueInput(kData, 3, "abcdeF")},
        {"int_of_other_size.txt", ValueInput(kInt, 3, "0a0b0c")},
        {"empty_variable.txt", ValueInput(kData, 0, "")},
    };
    for (const Seed& seed : seeds) {
        if (!WriteSeed(dir + seed.file, seed.input)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool WriteTextSeeds(const std::string& corpus) {
    return WriteRegistrySeeds(corpus + "/registry_file/") &&
           WriteDescriptionSeeds(corpus + "/sdb_description/") &&
           WriteValueSeeds(corpus + "/value_text/");
}

} // namespace ksymseeds
