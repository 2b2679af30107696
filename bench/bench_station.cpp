#include "bench/bench_station.h"

#include <cstdio>

#include "bench/library_root.h"
#include "extern/kclient.h"
#include "varlist/var_list.h"

namespace ksymbench {

SampleStation::SampleStation()
    : controller_(std::make_shared<plcsim::Controller>()), server_(controller_) {}

bool SampleStation::Start(uint32_t blockSize, const char* program) {
    plcsim::Config config;
    config.blockSize = blockSize;
    std::string error;
    if (!controller_->Configure(config, error) || !server_.Start("127.0.0.1", 0, error)) {
        std::fprintf(stderr, "%s: no station server: %s\n", program, error.c_str());
        return false;
    }
    return true;
}

bool OpenStation(Station& target, const char* address, uint32_t blockSize, const char* program) {
    target.window = CreateWindowExA(0, "STATIC", "bench", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    nullptr, nullptr);
    if (target.window == nullptr) {
        std::fprintf(stderr, "%s: no message window\n", program);
        return false;
    }
    target.channel = KSymOpenChannelEx(address, 0, target.window, kNotifyMsg, blockSize);
    if (target.channel == -1) {
        std::fprintf(stderr, "%s: cannot open %s (error %d)\n", program, address,
                     static_cast<int>(KClientGetLastError()));
        return false;
    }
    SymbolEntry** symbols = nullptr;
    int32_t count = 0;
    if (KSymLoadSymbols(target.channel, nullptr, &symbols, &count) != 1 || count == 0) {
        std::fprintf(stderr, "%s: cannot load the symbols (error %d)\n", program,
                     static_cast<int>(KClientGetLastError()));
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        const char* name = symbols[i]->name; // a packed field: copied out before use
        target.symbols.emplace_back(name);
    }
    return true;
}

void CloseStation(Station& target) {
    if (target.channel != -1) {
        KSymCloseChannel(target.channel);
        target.channel = -1;
    }
    if (target.window != nullptr) {
        DestroyWindow(target.window);
        target.window = nullptr;
    }
}

std::vector<const char*> Pointers(const std::vector<std::string>& names) {
    std::vector<const char*> pointers;
    pointers.reserve(names.size());
    for (const std::string& name : names) {
        pointers.push_back(name.c_str());
    }
    return pointers;
}

uint32_t TelegramCount(HVARLIST list) {
    return static_cast<ksym::VarList*>(list)->telegramCount;
}

long AwaitCompletion(const Station& on, DWORD timeoutMs) {
    MSG msg{};
    if (timeoutMs == INFINITE) {
        return GetMessageA(&msg, on.window, kNotifyMsg, kNotifyMsg) > 0
                   ? static_cast<long>(msg.wParam)
                   : -1;
    }
    const DWORD start = GetTickCount();
    do {
        if (PeekMessageA(&msg, on.window, kNotifyMsg, kNotifyMsg, PM_REMOVE)) {
            return static_cast<long>(msg.wParam);
        }
        Sleep(1);
    } while (GetTickCount() - start < timeoutMs);
    return -1;
}

bool ReadOnce(const Station& on, HVARLIST list, uint32_t count, DWORD timeoutMs) {
    if (KSymSendVarList(on.channel, list) != 1 ||
        AwaitCompletion(on, timeoutMs) != COMM_MESSAGEREADY) {
        return false;
    }
    VarValue** values = nullptr;
    uint32_t received = 0;
    KSymEnterVarListAccess(on.channel, list);
    KSymGetValues(on.channel, list, &values, &received);
    benchmark::DoNotOptimize(values);
    KSymLeaveVarListAccess(on.channel, list);
    return received == count;
}

int RunOnSampleStation(int argc, char** argv, const char* program, uint32_t blockSize,
                       const std::function<bool(const SampleStation&)>& prepare,
                       const std::function<void()>& finish,
                       benchmark::BenchmarkReporter& reporter) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const LibraryRoot root(program);
    if (!root.ok()) {
        return 1;
    }
    int status = 1;
    SampleStation station;
    if (station.Start(blockSize, program) && prepare(station)) {
        benchmark::RunSpecifiedBenchmarks(&reporter);
        status = 0;
    }
    benchmark::Shutdown();
    finish();
    station.Stop();
    return status;
}

} // namespace ksymbench
