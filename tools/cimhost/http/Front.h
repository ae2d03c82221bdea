// The HTTP library's server on connections of our own: the library still
// parses requests, routes them and writes answers, but each connection's
// bytes go through an HttpStream (one write per answer, reads
// without asking poll first, the peer's address looked up once), and this
// front keeps the connection alive and bounds the reading of each request
// (request line, headers and body) by one deadline, where the library bounds
// only each read: a client that trickles a byte every few seconds loses its
// connection, and its worker turns to other clients, when the deadline
// passes.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace cimhost {
namespace http {

struct FrontLimits {
    // From the first byte of a request to its last.
    std::chrono::milliseconds request{std::chrono::seconds(30)};
    // Any one wait for a client's bytes, and for room to send it ours.
    std::chrono::milliseconds io{std::chrono::seconds(20)};
    // A kept-alive connection's wait for its next request.
    std::chrono::milliseconds keepAlive{std::chrono::seconds(5)};
    size_t requestsPerConnection = 1000;
    // M-POST (the HTTP extension framework's mandatory POST, which CIM
    // clients and CIMOMs may send) reaches the library, which knows no such
    // method, as the POST it extends; the handler tells it by its Man header
    // (see manPrefix). One whose method line came in pieces cannot be
    // rewritten: the library refuses it before any handler runs, and the
    // front answers 501, which tells the sender to fall back to POST.
    bool mandatoryPost = false;
};

// The prefix ("73-") under which an M-POST carries its CIM headers, from its
// Man header naming the CIM mapping and the prefix ("...cim/mapping/http/v1.0
// ; ns=73"); false when the header names no CIM mapping or no two-digit ns.
bool manPrefix(const std::string& man, std::string* prefix);

// Binds `server` to address:port (any free port when port is 0) and listens;
// the port bound, or -1 with errno set. The library's own bind would share
// the port with another server already on it (SO_REUSEPORT: each gets half
// the connections, and neither is told) and queue no more than 5
// connections not yet accepted, so that a burst of clients, or several
// CIMOMs posting at once, would see their connections dropped and tried
// again only a second or more later.
int bindFront(httplib::Server& server, const std::string& address, int port);

// A plain HTTP server.
std::unique_ptr<httplib::Server> plainFront(const FrontLimits& limits);

// An HTTPS server with the certificate chain and private key of these PEM
// files; null with *error set when they cannot be used, or when this build
// has no TLS. The TLS handshake counts as part of the first request.
std::unique_ptr<httplib::Server> tlsFront(const FrontLimits& limits, const std::string& certFile,
                                          const std::string& keyFile, std::string* error);

}  // namespace http
}  // namespace cimhost
