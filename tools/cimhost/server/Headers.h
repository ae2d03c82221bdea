// What the HTTP headers of a CIM operation request say, read without the HTTP
// library: its content type, the object the CIMObject header names, and the
// credentials of a Basic Authorization header.
#pragma once

#include <string>

#include "server/Request.h"

namespace cimhost {
namespace server {

// application/xml or text/xml, in UTF-8 when a charset is named at all.
bool xmlContentType(const std::string& value);

// `text` with its %XX escapes decoded (a '%' without two hex digits stays).
std::string percentDecoded(const std::string& text);

// Whether a CIMObject header names what the body calls: the namespace of an
// intrinsic call; the namespace and class of an extrinsic one (its keys are
// left to the body, which states them typed).
bool objectMatches(const std::string& header, const Request& request);

// The user and password of a Basic Authorization header; false for any other
// header.
bool basicCredentials(const std::string& header, std::string* user, std::string* password);

}  // namespace server
}  // namespace cimhost
