#include "exchange.h"

#include <ostream>  // before Boost 1.74's string_view, which needs it whole

#include <boost/beast/http/status.hpp>

namespace reports {

Answer TextAnswer(int status, const std::string& text) {
    Answer answer;
    answer.status = status;
    answer.headers.emplace_back("Cache-Control", "no-store");
    answer.body = text + "\n";
    return answer;
}

std::string AnswerHead(const Answer& answer, bool chunked) {
    const auto reason = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(answer.status));
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + std::string(reason.data(), reason.size()) +
                       "\r\nContent-Type: " + answer.contentType + "\r\n";
    for (const auto& [name, value] : answer.headers) head += name + ": " + value + "\r\n";
    head += chunked ? "Transfer-Encoding: chunked\r\n" : "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    return head + "Connection: close\r\n\r\n";
}

}  // namespace reports
