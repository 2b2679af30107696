// Reading, editing and atomically rewriting the REGEDIT4 text of the registry.
#include "platform/registry_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/descriptor.h"
#include "platform/last_error.h"

namespace kplatform {

namespace {

const char kRootName[] = "HKEY_LOCAL_MACHINE";

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_space(char c) {
    return c == ' ' || c == '\t';
}

std::string trim(const std::string& s) {
    std::size_t first = 0;
    std::size_t end = s.size();
    while (first < end && is_space(s[first]))
        ++first;
    while (end > first && is_space(s[end - 1]))
        --end;
    return s.substr(first, end - first);
}

std::string trim_right(const std::string& s) {
    std::size_t end = s.size();
    while (end > 0 && is_space(s[end - 1]))
        --end;
    return s.substr(0, end);
}

void skip_spaces(const std::string& s, std::size_t& pos) {
    while (pos < s.size() && is_space(s[pos]))
        ++pos;
}

bool take_word(const std::string& s, std::size_t& pos, const char* word) {
    std::size_t at = pos;
    for (const char* w = word; *w; ++w, ++at) {
        if (at >= s.size() || lower(s[at]) != lower(*w))
            return false;
    }
    pos = at;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// 1 to `most` hex digits.
bool take_hex(const std::string& s, std::size_t& pos, std::size_t most, std::uint32_t& value) {
    std::size_t count = 0;
    value = 0;
    while (pos < s.size() && count < most && hex_digit(s[pos]) >= 0) {
        value = value << 4 | static_cast<std::uint32_t>(hex_digit(s[pos]));
        ++pos;
        ++count;
    }
    return count > 0 && (pos >= s.size() || hex_digit(s[pos]) < 0);
}

// A "..." string with \\ and \" escapes. A backslash before anything else stays as it is,
// so that a path typed by hand with single backslashes still reads as meant.
bool take_quoted(const std::string& s, std::size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"')
        return false;
    out.clear();
    for (std::size_t at = pos + 1; at < s.size(); ++at) {
        const char c = s[at];
        if (c == '"') {
            pos = at + 1;
            return true;
        }
        if (c == '\\' && at + 1 < s.size() && (s[at + 1] == '\\' || s[at + 1] == '"'))
            ++at;
        out.push_back(s[at]);
    }
    return false;
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// Comma-separated bytes of one or two hex digits up to the end of the line.
bool take_bytes(const std::string& s, std::size_t pos, std::vector<BYTE>& out) {
    out.clear();
    skip_spaces(s, pos);
    while (pos < s.size()) {
        std::uint32_t byte = 0;
        if (!take_hex(s, pos, 2, byte))
            return false;
        out.push_back(static_cast<BYTE>(byte));
        skip_spaces(s, pos);
        if (pos == s.size())
            break;
        if (s[pos] != ',')
            return false;
        ++pos;
        skip_spaces(s, pos);
    }
    return true;
}

// The name of a value line and the position after its '=' (and the spaces after it).
bool take_name(const std::string& s, std::size_t& pos, std::string& name) {
    pos = 0;
    if (s.empty())
        return false;
    if (s[0] == '@') {
        name.clear();
        pos = 1;
    } else if (!take_quoted(s, pos, name)) {
        return false;
    }
    skip_spaces(s, pos);
    if (pos >= s.size() || s[pos] != '=')
        return false;
    ++pos;
    skip_spaces(s, pos);
    return true;
}

bool parse_value(const std::string& line, RegistryValue& value) {
    std::size_t pos = 0;
    if (!take_name(line, pos, value.name))
        return false;
    if (pos < line.size() && line[pos] == '"') {
        std::string text;
        if (!take_quoted(line, pos, text))
            return false;
        skip_spaces(line, pos);
        if (pos != line.size())
            return false;
        value.type = REG_SZ;
        value.data.assign(text.begin(), text.end());
        value.data.push_back(0);
        return true;
    }
    if (take_word(line, pos, "dword:")) {
        std::uint32_t number = 0;
        if (!take_hex(line, pos, 8, number))
            return false;
        skip_spaces(line, pos);
        if (pos != line.size())
            return false;
        value.type = REG_DWORD;
        value.data.clear();
        for (int shift = 0; shift < 32; shift += 8)
            value.data.push_back(static_cast<BYTE>(number >> shift));
        return true;
    }
    if (take_word(line, pos, "hex(")) {
        std::uint32_t type = 0;
        if (!take_hex(line, pos, 8, type) || !take_word(line, pos, "):"))
            return false;
        value.type = type;
        return take_bytes(line, pos, value.data);
    }
    if (take_word(line, pos, "hex:")) {
        value.type = REG_BINARY;
        return take_bytes(line, pos, value.data);
    }
    return false;
}

// Regedit continues long hex data on the next line after a trailing '\'.
bool continues(const std::string& logical) {
    const std::string line = trim(logical);
    std::size_t pos = 0;
    std::string name;
    return !line.empty() && line.back() == '\\' && take_name(line, pos, name) &&
           take_word(line, pos, "hex");
}

bool parse_section(const std::string& line, bool& local_machine, KeyPath& key) {
    local_machine = false;
    key.clear();
    if (line.size() < 2 || line.front() != '[' || line.back() != ']')
        return false;
    const std::string inside = line.substr(1, line.size() - 2);
    const std::size_t slash = inside.find('\\');
    if (!same_name(inside.substr(0, slash), kRootName)) // also [-...], which deletes a key
        return false;
    if (slash != std::string::npos)
        key = split_key_path(inside.c_str() + slash + 1);
    local_machine = true;
    return true;
}

std::string format_bytes(const std::vector<BYTE>& data) {
    std::string out;
    char digits[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(data[i]));
        if (i > 0)
            out.push_back(',');
        out += digits;
    }
    return out;
}

// A REG_SZ that fits in a "..." line: one NUL, at the end, and no line breaks.
bool is_plain_string(const RegistryValue& value) {
    if (value.type != REG_SZ || value.data.empty() || value.data.back() != 0)
        return false;
    for (std::size_t i = 0; i + 1 < value.data.size(); ++i) {
        const BYTE c = value.data[i];
        if (c == 0 || c == '\n' || c == '\r')
            return false;
    }
    return true;
}

std::string format_value(const RegistryValue& value) {
    std::string line = value.name.empty() ? "@" : quoted(value.name);
    line.push_back('=');
    if (is_plain_string(value)) {
        line += quoted(std::string(value.data.begin(), value.data.end() - 1));
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        const std::uint32_t number = static_cast<std::uint32_t>(value.data[0]) |
                                     static_cast<std::uint32_t>(value.data[1]) << 8 |
                                     static_cast<std::uint32_t>(value.data[2]) << 16 |
                                     static_cast<std::uint32_t>(value.data[3]) << 24;
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
        line += "dword:";
        line += digits;
    } else if (value.type == REG_BINARY) {
        line += "hex:" + format_bytes(value.data);
    } else {
        char type[16];
        std::snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(value.type));
        line += type + format_bytes(value.data);
    }
    return line;
}

std::string format_section(const KeyPath& key) {
    std::string line = std::string("[") + kRootName;
    for (const std::string& name : key)
        line += "\\" + name;
    return line + "]";
}

bool starts_with(const KeyPath& path, const KeyPath& prefix) {
    if (path.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (!same_name(path[i], prefix[i]))
            return false;
    }
    return true;
}

// Closes a descriptor, and removes the temporary file unless it was renamed into place.
class TemporaryFile {
public:
    TemporaryFile(int descriptor, std::string path)
        : descriptor_(descriptor), path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (descriptor_ >= 0)
            ::close(descriptor_);
        if (!kept_)
            ::unlink(path_.c_str());
    }
    int descriptor() const { return descriptor_; }
    const std::string& path() const { return path_; }
    bool close() {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return ::close(descriptor) == 0;
    }
    void keep() { kept_ = true; }

private:
    int descriptor_;
    std::string path_;
    bool kept_ = false;
};

} // namespace

