// Listener URLs are checked where they enter the interop namespace, so that
// the store only ever holds addresses a delivery could go to: a URL that
// smuggles a second header line, points at a local file or at the machine's
// own link-local services is refused before anything is kept.
#include "core/ListenerUrl.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cstdint>
#include <cstring>

namespace cimhost {

const size_t kMaxListenerUrlBytes = 2048;

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Well-formed UTF-8 without overlong forms or surrogates.
bool validUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xe ? 2 : (c >> 3) == 0x1e ? 3 : 9;
        if (n == 9 || i + n >= s.size()) return false;
        uint32_t cp = n == 0 ? c : n == 1 ? (c & 0x1f) : n == 2 ? (c & 0x0f) : (c & 0x07);
        for (size_t k = 1; k <= n; ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3f);
        }
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += n + 1;
    }
    return true;
}

struct Parts {
    std::string host;  // IPv6 without brackets
    bool ipv6 = false;
};

// Empty on success with *out filled; otherwise the problem.
std::string split(const std::string& url, Parts* out) {
    if (url.empty()) return "the URL is empty";
    if (url.size() > kMaxListenerUrlBytes)
        return "the URL is longer than " + std::to_string(kMaxListenerUrlBytes) + " bytes";
    if (!validUtf8(url)) return "the URL is not valid UTF-8";
    for (char c : url) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return "the URL contains a control character";
        if (u == ' ') return "the URL contains a space";
    }
    const size_t colon = url.find("://");
    const std::string scheme = colon == std::string::npos ? std::string() : lower(url.substr(0, colon));
    if (scheme != "http" && scheme != "https") return "the URL's scheme is not http or https";
    const size_t start = colon + 3;
    const size_t end = url.find_first_of("/?#", start);
    const std::string authority =
        url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (authority.find('@') != std::string::npos) return "the URL carries user information";
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) return "the URL's IPv6 address has no closing bracket";
        out->host = lower(authority.substr(1, close - 1));
        out->ipv6 = true;
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return "the URL's host is malformed";
        if (!rest.empty()) port = rest.substr(1);
        if (!rest.empty() && port.empty()) return "the URL's port is empty";
        in6_addr a;
        if (inet_pton(AF_INET6, out->host.c_str(), &a) != 1) return "the URL's IPv6 address is malformed";
    } else {
        const size_t p = authority.find(':');
        out->host = lower(authority.substr(0, p));
        if (p != std::string::npos) {
            port = authority.substr(p + 1);
            if (port.empty()) return "the URL's port is empty";
        }
        for (char c : out->host)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
                return "the URL's host contains '" + std::string(1, c) +
                       "' (international names are given in their ASCII form)";
    }
    if (out->host.empty()) return "the URL has no host";
    if (!port.empty()) {
        unsigned long n = 0;
        for (char c : port) {
            if (!std::isdigit(static_cast<unsigned char>(c)) || n > 65535)
                return "the URL's port is not 1-65535";
            n = n * 10 + static_cast<unsigned long>(c - '0');
        }
        if (n == 0 || n > 65535) return "the URL's port is not 1-65535";
    }
    return std::string();
}

// A reason when the address is one no listener can be reached at.
const char* unusableV4(uint32_t a) {
    if (a == 0) return "the unspecified address";
    if ((a >> 16) == 0xa9fe) return "a link-local address";
    if ((a >> 28) == 0xe) return "a multicast address";
    if (a == 0xffffffffu) return "the broadcast address";
    return nullptr;
}

const char* unusable(const Parts& parts) {
    if (parts.ipv6) {
        in6_addr a;
        inet_pton(AF_INET6, parts.host.c_str(), &a);
        const uint8_t* b = a.s6_addr;
        static const uint8_t zero[16] = {0};
        if (std::memcmp(b, zero, 16) == 0) return "the unspecified address";
        if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return "a link-local address";
        if (b[0] == 0xff) return "a multicast address";
        static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(b, mapped, 12) == 0)
            return unusableV4(static_cast<uint32_t>(b[12]) << 24 | static_cast<uint32_t>(b[13]) << 16 |
                              static_cast<uint32_t>(b[14]) << 8 | b[15]);
        return nullptr;
    }
    // The resolver reads "2852039166", "0xa9.0xfe.1.1" and "169.254.257" as
    // addresses too, so the host is judged as the resolver would read it.
    in_addr v4;
    if (inet_aton(parts.host.c_str(), &v4) == 0) return nullptr;
    return unusableV4(ntohl(v4.s_addr));
}

}  // namespace

std::string listenerUrlProblem(const std::string& url, const std::vector<std::string>& allowedHosts) {
    Parts parts;
    std::string problem = split(url, &parts);
    if (!problem.empty()) return problem;
    if (const char* why = unusable(parts)) return "the URL's host is " + std::string(why);
    if (allowedHosts.empty()) return std::string();
    for (const std::string& allowed : allowedHosts) {
        std::string a = lower(allowed);
        if (a.size() > 2 && a.front() == '[' && a.back() == ']') a = a.substr(1, a.size() - 2);
        if (a == parts.host) return std::string();
    }
    return "the URL's host " + parts.host + " is not among the allowed listener hosts";
}

}  // namespace cimhost
