// Prints the upload switch as this process read it at attach; the switch test runs this
// program once per registry case, since the switch is read only when the library loads.
#include <cstdio>

#include "frame/module_settings.h"

int main() {
    std::printf("%d\n", ksym::Settings().uploadEnabled);
    return 0;
}
