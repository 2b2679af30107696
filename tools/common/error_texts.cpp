#include "tools/common/error_texts.h"

#include <cstdlib>
#include <map>

namespace ksymtool {

namespace {

// Lines "CODE<TAB>NAMES<TAB>TEXT"; comments (#) and blank lines are skipped.
std::map<int32_t, std::string> ParseTable(const std::string& table) {
    std::map<int32_t, std::string> texts;
    size_t start = 0;
    while (start < table.size()) {
        size_t end = table.find('\n', start);
        if (end == std::string::npos) {
            end = table.size();
        }
        const std::string line = table.substr(start, end - start);
        start = end + 1;
        const size_t names = line.find('\t');
        const size_t text = names == std::string::npos ? names : line.find('\t', names + 1);
        if (line.empty() || line[0] == '#' || text == std::string::npos) {
            continue;
        }
        texts[static_cast<int32_t>(std::strtol(line.c_str(), nullptr, 10))] = line.substr(text + 1);
    }
    return texts;
}

} // namespace

std::string ErrorText(int32_t code) {
    static const std::map<int32_t, std::string> texts = ParseTable(ErrorTextTable());
    const auto found = texts.find(code);
    return found != texts.end() ? found->second : "the request failed";
}

} // namespace ksymtool
