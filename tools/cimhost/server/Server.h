// The HTTP side of the CIM-XML operations server: POST requests checked
// against DSP0200's headers, read, run on the CIMOM and answered, on the HTTP
// library's pool of worker threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "http/Front.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace cimhost {

class Cimom;

namespace server {

class Operations;
class Passwords;

struct ServerOptions {
    std::string address = "127.0.0.1";
    int port = 5988;  // 0: any free port (see Server::port)
    // Bodies larger than this are refused with 413 before they are read on.
    size_t maxRequestBytes = 4u << 20;
    // How long a client may take to send a whole request, to send its next
    // bytes or to read an answer, and how long an idle connection is kept:
    // a slow or silent client gives its worker back after these.
    http::FrontLimits limits;
    // Requests served at once; a connection holds its worker while it is
    // kept alive, so more workers than the library's default keep a few
    // idle or slow clients from holding up the rest.
    size_t workers = 32;
    // Users admitted with HTTP Basic authentication (see Passwords); empty
    // admits anyone, which is allowed on a loopback address only.
    std::string passwordFile;
    // HTTPS with this certificate chain and private key (PEM) when set.
    std::string certFile;
    std::string keyFile;
};

class Server {
public:
    // Binds the socket; throws std::runtime_error with the reason when it
    // cannot, when the password file or the certificate cannot be used, or
    // when asked to listen beyond loopback without a password file. The
    // CIMOM must outlive the server.
    Server(Cimom& cimom, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }
    // Serves until stop(); returns at once when it was stopped already.
    void run();
    // From any thread, also before run().
    void stop();

private:
    void serve(const httplib::Request& request, httplib::Response& response);
    bool admitted(const httplib::Request& request) const;

    ServerOptions options_;
    std::unique_ptr<Operations> operations_;
    std::unique_ptr<Passwords> passwords_;
    std::unique_ptr<httplib::Server> http_;
    int port_ = -1;
    std::atomic<bool> stopped_{false};
};

}  // namespace server
}  // namespace cimhost
