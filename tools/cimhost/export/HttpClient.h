// One keep-alive HTTP(S) connection to one URL, for posting requests one at a
// time: no redirects followed, answers larger than a limit refused, connect
// and read time limits. Plain HTTP goes through an HttpStream: a request
// leaves in one write, and the answer is read without asking poll first
// when it is there. Not for use by several threads at once.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace httplib {
class ClientImpl;
}

namespace cimhost {
namespace exporting {

struct HttpSettings {
    std::chrono::milliseconds connect{2000};
    std::chrono::milliseconds read{10000};
    size_t maxAnswerBytes = 1u << 20;
    // The certificates (PEM) an https listener's must chain to; empty: the
    // system's trusted ones. The name or address in the URL is checked
    // against the certificate either way.
    std::string caFile;
};

struct HttpAnswer {
    // 0 when nothing usable came back; `error` says why.
    int status = 0;
    std::string error;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name (compared without regard to case); empty
    // when absent.
    std::string header(const std::string& name) const;
};

class HttpClient {
public:
    // `url`: http:// or https://, host (a name, an IPv4 address or an IPv6
    // one in brackets), optional port and path; a URL without a scheme is
    // taken as http. An unusable URL makes every post fail with the reason.
    HttpClient(const std::string& url, HttpSettings settings);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Why the URL is unusable; empty when it is fine.
    const std::string& urlError() const { return urlError_; }

    // POSTs `body` to the URL's path; the connection stays open for the next.
    HttpAnswer post(const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body,
                    const char* contentType);

private:
    std::string urlError_;
    std::string path_;
    HttpSettings settings_;
    std::unique_ptr<httplib::ClientImpl> client_;
};

}  // namespace exporting
}  // namespace cimhost
