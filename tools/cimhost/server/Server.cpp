#include "server/Server.h"

#include <arpa/inet.h>
#include <httplib.h>

#include <cctype>
#include <stdexcept>

#include "core/Cimom.h"
#include "server/Headers.h"
#include "server/Operations.h"
#include "server/Passwords.h"
#include "server/Request.h"

namespace cimhost {
namespace server {
namespace {

const char kXmlType[] = "application/xml; charset=\"utf-8\"";

// `prefix`: an M-POST's answer carries its CIM headers under the request's.
void refuse(httplib::Response& response, int status, const std::string& cimError, const std::string& reason,
            const std::string& prefix = "") {
    response.status = status;
    if (!cimError.empty()) response.set_header(prefix + "CIMError", cimError);
    response.set_content(reason + "\n", "text/plain");
}

bool loopback(const std::string& address) {
    in_addr v4;
    in6_addr v6;
    if (address == "localhost") return true;
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::unique_ptr<httplib::Server> httpServer(const ServerOptions& options) {
    if (options.certFile.empty() != options.keyFile.empty())
        throw std::runtime_error("HTTPS needs both a certificate and its key");
    http::FrontLimits limits = options.limits;
    limits.mandatoryPost = true;
    if (options.certFile.empty()) return http::plainFront(limits);
    std::string error;
    std::unique_ptr<httplib::Server> https =
        http::tlsFront(limits, options.certFile, options.keyFile, &error);
    if (!https) throw std::runtime_error(error);
    return https;
}

}  // namespace

Server::Server(Cimom& cimom, ServerOptions options)
    : options_(std::move(options)), operations_(std::make_unique<Operations>(cimom)) {
    if (!options_.passwordFile.empty()) {
        passwords_ = std::make_unique<Passwords>();
        std::string error;
        if (!passwords_->load(options_.passwordFile, &error)) throw std::runtime_error(error);
    } else if (!loopback(options_.address)) {
        throw std::runtime_error("refusing to serve " + options_.address +
                                 " without authentication: give a password file, or bind a loopback address");
    }
    http_ = httpServer(options_);
    // Credentials are checked before the body is read and before any route:
    // nothing of an unauthenticated request reaches the CIMOM. Its body is
    // left unread, so the connection is declared done: a client that tries
    // again with credentials does so on a new one.
    http_->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        if (admitted(request)) return httplib::Server::HandlerResponse::Unhandled;
        response.status = 401;
        response.set_header("WWW-Authenticate", "Basic realm=\"cimhost\"");
        response.set_header("Connection", "close");
        response.set_content("authentication required\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    const size_t workers = options_.workers;
    http_->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    http_->set_payload_max_length(options_.maxRequestBytes);
    // Accepted sockets take it from the listening one.
    http_->set_tcp_nodelay(true);
    http_->set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, const std::exception_ptr&) {
            response.status = 500;
            response.set_content("the request could not be served\n", "text/plain");
        });
    http_->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        serve(request, response);
    });
    port_ = http::bindFront(*http_, options_.address, options_.port);
    if (port_ <= 0)
        throw std::runtime_error("cannot listen on " + options_.address + ":" +
                                 std::to_string(options_.port));
}

Server::~Server() { stop(); }

void Server::run() {
    if (!stopped_) http_->listen_after_bind();
}

void Server::stop() {
    stopped_ = true;
    http_->stop();
}

bool Server::admitted(const httplib::Request& request) const {
    if (!passwords_) return true;
    std::string user, password;
    return basicCredentials(request.get_header_value("Authorization"), &user, &password) &&
           passwords_->check(user, password);
}

void Server::serve(const httplib::Request& request, httplib::Response& response) {
    // An M-POST names the CIM mapping in its Man header and carries its CIM
    // headers, and its answer's, under the prefix declared there.
    std::string prefix;
    if (request.has_header("Man")) {
        if (!http::manPrefix(request.get_header_value("Man"), &prefix))
            return refuse(response, 501, "", "the Man header names no CIM mapping with a prefix");
        response.set_header("Ext", "");
    }
    const auto cim = [&](const char* name) { return request.get_header_value(prefix + name); };
    const auto fail = [&](int status, const std::string& cimError, const std::string& reason) {
        refuse(response, status, cimError, reason, prefix);
    };
    if (!xmlContentType(request.get_header_value("Content-Type")))
        return fail(415, "", "a CIM operation request is application/xml in UTF-8");
    if (cim("CIMOperation") != "MethodCall")
        return fail(400, "unsupported-operation", "the CIMOperation header must be MethodCall");
    const std::string protocol = cim("CIMProtocolVersion");
    if (!protocol.empty() && protocol.compare(0, 2, "1.") != 0 && protocol != "1")
        return fail(501, "unsupported-protocol-version", "CIMProtocolVersion " + protocol);

    Request call;
    Refusal refusal;
    if (!readRequest(request.body, operations_->classes(), &call, &refusal))
        return fail(refusal.httpStatus, refusal.cimError, refusal.reason);
    if (!request.has_header(prefix + "CIMMethod") || !sameName(cim("CIMMethod"), call.method))
        return fail(400, "header-mismatch", "the CIMMethod header does not name the body's call");
    if (!request.has_header(prefix + "CIMObject") || !objectMatches(cim("CIMObject"), call))
        return fail(400, "header-mismatch", "the CIMObject header does not name the body's object");

    response.set_header(prefix + "CIMOperation", "MethodResponse");
    response.set_content(operations_->answer(call), kXmlType);
}

}  // namespace server
}  // namespace cimhost
