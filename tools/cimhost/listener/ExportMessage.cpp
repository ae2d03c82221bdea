#include "listener/ExportMessage.h"

#include <cstring>

#include "text/Escape.h"

namespace cimhost {
namespace listener {
namespace {

// The one element child named `name`; an empty node when there is none or
// more than one, so that a request with two indications is refused instead
// of half read.
pugi::xml_node onlyChild(const pugi::xml_node& node, const char* name) {
    pugi::xml_node found;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        if (std::strcmp(child.name(), name) != 0 || found) return pugi::xml_node();
        found = child;
    }
    return found;
}

// A refusal sent as HTTP 400 or 501 with the CIMError header; `header`
// "request-not-valid" unless said otherwise.
ExportParse refused(ExportParse result, int status, const std::string& error,
                    const char* header = "request-not-valid", int httpStatus = 400) {
    result.ok = false;
    result.status = status;
    result.error = error;
    result.cimErrorHeader = header;
    result.httpStatus = httpStatus;
    return result;
}

// The major number of a "major.minor" version attribute or header is what
// a receiver must understand; an absent one is taken as the current one.
bool majorIs(const char* version, const char* major) {
    const size_t n = std::strlen(major);
    return !*version || (std::strncmp(version, major, n) == 0 && (version[n] == '.' || version[n] == '\0'));
}

std::string envelope(const std::string& messageId, const std::string& inner) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
        "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
        "<MESSAGE ID=\"";
    text::appendXmlEscaped(out, messageId);
    return out + "\" PROTOCOLVERSION=\"1.0\">\n<SIMPLEEXPRSP>\n" + inner +
           "</SIMPLEEXPRSP>\n</MESSAGE>\n</CIM>\n";
}

}  // namespace

ExportParse parseExportIndication(std::string_view body) {
    ExportParse result;
    pugi::xml_document doc;
    // Whitespace-only text is kept: a VALUE of one blank is a value.
    const pugi::xml_parse_result parsed = doc.load_buffer(
        body.data(), body.size(), pugi::parse_default | pugi::parse_ws_pcdata, pugi::encoding_utf8);
    if (!parsed)
        return refused(result, kCimErrFailed, std::string("not well-formed XML: ") + parsed.description(),
                       "request-not-well-formed");
    result.wellFormed = true;

    const pugi::xml_node cim = onlyChild(doc, "CIM");
    if (!cim) return refused(result, kCimErrFailed, "no CIM element");
    if (!majorIs(cim.attribute("CIMVERSION").value(), "2"))
        return refused(result, kCimErrNotSupported,
                       std::string("CIMVERSION ") + cim.attribute("CIMVERSION").value(),
                       "unsupported-cim-version", 501);
    if (!majorIs(cim.attribute("DTDVERSION").value(), "2"))
        return refused(result, kCimErrNotSupported,
                       std::string("DTDVERSION ") + cim.attribute("DTDVERSION").value(),
                       "unsupported-dtd-version", 501);
    const pugi::xml_node message = onlyChild(cim, "MESSAGE");
    if (!message) return refused(result, kCimErrFailed, "no MESSAGE element");
    result.request.messageId = message.attribute("ID").value();
    if (!majorIs(message.attribute("PROTOCOLVERSION").value(), "1"))
        return refused(result, kCimErrNotSupported,
                       std::string("PROTOCOLVERSION ") + message.attribute("PROTOCOLVERSION").value(),
                       "unsupported-protocol-version", 501);
    if (message.child("MULTIEXPREQ"))
        return refused(result, kCimErrNotSupported, "several export requests in one message",
                       "multiple-requests-unsupported", 501);
    const pugi::xml_node request = onlyChild(message, "SIMPLEEXPREQ");
    if (!request) return refused(result, kCimErrNotSupported, "no SIMPLEEXPREQ element");
    const pugi::xml_node call = onlyChild(request, "EXPMETHODCALL");
    if (!call) return refused(result, kCimErrNotSupported, "no EXPMETHODCALL element");
    if (std::strcmp(call.attribute("NAME").value(), "ExportIndication") != 0) {
        // A well-made request for a method this listener does not offer is
        // understood and answered, not refused as malformed.
        result = refused(result, kCimErrNotSupported,
                         std::string("export method '") + call.attribute("NAME").value() + "'", "", 200);
        return result;
    }

    pugi::xml_node instance;
    for (pugi::xml_node param = call.first_child(); param; param = param.next_sibling()) {
        if (param.type() != pugi::node_element) continue;
        if (std::strcmp(param.name(), "EXPPARAMVALUE") != 0 ||
            std::strcmp(param.attribute("NAME").value(), "NewIndication") != 0 || instance)
            return refused(result, kCimErrInvalidParameter,
                           "ExportIndication takes exactly one NewIndication");
        instance = onlyChild(param, "INSTANCE");
        if (!instance)
            return refused(result, kCimErrInvalidParameter, "NewIndication holds no single INSTANCE");
    }
    if (!instance) return refused(result, kCimErrInvalidParameter, "no NewIndication");
    std::string error;
    if (!readInstance(instance, &result.request.indication, &error))
        return refused(result, kCimErrInvalidParameter, "NewIndication: " + error);
    result.ok = true;
    return result;
}

ExportAnswer answerExport(const ExportHttpRequest& http) {
    ExportAnswer answer;
    auto refuse = [&](int httpStatus, const char* header, const std::string& error) {
        answer.httpStatus = httpStatus;
        answer.cimErrorHeader = header;
        answer.error = error;
        return answer;
    };
    if (http.method != "POST" && http.method != "M-POST")
        return refuse(405, "", "HTTP method " + http.method + " (export requests are POSTed)");
    // A sender that names the message something other than an export
    // request, or a protocol major version other than 1, is not spoken to.
    if (!http.cimExport.empty() && http.cimExport != "MethodRequest")
        return refuse(400, "header-mismatch", "CIMExport header '" + http.cimExport + "'");
    if (!majorIs(http.cimProtocolVersion.c_str(), "1"))
        return refuse(501, "unsupported-protocol-version", "CIMProtocolVersion " + http.cimProtocolVersion);

    ExportParse parse = parseExportIndication(http.body);
    answer.request.messageId = parse.request.messageId;
    if (parse.ok && !http.cimExportMethod.empty() && http.cimExportMethod != "ExportIndication") {
        parse.ok = false;
        parse.status = kCimErrNotSupported;
        parse.httpStatus = 400;
        parse.cimErrorHeader = "header-mismatch";
        parse.error = "CIMExportMethod header '" + http.cimExportMethod + "' for an ExportIndication";
    }
    if (!parse.ok) {
        refuse(parse.httpStatus, parse.cimErrorHeader.c_str(), parse.error);
        answer.body = exportErrorResponse(parse.request.messageId, parse.status, parse.error);
        return answer;
    }
    answer.accepted = true;
    answer.request = std::move(parse.request);
    answer.body = exportResponse(answer.request.messageId);
    return answer;
}

std::string exportResponse(const std::string& messageId) {
    return envelope(messageId, "<EXPMETHODRESPONSE NAME=\"ExportIndication\"/>\n");
}

std::string exportErrorResponse(const std::string& messageId, int status, const std::string& description) {
    std::string inner = "<EXPMETHODRESPONSE NAME=\"ExportIndication\">\n<ERROR CODE=\"" +
                        std::to_string(status) + "\" DESCRIPTION=\"";
    text::appendXmlEscaped(inner, description);
    return envelope(messageId, inner + "\"/>\n</EXPMETHODRESPONSE>\n");
}

}  // namespace listener
}  // namespace cimhost
