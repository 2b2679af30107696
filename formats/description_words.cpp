#include "formats/description_words.h"

#include <cmath>
#include <cstdlib>

namespace formats {
namespace description {

bool SplitLine(const std::string& line, Tokens& tokens, std::string& message) {
    tokens.clear();
    size_t at = 0;
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (at < line.size()) {
        if (blank(line[at])) {
            ++at;
            continue;
        }
        if (line[at] == '#') {
            break;
        }
        std::string word;
        if (line[at] == '"') {
            ++at;
            bool closed = false;
            while (at < line.size() && !closed) {
                const char c = line[at++];
                if (c == '"') {
                    closed = true;
                } else if (c == '\\' && at < line.size() && (line[at] == '"' || line[at] == '\\')) {
                    word.push_back(line[at++]);
                } else {
                    word.push_back(c);
                }
            }
            if (!closed) {
                message = "a quoted word does not end";
                return false;
            }
        } else {
            while (at < line.size() && !blank(line[at]) && line[at] != '#') {
                word.push_back(line[at++]);
            }
        }
        tokens.push_back(std::move(word));
    }
    return true;
}

bool ParseReal(const std::string& text, double& value) {
    if (text.empty() || text.find_first_of(" \t") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

bool ParseNumber(const std::string& text, uint32_t max, uint32_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && text[1] == 'x';
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) {
        return false;
    }
    const uint64_t base = hex ? 16 : 10;
    uint64_t parsed = 0;
    for (char c : digits) {
        const uint64_t digit = c <= '9'   ? static_cast<uint64_t>(c - '0')
                               : c <= 'F' ? static_cast<uint64_t>(c - 'A' + 10)
                                          : static_cast<uint64_t>(c - 'a' + 10);
        parsed = parsed * base + digit;
        if (parsed > max) {
            return false;
        }
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool Number(const std::string& key, const std::string& text, uint32_t max, uint32_t& value,
            std::string& message) {
    if (!ParseNumber(text, max, value)) {
        message = "'" + key + "' needs a number from 0 to " + std::to_string(max) + ", not '" +
                  text + "'";
        return false;
    }
    return true;
}

bool ParsePairs(const Tokens& tokens, const std::set<std::string>& allowed, Pairs& pairs,
                std::string& message) {
    if (tokens.size() < 2) {
        message = "'" + tokens[0] + "' needs a name";
        return false;
    }
    for (size_t i = 2; i < tokens.size(); i += 2) {
        const std::string& key = tokens[i];
        if (allowed.count(key) == 0) {
            message = "unknown field '" + key + "'";
            return false;
        }
        if (i + 1 == tokens.size()) {
            message = "'" + key + "' needs a value";
            return false;
        }
        if (!pairs.emplace(key, tokens[i + 1]).second) {
            message = "'" + key + "' given twice";
            return false;
        }
    }
    return true;
}

const std::string* Present(const Pairs& pairs, const std::string& key, std::string& message) {
    const auto found = pairs.find(key);
    if (found == pairs.end()) {
        message = "'" + key + "' is missing";
        return nullptr;
    }
    return &found->second;
}

bool Required(const Pairs& pairs, const std::string& key, uint32_t max, uint32_t& value,
              std::string& message) {
    const std::string* text = Present(pairs, key, message);
    return text != nullptr && Number(key, *text, max, value, message);
}

bool Optional(const Pairs& pairs, const std::string& key, uint32_t max, uint32_t& value,
              std::string& message) {
    const auto found = pairs.find(key);
    return found == pairs.end() || Number(key, found->second, max, value, message);
}

bool Real(const Pairs& pairs, const std::string& key, double& value, std::string& message) {
    const std::string* text = Present(pairs, key, message);
    if (text == nullptr) {
        return false;
    }
    if (!ParseReal(*text, value)) {
        message = "'" + key + "' needs a number, not '" + *text + "'";
        return false;
    }
    return true;
}

} // namespace description
} // namespace formats
