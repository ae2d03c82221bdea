// The CIM-XML export message a CIMOM posts to a listener:
//   <CIM><MESSAGE ID=..><SIMPLEEXPREQ><EXPMETHODCALL NAME="ExportIndication">
//     <EXPPARAMVALUE NAME="NewIndication"><INSTANCE CLASSNAME=..>...
// read into the indication it carries, and the bodies of the answers.
#pragma once

#include <string>
#include <string_view>

#include "listener/InstanceXml.h"

namespace cimhost {
namespace listener {

// CIM status codes a listener answers with.
enum : int { kCimErrFailed = 1, kCimErrInvalidParameter = 4, kCimErrNotSupported = 7 };

struct ExportRequest {
    std::string messageId;
    Instance indication;
};

struct ExportParse {
    bool ok = false;
    // The body was XML at all; false means it is not well-formed, true with
    // !ok means well-formed XML that is no valid export request.
    bool wellFormed = false;
    // What is wrong, and the CIM status that says it.
    std::string error;
    int status = 0;
    // The request; its messageId is filled as far as it could be read, so
    // that even an error answer names the message it answers.
    ExportRequest request;
};

// Reads one ExportIndication request body. Never throws; any input gives a
// result.
ExportParse parseExportIndication(std::string_view body);

// The body answering message `messageId`: success, or a CIM error.
std::string exportResponse(const std::string& messageId);
std::string exportErrorResponse(const std::string& messageId, int status, const std::string& description);

}  // namespace listener
}  // namespace cimhost
