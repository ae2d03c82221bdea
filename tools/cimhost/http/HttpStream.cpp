#include "http/HttpStream.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace cimhost {
namespace http {
namespace {

using std::chrono::milliseconds;

ssize_t outcome(ssize_t n, ssize_t wait) {
    if (n >= 0) return n;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? wait : -1;
}

class StreamClient final : public httplib::ClientImpl {
public:
    StreamClient(const std::string& host, int port, milliseconds io) : ClientImpl(host, port), io_(io) {}

private:
    bool process_socket(const Socket& socket, std::function<bool(httplib::Stream&)> callback) override {
        PlainTransport transport(socket.sock);
        HttpStream stream(socket.sock, transport, io_);
        const bool done = callback(stream);
        return stream.flush() && done;
    }

    const milliseconds io_;
};

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

}  // namespace

ssize_t PlainTransport::receive(char* data, size_t size) {
    return outcome(::recv(fd_, data, size, MSG_DONTWAIT), kWantRead);
}

ssize_t PlainTransport::send(const char* data, size_t size) {
    return outcome(::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL), kWantWrite);
}

bool socketReady(int fd, short events, milliseconds wait) {
    pollfd p{fd, events, 0};
    const int ms = static_cast<int>(std::clamp<milliseconds::rep>(wait.count(), 0, 24 * 3600 * 1000));
    int n;
    do {
        n = ::poll(&p, 1, ms);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

HttpStream::HttpStream(int fd, Transport& transport, milliseconds io)
    : fd_(fd), transport_(transport), io_(io) {}

bool HttpStream::open() {
    for (;;) {
        const ssize_t n = transport_.open();
        if (n == 1) return true;
        if (n == -1 || !await(n)) return false;
    }
}

bool HttpStream::flush() {
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

bool HttpStream::is_readable() const { return holdsInput() || socketReady(fd_, POLLIN, io_); }

bool HttpStream::is_writable() const { return socketReady(fd_, POLLOUT, io_); }

ssize_t HttpStream::read(char* data, size_t size) {
    if (in_ == end_) {
        const ssize_t n = fill();
        if (n <= 0) return n;
    }
    const size_t n = std::min(size, end_ - in_);
    std::memcpy(data, buffer_ + in_, n);
    in_ += n;
    return static_cast<ssize_t>(n);
}

bool HttpStream::replaceLeading(const std::string& from, const std::string& to) {
    if (in_ == end_ && fill() <= 0) return false;
    if (to.size() > from.size() || end_ - in_ < from.size() ||
        std::memcmp(buffer_ + in_, from.data(), from.size()) != 0)
        return false;
    in_ += from.size() - to.size();
    std::memcpy(buffer_ + in_, to.data(), to.size());
    return true;
}

ssize_t HttpStream::write(const char* data, size_t size) {
    out_.append(data, size);
    if (out_.size() >= kFlushAt && !flush()) return -1;
    return static_cast<ssize_t>(size);
}

void HttpStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    if (!peerKnown_) {
        peerIp_ = numericAddress(fd_, true, &peerPort_);
        peerKnown_ = true;
    }
    ip = peerIp_;
    port = peerPort_;
}

void HttpStream::get_local_ip_and_port(std::string& ip, int& port) const {
    if (!localKnown_) {
        localIp_ = numericAddress(fd_, false, &localPort_);
        localKnown_ = true;
    }
    ip = localIp_;
    port = localPort_;
}

std::unique_ptr<httplib::ClientImpl> streamClient(const std::string& host, int port, milliseconds io) {
    return std::make_unique<StreamClient>(host, port, io);
}

std::unique_ptr<httplib::ClientImpl> clientFor(bool https, const std::string& host, int port,
                                               milliseconds io) {
    if (!https) return streamClient(host, port, io);
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    return std::make_unique<httplib::SSLClient>(host, port);
#else
    return nullptr;
#endif
}

bool hostAndPort(const std::string& text, int defaultPort, std::string* host, int* port) {
    size_t colon = text.rfind(':');
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        *host = text.substr(1, close - 1);
        colon = close + 1 < text.size() ? close + 1 : std::string::npos;
        if (colon != std::string::npos && text[colon] != ':') return false;
    } else {
        *host = text.substr(0, colon);
    }
    *port = defaultPort;
    if (colon == std::string::npos) return !host->empty();
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = std::stoi(digits);
    return !host->empty() && *port > 0 && *port < 65536;
}

// Waits as a transport step asked, no longer than one I/O wait and never
// beyond the deadline; a time-out fails the stream.
bool HttpStream::await(ssize_t want) {
    const milliseconds left = std::chrono::duration_cast<milliseconds>(deadline_ - Clock::now());
    const milliseconds wait = std::min(io_, left);
    if (wait.count() <= 0 || !socketReady(fd_, want == kWantWrite ? POLLOUT : POLLIN, wait)) failed_ = true;
    return !failed_;
}

ssize_t HttpStream::fill() {
    // The peer may wait for what was written so far (a whole request, or a
    // 100 Continue) before it sends more.
    if (!out_.empty() && !flush()) return -1;
    while (!failed_) {
        const ssize_t n = transport_.receive(buffer_, kBufferSize);
        if (n > 0) {
            in_ = 0;
            end_ = static_cast<size_t>(n);
            return n;
        }
        if (n == 0) return 0;
        if (n == -1)
            failed_ = true;
        else
            await(n);
    }
    return -1;
}

}  // namespace http
}  // namespace cimhost
