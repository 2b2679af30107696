// The exported symbol functions: KSymLoadSymbols, KSymLoadSymbolsEx, KSymDeleteSymbols.
#include "extern/kclient.h"
#include "frame/channel_table.h"
#include "frame/error_codes.h"
#include "include/ksymbol.h"
#include "symbols/symbol_loader.h"
#include "symbols/symbol_table.h"

extern "C" KSYM_API int32_t KSYM_CALL KSymLoadSymbolsEx(int32_t channel, const char* prefix,
                                                        SymbolEntry*** symbolsOut,
                                                        int32_t* countOut, int32_t swap) {
    KClientDllKDebugOut(channel, "KSymLoadSymbolsEx(C=%ld)\n", static_cast<long>(channel));
    ksym::ChannelContext* context = ksym::FindChannelContext(channel);
    if (context == nullptr) {
        context = ksym::CreateChannelContext(channel);
    }
    if (context == nullptr) {
        if (countOut != nullptr) {
            *countOut = 0;
        }
        if (symbolsOut != nullptr) {
            *symbolsOut = nullptr;
        }
        KClientSetLastError(ksym::kErrNoContextSpace);
        return 0;
    }
    context->swapBytes = swap;
    if (context->blockSize == 0) {
        context->blockSize = ksym::kNoBlockLimit;
    }
    if (ksym::LoadSymbolTable(channel, *context) == 0) {
        KClientSetLastError(ksym::kErrNoSymbols);
        return 0;
    }
    if (symbolsOut != nullptr) {
        ksym::FilterSymbols(*context, prefix);
        *symbolsOut = context->filtered;
    }
    if (countOut != nullptr) {
        *countOut = context->filteredCount;
    }
    KClientSetLastError(ksym::kErrNone);
    return 1;
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
    return ksym::RemoveChannelContext(channel, 0);
}
