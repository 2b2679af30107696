#include "symbols/symbol_table.h"

namespace ksym {

// Until the symbol reader exists nothing fills the table, so only the loader state and the
// project id need resetting here.
void ClearSymbolTable(ChannelContext& context) {
    context.symbolCount = 0;
    context.filteredCount = 0;
    context.projectId.store(0);
    context.loadStatus.store(LoadDone);
    context.uploadDevice.store(nullptr);
    context.uploadEvent.store(nullptr);
}

} // namespace ksym