bool same_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

bool storable_name(const std::string& name) {
    return name.find_first_of("\r\n") == std::string::npos;
}

bool storable_path(const KeyPath& key) {
    for (const std::string& name : key) {
        if (!storable_name(name))
            return false;
    }
    return true;
}

bool same_path(const KeyPath& a, const KeyPath& b) {
    return a.size() == b.size() && starts_with(a, b);
}

KeyPath split_key_path(const char* subKey) {
    KeyPath path;
    if (!subKey)
        return path;
    std::string name;
    for (const char* c = subKey;; ++c) {
        if (*c == '\\' || *c == '\0') {
            if (!name.empty())
                path.push_back(name);
            name.clear();
            if (*c == '\0')
                return path;
        } else {
            name.push_back(*c);
        }
    }
}

RegistryText::RegistryText(const std::string& text) {
    parse(text);
}

void RegistryText::parse(const std::string& text) {
    std::vector<std::string> physical;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        physical.push_back(std::move(line));
        start = end + 1;
    }
    for (std::size_t i = 0; i < physical.size(); ++i) {
        Line line;
        line.raw.push_back(physical[i]);
        std::string content = physical[i];
        if (i == 0 && content.compare(0, 3, "\xEF\xBB\xBF") == 0) // a byte-order mark
            content.erase(0, 3);
        const std::string trimmed = trim(content);
        if (!trimmed.empty() && trimmed[0] == '[') {
            // Even a section line that is not understood ends the section before it, so that
            // the values below it are not taken for values of another key.
            line.kind = Line::Section;
            parse_section(trimmed, line.local_machine, line.key);
        } else if (!trimmed.empty() && (trimmed[0] == '"' || trimmed[0] == '@')) {
            std::string logical = content;
            while (continues(logical) && i + 1 < physical.size()) {
                logical = trim_right(logical);
                logical.pop_back();
                logical += trim(physical[++i]);
                line.raw.push_back(physical[i]);
            }
            line.dangling = continues(logical);
            if (parse_value(trim(logical), line.value))
                line.kind = Line::Value;
        }
        lines_.push_back(std::move(line));
    }
}

