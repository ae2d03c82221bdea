#include "server/Headers.h"

#include <openssl/evp.h>

#include <cctype>

namespace cimhost {
namespace server {
namespace {

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

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

namespace {

std::string withoutOuterSlashes(std::string ns) {
    while (!ns.empty() && ns.front() == '/') ns.erase(0, 1);
    while (!ns.empty() && ns.back() == '/') ns.pop_back();
    return ns;
}

}  // namespace

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
    // The decoder counts the padding as bytes of zeros; there are at most two.
    size_t length = static_cast<size_t>(n);
    for (size_t i = encoded.size(); i > encoded.size() - 2 && encoded[i - 1] == '=' && length > 0; --i)
        --length;
    decoded.resize(length);
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

}  // namespace server
}  // namespace cimhost
