#include "server/Front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>

#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
#include <openssl/ssl.h>
#endif

namespace cimhost {
namespace server {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What a transport step asks for when it cannot go on yet.
constexpr ssize_t kWantRead = -2;
constexpr ssize_t kWantWrite = -3;

// Bytes in and out of one accepted socket, plain or through TLS; every call
// returns at once: a count, 0 for the peer's end (receive), -1 for a failure,
// or kWantRead / kWantWrite to be called again when the socket is ready.
class Transport {
public:
    virtual ~Transport() = default;
    // 1 once the connection is ready for requests.
    virtual ssize_t open() { return 1; }
    virtual ssize_t receive(char* data, size_t size) = 0;
    virtual ssize_t send(const char* data, size_t size) = 0;
    // Whether bytes already read from the socket wait to be received.
    virtual bool pending() const { return false; }
};

class PlainTransport final : public Transport {
public:
    explicit PlainTransport(int fd) : fd_(fd) {}
    ssize_t receive(char* data, size_t size) override {
        return outcome(::recv(fd_, data, size, MSG_DONTWAIT), kWantRead);
    }
    ssize_t send(const char* data, size_t size) override {
        return outcome(::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL), kWantWrite);
    }

private:
    static ssize_t outcome(ssize_t n, ssize_t wait) {
        if (n >= 0) return n;
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? wait : -1;
    }
    int fd_;
};

// Waits until `fd` is ready for `events`, at most `wait`; false on time-out
// or failure.
bool ready(int fd, short events, milliseconds wait) {
    pollfd p{fd, events, 0};
    const int ms = static_cast<int>(std::max<milliseconds::rep>(0, wait.count()));
    int n;
    do n = ::poll(&p, 1, ms);
    while (n < 0 && errno == EINTR);
    return n > 0;
}

std::string numericAddress(int fd, bool peer, int* port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    sockaddr* a = reinterpret_cast<sockaddr*>(&address);
    if ((peer ? getpeername(fd, a, &length) : getsockname(fd, a, &length)) != 0) return std::string();
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (getnameinfo(a, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV))
        return std::string();
    *port = std::atoi(service);
    return host;
}

// The stream the library parses requests from and writes answers to.
class Connection final : public httplib::Stream {
public:
    Connection(int fd, Transport& transport, const FrontLimits& limits, const std::atomic<int>& listening)
        : fd_(fd), transport_(transport), limits_(limits), listening_(listening) {}

    // The TLS handshake (nothing for plain HTTP), bounded as a request is.
    bool open() {
        deadline_ = Clock::now() + limits_.request;
        for (;;) {
            const ssize_t n = transport_.open();
            if (n == 1) return true;
            if (n == -1 || !await(n)) return false;
        }
    }

    // Waits for the first bytes of the next request, and starts its
    // deadline; false when none come within the keep-alive time, when the
    // connection broke, or when the server stops.
    bool nextRequest() {
        if (failed_) return false;
        if (in_ == end_ && !transport_.pending()) {
            const Clock::time_point until = Clock::now() + limits_.keepAlive;
            // In slices, so that a stopping server is not kept waiting by
            // idle connections.
            while (!ready(fd_, POLLIN, std::min(milliseconds(100), remaining(until))))
                if (listening_ == INVALID_SOCKET || remaining(until).count() <= 0) return false;
        }
        deadline_ = Clock::now() + limits_.request;
        return true;
    }

    // Sends what the library wrote; false when the client does not take it.
    bool flush() {
        size_t sent = 0;
        while (sent < out_.size() && !failed_) {
            const ssize_t n = transport_.send(out_.data() + sent, out_.size() - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n == -1 || n == 0 || !await(n))
                failed_ = true;
        }
        out_.clear();
        return !failed_;
    }

    bool failed() const { return failed_; }

    bool is_readable() const override {
        return in_ < end_ || transport_.pending() || ready(fd_, POLLIN, limits_.io);
    }
    bool is_writable() const override { return ready(fd_, POLLOUT, limits_.io); }

    ssize_t read(char* data, size_t size) override {
        if (in_ == end_) {
            const ssize_t n = fill();
            if (n <= 0) return n;
        }
        const size_t n = std::min(size, end_ - in_);
        std::memcpy(data, buffer_ + in_, n);
        in_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* data, size_t size) override {
        out_.append(data, size);
        if (out_.size() >= kFlushAt && !flush()) return -1;
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        if (!peerKnown_) {
            peerIp_ = numericAddress(fd_, true, &peerPort_);
            peerKnown_ = true;
        }
        ip = peerIp_;
        port = peerPort_;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        if (!localKnown_) {
            localIp_ = numericAddress(fd_, false, &localPort_);
            localKnown_ = true;
        }
        ip = localIp_;
        port = localPort_;
    }
    socket_t socket() const override { return fd_; }

private:
    static constexpr size_t kBufferSize = 16 * 1024;
    static constexpr size_t kFlushAt = 64 * 1024;

    static milliseconds remaining(Clock::time_point until) {
        return std::chrono::duration_cast<milliseconds>(until - Clock::now());
    }

