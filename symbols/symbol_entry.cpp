#include "symbols/symbol_entry.h"

#include "frame/project_info.h"

namespace ksym {

void ClearSymbolEntry(SymbolEntry& entry) {
    ReleaseText(entry.name);
    entry.name = nullptr;
    ReleaseText(entry.typeName);
    entry.typeName = nullptr;
    entry.area = 0;
    entry.offset = 0;
    entry.size = 0;
    entry.tag[0] = 0;
}

} // namespace ksym
