// What `cimhost serve` reads from a request's HTTP headers, before and beside
// the body: the content type, the Basic credentials, and the CIMObject header
// matched against the call the body makes. Input: the Content-Type, the
// Authorization and the CIMObject header on the first three lines, the body
// after them.
#include <cstdint>
#include <string>

#include "server/Headers.h"
#include "server/Request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace cimhost;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string fields[3];
    size_t at = 0;
    for (std::string& field : fields) {
        const size_t end = input.find('\n', at);
        field = input.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? input.size() : end + 1;
    }
    server::xmlContentType(fields[0]);
    std::string user, password;
    if (server::basicCredentials(fields[1], &user, &password) && user.find(':') != std::string::npos)
        __builtin_trap();  // the user ends at the first colon
    const std::string decoded = server::percentDecoded(fields[2]);
    if (decoded.size() > fields[2].size()) __builtin_trap();
    server::Request request;
    server::Refusal refusal;
    if (server::readRequest(input.substr(at), ClassRepository::builtin(), &request, &refusal))
        server::objectMatches(fields[2], request);
    return 0;
}