bool RegistryText::has_key(const KeyPath& key) const {
    if (key.empty())
        return true;
    for (const Line& line : lines_) {
        if (line.kind == Line::Section && line.local_machine && starts_with(line.key, key))
            return true;
    }
    return false;
}

std::vector<RegistryValue> RegistryText::values_of(const KeyPath& key) const {
    std::vector<RegistryValue> values;
    bool inside = false;
    for (const Line& line : lines_) {
        if (line.kind == Line::Section) {
            inside = line.local_machine && same_path(line.key, key);
        } else if (line.kind == Line::Value && inside) {
            bool replaced = false;
            for (RegistryValue& value : values) {
                if (same_name(value.name, line.value.name)) {
                    value = line.value;
                    replaced = true;
                }
            }
            if (!replaced)
                values.push_back(line.value);
        }
    }
    return values;
}

KeyPath RegistryText::spelled(const KeyPath& key) const {
    KeyPath result = key;
    for (std::size_t depth = 1; depth <= key.size(); ++depth) {
        const KeyPath prefix(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(depth));
        for (const Line& line : lines_) {
            if (line.kind == Line::Section && line.local_machine && starts_with(line.key, prefix)) {
                result[depth - 1] = line.key[depth - 1];
                break;
            }
        }
    }
    return result;
}

void RegistryText::append_section(const KeyPath& key) {
    auto is_blank = [](const Line& line) {
        return line.kind == Line::Other && line.raw.size() == 1 && trim(line.raw[0]).empty();
    };
    Line blank;
    blank.raw.push_back("");
    if (lines_.empty()) {
        Line header;
        header.raw.push_back("REGEDIT4");
        lines_.push_back(std::move(header));
        lines_.push_back(blank);
    } else if (!is_blank(lines_.back())) {
        lines_.push_back(blank);
    }
    Line section;
    section.kind = Line::Section;
    section.local_machine = true;
    section.key = spelled(key);
    lines_.push_back(std::move(section));
}

