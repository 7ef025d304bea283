// GET /traycast.html?t=0|1&m=ID: a report. 400 for a query no plug-in sends
// (query.h), and otherwise a row handed to the writer: 200 once it is
// committed, 503 when it cannot be (the store stuck, down, full or
// read-only). Never 200 for a report not stored: the plug-in sends each
// report once, so a 503 says plainly that it is lost.
#pragma once
#include <string>

#include "routes.h"

namespace reports {

void ReportRoute(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply);

}  // namespace reports
