// The text of the registry file: REGEDIT4 sections of HKEY_LOCAL_MACHINE and their values.
//
// The file may have been edited by hand, so reading never fails: lines that do not make
// sense are kept as they are and otherwise ignored. Edits change or add only the lines they
// concern, so that a rewrite leaves other keys, comments and odd lines as they were.
#ifndef KPLATFORM_REGISTRY_FILE_H
#define KPLATFORM_REGISTRY_FILE_H

#include <string>
#include <vector>

#include "platform/win32.h"

namespace kplatform {

// The names of a key below HKEY_LOCAL_MACHINE, outermost first; empty for HKEY_LOCAL_MACHINE.
using KeyPath = std::vector<std::string>;

struct RegistryValue {
    std::string name; // "" is the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data; // a REG_SZ includes its NUL
};

// Registry names compare without regard to ASCII case.
bool same_name(const std::string& a, const std::string& b);
bool same_path(const KeyPath& a, const KeyPath& b);
// Splits a subkey name at its '\'s; empty names (as in "A\\\\B" or a trailing '\') are skipped.
KeyPath split_key_path(const char* subKey);
// Whether the file can hold a key or value name: a section or value takes one line, and no
// escape of REGEDIT4 writes a line break, so a name with CR or LF cannot be stored.
bool storable_name(const std::string& name);
bool storable_path(const KeyPath& key);

class RegistryText {
public:
    explicit RegistryText(const std::string& text);

    // A key exists when a section names it or a key below it.
    bool has_key(const KeyPath& key) const;
    // The key's values; a value given again further down the file replaces the earlier one.
    std::vector<RegistryValue> values_of(const KeyPath& key) const;

    // Adds a section for the key unless the key exists. Its names must be storable.
    void add_key(const KeyPath& key);
    // Replaces the value where it is given, or adds it to the key's section (adding that
    // too when needed). An existing value keeps the spelling of its name. The key's names
    // and the value's must be storable; the data may be anything.
    void set_value(const KeyPath& key, const RegistryValue& value);

    std::string text() const;

private:
    struct Line {
        enum Kind { Other, Section, Value } kind = Other;
        std::vector<std::string> raw; // the file's own lines; empty once regenerated
        bool dangling = false;        // ends the file with a '\' that continues it
        bool local_machine = false;   // a Section of HKEY_LOCAL_MACHINE
        KeyPath key;                  // of a Section
        RegistryValue value;          // of a Value
    };

    void parse(const std::string& text);
    // The spelling the file already uses for the key's names, the caller's for the rest.
    KeyPath spelled(const KeyPath& key) const;
    void append_section(const KeyPath& key);

    std::vector<Line> lines_;
};

// The text of the file, or an empty text when it does not exist. ERROR_SUCCESS or the error
// that stopped the reading.
DWORD read_registry_file(const std::string& path, std::string& text);
// Replaces the file by one with `text`, never leaving a half-written file behind: a
// temporary file in the same folder is written, flushed to disk and renamed over it.
DWORD write_registry_file(const std::string& path, const std::string& text);

} // namespace kplatform

#endif