void RegistryText::add_key(const KeyPath& key) {
    if (!has_key(key))
        append_section(key);
}

void RegistryText::set_value(const KeyPath& key, const RegistryValue& value) {
    std::ptrdiff_t given = -1;   // the line that gives the value last
    std::ptrdiff_t section = -1; // the last section of the key
    bool inside = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == Line::Section) {
            inside = line.local_machine && same_path(line.key, key);
            if (inside)
                section = static_cast<std::ptrdiff_t>(i);
        } else if (line.kind == Line::Value && inside && same_name(line.value.name, value.name)) {
            given = static_cast<std::ptrdiff_t>(i);
        }
    }
    Line line;
    line.kind = Line::Value;
    line.value = value;
    if (given >= 0) {
        Line& old = lines_[static_cast<std::size_t>(given)];
        line.value.name = old.value.name;
        old = std::move(line);
        return;
    }
    if (section < 0) {
        append_section(key);
        lines_.push_back(std::move(line));
        return;
    }
    // After the section's last value: what follows that (blank lines, comments) is more
    // likely about the next section.
    std::size_t at = static_cast<std::size_t>(section) + 1;
    for (std::size_t i = at; i < lines_.size() && lines_[i].kind != Line::Section; ++i) {
        if (lines_[i].kind == Line::Value)
            at = i + 1;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

std::string RegistryText::text() const {
    std::string out;
    for (const Line& line : lines_) {
        if (!line.raw.empty()) {
            // A line that still ends in CR (it ended in several) is written with CR LF: read
            // back, it loses that one CR and is again the line it was.
            for (const std::string& raw : line.raw)
                out += raw + (!raw.empty() && raw.back() == '\r' ? "\r\n" : "\n");
            // A line that continued past the end would swallow the line now after it; give
            // it a comment to swallow instead, which leaves it as unreadable as it was.
            if (line.dangling && &line != &lines_.back())
                out += ";\n";
        } else if (line.kind == Line::Section) {
            out += format_section(line.key) + "\n";
        } else if (line.kind == Line::Value) {
            out += format_value(line.value) + "\n";
        }
    }
    return out;
}

DWORD read_registry_file(const std::string& path, std::string& text) {
    text.clear();
    int descriptor;
    do {
        descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return errno == ENOENT || errno == ENOTDIR ? ERROR_SUCCESS : error_from_errno(errno);
    Descriptor file(descriptor);
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return error_from_errno(errno);
        if (count == 0)
            return ERROR_SUCCESS;
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

DWORD write_registry_file(const std::string& path, const std::string& text) {
    std::string pattern = path + ".XXXXXX";
    const int descriptor = ::mkostemp(&pattern[0], O_CLOEXEC);
    if (descriptor < 0)
        return error_from_errno(errno);
    TemporaryFile temporary(descriptor, pattern);

    // Keep the permissions of the file it replaces.
    struct stat info {};
    const mode_t mode = ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;
    if (::fchmod(temporary.descriptor(), mode) != 0)
        return error_from_errno(errno);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t count =
            ::write(temporary.descriptor(), text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return count < 0 ? error_from_errno(errno) : kErrorDiskFull;
        done += static_cast<std::size_t>(count);
    }
    if (::fsync(temporary.descriptor()) != 0 || !temporary.close())
        return error_from_errno(errno);
    if (::rename(temporary.path().c_str(), path.c_str()) != 0)
        return error_from_errno(errno);
    temporary.keep();

    // Make the rename itself durable; the new file is in place whatever this gives.
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0)
        ::fsync(directory.get());
    return ERROR_SUCCESS;
}

} // namespace kplatform
