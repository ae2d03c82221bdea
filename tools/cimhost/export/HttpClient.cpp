#include "export/HttpClient.h"

#include <httplib.h>
#include <strings.h>

#include "http/HttpStream.h"

namespace cimhost {
namespace exporting {
namespace {

void setTimeout(std::chrono::milliseconds t, void (httplib::ClientImpl::*set)(time_t, time_t),
                httplib::ClientImpl& c) {
    const auto ms = t.count();
    (c.*set)(static_cast<time_t>(ms / 1000), static_cast<time_t>((ms % 1000) * 1000));
}

}  // namespace

std::string HttpAnswer::header(const std::string& name) const {
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    return std::string();
}

HttpClient::HttpClient(const std::string& url, HttpSettings settings) : settings_(std::move(settings)) {
    std::string rest = url;
    std::string scheme = "http";
    const size_t colon = rest.find("://");
    if (colon != std::string::npos) {
        scheme = rest.substr(0, colon);
        rest = rest.substr(colon + 3);
        for (char& c : scheme) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    const size_t slash = rest.find('/');
    const std::string hostPort = rest.substr(0, slash);
    path_ = slash == std::string::npos ? "/" : rest.substr(slash);
    if (scheme != "http" && scheme != "https") {
        urlError_ = "unsupported scheme '" + scheme + "' in " + url;
    } else if (hostPort.empty()) {
        urlError_ = "no host in " + url;
    } else if (hostPort.find_first_of(" \t\r\n@") != std::string::npos) {
        urlError_ = "blank or user part in the host of " + url;
    } else if (path_.find_first_of(" \t\r\n") != std::string::npos) {
        urlError_ = "blank in the path of " + url;
    }
    std::string host;
    int port = 0;
    if (urlError_.empty() && !http::hostAndPort(hostPort, scheme == "https" ? 443 : 80, &host, &port))
        urlError_ = "no usable host and port in " + url;
    if (!urlError_.empty()) return;
    client_ = http::clientFor(scheme == "https", host, port, settings_.read);
    if (!client_) {
        urlError_ = "this build cannot post to " + url;
        return;
    }
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    if (scheme == "https" && !settings_.caFile.empty()) client_->set_ca_cert_path(settings_.caFile);
#endif
    if (!client_->is_valid()) {
        urlError_ = "unusable URL " + url;
        client_.reset();
        return;
    }
    client_->set_keep_alive(true);
    client_->set_follow_location(false);
    // Without it a small request on a kept-alive connection waits for the
    // previous one's delayed acknowledgement (Nagle's algorithm).
    client_->set_tcp_nodelay(true);
    setTimeout(settings_.connect, &httplib::ClientImpl::set_connection_timeout, *client_);
    setTimeout(settings_.read, &httplib::ClientImpl::set_read_timeout, *client_);
    setTimeout(settings_.read, &httplib::ClientImpl::set_write_timeout, *client_);
}

HttpClient::~HttpClient() = default;

HttpAnswer HttpClient::post(const std::vector<std::pair<std::string, std::string>>& headers,
                            const std::string& body, const char* contentType) {
    HttpAnswer answer;
    if (!client_) {
        answer.error = urlError_;
        return answer;
    }
    httplib::Request request;
    request.method = "POST";
    request.path = path_;
    for (const auto& h : headers) request.headers.emplace(h.first, h.second);
    request.headers.emplace("Content-Type", contentType);
    request.body = body;
    bool tooLarge = false;
    std::string received;
    request.content_receiver = [&](const char* data, size_t n, uint64_t, uint64_t) {
        if (received.size() + n > settings_.maxAnswerBytes) {
            tooLarge = true;
            return false;
        }
        received.append(data, n);
        return true;
    };
    httplib::Response response;
    httplib::Error error = httplib::Error::Success;
    const bool sent = client_->send(request, response, error);
    if (tooLarge) {
        answer.error = "answer larger than " + std::to_string(settings_.maxAnswerBytes) + " bytes";
        return answer;
    }
    if (!sent) {
        answer.error = "HTTP client error " + httplib::to_string(error);
        return answer;
    }
    answer.status = response.status;
    for (const auto& h : response.headers) answer.headers.emplace_back(h.first, h.second);
    answer.body = received.empty() ? std::move(response.body) : std::move(received);
    return answer;
}

}  // namespace exporting
}  // namespace cimhost
