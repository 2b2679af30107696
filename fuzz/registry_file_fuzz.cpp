// Feeds the registry file's REGEDIT4 text to RegistryText, as the platform layer reads it
// from disk (a file that may have been edited by hand), then edits it with values the input
// makes up and reads the rewritten text back, as the next call of the layer would.
//
// Input: text length T (16 bits, little-endian), T bytes of text (fewer when the input ends
// first), then edits until the input ends, each
//   key length K (1 byte), K bytes of key (split at '\' as a subkey argument is),
//   name length N (1 byte), N bytes of value name,
//   type (1 byte; 0xFF: the next 4 bytes, little-endian, are the type),
//   data length D (1 byte), D bytes of data.
// Keys and names are cut at their first NUL, as the C strings of the registry calls are;
// edits with names the file cannot hold (line breaks) are dropped, as those calls refuse them.
//
// Checked: the unedited text comes back line for line (each line's final CR dropped, every
// line ending in LF), and the text written reads back as itself; the edited text read anew gives
// every edited key the values set (in place of a value of the same name, under that name's
// spelling, else after the others), and every other key the values it had.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/registry_file.h"

namespace {

using kplatform::KeyPath;
using kplatform::RegistryText;
using kplatform::RegistryValue;

struct Edit {
    KeyPath key;
    RegistryValue value;
};

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Byte(uint8_t& value) {
        if (at_ >= size_) {
            return false;
        }
        value = data_[at_++];
        return true;
    }
    // Up to `count` bytes, fewer when the input ends.
    std::string Bytes(size_t count) {
        const size_t taken = count < size_ - at_ ? count : size_ - at_;
        std::string bytes(reinterpret_cast<const char*>(data_ + at_), taken);
        at_ += taken;
        return bytes;
    }
    bool Empty() const { return at_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

std::string CString(const std::string& bytes) {
    return std::string(bytes.c_str());
}

bool ReadEdit(Input& input, Edit& edit) {
    uint8_t length = 0;
    if (!input.Byte(length)) {
        return false;
    }
    edit.key = kplatform::split_key_path(CString(input.Bytes(length)).c_str());
    if (!input.Byte(length)) {
        return false;
    }
    edit.value.name = CString(input.Bytes(length));
    uint8_t type = 0;
    if (!input.Byte(type)) {
        return false;
    }
    edit.value.type = type;
    if (type == 0xFF) {
        const std::string wide = input.Bytes(4);
        if (wide.size() != 4) {
            return false;
        }
        edit.value.type = 0;
        for (size_t i = 0; i < 4; ++i) {
            edit.value.type |= static_cast<DWORD>(static_cast<uint8_t>(wide[i])) << (8 * i);
        }
    }
    if (!input.Byte(length)) {
        return false;
    }
    const std::string data = input.Bytes(length);
    edit.value.data.assign(data.begin(), data.end());
    return true;
}

// The text the class promises for an unedited file: its lines as they were, each without
// the CR of a CR LF, each ending in LF (CR LF for one that still ends in CR, so that it
// reads back the same).
std::string LinesOf(const std::string& text) {
    std::string out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        out += line + (!line.empty() && line.back() == '\r' ? "\r\n" : "\n");
        start = end + 1;
    }
    return out;
}

// Every key a section line of the text might name, roughly: a superset does no harm, since
// values_of of a key that is not there is empty before and after.
std::vector<KeyPath> KeysNamedIn(const std::string& text) {
    std::vector<KeyPath> keys{KeyPath{}};
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        const size_t open = line.find('[');
        const size_t slash = line.find('\\', open == std::string::npos ? 0 : open);
        const size_t close = line.rfind(']');
        if (open != std::string::npos && slash != std::string::npos && close != std::string::npos &&
            close > slash) {
            keys.push_back(kplatform::split_key_path(
                CString(line.substr(slash + 1, close - slash - 1)).c_str()));
        }
        start = end + 1;
    }
    return keys;
}

bool SameValue(const RegistryValue& a, const RegistryValue& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

bool SameValues(const std::vector<RegistryValue>& a, const std::vector<RegistryValue>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!SameValue(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

// What values_of must give for a key after `value` was set on it.
void SetInModel(std::vector<RegistryValue>& values, const RegistryValue& value) {
    for (RegistryValue& old : values) {
        if (kplatform::same_name(old.name, value.name)) {
            old.type = value.type;
            old.data = value.data;
            return;
        }
    }
    values.push_back(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    uint8_t low = 0;
    uint8_t high = 0;
    if (!input.Byte(low) || !input.Byte(high)) {
        return 0;
    }
    const std::string text = input.Bytes(static_cast<size_t>(low | high << 8));
    std::vector<Edit> edits;
    Edit edit;
    while (!input.Empty() && ReadEdit(input, edit)) {
        // The registry calls refuse names the file cannot hold.
        if (kplatform::storable_path(edit.key) && kplatform::storable_name(edit.value.name)) {
            edits.push_back(edit);
        }
    }

    RegistryText registry(text);
    FUZZ_CHECK(registry.text() == LinesOf(text));

    // The model: every key's values before the edits, then the edits applied to it.
    std::vector<std::pair<KeyPath, std::vector<RegistryValue>>> model;
    auto modelled = [&model](const KeyPath& key) -> std::vector<RegistryValue>* {
        for (auto& entry : model) {
            if (kplatform::same_path(entry.first, key)) {
                return &entry.second;
            }
        }
        return nullptr;
    };
    for (const KeyPath& key : KeysNamedIn(text)) {
        if (modelled(key) == nullptr) {
            model.emplace_back(key, registry.values_of(key));
        }
    }
    for (const Edit& change : edits) {
        if (modelled(change.key) == nullptr) {
            model.emplace_back(change.key, registry.values_of(change.key));
        }
    }

    for (const Edit& change : edits) {
        registry.set_value(change.key, change.value);
        SetInModel(*modelled(change.key), change.value);
        FUZZ_CHECK(registry.has_key(change.key));
        FUZZ_CHECK(SameValues(registry.values_of(change.key), *modelled(change.key)));
    }

    // What the next call of the layer reads from the file written.
    const std::string written = registry.text();
    const RegistryText reread(written);
    FUZZ_CHECK(reread.text() == written);
    for (const auto& [key, values] : model) {
        FUZZ_CHECK(SameValues(reread.values_of(key), values));
    }
    return 0;
}
