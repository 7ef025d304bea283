// The pure rules: the report query, days and ranges, access-log lines, the
// escaping of what machines send, a request's head, target, Host and range,
// and the caps on heads still coming.
#include <gtest/gtest.h>

#include "clf.h"
#include "head_ledger.h"
#include "pages.h"
#include "query.h"
#include "request_rules.h"
#include "store.h"
#include "text.h"

using namespace reports;

namespace {

TEST(ReportQuery, EveryRuleOfTheQuery) {
    const std::string max(260, 'A'), over(261, 'A');
    std::string maxEscaped;
    for (int i = 0; i < 260; ++i) maxEscaped += "%C4";
    struct Row {
        const char* name;
        std::string query;
        QueryError error;
        ReportKind kind;
        std::string machine;
    } rows[] = {
        {"showing", "t=0&m=PC-01", QueryError::None, ReportKind::Shown, "PC-01"},
        {"install, keys swapped", "m=PC-01&t=1", QueryError::None, ReportKind::Installed, "PC-01"},
        {"the plug-in's escapes", "t=0&m=DEMO%20PC%267F3A", QueryError::None, ReportKind::Shown, "DEMO PC&7F3A"},
        {"lowercase hex", "t=0&m=%c4%e3", QueryError::None, ReportKind::Shown, "\xC4\xE3"},
        {"%00 is a byte", "t=0&m=a%00b", QueryError::None, ReportKind::Shown, std::string("a\0b", 3)},
        {"plus stays a plus", "t=0&m=a+b", QueryError::None, ReportKind::Shown, "a+b"},
        {"empty identifier", "t=1&m=", QueryError::None, ReportKind::Installed, ""},
        {"260 bytes", "t=0&m=" + max, QueryError::None, ReportKind::Shown, max},
        {"260 escaped bytes", "t=0&m=" + maxEscaped, QueryError::None, ReportKind::Shown, std::string(260, '\xC4')},
        {"261 bytes", "t=0&m=" + over, QueryError::MachineTooLong, {}, {}},
        {"261 escaped bytes", "t=0&m=" + maxEscaped + "%41", QueryError::MachineTooLong, {}, {}},
        {"empty query", "", QueryError::MissingKind, {}, {}},
        {"no t", "m=a", QueryError::MissingKind, {}, {}},
        {"t=2", "t=2&m=a", QueryError::BadKind, {}, {}},
        {"t empty", "t=&m=a", QueryError::BadKind, {}, {}},
        {"t escaped", "t=%30&m=a", QueryError::BadKind, {}, {}},
        {"t=00", "t=00&m=a", QueryError::BadKind, {}, {}},
        {"no m", "t=0", QueryError::MissingMachine, {}, {}},
        {"m without =", "t=0&m", QueryError::EmptyField, {}, {}},
        {"empty field", "m=a&&t=0", QueryError::EmptyField, {}, {}},
        {"trailing &", "m=a&t=0&", QueryError::EmptyField, {}, {}},
        {"t twice", "t=0&t=1&m=a", QueryError::DuplicateKey, {}, {}},
        {"m twice, m first", "m=a&t=0&m=b", QueryError::DuplicateKey, {}, {}},
        {"unknown key, m first", "m=a&t=0&v=2", QueryError::UnknownKey, {}, {}},
        {"key escaped", "%74=0&m=a", QueryError::UnknownKey, {}, {}},
        // What plug-ins that do not escape send: stored as sent.
        {"raw braces", "t=0&m={3F2A-77}", QueryError::None, ReportKind::Shown, "{3F2A-77}"},
        {"raw code page 936", "t=1&m=\xB2\xE2\xCA\xD4", QueryError::None, ReportKind::Installed, "\xB2\xE2\xCA\xD4"},
        {"a lone %", "t=0&m=50%off", QueryError::None, ReportKind::Shown, "50%off"},
        {"% at the end", "t=0&m=a%", QueryError::None, ReportKind::Shown, "a%"},
        {"% with one digit", "t=0&m=a%4", QueryError::None, ReportKind::Shown, "a%4"},
        {"% with non-hex, then a valid one", "t=0&m=%G1%41", QueryError::None, ReportKind::Shown, "%G1A"},
        {"& and = in the identifier", "t=0&m=a&v=2=b&", QueryError::None, ReportKind::Shown, "a&v=2=b&"},
        {"a blank, a quote, a hash", "t=0&m=a b\"c#d", QueryError::None, ReportKind::Shown, "a b\"c#d"},
    };
    for (const Row& row : rows) {
        ReportQuery out;
        out.machine = "untouched";
        EXPECT_EQ(row.error, ParseReportQuery(row.query, out)) << row.name;
        if (row.error == QueryError::None) {
            EXPECT_EQ(row.kind, out.kind) << row.name;
            EXPECT_EQ(row.machine, out.machine) << row.name;
        } else {
            EXPECT_EQ("untouched", out.machine) << row.name;
        }
    }
}

TEST(Days, ParseFormatAndRanges) {
    struct DayRow {
        const char* text;
        std::int64_t day;  // -1: refused
    } days[] = {
        {"1970-01-01", 0}, {"2026-01-05", 20458}, {"2024-02-29", 19782}, {"2023-02-29", -1}, {"2026-04-31", -1},
        {"2026-13-01", -1}, {"2026-00-10", -1}, {"1969-12-31", -1}, {"2026-1-05", -1}, {"2026-01-05x", -1},
        {"2026/01/05", -1}, {"", -1},
    };
    for (const DayRow& row : days) {
        const std::optional<std::int64_t> d = ParseDay(row.text);
        EXPECT_EQ(row.day, d.value_or(-1)) << row.text;
        if (d) {
            EXPECT_EQ(row.text, FormatDay(*d)) << row.text;
        }
    }
    EXPECT_EQ("2026-01-05T13:04:59Z", FormatTime(20458LL * 86400 + 13 * 3600 + 4 * 60 + 59));

    const std::int64_t today = 20464;  // 2026-01-11
    struct RangeRow {
        const char* name;
        const char* from;
        const char* to;
        std::int64_t first, last;  // -1: refused
    } ranges[] = {
        {"defaults: the last 7 days", "", "", 20458, 20464},
        {"to alone", "", "2026-01-08", 20455, 20461},
        {"from alone", "2026-01-01", "", 20454, 20464},
        {"one day", "2026-01-05", "2026-01-05", 20458, 20458},
        {"366 days", "2025-01-01", "2026-01-01", 20089, 20454},
        {"a campaign's life: any length", "1970-01-01", "2026-01-01", 0, 20454},
        {"from after to", "2026-01-06", "2026-01-05", -1, -1},
        {"bad from", "2026-01-32", "", -1, -1},
        {"bad to", "", "yesterday", -1, -1},
    };
    struct ZoneRow {
        const char* text;
        int hours;  // 99: refused
    } zones[] = {{"UTC", 0}, {"", 0}, {"UTC+8", 8}, {"+08:00", 8}, {"-05:00", -5}, {"-5", -5}, {"+14", 14},
                 {"+15", 99}, {"+05:30", 99}, {"8", 8}, {"UTC+", 99}, {"+0x", 99}};
    for (const ZoneRow& row : zones) EXPECT_EQ(row.hours, ParseZone(row.text).value_or(99)) << row.text;
    EXPECT_EQ(20464, DayIn(20464LL * 86400 - 8 * 3600, 8));  // midnight at UTC+8
    EXPECT_EQ(20463, DayIn(20464LL * 86400 - 8 * 3600 - 1, 8));
    for (const RangeRow& row : ranges) {
        std::string why;
        const std::optional<DayRange> r = ChooseRange(row.from, row.to, today, why);
        EXPECT_EQ(row.first, r ? r->from : -1) << row.name;
        EXPECT_EQ(row.last, r ? r->to : -1) << row.name;
        EXPECT_EQ(r.has_value(), why.empty()) << row.name;
    }
}

TEST(AccessLog, LinesOfTheCommonLogFormat) {
    const std::string good = "10.0.0.7 - - [05/Jan/2026:08:00:00 +0800] \"GET /traycast.html?t=1&m=PC%2001 HTTP/1.1\" ";
    struct Row {
        const char* name;
        std::string line;
        ClfLine kind;
        std::int64_t at;
        const char* query;
    } rows[] = {
        {"report, zone applied", good + "200 2", ClfLine::Report, 20458LL * 86400, "t=1&m=PC%2001"},
        {"combined format", good + "204 - \"-\" \"Mozilla/4.0\"", ClfLine::Report, 20458LL * 86400, "t=1&m=PC%2001"},
        {"CRLF", good + "200 2\r", ClfLine::Report, 20458LL * 86400, "t=1&m=PC%2001"},
        {"negative zone",
         "h - - [04/Jan/2026:23:00:00 -0100] \"GET /traycast.html?t=0&m= HTTP/1.0\" 200 2", ClfLine::Report,
         20458LL * 86400, "t=0&m="},
        {"no query", "h - - [05/Jan/2026:00:00:00 +0000] \"GET /traycast.html HTTP/1.1\" 200 2", ClfLine::Report,
         20458LL * 86400, ""},
        {"status 404", good + "404 0", ClfLine::Other, 0, nullptr},
        {"status 500", good + "500 0", ClfLine::Other, 0, nullptr},
        {"other path", "h - - [05/Jan/2026:00:00:00 +0000] \"GET /index.html HTTP/1.1\" 200 9", ClfLine::Other, 0,
         nullptr},
        {"POST", "h - - [05/Jan/2026:00:00:00 +0000] \"POST /traycast.html?t=0&m=a HTTP/1.1\" 200 2", ClfLine::Other, 0,
         nullptr},
        {"request '-'", "h - - [05/Jan/2026:00:00:00 +0000] \"-\" 408 0", ClfLine::Other, 0, nullptr},
        {"empty line", "", ClfLine::Malformed, 0, nullptr},
        {"no time", "h - - \"GET /traycast.html?t=0&m=a HTTP/1.1\" 200 2", ClfLine::Malformed, 0, nullptr},
        {"bad month", "h - - [05/Jam/2026:00:00:00 +0000] \"GET / HTTP/1.1\" 200 2", ClfLine::Malformed, 0, nullptr},
        {"31 February", "h - - [31/Feb/2026:00:00:00 +0000] \"GET / HTTP/1.1\" 200 2", ClfLine::Malformed, 0, nullptr},
        {"hour 24", "h - - [05/Jan/2026:24:00:00 +0000] \"GET / HTTP/1.1\" 200 2", ClfLine::Malformed, 0, nullptr},
        {"no zone", "h - - [05/Jan/2026:00:00:00] \"GET / HTTP/1.1\" 200 2", ClfLine::Malformed, 0, nullptr},
        {"request unclosed", "h - - [05/Jan/2026:00:00:00 +0000] \"GET / HTTP/1.1 200 2", ClfLine::Malformed, 0,
         nullptr},
        {"status not 3 digits", good + "2000 2", ClfLine::Malformed, 0, nullptr},
        {"status missing", good, ClfLine::Malformed, 0, nullptr},
    };
    for (const Row& row : rows) {
        ClfEntry entry;
        EXPECT_EQ(row.kind, ParseClfLine(row.line, entry)) << row.name;
        if (row.kind == ClfLine::Report) {
            EXPECT_EQ(row.at, entry.at) << row.name;
            EXPECT_EQ(row.query, entry.query) << row.name;
            EXPECT_FALSE(entry.client.empty()) << row.name;
        }
    }
    EXPECT_EQ(16u, LineHash("a").size());
    EXPECT_NE(LineHash("a"), LineHash("b"));
}

TEST(Text, WhatMachinesSendIsShownAndEscaped) {
    Cp936ToUtf8 toUtf8;
    struct Row {
        const char* name;
        std::string in;
        std::string utf8, html, csv;
    } rows[] = {
        {"ASCII", "PC-01", "PC-01", "PC-01", "PC-01"},
        {"code page 936", "\xB2\xE2\xCA\xD4\xBB\xFA", "测试机", "测试机", "测试机"},
        {"a broken lead byte", "a\xB2", "a\xEF\xBF\xBD", "a\xEF\xBF\xBD", "a\xEF\xBF\xBD"},
        {"markup", "<b a='1'>&", "<b a='1'>&", "&lt;b a=&#39;1&#39;&gt;&amp;", "<b a='1'>&"},
        {"CSV quoting", "a,\"b\"\n", "a,\"b\"\n", "a,&quot;b&quot;\n", "\"a,\"\"b\"\"\\u000A\""},
        {"C0 and DEL (0x80 is the euro sign in code page 936)", "\x1B[2Ja\x7F\x80", "\x1B[2Ja\x7F\xE2\x82\xAC", "\x1B[2Ja\x7F\xE2\x82\xAC",
         "\\u001B[2Ja\\u007F\xE2\x82\xAC"},
        {"a formula", "=1+1", "=1+1", "=1+1", "'=1+1"},
        {"a formula and a comma", "@x,y", "@x,y", "@x,y", "\"'@x,y\""},
        {"a tab first", "\tx", "\tx", "\tx", "'\\u0009x"},
    };
    for (const Row& row : rows) {
        const std::string utf8 = toUtf8(row.in);
        EXPECT_EQ(row.utf8, utf8) << row.name;
        EXPECT_EQ(row.html, HtmlEscape(utf8)) << row.name;
        EXPECT_EQ(row.csv, CsvField(utf8)) << row.name;
    }
    EXPECT_EQ("\"a\\\"\\\\\\u0001\"", JsonString("a\"\\\x01"));
    EXPECT_EQ("\\u0085x", CsvField("\xC2\x85x"));  // C1 NEL as UTF-8
    EXPECT_EQ("00ff41", Hex(std::string("\0\xFF" "A", 3)));
}

TEST(StoreNames, BackEndChosenAndPasswordsHidden) {
    struct Row {
        const char* where;
        bool postgres;
        const char* printed;
    } rows[] = {
        {"reports.db", false, "reports.db"},
        {"./a=b.db", false, "./a=b.db"},
        {"/srv/q/user=x.db", false, "/srv/q/user=x.db"},
        {"postgresql://q:s3cret@db/quentra", true, "postgresql://q:***@db/quentra"},
        {"postgres://db/quentra?password=s3cret&sslmode=require", true, "postgres://db/quentra?password=***&sslmode=require"},
        {"host=/run/postgresql dbname=q password='a b' user=q", true, "host=/run/postgresql dbname=q password=*** user=q"},
        {"dbname = q", true, "dbname = q"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.postgres, Store::IsPostgres(row.where)) << row.where;
        EXPECT_EQ(row.printed, Store::Redacted(row.where)) << row.where;
    }
}

TEST(Summary, DaysFilledAndConversion) {
    Figures d1{10, 5, 2, 4, 1}, d3{12, 0, 0, 0, 0}, total{10, 5, 2, 4, 3};
    const Summary s = MakeSummary({9, 13}, {d1, d3}, total);
    ASSERT_EQ(5u, s.days.size());
    const std::int64_t showings[] = {0, 5, 0, 0, 0};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(9 + static_cast<std::int64_t>(i), s.days[i].day) << i;
        EXPECT_EQ(showings[i], s.days[i].showings) << i;
    }
    struct Row {
        Figures f;
        const char* text;
    } rows[] = {{{0, 0, 0, 0, 0}, "-"}, {{0, 1, 1, 4, 1}, "25 %"}, {{0, 3, 1, 3, 1}, "33.3 %"},
                {{0, 3, 3, 3, 3}, "100 %"}, {{0, 1, 2, 1, 2}, "200 %"}};
    for (const Row& row : rows) EXPECT_EQ(row.text, ConversionText(row.f)) << row.text;

