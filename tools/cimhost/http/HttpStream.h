// A stream for the HTTP library over one connected socket, used instead of
// the library's own on both ends of our HTTP (the exporter posting to a
// listener, the operations server answering clients). The library writes a
// message's head and body apart and asks poll before every read and write;
// this stream
// - keeps what the library writes until it reads or the message is done, so
//   a message leaves in one write (one segment on a no-delay socket, one
//   wake-up of the peer);
// - reads what the socket holds before it waits, and waits only when
//   nothing is there;
// - fails a wait that would pass a deadline set by its owner, so that a
//   whole request can be bounded, not only each read.
// Not for use by several threads at once.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace cimhost {
namespace http {

// What a transport step asks for when it cannot go on yet.
constexpr ssize_t kWantRead = -2;
constexpr ssize_t kWantWrite = -3;

// Bytes in and out of one connected socket, plain or through TLS. Every call
// returns at once: a count, 0 for the peer's end (receive), -1 for a
// failure, or kWantRead / kWantWrite to be called again, with the same
// arguments, when the socket is ready.
class Transport {
public:
    virtual ~Transport() = default;
    // 1 once the connection is ready for messages (a TLS handshake done).
    virtual ssize_t open() { return 1; }
    virtual ssize_t receive(char* data, size_t size) = 0;
    virtual ssize_t send(const char* data, size_t size) = 0;
    // Whether bytes already taken from the socket wait to be received.
    virtual bool pending() const { return false; }
};

// The socket itself; it may stay blocking, every call is made not to block.
class PlainTransport final : public Transport {
public:
    explicit PlainTransport(int fd) : fd_(fd) {}
    ssize_t receive(char* data, size_t size) override;
    ssize_t send(const char* data, size_t size) override;

private:
    int fd_;
};

// Waits until `fd` is ready for `events` (poll's), at most `wait`; false on
// time-out or failure.
bool socketReady(int fd, short events, std::chrono::milliseconds wait);

class HttpStream final : public httplib::Stream {
public:
    using Clock = std::chrono::steady_clock;

    // `io`: the longest any one wait for the peer may take. The transport
    // must outlive the stream.
    HttpStream(int fd, Transport& transport, std::chrono::milliseconds io);

    // No wait goes beyond this point: one that would fails the stream. None
    // until set.
    void setDeadline(Clock::time_point deadline) { deadline_ = deadline; }
    // The transport's opening (nothing for plain sockets), bounded by the
    // deadline.
    bool open();
    // Sends what the library wrote; false when the peer does not take it.
    bool flush();
    // A wait timed out, the peer failed or sent garbage to TLS: nothing more
    // should be read or written.
    bool failed() const { return failed_; }
    // When the bytes not yet read begin with `from`, makes them begin with
    // `to` (no longer than `from`) instead; reads first when none are held.
    // False, and nothing changed, otherwise (also when fewer bytes than
    // `from` has came in the first read).
    bool replaceLeading(const std::string& from, const std::string& to);
    // Bytes of the peer's that the library has not read yet.
    bool holdsInput() const { return in_ < end_ || transport_.pending(); }

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* data, size_t size) override;
    ssize_t write(const char* data, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return fd_; }

private:
    static constexpr size_t kBufferSize = 16 * 1024;
    // Larger messages go out in pieces of about this size.
    static constexpr size_t kFlushAt = 64 * 1024;

    bool await(ssize_t want);
    ssize_t fill();

    const int fd_;
    Transport& transport_;
    const std::chrono::milliseconds io_;
    Clock::time_point deadline_ = Clock::time_point::max();
    bool failed_ = false;
    char buffer_[kBufferSize];
    size_t in_ = 0, end_ = 0;
    std::string out_;
    // The addresses, looked up when first asked for.
    mutable bool peerKnown_ = false, localKnown_ = false;
    mutable std::string peerIp_, localIp_;
    mutable int peerPort_ = 0, localPort_ = 0;
};

// The HTTP library's plain client with each exchange on an HttpStream (one
// write per request, answers read before poll is asked); connecting, keeping
// the connection and reading answers stay the library's. `io` bounds every
// wait of an exchange, as the stream's io does.
std::unique_ptr<httplib::ClientImpl> streamClient(const std::string& host, int port,
                                                  std::chrono::milliseconds io);

// A client for `host` and `port`: streamClient for plain HTTP, the library's
// TLS client for `https`; null when this build has no TLS.
std::unique_ptr<httplib::ClientImpl> clientFor(bool https, const std::string& host, int port,
                                               std::chrono::milliseconds io);

// "host", "host:port", "[v6]" or "[v6]:port" as the host a client connects
// to (without brackets) and the port, `defaultPort` when none is given;
// false when there is no host or the port is no port from 1 to 65535.
bool hostAndPort(const std::string& text, int defaultPort, std::string* host, int* port);

}  // namespace http
}  // namespace cimhost
