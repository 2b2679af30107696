#include "tools/ksym/publish/write_inbox.h"

#include <nlohmann/json.hpp>

namespace ksymtool {

std::string WriteText(const std::string& payload) {
    const nlohmann::json parsed = nlohmann::json::parse(payload, nullptr, false);
    return parsed.is_string() ? parsed.get<std::string>() : payload;
}

} // namespace ksymtool
