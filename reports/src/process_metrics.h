// The process's own figures in the Prometheus text format, under the names
// every Prometheus client library exports: process_start_time_seconds,
// process_cpu_seconds_total, process_resident_memory_bytes,
// process_open_fds and process_max_fds. Read from /proc at each call; a
// figure that cannot be read is left out rather than shown as 0.
#pragma once
#include <string>

namespace reports {

std::string ProcessMetrics();

}  // namespace reports