    struct AxisRow {
        std::int64_t peak, step;
        int steps;
    } axes[] = {{0, 1, 4}, {3, 1, 4}, {20, 5, 4}, {23, 10, 3}, {41, 20, 3}, {1000, 250, 4}, {1001, 500, 3}};
    for (const AxisRow& row : axes) {
        const Axis axis = ChooseAxis(row.peak);
        EXPECT_EQ(row.step, axis.step) << row.peak;
        EXPECT_EQ(row.steps, axis.steps) << row.peak;
        EXPECT_GE(axis.step * axis.steps, row.peak) << row.peak;
    }
    struct ChangeRow {
        std::int64_t now, before;
        const char* text;
    } changes[] = {{0, 0, "-"}, {5, 0, "new"}, {10, 10, "0 %"}, {15, 10, "+50 %"}, {9, 12, "-25 %"}, {1, 3, "-66.7 %"}};
    for (const ChangeRow& row : changes) EXPECT_EQ(row.text, ChangeText(row.now, row.before)) << row.text;
}

TEST(Request, HeadsTargetsHostsAndRanges) {
    struct SizeRow {
        const char* name;
        HeadSize size;
        int status;
    } sizes[] = {
        {"a report", {801, 20, 60, 3}, 0},
        {"target of 1024", {1024, 0, 0, 0}, 0},
        {"target of 1025", {1025, 0, 0, 0}, 414},
        {"a header line of 8192", {10, 8192, 8196, 1}, 431},  // with its framing the headers are past 8192
        {"a header line of 8193", {10, 8193, 8197, 1}, 400},
        {"the target before the headers", {2000, 9000, 9004, 1}, 414},
        {"64 fields", {10, 10, 640, 64}, 0},
        {"65 fields", {10, 10, 650, 65}, 431},
    };
    for (const SizeRow& row : sizes) EXPECT_EQ(row.status, HeadStatus(row.size)) << row.name;

    struct EndRow {
        const char* bytes;
        std::size_t end;
    } ends[] = {{"GET / HTTP/1.1\r\nHost: a\r\n\r\nbody", 27}, {"GET / HTTP/1.1\nHost: a\n\n", 24},
                {"GET / HTTP/1.1\r\nHost: a\r\n", std::string::npos}, {"GET /tr", std::string::npos}, {"", std::string::npos}};
    for (const EndRow& row : ends) EXPECT_EQ(row.end, HeadEnd(row.bytes)) << row.bytes;
    EXPECT_EQ("GET /traycast.html?t=0&m=PC%2001 HTTP/1.1\r\nHost: a\r\n\r\n",
              NormalizeHead("GET /traycast.html?t=0&m=PC 01 HTTP/1.1\nHost: a\n\n"));
    EXPECT_EQ("GET / HTTP/1.1\r\n\r\n", NormalizeHead("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ("GET /a b\r\n\r\n", NormalizeHead("GET /a b\r\n\r\n")) << "no version: left for the parser to refuse";

    std::string path, query;
    SplitTarget("/traycast.html?t=0&m=a?b", path, query);
    EXPECT_EQ("/traycast.html", path);
    EXPECT_EQ("t=0&m=a?b", query);
    SplitTarget("/traycast%2Ehtml", path, query);
    EXPECT_EQ("/traycast%2Ehtml", path);
    EXPECT_EQ("", query);
    // As a form sends them: '+' a blank, "%2B" a '+', a name given twice there twice.
    const std::multimap<std::string, std::string> form = FormParameters("a=spring+26&b=x%2By&&a=&c");
    const std::multimap<std::string, std::string> fields = {{"a", "spring 26"}, {"a", ""}, {"b", "x+y"}, {"c", ""}};
    EXPECT_EQ(fields, form);

    const std::vector<std::string> names = {"Reports.Example.com", "localhost"};
    struct HostRow {
        const char* host;
        const char* name;
        bool allowed;
    } hosts[] = {
        {"reports.example.com", "reports.example.com", true}, {"REPORTS.example.COM:8080", "reports.example.com", true},
        {"localhost:1", "localhost", true},                   {"[::1]:8080", "::1", true},
        {"10.1.2.3:80", "10.1.2.3", true},                   {"rebound.example", "rebound.example", false},
        {"", "", false},                                      {"[fe80::1", "[fe80::1", false},
    };
    for (const HostRow& row : hosts) {
        EXPECT_EQ(row.name, HostName(row.host)) << row.host;
        EXPECT_EQ(row.allowed, HostAllowed(row.host, names)) << row.host;
    }

    const std::int64_t now = 20464LL * 86400 + 3600;  // 2026-01-11T01:00Z
    struct RangeRow {
        const char* query;
        std::int64_t from, to;  // -1: refused
        int zone;
    } ranges[] = {
        {"", 20458, 20464, 0},
        {"from=2026-01-01&to=2026-01-05", 20454, 20458, 0},
        {"tz=%2B8", 20458, 20464, 8},
        {"tz=UTC+8", 20458, 20464, 8},
        {"tz=-5", 20457, 20463, -5},  // still 2026-01-10 at UTC-5
        {"other=1&from=2026-01-10", 20463, 20464, 0},
        {"from=2026-01-01&from=2026-01-02", -1, -1, 0},
        {"tz=8&tz=9", -1, -1, 0},
        {"tz=%2B05:30", -1, -1, 0},
        {"from=2026-02-30", -1, -1, 0},
    };
    for (const RangeRow& row : ranges) {
        std::string why;
        const std::optional<DayRange> r = PageRange(row.query, 0, now, why);
        EXPECT_EQ(row.from, r ? r->from : -1) << row.query;
        EXPECT_EQ(row.to, r ? r->to : -1) << row.query;
        EXPECT_EQ(row.zone, r ? r->utcOffsetHours : 0) << row.query;
        EXPECT_EQ(r.has_value(), why.empty()) << row.query;
    }

    struct NetworkRow {
        const char* address;
        const char* network;
    } networks[] = {
        {"127.1.2.3", "127.1.2.0/24"},
        {"10.0.0.255", "10.0.0.0/24"},
        {"::ffff:10.0.0.7", "10.0.0.0/24"},
        {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
        {"::1", "::/64"},
        {"not an address", "not an address"},
    };
    for (const NetworkRow& row : networks) EXPECT_EQ(row.network, NetworkOf(row.address)) << row.address;
}

// The caps on heads still coming, row by row: what each new connection
// makes the ledger close, then what a sweep at a later time closes.
TEST(HeadLedger, CapsMakeRoomFromTheOldestAndSlowHeadsAreCut) {
    using Cut = HeadLedger::Cut;
    const HeadLedger::Clock::time_point t0{};
    const auto ms = [&](int n) { return t0 + std::chrono::milliseconds(n); };
    const HeadCaps caps{4, 6, 8};  // per address, per network, in all
    struct Arrival {
        const char* address;
        int atMs;
        std::size_t bytes;  // of its head come so far
    };
    struct Closed {
        HeadLedger::Id id;
        Cut why;
        bool operator==(const Closed& o) const { return id == o.id && why == o.why; }
    };
    struct Row {
        const char* name;
        std::vector<Arrival> arrivals;  // ids 1, 2, ...
        std::vector<Closed> closed;     // by the arrivals, in order
        int sweepAtMs;                  // 0: no sweep
        std::vector<Closed> swept;
    } rows[] = {
        {"within every cap", {{"10.0.0.1", 0, 0}, {"10.0.1.1", 0, 0}}, {}, 400, {}},
        {"an address past its cap: its oldest goes",
         {{"10.0.0.1", 0, 0}, {"10.0.0.1", 100, 0}, {"10.0.0.1", 200, 0}, {"10.0.0.1", 300, 0}, {"10.0.0.1", 600, 0}},
         {{1, Cut::Address}}, 0, {}},
        {"within the grace no one goes, not even the newcomer",
         {{"10.0.0.1", 0, 0}, {"10.0.0.1", 100, 0}, {"10.0.0.1", 200, 0}, {"10.0.0.1", 300, 0}, {"10.0.0.1", 400, 0}},
         {}, 0, {}},
        {"a network past its cap: the oldest of the network, not of all",
         {{"10.0.9.9", 0, 0}, {"10.0.0.1", 10, 0}, {"10.0.0.2", 20, 0}, {"10.0.0.3", 30, 0}, {"10.0.0.4", 40, 0},
          {"10.0.0.5", 50, 0}, {"10.0.0.6", 60, 0}, {"10.0.0.7", 600, 0}},
         {{2, Cut::Network}}, 0, {}},
        {"all past the cap: the oldest of all",
         {{"10.0.1.1", 0, 0}, {"10.0.2.1", 10, 0}, {"10.0.3.1", 20, 0}, {"10.0.4.1", 30, 0}, {"10.0.5.1", 40, 0},
          {"10.0.6.1", 50, 0}, {"10.0.7.1", 60, 0}, {"10.0.8.1", 70, 0}, {"10.0.9.1", 600, 0}},
         {{1, Cut::Total}}, 0, {}},
        {"a head that has come counts no more", {{"10.0.0.1", 0, 0}}, {}, 0, {}},
        {"the deadline, whatever came", {{"10.0.0.1", 0, 5000}, {"10.0.1.1", 100, 0}}, {}, 3000, {{1, Cut::Deadline}}},
        {"no pressure: slow heads wait for the deadline", {{"10.0.0.1", 0, 0}}, {}, 2500, {}},
        {"pressure: heads slower than the minimum rate are cut past their grace",
         {{"10.0.1.1", 0, 10}, {"10.0.2.1", 0, 1000}, {"10.0.3.1", 300, 0}, {"10.0.4.1", 300, 1000}}, {}, 900,
         {{1, Cut::Slow}, {3, Cut::Slow}}},
        {"pressure: a head within its grace waits",
         {{"10.0.1.1", 0, 0}, {"10.0.2.1", 0, 1000}, {"10.0.3.1", 0, 1000}, {"10.0.4.1", 600, 0}}, {}, 700,
         {{1, Cut::Slow}}},
        {"pressure from one address holds for all",
         {{"10.0.0.1", 0, 0}, {"10.0.0.1", 0, 1000}, {"10.0.1.1", 0, 0}}, {}, 700, {{1, Cut::Slow}, {3, Cut::Slow}}},
    };
    for (const Row& row : rows) {
        HeadLedger ledger(caps, std::chrono::milliseconds(3000));
        std::vector<Closed> closed;
        HeadLedger::Id id = 0;
        for (const Arrival& a : row.arrivals) {
            for (const HeadLedger::Closing& c : ledger.Add(++id, a.address, NetworkOf(a.address), ms(a.atMs))) {
                closed.push_back({c.id, c.why});
            }
            ledger.Progress(id, a.bytes);
        }
        EXPECT_EQ(row.closed, closed) << row.name;
        if (std::string(row.name) == "a head that has come counts no more") {
            ledger.Remove(1);
            EXPECT_EQ(0u, ledger.size()) << row.name;
            continue;
        }
        if (row.sweepAtMs == 0) continue;
        std::vector<Closed> swept;
        for (const HeadLedger::Closing& c : ledger.Sweep(ms(row.sweepAtMs))) swept.push_back({c.id, c.why});
        EXPECT_EQ(row.swept, swept) << row.name;
    }
    // Out of descriptors: the oldest past its grace, and only such a one.
    HeadLedger ledger(caps, std::chrono::milliseconds(3000));
    ledger.Add(1, "10.0.0.1", "10.0.0.0/24", ms(0));
    ledger.Add(2, "10.0.1.1", "10.0.1.0/24", ms(400));
    HeadLedger::Closing oldest{};
    EXPECT_FALSE(ledger.TakeOldest(ms(300), oldest));
    ASSERT_TRUE(ledger.TakeOldest(ms(600), oldest));
    EXPECT_EQ(1u, oldest.id);
    EXPECT_FALSE(ledger.TakeOldest(ms(600), oldest));
}

}  // namespace
