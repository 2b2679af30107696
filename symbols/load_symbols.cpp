// The exported symbol functions: KSymLoadSymbols, KSymLoadSymbolsEx, KSymDeleteSymbols.
#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame/error_codes.h"
#include "frame/exception_guard.h"
#include "include/ksymbol.h"
#include "symbols/symbol_loader.h"
#include "symbols/symbol_table.h"

namespace {

// The outputs of a load that could not begin: no symbols.
void EmptyOutputs(SymbolEntry*** symbolsOut, int32_t* countOut) {
    if (countOut != nullptr) {
        *countOut = 0;
    }
    if (symbolsOut != nullptr) {
        *symbolsOut = nullptr;
    }
}

int32_t LoadSymbols(int32_t channel, const char* prefix, SymbolEntry*** symbolsOut,
                    int32_t* countOut, int32_t swap) {
    // Held to the end: a close on another thread during the loader's waits leaves the
    // context alive (and retired) for the loader to find.
    const ksym::ContextRef context = ksym::FindOrCreateChannelContext(channel);
    if (context == nullptr) {
        EmptyOutputs(symbolsOut, countOut);
        KClientSetLastError(ksym::kErrNoContextSpace);
        return 0;
    }
    context->swapBytes = swap;
    if (context->blockSize == 0) {
        context->blockSize = ksym::kNoBlockLimit;
    }
    ksym::LoadScope scope(*context);
    if (!scope.began() || ksym::LoadSymbolTable(channel, *context) == 0) {
        KClientSetLastError(ksym::kErrNoSymbols);
        return 0;
    }
    if (symbolsOut != nullptr) {
        ksym::FilterSymbols(*context, prefix);
    }
    // A close on another thread while the file was read or indexed leaves the table to this
    // load, which then hands out nothing: the table goes with the load.
    const bool handedOut = scope.Finish([&] {
        if (symbolsOut != nullptr) {
            *symbolsOut = context->filtered;
        }
        if (countOut != nullptr) {
            *countOut = context->filteredCount;
        }
    });
    if (!handedOut) {
        KClientSetLastError(ksym::kErrNoSymbols);
        return 0;
    }
    KClientSetLastError(ksym::kErrNone);
    return 1;
}

} // namespace

extern "C" KSYM_API int32_t KSYM_CALL KSymLoadSymbolsEx(int32_t channel, const char* prefix,
                                                        SymbolEntry*** symbolsOut,
                                                        int32_t* countOut, int32_t swap) {
    KClientDllKDebugOut(channel, "KSymLoadSymbolsEx(C=%ld)\n", static_cast<long>(channel));
    return ksym::Guarded<int32_t>(
        0, [&] { return LoadSymbols(channel, prefix, symbolsOut, countOut, swap); },
        [&] { EmptyOutputs(symbolsOut, countOut); });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymLoadSymbols(int32_t channel, const char* prefix,
                                                      SymbolEntry*** symbolsOut,
                                                      int32_t* countOut) {
    KClientDllKDebugOut(channel, "KSymLoadSymbols(C=%ld)\n", static_cast<long>(channel));
    const int32_t swap = KClientGetDWord(channel, KCLIENT_DWORD_SWAP) != 0 ? 1 : 0;
    return KSymLoadSymbolsEx(channel, prefix, symbolsOut, countOut, swap);
}

extern "C" KSYM_API int32_t KSYM_CALL KSymDeleteSymbols(int32_t channel) {
    KClientDllKDebugOut(channel, "KSymDeleteSymbols(C=%ld)\n", static_cast<long>(channel));
    return ksym::Guarded<int32_t>(0, [&] { return ksym::RemoveChannelContext(channel, 0); });
}
