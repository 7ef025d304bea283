#include "page_routes.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>

#include "campaign_pages.h"
#include "campaign_routes.h"
#include "pages.h"
#include "request_rules.h"

namespace reports {

namespace {

constexpr int kLatestRows = 20;
// The longest a /reports.csv download may take: about 20 million rows at a
// modest 100 Mbit/s. Past it the download is cut, so no client holds a
// page thread for ever.
constexpr std::chrono::minutes kCsvTimeLimit{15};
constexpr std::size_t kCsvChunk = 65536;

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// The store and range a page is made from, or its answer sent already: 400
// for a bad range, 503 when the database cannot be opened.
struct PageSource {
    std::shared_ptr<Store> store;
    DayRange range;
};
// A read-only store of the page's own, or null with the 503 sent when the
// database cannot be opened.
std::shared_ptr<Store> OpenStore(Services& services, const ReplyPtr& reply) {
    try {
        return Store::Open(services.options.dbPath, Store::Mode::ReadOnly);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quentra-reports: %s\n", e.what());
        reply->Send(TextAnswer(503, "the database cannot be read now; try again later"));
        return nullptr;
    }
}

std::optional<PageSource> Open(Services& services, const std::string& query, const ReplyPtr& reply) {
    std::string why;
    const std::optional<DayRange> range = PageRange(query, services.options.utcOffsetHours, Now(), why);
    if (!range) {
        reply->Send(TextAnswer(400, why));
        return std::nullopt;
    }
    std::shared_ptr<Store> store = OpenStore(services, reply);
    if (!store) return std::nullopt;
    return PageSource{std::move(store), *range};
}

// Runs `make` (which reads the store) and sends what it made; a read that
// fails is a 503.
template <typename Make>
void Made(const ReplyPtr& reply, Make make) {
    try {
        reply->Send(make());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quentra-reports: %s\n", e.what());
        reply->Send(TextAnswer(503, "the database cannot be read now; try again later"));
    }
}

Answer Page(std::string contentType, std::string body) {
    Answer answer;
    answer.contentType = std::move(contentType);
    answer.headers.emplace_back("Cache-Control", "no-store");
    answer.body = std::move(body);
    return answer;
}

}  // namespace

void DashboardRoute(Services& services, const Request&, const std::string& query, const ReplyPtr& reply) {
    const std::optional<PageSource> source = Open(services, query, reply);
    if (!source) return;
    Made(reply, [&] {
        Cp936ToUtf8 toUtf8;
        const DayRange& range = source->range;
        const Summary s = ReadSummary(*source->store, range, DayIn(Now(), range.utcOffsetHours), true);
        Answer answer = Page("text/html; charset=utf-8",
                             DashboardPage(s, source->store->LatestReports(range, kLatestRows), toUtf8,
                                           HealthStrip(services.metrics, Now()), CampaignList(source->store->ReadLedger())));
        answer.headers.emplace_back("Content-Security-Policy",
                                    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
        return answer;
    });
}

void SummaryRoute(Services& services, const Request&, const std::string& query, const ReplyPtr& reply) {
    const std::optional<PageSource> source = Open(services, query, reply);
    if (!source) return;
    Made(reply, [&] {
        const DayRange& range = source->range;
        return Page("application/json", SummaryJson(ReadSummary(*source->store, range, DayIn(Now(), range.utcOffsetHours))));
    });
}

// Streamed in chunks from pages of rows by id, each page a short read of its
// own, up to the last row stored when the request came: a million rows
// never sit in memory, and a slow reader holds no read open that would keep
// the WAL from being checkpointed. A read that fails halfway, or a download
// still going after kCsvTimeLimit, ends the connection without the last
// chunk: the client sees the CSV is cut instead of taking a short one for
// the whole.
void CsvRoute(Services& services, const Request&, const std::string& query, const ReplyPtr& reply) {
    const std::optional<PageSource> source = Open(services, query, reply);
    if (!source || !reply->Start(Page("text/csv; charset=utf-8", ""))) return;
    Cp936ToUtf8 toUtf8;
    std::string chunk = CsvHeader();
    bool open = true;
    const auto deadline = std::chrono::steady_clock::now() + kCsvTimeLimit;
    try {
        source->store->ForEachReport(source->range, [&](const Report& row) {
            chunk += CsvRow(row, toUtf8);
            if (chunk.size() >= kCsvChunk) {
                open = reply->Write(std::move(chunk)) && std::chrono::steady_clock::now() < deadline;
                chunk.clear();
            }
            return open;
        });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quentra-reports: reports.csv cut short: %s\n", e.what());
        return;
    }
    if (open && reply->Write(std::move(chunk))) reply->End();
}

void CampaignsRoute(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply) {
    const std::shared_ptr<Store> store = OpenStore(services, reply);
    if (!store) return;
    std::string path, raw;
    SplitTarget(request.target, path, raw);
    Made(reply, [&] {
        RouteAnswer a = CampaignRoute(path, FormParameters(query), *store);
        Answer answer;
        answer.status = a.status;
        answer.contentType = std::move(a.contentType);
        answer.headers = std::move(a.headers);
        answer.body = std::move(a.body);
        return answer;
    });
}

void HealthRoute(Services& services, const Request&, const std::string&, const ReplyPtr& reply) {
    std::string why;
    ReportWriter* writer = services.options.writer;
    if (writer == nullptr || writer->CanCommit(&why)) return reply->Send(TextAnswer(200, "ok"));
    reply->Send(TextAnswer(503, "the store cannot commit: " + why));
}

void MetricsRoute(Services& services, const Request&, const std::string&, const ReplyPtr& reply) {
    ReportWriter* writer = services.options.writer;
    reply->Send(Page("text/plain; version=0.0.4; charset=utf-8",
                     services.metrics.Prometheus(writer ? writer->Waiting() : 0, services.connections())));
}

}  // namespace reports
