#include "connection.h"

#include <sys/socket.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <future>

#include "request_rules.h"

namespace reports {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;

namespace {

// A client that reads its answer no faster than this is dropped.
constexpr auto kWriteTimeout = std::chrono::seconds(5);
constexpr std::size_t kReadChunk = 4096;

}  // namespace

Intake::Connection::Connection(State& state, asio::ip::tcp::socket socket, HeadLedger::Id id, std::string client)
    : state_(state), stream_(std::move(socket)), id_(id), client_(std::move(client)) {
    state_.open++;
}

Intake::Connection::~Connection() {
    // A stream dropped before its end: the connection closes (below, as the
    // socket goes) without the last chunk, and is logged as it ends.
    if (streaming_ && !ended_) {
        state_.log.Write(client_, &request_, streamStatus_, -1);
        state_.metrics.Answered(streamStatus_);
    }
    state_.open--;
}

void Intake::Connection::Begin() { Read(); }

void Intake::Connection::Read() {
    const std::size_t want = std::min(kReadChunk, kMaxRequestBytes - used_);
    if (head_.size() < used_ + want) head_.resize(used_ + want);
    stream_.async_read_some(asio::buffer(&head_[used_], want),
                            [self = shared_from_this()](const boost::system::error_code& error, std::size_t bytes) {
                                self->OnRead(error, bytes);
                            });
}

void Intake::Connection::OnRead(const boost::system::error_code& error, std::size_t bytes) {
    if (cut_) return;  // closed for the caps or the deadline, logged there
    used_ += bytes;
    state_.ledger.Progress(id_, used_);
    const std::size_t end = HeadEnd(std::string_view(head_.data(), used_));
    if (end == std::string::npos && !error && used_ < kMaxRequestBytes) return Read();
    state_.ledger.Remove(id_);
    state_.pending.erase(id_);
    if (end == std::string::npos && used_ == 0) return Close();  // closed before a byte came
    Dispatch(end);
}

void Intake::Connection::Dispatch(std::size_t end) {
    if (end == std::string::npos) {
        return Send(TextAnswer(400, "the request head was cut short, or is larger than 32768 bytes"));
    }
    const std::string head = NormalizeHead(std::string_view(head_.data(), end));
    std::string().swap(head_);
    http::request_parser<http::empty_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(head.size() + 1));
    parser.eager(false);
    boost::system::error_code error;
    parser.put(asio::buffer(head), error);
    if (!parser.is_header_done()) return Send(TextAnswer(400, "bad request: " + error.message()));
    const auto& message = parser.get();
    request_.method = std::string(message.method_string());
    request_.target = std::string(message.target());
    request_.version = message.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
    request_.host = std::string(message[http::field::host]);
    request_.client = client_;
    parsed_ = true;
    headOnly_ = request_.method == "HEAD";
    HeadSize size;
    size.target = request_.target.size();
    for (const auto& field : message) {
        const std::size_t line = field.name_string().size() + field.value().size();
        size.largestField = std::max(size.largestField, line);
        size.fieldBytes += line + 4;
        size.fields++;
    }
    switch (HeadStatus(size)) {
        case 414:
            return Send(TextAnswer(414, "the request target is longer than 1024 bytes"));
        case 400:
            return Send(TextAnswer(400, "a header line is longer than 8192 bytes"));
        case 431:
            return Send(TextAnswer(431, "the request headers are larger than 8192 bytes or 64 fields"));
        default:
            state_.handler(request_, shared_from_this());
    }
}

void Intake::Connection::Put(std::shared_ptr<const std::string> bytes, std::function<void(bool)> done) {
    stream_.expires_after(kWriteTimeout);
    asio::async_write(stream_, asio::buffer(*bytes),
                      [self = shared_from_this(), bytes, done = std::move(done)](const boost::system::error_code& error,
                                                                                 std::size_t) { done(!error); });
}

void Intake::Connection::Send(Answer answer) {
    asio::dispatch(state_.io, [self = shared_from_this(), answer = std::move(answer)] {
        auto bytes = std::make_shared<std::string>(AnswerHead(answer, false));
        if (!self->headOnly_) *bytes += answer.body;
        const int status = answer.status;
        const auto size = static_cast<std::int64_t>(answer.body.size());
        self->Put(bytes, [self, status, size](bool) { self->Finish(status, size); });
    });
}

bool Intake::Connection::Await(std::function<void(std::function<void(bool)>)> put) {
    auto sent = std::make_shared<std::promise<bool>>();
    std::future<bool> result = sent->get_future();
    asio::dispatch(state_.io, [self = shared_from_this(), put = std::move(put), sent] {
        put([sent](bool ok) { sent->set_value(ok); });
    });
    // Past the write timeout (and a margin) the intake has stopped: the
    // stream is cut.
    return result.wait_for(kWriteTimeout + std::chrono::seconds(1)) == std::future_status::ready && result.get();
}

bool Intake::Connection::Start(Answer head) {
    streamStatus_ = head.status;
    streaming_ = true;
    auto bytes = std::make_shared<const std::string>(AnswerHead(head, true));
    const bool sent = Await([this, bytes](std::function<void(bool)> done) { Put(bytes, std::move(done)); });
    if (sent && headOnly_) End();  // a HEAD request has its answer: no chunk follows
    return sent && !headOnly_;
}

bool Intake::Connection::Write(std::string chunk) {
    if (chunk.empty() || headOnly_) return !headOnly_;
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    auto bytes = std::make_shared<const std::string>(size + chunk + "\r\n");
    return Await([this, bytes](std::function<void(bool)> done) { Put(bytes, std::move(done)); });
}

void Intake::Connection::End() {
    if (ended_.exchange(true)) return;
    auto last = std::make_shared<const std::string>(headOnly_ ? "" : "0\r\n\r\n");
    asio::dispatch(state_.io, [self = shared_from_this(), last] {
        self->Put(last, [self](bool) { self->Finish(self->streamStatus_, -1); });
    });
}

void Intake::Connection::Finish(int status, std::int64_t bodyBytes) {
    state_.log.Write(client_, parsed_ ? &request_ : nullptr, status, bodyBytes);
    state_.metrics.Answered(status);
    Close();
}

void Intake::Connection::ReadAway() {
    // Straight on the descriptor, each read without blocking: with nothing
    // left, as after every report, that is one call and no change of mode.
    char scratch[kReadChunk];
    const int fd = stream_.socket().native_handle();
    for (int i = 0; i < 16 && ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0; ++i) {
    }
}

void Intake::Connection::Close() {
    // What the client sent beyond the head is read away first: closing with
    // unread bytes resets the connection, and the client may lose the answer.
    // The close itself ends the connection after the answer (no shutdown
    // first: one call less for every report).
    ReadAway();
    boost::system::error_code ignored;
    stream_.socket().close(ignored);
}

void Intake::Connection::Cut(int status, const char* reason, const std::string& text) {
    cut_ = true;
    ReadAway();
    const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                               "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                               std::to_string(text.size() + 1) +
                               "\r\nCache-Control: no-store\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" + text + "\n";
    // Without blocking: a fresh socket's buffer takes it whole; when it does
    // not, the client is gone and there is no one left to tell.
    static_cast<void>(::send(stream_.socket().native_handle(), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL));
    state_.log.Write(client_, nullptr, status, -1);
    state_.metrics.Answered(status);
    Close();
}

}  // namespace reports
