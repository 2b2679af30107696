#include "tools/ksym/watch_output.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "tools/ksym/value_table.h"

namespace ksymtool {

namespace {

constexpr size_t kTimeWidth = 24; // 2026-12-08T15:04:05.123Z

bool Same(const ReadValue& a, const ReadValue& b) {
    return a.valid == b.valid && (!a.valid || a.bytes == b.bytes);
}

// A CSV field: quoted when it holds a comma, a quote or a line end, quotes doubled.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

// A value as a CSV cell: a text as its plain characters, anything else as the table shows it.
std::string CsvValue(const Variable& variable, const ReadValue& value) {
    if (value.valid && variable.shape.kind == ValueKind::kText) {
        return CsvField(ValueJson(variable.shape, value.bytes.data()).get<std::string>());
    }
    return CsvField(ValueText(variable, value));
}

std::string Pad(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

} // namespace

bool ParseWatchFormat(const std::string& text, WatchFormat& format) {
    if (text == "table") {
        format = WatchFormat::kTable;
    } else if (text == "csv") {
        format = WatchFormat::kCsv;
    } else if (text == "jsonl") {
        format = WatchFormat::kJsonLines;
    } else {
        return false;
    }
    return true;
}

std::string IsoTimeNow() {
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

std::string WatchOutput::Header(const std::vector<Variable>& variables) {
    std::string line;
    if (format_ == WatchFormat::kCsv) {
        line = "time";
        for (const Variable& variable : variables) {
            line += "," + CsvField(variable.name);
        }
        return line + "\n";
    }
    line = Pad("TIME", kTimeWidth);
    widths_.clear();
    for (const Variable& variable : variables) {
        widths_.push_back(std::max<size_t>(variable.name.size(), 8));
        line += "  " + Pad(variable.name, widths_.back());
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line + "\n";
}

std::string WatchOutput::Record(const std::string& time, uint64_t tick,
                                const std::vector<Variable>& variables,
                                const std::vector<ReadValue>& values) {
    // Which values to print: all the first time, else the changed ones when asked.
    std::vector<bool> shown(values.size(), true);
    bool any = last_.empty();
    if (changes_ && !last_.empty()) {
        for (size_t i = 0; i < values.size(); ++i) {
            shown[i] = !Same(values[i], last_[i]);
            any = any || shown[i];
        }
        if (!any) {
            return "";
        }
    }
    last_ = values;

    std::string out;
    if (format_ == WatchFormat::kJsonLines) {
        nlohmann::json list = nlohmann::json::array();
        const nlohmann::json all = ValuesJson(variables, values);
        for (size_t i = 0; i < values.size(); ++i) {
            if (shown[i]) {
                list.push_back(all[i]);
            }
        }
        const nlohmann::json line = {{"time", time}, {"tick", tick}, {"values", list}};
        return DumpJson(line, -1) + "\n";
    }
    if (!headed_) {
        out += Header(variables);
        headed_ = true;
    }
    std::string line;
    if (format_ == WatchFormat::kCsv) {
        line = time;
        for (size_t i = 0; i < values.size(); ++i) {
            line += "," + (shown[i] ? CsvValue(variables[i], values[i]) : std::string());
        }
    } else {
        line = Pad(time, kTimeWidth);
        for (size_t i = 0; i < values.size(); ++i) {
            line += "  " + Pad(shown[i] ? ValueText(variables[i], values[i]) : "", widths_[i]);
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
    }
    return out + line + "\n";
}

} // namespace ksymtool
