// One usage report as the receiver keeps it: what the plug-in sent (its kind
// and machine identifier), when, and from where.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace reports {

// The plug-in's two reports, t=0 and t=1, named as the plug-in names them.
enum class ReportKind { Shown = 0, Installed = 1 };

// Largest identifier the plug-in can send, in bytes once decoded.
constexpr std::size_t kMaxMachineBytes = 260;

struct Report {
    std::int64_t at = 0;  // seconds since 1970, UTC
    ReportKind kind = ReportKind::Shown;
    std::string machine;  // bytes as sent
    std::string client;   // the address the report came from
    std::int64_t id = 0;  // the store's row id once stored
};

}  // namespace reports
