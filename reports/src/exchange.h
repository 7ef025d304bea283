// What passes between the intake and the routes: a request whose head has
// come whole, and the Reply a route answers it through. The routes know
// nothing of sockets; the intake knows nothing of reports or pages.
#pragma once
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace reports {

struct Request {
    std::string method;   // as sent: "GET", "HEAD", "POST"...
    std::string target;   // as sent, blanks in it as %20
    std::string version;  // "HTTP/1.1"
    std::string host;     // the Host header, empty without one
    std::string client;   // the peer's address
};

struct Answer {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;  // besides the type, length and Connection
    std::string body;
};

// A line of text for people, not to be cached: the answer of every refusal
// and of /healthz.
Answer TextAnswer(int status, const std::string& text);

// The other end of one request, answered once, from any thread. A HEAD
// request's answer goes without its body. Each answer is written to the
// access log once it is sent.
class Reply {
public:
    virtual ~Reply() = default;
    // The whole answer.
    virtual void Send(Answer answer) = 0;
    // A streamed answer, in chunks: Start sends the head, each Write blocks
    // until its chunk is sent and answers false once the client has gone or
    // stopped reading, and End sends the last chunk. A stream dropped before
    // End ends the connection without the last chunk: the client sees that
    // the answer was cut.
    virtual bool Start(Answer head) = 0;
    virtual bool Write(std::string chunk) = 0;
    virtual void End() = 0;
};
using ReplyPtr = std::shared_ptr<Reply>;

}  // namespace reports

namespace reports {

// The status line and headers of `answer` up to the blank line that ends
// them: its Content-Length, or Transfer-Encoding: chunked for a streamed
// one, and Connection: close (each connection serves one request).
std::string AnswerHead(const Answer& answer, bool chunked);

}  // namespace reports