    // Waits as a transport step asked, no longer than one I/O wait and never
    // beyond the request's deadline; a time-out fails the connection.
    bool await(ssize_t want) {
        const milliseconds wait = std::min(limits_.io, remaining(deadline_));
        if (wait.count() <= 0 || !ready(fd_, want == kWantWrite ? POLLOUT : POLLIN, wait)) failed_ = true;
        return !failed_;
    }

    ssize_t fill() {
        // A client may wait for what was written so far (100 Continue)
        // before it sends more.
        if (!out_.empty() && !flush()) return -1;
        while (!failed_) {
            const ssize_t n = transport_.receive(buffer_, kBufferSize);
            if (n > 0) {
                in_ = 0;
                end_ = static_cast<size_t>(n);
                return n;
            }
            if (n == 0) return 0;
            if (n == -1) failed_ = true;
            await(n);
        }
        return -1;
    }

    const int fd_;
    Transport& transport_;
    const FrontLimits& limits_;
    const std::atomic<int>& listening_;
    Clock::time_point deadline_;
    bool failed_ = false;
    char buffer_[kBufferSize];
    size_t in_ = 0, end_ = 0;
    std::string out_;
    mutable bool peerKnown_ = false, localKnown_ = false;
    mutable std::string peerIp_, localIp_;
    mutable int peerPort_ = 0, localPort_ = 0;
};

// The requests of one connection, until it closes, fails, has served its
// share or the server stops; `one(connection, last, closed)` runs one.
void converse(Connection& connection, const FrontLimits& limits,
              const std::function<bool(Connection&, bool, bool&)>& one) {
    for (size_t left = limits.requestsPerConnection; left > 0 && connection.nextRequest(); --left) {
        bool closed = false;
        const bool served = one(connection, left == 1, closed);
        if (!connection.flush() || !served || closed || connection.failed()) break;
    }
}

void hangUp(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

class PlainFront final : public httplib::Server {
public:
    explicit PlainFront(const FrontLimits& limits) : limits_(limits) {}

private:
    bool process_and_close_socket(socket_t sock) override {
        {
            PlainTransport transport(sock);
            Connection connection(sock, transport, limits_, svr_sock_);
            converse(connection, limits_, [this](Connection& c, bool last, bool& closed) {
                return process_request(c, last, closed, nullptr);
            });
        }
        hangUp(sock);
        return true;
    }

    const FrontLimits limits_;
};

#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
class TlsTransport final : public Transport {
public:
    explicit TlsTransport(SSL* ssl) : ssl_(ssl) {}
    ssize_t open() override { return outcome(SSL_accept(ssl_)); }
    ssize_t receive(char* data, size_t size) override {
        return outcome(SSL_read(ssl_, data, static_cast<int>(std::min<size_t>(size, INT32_MAX))));
    }
    ssize_t send(const char* data, size_t size) override {
        return outcome(SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(size, INT32_MAX))));
    }
    bool pending() const override { return SSL_pending(ssl_) > 0; }

private:
    ssize_t outcome(int n) {
        if (n > 0) return n;
        switch (SSL_get_error(ssl_, n)) {
            case SSL_ERROR_WANT_READ:
                return kWantRead;
            case SSL_ERROR_WANT_WRITE:
                return kWantWrite;
            case SSL_ERROR_ZERO_RETURN:
                return 0;
            default:
                return -1;
        }
    }
    SSL* ssl_;
};

class TlsFront final : public httplib::SSLServer {
public:
    TlsFront(const FrontLimits& limits, const std::string& certFile, const std::string& keyFile)
        : SSLServer(certFile.c_str(), keyFile.c_str()), limits_(limits) {}

private:
    bool process_and_close_socket(socket_t sock) override {
        // Never blocking, so that a handshake or a record that arrives a byte
        // at a time is bounded by the deadline as plain bytes are.
        SSL* ssl =
            fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK) == 0 ? SSL_new(ssl_context()) : nullptr;
        if (ssl && SSL_set_fd(ssl, sock) == 1) {
            TlsTransport transport(ssl);
            Connection connection(sock, transport, limits_, svr_sock_);
            if (connection.open()) {
                converse(connection, limits_, [this](Connection& c, bool last, bool& closed) {
                    return process_request(c, last, closed, nullptr);
                });
                if (!connection.failed()) SSL_shutdown(ssl);
            }
        }
        if (ssl) SSL_free(ssl);
        hangUp(sock);
        return true;
    }

    const FrontLimits limits_;
};
#endif

}  // namespace

std::unique_ptr<httplib::Server> plainFront(const FrontLimits& limits) {
    return std::make_unique<PlainFront>(limits);
}

std::unique_ptr<httplib::Server> tlsFront(const FrontLimits& limits, const std::string& certFile,
                                          const std::string& keyFile, std::string* error) {
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    auto https = std::make_unique<TlsFront>(limits, certFile, keyFile);
    if (https->is_valid()) return https;
    *error = "cannot use the certificate " + certFile + " with the key " + keyFile;
#else
    (void)limits;
    (void)certFile;
    (void)keyFile;
    *error = "this build has no HTTPS";
#endif
    return nullptr;
}

}  // namespace server
}  // namespace cimhost
