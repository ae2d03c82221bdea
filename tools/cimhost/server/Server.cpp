#include "server/Server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <cctype>
#include <stdexcept>

#include "core/Cimom.h"
#include "server/Operations.h"
#include "server/Passwords.h"
#include "server/Request.h"

namespace cimhost {
namespace server {
namespace {

const char kXmlType[] = "application/xml; charset=\"utf-8\"";

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// application/xml or text/xml, in UTF-8 when a charset is named at all.
bool xmlContentType(const std::string& value) {
    const std::string type = lowered(value);
    const std::string media = type.substr(0, type.find(';'));
    const auto trimmed = [](std::string s) {
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.erase(0, 1);
        return s;
    };
    if (trimmed(media) != "application/xml" && trimmed(media) != "text/xml") return false;
    const size_t charset = type.find("charset=");
    if (charset == std::string::npos) return true;
    std::string name = trimmed(type.substr(charset + 8));
    name = name.substr(0, name.find(';'));
    if (!name.empty() && name.front() == '"') name = name.substr(1, name.find('"', 1) - 1);
    return name == "utf-8" || name == "utf8";
}

// The CIMObject header's value with its %XX escapes decoded.
std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string withoutOuterSlashes(std::string ns) {
    while (!ns.empty() && ns.front() == '/') ns.erase(0, 1);
    while (!ns.empty() && ns.back() == '/') ns.pop_back();
    return ns;
}

// Whether CIMObject names what the body calls: the namespace of an intrinsic
// call; the namespace and class of an extrinsic one (its keys are left to
// the body, which states them typed).
bool objectMatches(const std::string& header, const Request& request) {
    const std::string object = percentDecoded(header);
    if (request.intrinsic)
        return sameName(withoutOuterSlashes(object), withoutOuterSlashes(request.nameSpace));
    const size_t colon = object.find(':');
    if (colon == std::string::npos) return false;
    const std::string className = object.substr(colon + 1, object.find('.', colon) - colon - 1);
    return sameName(withoutOuterSlashes(object.substr(0, colon)), withoutOuterSlashes(request.nameSpace)) &&
           sameName(className, request.target.className);
}

void refuse(httplib::Response& response, int status, const std::string& cimError, const std::string& reason) {
    response.status = status;
    if (!cimError.empty()) response.set_header("CIMError", cimError);
    response.set_content(reason + "\n", "text/plain");
}

bool loopback(const std::string& address) {
    in_addr v4;
    in6_addr v6;
    if (address == "localhost") return true;
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// The user and password of a Basic Authorization header; false for any
// other header.
bool basicCredentials(const std::string& header, std::string* user, std::string* password) {
    if (header.size() < 6 || lowered(header.substr(0, 6)) != "basic ") return false;
    std::string encoded = header.substr(6);
    while (!encoded.empty() && encoded.front() == ' ') encoded.erase(0, 1);
    if (encoded.empty() || encoded.size() % 4 || encoded.size() > 4096) return false;
    std::string decoded(encoded.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&decoded[0]),
                                  reinterpret_cast<const unsigned char*>(encoded.data()),
                                  static_cast<int>(encoded.size()));
    if (n < 0) return false;
    size_t length = static_cast<size_t>(n);
    for (size_t i = encoded.size(); i > 0 && encoded[i - 1] == '='; --i) --length;
    decoded.resize(length);
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

std::unique_ptr<httplib::Server> httpServer(const ServerOptions& options) {
    if (options.certFile.empty() != options.keyFile.empty())
        throw std::runtime_error("HTTPS needs both a certificate and its key");
    if (options.certFile.empty()) return std::make_unique<httplib::Server>();
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    auto https = std::make_unique<httplib::SSLServer>(options.certFile.c_str(), options.keyFile.c_str());
    if (!https->is_valid())
        throw std::runtime_error("cannot use the certificate " + options.certFile + " with the key " +
                                 options.keyFile);
    return https;
#else
    throw std::runtime_error("this build has no HTTPS");
#endif
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
    http_->set_read_timeout(options_.ioTimeoutSeconds, 0);
    http_->set_write_timeout(options_.ioTimeoutSeconds, 0);
    // A kept-alive connection must not hold a worker while it says nothing.
    http_->set_keep_alive_timeout(5);
    http_->set_keep_alive_max_count(1000);
    http_->set_tcp_nodelay(true);
    // The HTTP library refuses methods it does not know before any handler
    // runs; its error handler still sees the method. An M-POST is answered
    // 501, which tells a CIM client to fall back to POST, and the
    // connection is declared done: the library has not read the request's
    // headers and body, and the client must not send its POST after them.
    http_->set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& request, httplib::Response& response) {
            if (request.method != "M-POST") return httplib::Server::HandlerResponse::Unhandled;
            response.status = 501;
            response.set_header("Connection", "close");
            return httplib::Server::HandlerResponse::Handled;
        }));
    http_->set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, const std::exception_ptr&) {
            response.status = 500;
            response.set_content("the request could not be served\n", "text/plain");
        });
    http_->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        serve(request, response);
    });
    port_ = options_.port == 0 ? http_->bind_to_any_port(options_.address)
                               : (http_->bind_to_port(options_.address, options_.port) ? options_.port : -1);
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
    if (!xmlContentType(request.get_header_value("Content-Type")))
        return refuse(response, 415, "", "a CIM operation request is application/xml in UTF-8");
    if (request.get_header_value("CIMOperation") != "MethodCall")
        return refuse(response, 400, "unsupported-operation", "the CIMOperation header must be MethodCall");
    const std::string protocol = request.get_header_value("CIMProtocolVersion");
    if (!protocol.empty() && protocol.compare(0, 2, "1.") != 0 && protocol != "1")
        return refuse(response, 501, "unsupported-protocol-version", "CIMProtocolVersion " + protocol);

    Request call;
    Refusal refusal;
    if (!readRequest(request.body, operations_->classes(), &call, &refusal))
        return refuse(response, refusal.httpStatus, refusal.cimError, refusal.reason);
    if (!request.has_header("CIMMethod") || !sameName(request.get_header_value("CIMMethod"), call.method))
        return refuse(response, 400, "header-mismatch", "the CIMMethod header does not name the body's call");
    if (!request.has_header("CIMObject") || !objectMatches(request.get_header_value("CIMObject"), call))
        return refuse(response, 400, "header-mismatch",
                      "the CIMObject header does not name the body's object");

    response.set_header("CIMOperation", "MethodResponse");
    response.set_content(operations_->answer(call), kXmlType);
}

}  // namespace server
}  // namespace cimhost
