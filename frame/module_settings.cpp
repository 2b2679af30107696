#include "frame/module_settings.h"

#include "frame/channel_table.h"

namespace ksym {

ModuleSettings& Settings() {
    static ModuleSettings settings;
    return settings;
}

void ModuleAttach() {
    ModuleSettings& settings = Settings();
    settings.libraryVersion = BuiltVersion();
    ChannelTable::Instance().Clear();
    settings.uploadEnabled = ReadUploadEnabled();
}

void ModuleDetach() {
    ChannelTable::Instance().DeleteAll();
}

} // namespace ksym
