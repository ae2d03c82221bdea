// The ExportIndication request a CIMOM posts to a CIM-XML listener: its HTTP
// headers, its body, and what makes the listener's answer an acceptance.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Value.h"

namespace cimhost {
namespace exporting {

// The request headers besides Content-Type (CIMExport, CIMExportMethod,
// CIMProtocolVersion).
const std::vector<std::pair<std::string, std::string>>& exportHeaders();
// application/xml; charset="utf-8"
extern const char kXmlContentType[];

// <?xml ...?><CIM><MESSAGE ID=messageId><SIMPLEEXPREQ>
//   <EXPMETHODCALL NAME="ExportIndication"><EXPPARAMVALUE NAME="NewIndication">
//     <INSTANCE .../> ...
std::string exportIndicationBody(const std::string& messageId, const Instance& indication);

// What the listener answered, as far as the check needs it. status 0: no
// answer at all.
struct ExportAnswer {
    int status = 0;
    std::string cimExport;  // the CIMExport header
    std::string cimError;   // the CIMError header
    std::string_view body;
};

// Empty when the answer accepts the indication: status 200, CIMExport:
// MethodResponse, and a well-formed SIMPLEEXPRSP whose EXPMETHODRESPONSE
// holds no ERROR. Otherwise what was wrong, in words for a trace line (a CIM
// error with its code and description).
std::string checkExportAnswer(const ExportAnswer& answer);

}  // namespace exporting
}  // namespace cimhost
