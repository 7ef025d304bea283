#include "process_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace reports {

namespace {

void Gauge(std::string& out, const char* name, const char* type, const char* help, double value) {
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", value);
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " + number + "\n";
}

// The fields of /proc/self/stat after the command's closing parenthesis
// (which may itself hold blanks and parentheses): field 3 onwards.
std::vector<std::string> StatFields() {
    std::ifstream in("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) return fields;
    std::istringstream rest(text.substr(close + 1));
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;
}

// The system's boot time, seconds since 1970 (btime in /proc/stat); 0 when unknown.
double BootTime() {
    std::ifstream in("/proc/stat");
    for (std::string key; in >> key;) {
        if (key == "btime") {
            double value = 0;
            in >> value;
            return value;
        }
        in.ignore(1 << 20, '\n');
    }
    return 0;
}

}  // namespace

std::string ProcessMetrics() {
    std::string out;
    const long ticks = sysconf(_SC_CLK_TCK), page = sysconf(_SC_PAGESIZE);
    const std::vector<std::string> stat = StatFields();
    // utime and stime are fields 14 and 15, starttime 22, rss 24: here
    // counted from field 3.
    if (stat.size() > 21 && ticks > 0 && page > 0) {
        const double boot = BootTime();
        if (boot > 0) {
            Gauge(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
                  boot + std::stod(stat[19]) / static_cast<double>(ticks));
        }
        Gauge(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
              (std::stod(stat[11]) + std::stod(stat[12])) / static_cast<double>(ticks));
        Gauge(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
              std::stod(stat[21]) * static_cast<double>(page));
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir("/proc/self/fd"), closedir);
    if (fds) {
        double open = 0;
        while (const dirent* e = readdir(fds.get())) open += e->d_name[0] != '.';
        Gauge(out, "process_open_fds", "gauge", "Number of open file descriptors.", open - 1);  // less the listing's own
    }
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        Gauge(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.",
              files.rlim_cur == RLIM_INFINITY ? -1 : static_cast<double>(files.rlim_cur));
    }
    return out;
}

}  // namespace reports
