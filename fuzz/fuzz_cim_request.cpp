// A CIM operation request as any client may post it to `cimhost serve`, read
// into an operation with typed parameters. A refusal names the CIMError a
// client acts on; whatever is read, the answer written for it (its name and
// message ID echoed, the instance given written back) is XML that reads
// again with the same ID.
#include <algorithm>
#include <cstdint>
#include <pugixml.hpp>
#include <string>

#include "export/CimXml.h"
#include "server/Operations.h"
#include "server/Request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace cimhost;
    const std::string body(reinterpret_cast<const char*>(data), size);
    server::Request request;
    server::Refusal refusal;
    if (!server::readRequest(body, ClassRepository::builtin(), &request, &refusal)) {
        if (refusal.cimError.empty() || (refusal.httpStatus != 400 && refusal.httpStatus != 501))
            __builtin_trap();
        return 0;
    }
    if (request.method.empty() || request.nameSpace.empty()) __builtin_trap();
    std::string answer = server::Operations::errorAnswer(request, Status::error(CMPI_RC_ERR_FAILED, body));
    pugi::xml_document doc;
    if (!doc.load_string(answer.c_str())) __builtin_trap();
    const pugi::xml_node message = doc.child("CIM").child("MESSAGE");
    // Printable text comes back as it was; control characters and bytes that
    // are no UTF-8 are written in the forms XML allows, which need not read
    // back byte for byte.
    const std::string& id = request.messageId;
    const bool printable = std::all_of(id.begin(), id.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    if (printable && id != message.attribute("ID").value()) __builtin_trap();
    if (request.instance) {
        std::string xml;
        exporting::appendInstance(xml, *request.instance);
        if (!doc.load_string(xml.c_str())) __builtin_trap();
    }
    return 0;
}
