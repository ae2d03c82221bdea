#include "http/Front.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>

#include "http/HttpStream.h"

#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
#include <openssl/ssl.h>
#endif

namespace cimhost {
namespace http {
namespace {

using std::chrono::milliseconds;
using Clock = HttpStream::Clock;

// Waits for the first bytes of the next request, and starts its deadline;
// false when none come within the keep-alive time, when the connection
// failed, or when the server stops (its listening socket closed).
bool nextRequest(HttpStream& stream, const FrontLimits& limits, const std::atomic<int>& listening) {
    if (stream.failed()) return false;
    if (!stream.holdsInput()) {
        const Clock::time_point until = Clock::now() + limits.keepAlive;
        // In slices, so that a stopping server is not kept waiting by idle
        // connections.
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
            if (socketReady(stream.socket(), POLLIN, std::min(milliseconds(100), left))) break;
            if (listening == INVALID_SOCKET || left.count() <= 0) return false;
        }
    }
    stream.setDeadline(Clock::now() + limits.request);
    return true;
}

// The requests of one connection, until it closes, fails, has served its
// share or the server stops; `one(stream, last, closed)` runs one.
void converse(HttpStream& stream, const FrontLimits& limits, const std::atomic<int>& listening,
              const std::function<bool(HttpStream&, bool, bool&)>& one) {
    for (size_t left = limits.requestsPerConnection; left > 0 && nextRequest(stream, limits, listening);
         --left) {
        bool closed = false;
        if (limits.mandatoryPost) stream.replaceLeading("M-POST ", "POST ");
        const bool served = one(stream, left == 1, closed);
        if (!stream.flush() || !served || closed || stream.failed()) break;
    }
}

void hangUp(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

// The library builds its table of request methods the first time any of its
// servers reads a request line. Reading one refused line on the thread that
// builds a front has the table built before a connection thread exists.
// Without this, ThreadSanitizer, which cannot see the guard of a library
// built without it, took the first connection thread's build for a race
// with every later read on another thread.
template <class Front>
void readOneRequestLine(Front& front) {
    httplib::detail::BufferStream stream;
    static const char kRefused[] = "- / HTTP/1.1\r\n\r\n";
    stream.write(kRefused, sizeof kRefused - 1);
    bool closed = false;
    front.readRequest(stream, closed);
}

class PlainFront final : public httplib::Server {
public:
    explicit PlainFront(const FrontLimits& limits) : limits_(limits) { readOneRequestLine(*this); }
    bool readRequest(httplib::Stream& stream, bool& closed) {
        return process_request(stream, true, closed, nullptr);
    }

private:
    bool process_and_close_socket(socket_t sock) override {
        {
            PlainTransport transport(sock);
            HttpStream stream(sock, transport, limits_.io);
            converse(stream, limits_, svr_sock_, [this](HttpStream& s, bool last, bool& closed) {
                return process_request(s, last, closed, nullptr);
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
        : SSLServer(certFile.c_str(), keyFile.c_str()), limits_(limits) {
        readOneRequestLine(*this);
    }
    bool readRequest(httplib::Stream& stream, bool& closed) {
        return process_request(stream, true, closed, nullptr);
    }

private:
    bool process_and_close_socket(socket_t sock) override {
        // Never blocking, so that a handshake or a record that arrives a byte
        // at a time is bounded by the deadline as plain bytes are.
        SSL* ssl =
            fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK) == 0 ? SSL_new(ssl_context()) : nullptr;
        if (ssl && SSL_set_fd(ssl, sock) == 1) {
            TlsTransport transport(ssl);
            HttpStream stream(sock, transport, limits_.io);
            // The handshake counts as part of the first request.
            stream.setDeadline(Clock::now() + limits_.request);
            if (stream.open()) {
                converse(stream, limits_, svr_sock_, [this](HttpStream& s, bool last, bool& closed) {
                    return process_request(s, last, closed, nullptr);
                });
                if (!stream.failed()) SSL_shutdown(ssl);
            }
        }
        if (ssl) SSL_free(ssl);
        hangUp(sock);
        return true;
    }

    const FrontLimits limits_;
};
#endif

// The library on this front's terms. Its Keep-Alive header states the
// front's limits (the library's own say 5 requests, which a client may take
// at its word and reconnect). An M-POST the library refused (see
// FrontLimits::mandatoryPost) is answered 501 and its connection declared
// done: the library has not read the request's headers and body, and the
// sender must not send its POST after them.
std::unique_ptr<httplib::Server> onTerms(std::unique_ptr<httplib::Server> server, const FrontLimits& limits) {
    server->set_keep_alive_max_count(limits.requestsPerConnection);
    server->set_keep_alive_timeout(
        static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(limits.keepAlive).count()));
    if (limits.mandatoryPost)
        server->set_error_handler(httplib::Server::HandlerWithResponse(
            [](const httplib::Request& request, httplib::Response& response) {
                if (request.method != "M-POST") return httplib::Server::HandlerResponse::Unhandled;
                response.status = 501;
                response.set_header("Connection", "close");
                return httplib::Server::HandlerResponse::Handled;
            }));
    return server;
}

}  // namespace

std::unique_ptr<httplib::Server> plainFront(const FrontLimits& limits) {
    return onTerms(std::make_unique<PlainFront>(limits), limits);
}

std::unique_ptr<httplib::Server> tlsFront(const FrontLimits& limits, const std::string& certFile,
                                          const std::string& keyFile, std::string* error) {
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    auto https = std::make_unique<TlsFront>(limits, certFile, keyFile);
    if (https->is_valid()) return onTerms(std::move(https), limits);
    *error = "cannot use the certificate " + certFile + " with the key " + keyFile;
#else
    (void)limits;
    (void)certFile;
    (void)keyFile;
    *error = "this build has no HTTPS";
#endif
    return nullptr;
}

int bindFront(httplib::Server& server, const std::string& address, int port) {
    // The server keeps the option setter: it must not hold on to this frame.
    const auto listening = std::make_shared<socket_t>(INVALID_SOCKET);
    // Still free of its TIME_WAIT connections when a server restarts.
    server.set_socket_options([listening](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        *listening = sock;
    });
    errno = 0;
    const int bound =
        port == 0 ? server.bind_to_any_port(address) : (server.bind_to_port(address, port) ? port : -1);
    if (bound <= 0) return -1;
    // Listening again on a listening socket sets its queue anew.
    return ::listen(*listening, SOMAXCONN) == 0 ? bound : -1;
}

bool manPrefix(const std::string& man, std::string* prefix) {
    const size_t semicolon = man.find(';');
    if (semicolon == std::string::npos ||
        man.substr(0, semicolon).find("dmtf.org/cim/mapping") == std::string::npos)
        return false;
    size_t at = man.find_first_not_of(" \t", semicolon + 1);
    if (at == std::string::npos || man.compare(at, 3, "ns=") != 0) return false;
    at += 3;
    const size_t end = man.find_first_not_of("0123456789", at);
    const size_t digits = (end == std::string::npos ? man.size() : end) - at;
    if (digits != 2 || (end != std::string::npos && man.find_first_not_of(" \t", end) != std::string::npos))
        return false;
    *prefix = man.substr(at, 2) + "-";
    return true;
}

}  // namespace http
}  // namespace cimhost
