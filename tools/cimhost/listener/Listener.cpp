#include "listener/Listener.h"

#include <httplib.h>

#include <stdexcept>

#include "listener/ExportMessage.h"

namespace cimhost {
namespace listener {
namespace {

const char kXmlType[] = "application/xml; charset=\"utf-8\"";

}  // namespace

Listener::Listener(int port) : server_(std::make_unique<httplib::Server>()) {
    // A CIMOM posts one export request per indication; nothing it sends is
    // near this size.
    server_->set_payload_max_length(16u << 20);
    // Answers go out at once: a kept-alive client would otherwise wait for
    // the delayed acknowledgement of its previous request (Nagle), about
    // 40 ms a post.
    server_->set_tcp_nodelay(true);
    // A CIMOM keeps one connection per destination; closing it after the
    // library's default of five requests would add a connect to every fifth.
    server_->set_keep_alive_max_count(100000);
    server_->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        ExportParse parse;
        const std::string exportHeader = request.get_header_value("CIMExport");
        if (!exportHeader.empty() && exportHeader != "MethodRequest") {
            parse.error = "CIMExport header '" + exportHeader + "'";
            parse.status = kCimErrNotSupported;
            response.set_header("CIMError", "header-mismatch");
        } else {
            parse = parseExportIndication(request.body);
            if (!parse.ok)
                response.set_header("CIMError",
                                    parse.wellFormed ? "request-not-valid" : "request-not-well-formed");
        }
        if (!parse.ok) {
            response.status = 400;
            response.set_header("CIMExport", "MethodResponse");
            response.set_content(exportErrorResponse(parse.request.messageId, parse.status, parse.error),
                                 kXmlType);
            reject();
            return;
        }
        const std::string messageId = parse.request.messageId;
        record(Delivery{request.path, std::move(parse.request.indication)});
        response.set_header("CIMExport", "MethodResponse");
        response.set_content(exportResponse(messageId), kXmlType);
    });

    port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                      : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    if (port_ <= 0) throw std::runtime_error("listener: cannot listen on 127.0.0.1:" + std::to_string(port));
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
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

void Listener::record(Delivery delivery) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(std::move(delivery));
    }
    changed_.notify_all();
}

void Listener::reject() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++rejected_;
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
