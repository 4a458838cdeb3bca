#pragma once

#include <cstddef>

// What the process holds: descriptors (handles on Windows), threads and heap in
// use, where the system tells them; 0 where it does not.
struct ProcessHoldings {
    long descriptors = 0;
    long threads = 0;
    std::size_t heap = 0;
};
ProcessHoldings HoldingsNow();
