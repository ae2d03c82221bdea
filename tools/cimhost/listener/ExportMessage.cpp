#include "listener/ExportMessage.h"

#include <cstring>

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

ExportParse refused(ExportParse result, int status, const std::string& error) {
    result.ok = false;
    result.status = status;
    result.error = error;
    return result;
}

std::string envelope(const std::string& messageId, const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
           "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
           "<MESSAGE ID=\"" +
           xmlEscaped(messageId) +
           "\" PROTOCOLVERSION=\"1.0\">\n"
           "<SIMPLEEXPRSP>\n" +
           inner + "</SIMPLEEXPRSP>\n</MESSAGE>\n</CIM>\n";
}

}  // namespace

ExportParse parseExportIndication(std::string_view body) {
    ExportParse result;
    pugi::xml_document doc;
    // Whitespace-only text is kept: a VALUE of one blank is a value.
    const pugi::xml_parse_result parsed = doc.load_buffer(
        body.data(), body.size(), pugi::parse_default | pugi::parse_ws_pcdata, pugi::encoding_utf8);
    if (!parsed)
        return refused(result, kCimErrFailed, std::string("not well-formed XML: ") + parsed.description());
    result.wellFormed = true;

    const pugi::xml_node cim = onlyChild(doc, "CIM");
    if (!cim) return refused(result, kCimErrFailed, "no CIM element");
    const pugi::xml_node message = onlyChild(cim, "MESSAGE");
    if (!message) return refused(result, kCimErrFailed, "no MESSAGE element");
    result.request.messageId = message.attribute("ID").value();
    const pugi::xml_node request = onlyChild(message, "SIMPLEEXPREQ");
    if (!request) return refused(result, kCimErrNotSupported, "no SIMPLEEXPREQ element");
    const pugi::xml_node call = onlyChild(request, "EXPMETHODCALL");
    if (!call) return refused(result, kCimErrNotSupported, "no EXPMETHODCALL element");
    if (std::strcmp(call.attribute("NAME").value(), "ExportIndication") != 0)
        return refused(result, kCimErrNotSupported,
                       std::string("export method '") + call.attribute("NAME").value() + "'");

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

std::string exportResponse(const std::string& messageId) {
    return envelope(messageId, "<EXPMETHODRESPONSE NAME=\"ExportIndication\"/>\n");
}

std::string exportErrorResponse(const std::string& messageId, int status, const std::string& description) {
    return envelope(messageId, "<EXPMETHODRESPONSE NAME=\"ExportIndication\">\n<ERROR CODE=\"" +
                                   std::to_string(status) + "\" DESCRIPTION=\"" + xmlEscaped(description) +
                                   "\"/>\n</EXPMETHODRESPONSE>\n");
}

}  // namespace listener
}  // namespace cimhost
