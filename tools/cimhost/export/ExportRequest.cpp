#include "export/ExportRequest.h"

#include <cstring>
#include <pugixml.hpp>

#include "export/CimXml.h"
#include "text/Escape.h"

namespace cimhost {
namespace exporting {

using text::appendXmlEscaped;

const char kXmlContentType[] = "application/xml; charset=\"utf-8\"";

const std::vector<std::pair<std::string, std::string>>& exportHeaders() {
    static const std::vector<std::pair<std::string, std::string>> headers = {
        {"CIMExport", "MethodRequest"},
        {"CIMExportMethod", "ExportIndication"},
        {"CIMProtocolVersion", "1.0"},
    };
    return headers;
}

std::string exportIndicationBody(const std::string& messageId, const Instance& indication) {
    std::string out;
    out.reserve(1024);
    out +=
        "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
        "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"";
    appendXmlEscaped(out, messageId);
    out +=
        "\" PROTOCOLVERSION=\"1.0\"><SIMPLEEXPREQ><EXPMETHODCALL NAME=\"ExportIndication\">"
        "<EXPPARAMVALUE NAME=\"NewIndication\">";
    appendInstance(out, indication);
    out += "</EXPPARAMVALUE></EXPMETHODCALL></SIMPLEEXPREQ></MESSAGE></CIM>\n";
    return out;
}

namespace {

// The ERROR of a well-formed answer, as "CIM error <code>: <description>";
// empty when it has none. *wellFormed false when the body is no export
// response at all.
std::string answerError(std::string_view body, bool* wellFormed) {
    *wellFormed = false;
    pugi::xml_document doc;
    if (!doc.load_buffer(body.data(), body.size(), pugi::parse_default, pugi::encoding_utf8)) return "";
    const pugi::xml_node response =
        doc.child("CIM").child("MESSAGE").child("SIMPLEEXPRSP").child("EXPMETHODRESPONSE");
    if (!response) return "";
    *wellFormed = true;
    const pugi::xml_node error = response.child("ERROR");
    if (!error) return "";
    return std::string("CIM error ") + error.attribute("CODE").value() + ": " +
           error.attribute("DESCRIPTION").value();
}

}  // namespace

std::string checkExportAnswer(const ExportAnswer& answer) {
    if (answer.status == 0) return "no answer";
    bool wellFormed = false;
    const std::string error = answerError(answer.body, &wellFormed);
    if (answer.status != 200) {
        std::string what = "HTTP " + std::to_string(answer.status);
        if (!answer.cimError.empty()) what += " (CIMError: " + answer.cimError + ")";
        if (!error.empty()) what += ", " + error;
        return what;
    }
    if (answer.cimExport != "MethodResponse") return "answer without CIMExport: MethodResponse";
    if (!wellFormed) return "answer is no CIM-XML export response";
    return error;
}

}  // namespace exporting
}  // namespace cimhost
