// What a listener makes of what a CIMOM (or anything else) posts: each row
// goes over HTTP to a running listener, which must hand a well-made export
// request on exactly as sent, and answer anything else with the status, the
// CIMError header and the CIM error the fault calls for, without ever going
// down. An indication the listener's owner cannot keep is answered with a
// CIM error so that the sender delivers it again.
#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <mutex>

#include "cimhost/listener/PropertyText.h"
#include "listener/Listener.h"

namespace cimhost {
namespace listener {
namespace {

std::string request(const std::string& instance,
                    const std::string& cim = "CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM " + cim +
           "><MESSAGE ID=\"42\" PROTOCOLVERSION=\"1.0\"><SIMPLEEXPREQ>"
           "<EXPMETHODCALL NAME=\"ExportIndication\"><EXPPARAMVALUE NAME=\"NewIndication\">" +
           instance + "</EXPPARAMVALUE></EXPMETHODCALL></SIMPLEEXPREQ></MESSAGE></CIM>";
}

std::string x(const std::string& properties) {
    return "<INSTANCE CLASSNAME=\"X\">" + properties + "</INSTANCE>";
}

TEST(ListenerTest, HandsOnExportRequestsAsSentAndAnswersEveryFault) {
    const char* const kMan = "http://www.dmtf.org/cim/mapping.http; ns=73";
    const httplib::Headers kExport = {{"CIMProtocolVersion", "1.0"},
                                      {"CIMExport", "MethodRequest"},
                                      {"CIMExportMethod", "ExportIndication"}};
    const std::string good = request(x(""));
    struct Row {
        const char* what;
        std::string body;
        int status;
        const char* cimError;  // the CIMError header (under an M-POST's prefix)
        int code;              // the ERROR element's CODE; 0: none, -1: no body
        httplib::Headers headers = {};
        const char* method = "POST";
        // Handed on: the class and every property as show() gives it.
        std::string className = {};
        std::map<std::string, std::string> properties = {};
    } rows[] = {
        {"scalars, null, arrays and a reference",
         request("<INSTANCE CLASSNAME=\"QMS_VRXLogEntryArrived\">"
                 "<QUALIFIER NAME=\"Indication\" TYPE=\"boolean\"><VALUE>TRUE</VALUE></QUALIFIER>"
                 "<PROPERTY NAME=\"EventID\" TYPE=\"string\"><VALUE>LogMessage_1f</VALUE></PROPERTY>\n"
                 "<PROPERTY NAME=\"ErrorCode\" TYPE=\"uint32\"><VALUE>11206861</VALUE></PROPERTY>"
                 "<PROPERTY NAME=\"Trending\" TYPE=\"uint16\"></PROPERTY>"
                 "<PROPERTY NAME=\"Summary\" TYPE=\"string\"><VALUE></VALUE></PROPERTY>"
                 "<PROPERTY NAME=\"OtherSeverity\" TYPE=\"string\"><VALUE> </VALUE></PROPERTY>"
                 "<PROPERTY.ARRAY NAME=\"MessageArguments\" TYPE=\"string\"><VALUE.ARRAY>"
                 "<VALUE>FAN1 SYS</VALUE><VALUE.NULL/><VALUE>0</VALUE></VALUE.ARRAY></PROPERTY.ARRAY>"
                 "<PROPERTY.ARRAY NAME=\"RecommendedActions\" TYPE=\"string\"><VALUE.ARRAY/></PROPERTY.ARRAY>"
                 "<PROPERTY.ARRAY NAME=\"CorrelatedIndications\" TYPE=\"string\"></PROPERTY.ARRAY>"
                 "<PROPERTY.REFERENCE NAME=\"Element\" REFERENCECLASS=\"QMS_VRXLogEntry\"><VALUE.REFERENCE>"
                 "<INSTANCEPATH><NAMESPACEPATH><HOST>h1</HOST><LOCALNAMESPACEPATH><NAMESPACE NAME=\"root\"/>"
                 "<NAMESPACE NAME=\"qms\"/></LOCALNAMESPACEPATH></NAMESPACEPATH>"
                 "<INSTANCENAME CLASSNAME=\"QMS_VRXLogEntry\">"
                 "<KEYBINDING NAME=\"Number\"><KEYVALUE VALUETYPE=\"numeric\">31</KEYVALUE></KEYBINDING>"
                 "<KEYBINDING NAME=\"InstanceID\"><KEYVALUE>Log \"1f\"</KEYVALUE></KEYBINDING>"
                 "</INSTANCENAME></INSTANCEPATH></VALUE.REFERENCE></PROPERTY.REFERENCE>"
                 "</INSTANCE>"),
         200,
         "",
         0,
         kExport,
         "POST",
         "QMS_VRXLogEntryArrived",
         {{"EventID", "string LogMessage_1f"},
          {"ErrorCode", "uint32 11206861"},
          {"Trending", "uint16 NULL"},
          {"Summary", "string "},
          {"OtherSeverity", "string  "},
          {"MessageArguments", "string[] {FAN1 SYS,NULL,0}"},
          {"RecommendedActions", "string[] {}"},
          {"CorrelatedIndications", "string[] NULL"},
          {"Element", "reference //h1/root/qms:QMS_VRXLogEntry.InstanceID=\"Log \\\"1f\\\"\",Number=31"}}},
        {"escaped text and CDATA",
         request(x("<PROPERTY NAME=\"Message\" TYPE=\"string\"><VALUE>&lt;a&gt; &amp; &quot;b&quot; "
                   "&apos;c&apos; &#x41;&#xe4;<![CDATA[<raw>]]></VALUE></PROPERTY>")),
         200,
         "",
         0,
         {},
         "POST",
         "X",
         {{"Message", "string <a> & \"b\" 'c' A\xc3\xa4<raw>"}}},
        {"not kept by the owner", request("<INSTANCE CLASSNAME=\"Unkept\"/>"), 200, "", 1},
        {"empty body", "", 400, "request-not-well-formed", 1},
        {"not XML", "ExportIndication please", 400, "request-not-well-formed", 1},
        {"cut short", good.substr(0, 120), 400, "request-not-well-formed", 1},
        {"bytes with NULs", std::string("<CIM>\0\xff\xfe<MESSAGE>", 17), 400, "request-not-well-formed", 1},
        {"an operation request, not an export",
         "<CIM><MESSAGE ID=\"1\"><SIMPLEREQ><IMETHODCALL "
         "NAME=\"EnumerateInstances\"/></SIMPLEREQ></MESSAGE></CIM>",
         400, "request-not-valid", 7},
        {"another export method",
         "<CIM><MESSAGE ID=\"1\"><SIMPLEEXPREQ><EXPMETHODCALL "
         "NAME=\"ExportFoo\"/></SIMPLEEXPREQ></MESSAGE></CIM>",
         200, "", 7},
        {"no indication", request(""), 400, "request-not-valid", 4},
        {"two indications", request(x("") + "</EXPPARAMVALUE><EXPPARAMVALUE NAME=\"NewIndication\">" + x("")),
         400, "request-not-valid", 4},
        {"instance without class", request("<INSTANCE/>"), 400, "request-not-valid", 4},
        {"property without name", request(x("<PROPERTY TYPE=\"string\"><VALUE>a</VALUE></PROPERTY>")), 400,
         "request-not-valid", 4},
        {"array value in a scalar",
         request(x("<PROPERTY NAME=\"A\" TYPE=\"string\"><VALUE.ARRAY/></PROPERTY>")), 400,
         "request-not-valid", 4},
        {"element inside a value",
         request(x("<PROPERTY NAME=\"A\" TYPE=\"string\"><VALUE><b/></VALUE></PROPERTY>")), 400,
         "request-not-valid", 4},
        {"reference without a path",
         request(x("<PROPERTY.REFERENCE NAME=\"R\"><VALUE.REFERENCE/></PROPERTY.REFERENCE>")), 400,
         "request-not-valid", 4},
        {"property given twice",
         request(x("<PROPERTY NAME=\"A\" TYPE=\"string\"/><PROPERTY NAME=\"a\" TYPE=\"string\"/>")), 400,
         "request-not-valid", 4},
        {"CIM version 3", request(x(""), "CIMVERSION=\"3.0\""), 501, "unsupported-cim-version", 7},
        {"DTD version 3", request(x(""), "DTDVERSION=\"3.1\""), 501, "unsupported-dtd-version", 7},
        {"several requests", "<CIM><MESSAGE ID=\"9\" PROTOCOLVERSION=\"1.0\"><MULTIEXPREQ/></MESSAGE></CIM>",
         501, "multiple-requests-unsupported", 7},
        {"GET", "", 405, "", -1, {}, "GET"},
        {"protocol 2.0", good, 501, "unsupported-protocol-version", -1, {{"CIMProtocolVersion", "2.0"}}},
        {"saying it is an answer", good, 400, "header-mismatch", -1, {{"CIMExport", "MethodResponse"}}},
        {"another method's header", good, 400, "header-mismatch", 7, {{"CIMExportMethod", "ExportOther"}}},
        {"M-POST", good, 200, "", 0, {{"Man", kMan}, {"73-CIMExport", "MethodRequest"}}, "M-POST", "X"},
        {"M-POST, its CIM headers under the prefix",
         good,
         400,
         "header-mismatch",
         7,
         {{"Man", kMan}, {"73-CIMExportMethod", "ExportOther"}},
         "M-POST"},
        {"M-POST, no CIM mapping", good, 501, "", -1, {{"Man", "http://example.com/other; ns=12"}}, "M-POST"},
    };

    Listener::Options options;
    std::mutex mutex;
    std::vector<Delivery> handed;
    options.handler = [&](Delivery&& d) {
        std::lock_guard<std::mutex> lock(mutex);
        if (d.indication.className == "Unkept") return false;
        handed.push_back(std::move(d));
        return true;
    };
    Listener listener(options);
    httplib::Client client("127.0.0.1", listener.port());
    size_t refused = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        httplib::Request sent;
        sent.method = row.method;
        sent.path = "/listener/a";
        sent.headers = row.headers;
        sent.body = row.body;
        if (sent.method != "GET") sent.set_header("Content-Type", "application/xml; charset=\"utf-8\"");
        const size_t before = handed.size();
        const httplib::Result result = client.send(sent);
        ASSERT_TRUE(result) << "no answer: the listener went down";
        EXPECT_EQ(result->status, row.status);
        // An M-POST's answer carries its CIM headers under the request's prefix.
        const std::string prefix = row.headers.count("Man") && row.status != 501 ? "73-" : "";
        EXPECT_EQ(result->get_header_value((prefix + "CIMError").c_str()), row.cimError);
        EXPECT_EQ(listener.rejected(), refused += (row.className.empty() ? 1 : 0));
        if (row.code < 0) continue;
        EXPECT_EQ(result->get_header_value((prefix + "CIMExport").c_str()), "MethodResponse");
        pugi::xml_document answer;
        ASSERT_TRUE(answer.load_string(result->body.c_str())) << result->body;
        const pugi::xml_node response =
            answer.select_node("/CIM/MESSAGE/SIMPLEEXPRSP/EXPMETHODRESPONSE").node();
        EXPECT_STREQ(response.attribute("NAME").value(), "ExportIndication") << result->body;
        EXPECT_EQ(response.child("ERROR").attribute("CODE").as_int(), row.code) << result->body;
        if (row.className.empty()) {
            EXPECT_EQ(handed.size(), before);
            continue;
        }
        ASSERT_EQ(handed.size(), before + 1);
        EXPECT_EQ(handed.back().target, "/listener/a");
        EXPECT_EQ(handed.back().indication.className, row.className);
        std::map<std::string, std::string> seen;
        for (const auto& p : handed.back().indication.properties) seen[p.first] = show(p.second);
        EXPECT_EQ(seen, row.properties);
        EXPECT_STREQ(answer.select_node("/CIM/MESSAGE").node().attribute("ID").value(), "42");
    }
}

}  // namespace
}  // namespace listener
}  // namespace cimhost
