#include "report_route.h"

#include <ctime>

#include "access_log.h"
#include "query.h"

namespace reports {

namespace {

Answer Unstored() {
    Answer answer = TextAnswer(503, "the report could not be stored; send it again later");
    answer.headers.emplace_back("Retry-After", "1");
    return answer;
}

}  // namespace

void ReportRoute(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply) {
    ReportQuery parsed;
    const QueryError error = ParseReportQuery(query, parsed);
    if (error != QueryError::None) {
        services.metrics.Refused(error);
        return reply->Send(TextAnswer(400, Describe(error)));
    }
    ReportWriter* writer = services.options.writer;
    if (writer == nullptr) return reply->Send(TextAnswer(200, "ok"));
    Report row;
    row.at = static_cast<std::int64_t>(std::time(nullptr));
    row.kind = parsed.kind;
    row.machine = std::move(parsed.machine);
    row.client = request.client;
    Metrics& metrics = services.metrics;
    auto done = [reply, writer, &metrics, at = row.at](bool stored) {
        if (stored) {
            metrics.Stored(at);
            reply->Send(TextAnswer(200, "ok"));
        } else {
            metrics.Unavailable(Busy::Database);
            NoteRefusal(writer->LastError());
            reply->Send(Unstored());
        }
    };
    switch (writer->Submit(std::move(row), std::move(done))) {
        case ReportWriter::Outcome::Queued:
            return;
        case ReportWriter::Outcome::Full:
            metrics.Unavailable(Busy::Queue);
            NoteRefusal("the reports waiting for the disk fill their memory");
            break;
        case ReportWriter::Outcome::Stuck:
            metrics.Unavailable(Busy::Stuck);
            NoteRefusal("reports have waited a second or more for a commit");
            break;
        case ReportWriter::Outcome::Stopped:
            metrics.Unavailable(Busy::Database);
            NoteRefusal("the server is stopping");
            break;
    }
    reply->Send(Unstored());
}

}  // namespace reports
