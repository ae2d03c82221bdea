// Whether a listener destination's URL is one the CIMOM could deliver to.
#pragma once

#include <string>
#include <vector>

namespace cimhost {

// The longest URL accepted; a listener address is far shorter.
extern const size_t kMaxListenerUrlBytes;

// Empty when `url` is an http or https URL with a host the CIMOM could reach;
// otherwise why not, in words for the client. Refused: another scheme, a
// byte that is a control character, a space or not UTF-8, more than
// kMaxListenerUrlBytes, user information ("user@"), no host or a malformed
// one, a port outside 1-65535, and addresses no listener can sit behind
// (unspecified, link-local 169.254/16 and fe80::/10, multicast, broadcast),
// however the address is spelled. When `allowedHosts` is not empty the host
// must be one of them (compared case-insensitively, IPv6 without brackets).
std::string listenerUrlProblem(const std::string& url, const std::vector<std::string>& allowedHosts);

}  // namespace cimhost
