// Process resource figures that Wine fills in: handles from the system handle
// table (GetProcessHandleCount reads 0 under Wine), threads from a toolhelp
// snapshot, private bytes as the committed private regions of the address
// space (the private-bytes counter of GetProcessMemoryInfo reads 0 too).
#pragma once
#include <cstddef>
#include <map>
#include <string>

struct ProcessFigures {
    long handles = -1;
    std::map<std::string, long> handleKinds;  // by object type name, so a growth says what grew
    long threads = -1;
    std::size_t privateBytes = 0;
    std::size_t workingSet = 0;
    long tlsFree = -1;
};

ProcessFigures ReadProcessFigures();
