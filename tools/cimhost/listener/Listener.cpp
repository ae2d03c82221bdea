#include "listener/Listener.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "http/Front.h"
#include "listener/ExportMessage.h"

namespace cimhost {
namespace listener {
namespace {

const char kXmlType[] = "application/xml; charset=\"utf-8\"";

// On connections of our own (http/Front), whose answers leave in one write: the
// library's own answer in two woke the exporter twice a post. A CIMOM keeps
// one connection per destination; closing it after a few requests would add
// a connect to every few posts.
http::FrontLimits frontLimits() {
    http::FrontLimits limits;
    limits.requestsPerConnection = 100000;
    limits.mandatoryPost = true;
    return limits;
}

}  // namespace

Listener::Listener(int port) : Listener(Options{"127.0.0.1", port, nullptr, nullptr}) {}

Listener::Listener(Options options) : server_(http::plainFront(frontLimits())), options_(std::move(options)) {
    // A CIMOM posts one export request per indication; nothing it sends is
    // near this size.
    server_->set_payload_max_length(16u << 20);
    // Answers go out at once: a kept-alive client would otherwise wait for
    // the delayed acknowledgement of its previous request (Nagle), about
    // 40 ms a post.
    server_->set_tcp_nodelay(true);
    // Every method is routed to one handler, so that the answer to a GET is
    // the listener's own (405) rather than the library's 404.
    const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        const std::string peer = request.remote_addr + ":" + std::to_string(request.remote_port);
        // An M-POST carries its CIM headers, and its answer's, under the
        // prefix its Man header declares.
        std::string prefix;
        if (request.has_header("Man")) {
            if (!http::manPrefix(request.get_header_value("Man"), &prefix)) {
                response.status = 501;
                reject("an M-POST whose Man header names no CIM mapping (from " + peer + ")");
                return;
            }
            response.set_header("Ext", "");
        }
        const auto cim = [&](const char* name) { return request.get_header_value(prefix + name); };
        ExportAnswer answer =
            answerExport(ExportHttpRequest{request.method, cim("CIMExport"), cim("CIMExportMethod"),
                                           cim("CIMProtocolVersion"), request.body});
        if (answer.accepted) {
            Delivery delivery{request.path, std::move(answer.request.indication), peer};
            if (options_.handler) {
                if (!options_.handler(std::move(delivery))) {
                    answer.body = exportErrorResponse(answer.request.messageId, kCimErrFailed,
                                                      "the listener could not keep the indication");
                    reject("could not keep an indication from " + peer);
                }
            } else {
                record(std::move(delivery));
            }
        } else {
            reject(answer.error + " (from " + peer + ")");
        }
        response.status = answer.httpStatus;
        if (answer.httpStatus == 405) response.set_header("Allow", "POST, M-POST");
        if (!answer.cimErrorHeader.empty()) response.set_header(prefix + "CIMError", answer.cimErrorHeader);
        if (!answer.body.empty()) {
            response.set_header(prefix + "CIMExport", "MethodResponse");
            response.set_content(answer.body, kXmlType);
        }
    };
    server_->Post(".*", handle);
    server_->Get(".*", handle);
    server_->Put(".*", handle);
    server_->Delete(".*", handle);
    server_->Patch(".*", handle);
    server_->Options(".*", handle);
    start();
}

void Listener::start() {
    const std::string& bind = options_.bind;
    const int port = options_.port;
    port_ = http::bindFront(*server_, bind, port);
    if (port_ <= 0) {
        const int err = errno;
        throw std::runtime_error("cannot listen on " + bind + ":" + std::to_string(port) +
                                 (err ? std::string(": ") + std::strerror(err)
                                      : std::string(": no address of this machine goes by that name")));
    }
    // The socket listens from here on; connections wait in its backlog until
    // the thread accepts them.
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        finished_ = true;
    });
}

Listener::~Listener() {
    // A stop before the accept loop runs would be missed and the loop would
    // never end; a loop that failed to start needs none.
    while (!finished_ && !server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!finished_) server_->stop();
    thread_.join();
}

std::string Listener::url(const std::string& target) const {
    const bool v6 = options_.bind.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + options_.bind + "]" : options_.bind) + ":" + std::to_string(port_) +
           target;
}

void Listener::record(Delivery delivery) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(std::move(delivery));
    }
    changed_.notify_all();
}

void Listener::reject(const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++rejected_;
    }
    if (options_.onRefusal) options_.onRefusal(why);
}

size_t Listener::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

Delivery Listener::at(size_t i) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return i < received_.size() ? received_[i] : Delivery();
}

std::vector<Delivery> Listener::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool Listener::waitFor(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= n; });
}

size_t Listener::rejected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rejected_;
}

}  // namespace listener
}  // namespace cimhost
