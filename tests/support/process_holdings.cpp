#include "support/process_holdings.h"

#ifdef __linux__
#include <filesystem>
#include <fstream>
#include <string>

#include <malloc.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

ProcessHoldings HoldingsNow() {
    ProcessHoldings held;
#ifdef __linux__
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++held.descriptors;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            held.threads = std::stol(line.substr(8));
    held.heap = mallinfo2().uordblks;
#elif defined(_WIN32)
    DWORD handles = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
    held.descriptors = static_cast<long>(handles);
#endif
    return held;
}
