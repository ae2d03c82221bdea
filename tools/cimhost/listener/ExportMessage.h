// The CIM-XML export message a CIMOM posts to a listener:
//   <CIM><MESSAGE ID=..><SIMPLEEXPREQ><EXPMETHODCALL NAME="ExportIndication">
//     <EXPPARAMVALUE NAME="NewIndication"><INSTANCE CLASSNAME=..>...
// read into the indication it carries, and the answers a listener gives.
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
    // How the refusal travels: an HTTP error status with the CIMError header
    // naming the protocol fault, or (httpStatus 200, no header) a CIM error
    // in an otherwise ordinary answer, for a request that was understood.
    int httpStatus = 400;
    std::string cimErrorHeader;
    // The request; its messageId is filled as far as it could be read, so
    // that even an error answer names the message it answers.
    ExportRequest request;
};

// Reads one ExportIndication request body. Never throws; any input gives a
// result.
ExportParse parseExportIndication(std::string_view body);

// An HTTP request to a listener, as far as its answer depends on it. A
// header the request did not carry is empty.
struct ExportHttpRequest {
    std::string method;  // "POST", "M-POST", "GET", ...
    std::string cimExport;
    std::string cimExportMethod;
    std::string cimProtocolVersion;
    std::string_view body;
};

// What a listener sends back, and the indication when there is one.
struct ExportAnswer {
    int httpStatus = 200;
    std::string cimErrorHeader;  // empty: no CIMError header
    std::string body;            // CIM-XML; empty where the fault is HTTP's
    // An indication was read; it is in request.indication and `body` is the
    // success answer.
    bool accepted = false;
    ExportRequest request;
    std::string error;  // why a request was refused
};

// Checks the request's method, headers and body and composes the answer.
// Never throws; any input gives an answer.
ExportAnswer answerExport(const ExportHttpRequest& request);

// The body answering message `messageId`: success, or a CIM error.
std::string exportResponse(const std::string& messageId);
std::string exportErrorResponse(const std::string& messageId, int status, const std::string& description);

}  // namespace listener
}  // namespace cimhost
