// quentra-reports-load: sends reports to a receiver from CLIENTS threads, a
// new connection for each as a tray machine makes, and prints what came back.
//
//   quentra-reports-load --port P --clients N --requests TOTAL
//                        [--prefix TEXT] [--machines M] [--acked FILE] [--stop-on-error]
//
// Report i carries m=PREFIX-i and t=i%2; with --machines, m=PREFIX-(i%M)
// and t=i/M%2, so that M machines each send many reports, some of them at
// the same time (the campaign tests' two receivers). --acked writes the identifier of
// every report answered 200, one a line, once all clients have ended; with
// --stop-on-error a client stops at its first failed request (the kill test
// ends the load by killing the server).
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    int port = 0, clients = 16;
    long long total = 1000, machines = 0;
    std::string prefix = "load", acked;
    bool stopOnError = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--port" && hasValue) port = std::atoi(argv[++i]);
        else if (a == "--clients" && hasValue) clients = std::atoi(argv[++i]);
        else if (a == "--requests" && hasValue) total = std::atoll(argv[++i]);
        else if (a == "--prefix" && hasValue) prefix = argv[++i];
        else if (a == "--machines" && hasValue) machines = std::atoll(argv[++i]);
        else if (a == "--acked" && hasValue) acked = argv[++i];
        else if (a == "--stop-on-error") stopOnError = true;
        else {
            std::fprintf(stderr, "quentra-reports-load: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (port <= 0 || clients <= 0 || total <= 0) {
        std::fprintf(stderr, "quentra-reports-load: --port, --clients and --requests must be positive\n");
        return 2;
    }
    std::atomic<long long> next{0}, failed{0};
    std::mutex mutex;
    std::vector<std::uint32_t> latencies;  // microseconds, of the reports answered 200
    std::vector<std::string> ackedIds;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(false);
            client.set_connection_timeout(5);
            client.set_read_timeout(10);
            std::vector<std::uint32_t> mine;
            std::vector<std::string> ids;
            for (long long i; (i = next.fetch_add(1)) < total;) {
                const std::string id = prefix + "-" + std::to_string(machines > 0 ? i % machines : i);
                const long long kind = machines > 0 ? i / machines % 2 : i % 2;
                const std::string target = "/traycast.html?t=" + std::to_string(kind) + "&m=" + id;
                const auto t0 = std::chrono::steady_clock::now();
                const httplib::Result res = client.Get(target);
                const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - t0).count();
                if (res && res->status == 200) {
                    mine.push_back(static_cast<std::uint32_t>(us));
                    if (!acked.empty()) ids.push_back(id);
                } else {
                    ++failed;
                    if (stopOnError) break;
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
            ackedIds.insert(ackedIds.end(), ids.begin(), ids.end());
        });
    }
    for (std::thread& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!acked.empty()) {
        std::ofstream out(acked, std::ios::trunc);
        for (const std::string& id : ackedIds) out << id << '\n';
        if (!out.flush()) {
            std::fprintf(stderr, "quentra-reports-load: cannot write %s\n", acked.c_str());
            return 1;
        }
    }
    auto percentile = [&](double p) {
        if (latencies.empty()) return 0.0;
        const std::size_t k = std::min(latencies.size() - 1, static_cast<std::size_t>(p * static_cast<double>(latencies.size())));
        std::nth_element(latencies.begin(), latencies.begin() + static_cast<std::ptrdiff_t>(k), latencies.end());
        return latencies[k] / 1000.0;
    };
    const double p50 = percentile(0.50), p99 = percentile(0.99);
    std::printf("acked %zu failed %lld seconds %.3f rate %.0f p50_ms %.2f p99_ms %.2f\n", latencies.size(),
                failed.load(), seconds, static_cast<double>(latencies.size()) / seconds, p50, p99);
    return 0;
}
