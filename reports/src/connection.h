// One accepted connection of the intake: it reads the request head, hands a
// whole one to the handler, and is the Reply the routes answer through.
// Created, read and closed on the intake's thread; the Reply's calls come
// from any thread and are carried over to it.
#pragma once
#include <boost/beast/core/tcp_stream.hpp>
#include <memory>
#include <string>

#include "intake_state.h"

namespace reports {

class Intake::Connection : public Reply, public std::enable_shared_from_this<Intake::Connection> {
public:
    Connection(State& state, boost::asio::ip::tcp::socket socket, HeadLedger::Id id, std::string client);
    ~Connection() override;

    // Starts reading the head.
    void Begin();
    // Closes it before its head has come, with a short answer (408 or 503)
    // and a line in the access log; what the client sent is read away first,
    // so that the close does not reset the connection before the answer
    // arrives.
    void Cut(int status, const char* reason, const std::string& text);

    void Send(Answer answer) override;
    bool Start(Answer head) override;
    bool Write(std::string chunk) override;
    void End() override;

private:
    void Read();
    void OnRead(const boost::system::error_code& error, std::size_t bytes);
    // The head is in (or the connection stopped sending): parse and route it.
    void Dispatch(std::size_t end);
    // Writes `bytes` on the intake's thread; `done` gets whether it went.
    void Put(std::shared_ptr<const std::string> bytes, std::function<void(bool)> done);
    // Runs `put` on the intake's thread and waits for its result (a page
    // thread's streamed answer), at most the write timeout.
    bool Await(std::function<void(std::function<void(bool)>)> put);
    // The answer is out: logged, counted, and the connection closed.
    void Finish(int status, std::int64_t bodyBytes);
    void Close();
    void ReadAway();

    State& state_;
    boost::beast::tcp_stream stream_;
    const HeadLedger::Id id_;
    const std::string client_;
    std::string head_;
    std::size_t used_ = 0;
    bool cut_ = false;
    bool parsed_ = false;
    bool headOnly_ = false;  // a HEAD request: answers go without their body
    Request request_;
    int streamStatus_ = 0;
    std::atomic<bool> streaming_{false}, ended_{false};
};

}  // namespace reports
