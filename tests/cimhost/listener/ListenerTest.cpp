// What a listener makes of the bodies a CIMOM (or anything else) posts: each
// row goes over HTTP to a running listener, which must record a well-made
// export request exactly as sent and answer anything else with 400 and a CIM
// error, without ever going down.
#include <gtest/gtest.h>
#include <httplib.h>

#include <map>

#include "listener/Listener.h"

namespace cimhost {
namespace listener {
namespace {

// type, "[]" for arrays, then NULL, the text, or {item,item} with NULL items.
std::string show(const Property& p) {
    std::string out = p.type + (p.array ? "[] " : " ");
    if (p.null) return out + "NULL";
    if (!p.array) return out + p.text;
    out += "{";
    for (size_t i = 0; i < p.items.size(); ++i) out += (i ? "," : "") + (p.items[i] ? *p.items[i] : "NULL");
    return out + "}";
}

std::string request(const std::string& id, const std::string& instance) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">"
           "<MESSAGE ID=\"" +
           id +
           "\" PROTOCOLVERSION=\"1.0\"><SIMPLEEXPREQ>"
           "<EXPMETHODCALL NAME=\"ExportIndication\"><EXPPARAMVALUE NAME=\"NewIndication\">" +
           instance + "</EXPPARAMVALUE></EXPMETHODCALL></SIMPLEEXPREQ></MESSAGE></CIM>";
}

TEST(ListenerTest, RecordsExportRequestsAsSentAndRefusesEverythingElse) {
    const auto x = [](const std::string& properties) {
        return "<INSTANCE CLASSNAME=\"X\">" + properties + "</INSTANCE>";
    };
    struct Row {
        const char* what;
        std::string body;
        // The CIMError header expected with HTTP 400, or "" for a request
        // understood and answered with a CIM error under HTTP 200; nullptr:
        // well-made, recorded as the class and every property as show() gives
        // it.
        const char* cimError;
        std::string className = {};
        std::map<std::string, std::string> properties = {};
    } rows[] = {
        {"scalars, null, arrays and a reference",
         request("11",
                 "<INSTANCE CLASSNAME=\"QMS_VRXLogEntryArrived\">"
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
         nullptr,
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
         request("12", x("<PROPERTY NAME=\"Message\" TYPE=\"string\"><VALUE>&lt;a&gt; &amp; &quot;b&quot; "
                         "&apos;c&apos; &#x41;&#xe4;<![CDATA[<raw>]]></VALUE></PROPERTY>")),
         nullptr,
         "X",
         {{"Message", "string <a> & \"b\" 'c' A\xc3\xa4<raw>"}}},
        {"empty body", "", "request-not-well-formed"},
        {"not XML", "ExportIndication please", "request-not-well-formed"},
        {"cut short", request("13", x("")).substr(0, 120), "request-not-well-formed"},
        {"bytes with NULs", std::string("<CIM>\0\xff\xfe<MESSAGE>", 17), "request-not-well-formed"},
        {"an operation request, not an export",
         "<CIM><MESSAGE ID=\"1\"><SIMPLEREQ><IMETHODCALL "
         "NAME=\"EnumerateInstances\"/></SIMPLEREQ></MESSAGE></CIM>",
         "request-not-valid"},
        {"another export method",
         "<CIM><MESSAGE ID=\"1\"><SIMPLEEXPREQ><EXPMETHODCALL "
         "NAME=\"ExportFoo\"/></SIMPLEEXPREQ></MESSAGE></CIM>",
         ""},
        {"no indication", request("14", ""), "request-not-valid"},
        {"two indications",
         request("15", x("") + "</EXPPARAMVALUE><EXPPARAMVALUE NAME=\"NewIndication\">" + x("")),
         "request-not-valid"},
        {"instance without class", request("16", "<INSTANCE/>"), "request-not-valid"},
        {"property without name", request("17", x("<PROPERTY TYPE=\"string\"><VALUE>a</VALUE></PROPERTY>")),
         "request-not-valid"},
        {"array value in a scalar",
         request("18", x("<PROPERTY NAME=\"A\" TYPE=\"string\"><VALUE.ARRAY/></PROPERTY>")),
         "request-not-valid"},
        {"element inside a value",
         request("19", x("<PROPERTY NAME=\"A\" TYPE=\"string\"><VALUE><b/></VALUE></PROPERTY>")),
         "request-not-valid"},
        {"reference without a path",
         request("20", x("<PROPERTY.REFERENCE NAME=\"R\"><VALUE.REFERENCE/></PROPERTY.REFERENCE>")),
         "request-not-valid"},
        {"property given twice",
         request("21", x("<PROPERTY NAME=\"A\" TYPE=\"string\"/><PROPERTY NAME=\"a\" TYPE=\"string\"/>")),
         "request-not-valid"},
    };

    Listener listener;
    httplib::Client client("127.0.0.1", listener.port());
    size_t recorded = 0, refused = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const httplib::Headers headers = {{"CIMProtocolVersion", "1.0"},
                                          {"CIMExport", "MethodRequest"},
                                          {"CIMExportMethod", "ExportIndication"}};
        const httplib::Result result =
            client.Post("/listener/a", headers, row.body, "application/xml; charset=\"utf-8\"");
        ASSERT_TRUE(result) << "no answer: the listener went down";
        EXPECT_EQ(result->get_header_value("CIMExport"), "MethodResponse");
        pugi::xml_document answer;
        ASSERT_TRUE(answer.load_string(result->body.c_str())) << result->body;
        const pugi::xml_node response =
            answer.select_node("/CIM/MESSAGE/SIMPLEEXPRSP/EXPMETHODRESPONSE").node();
        ASSERT_TRUE(response) << result->body;
        EXPECT_STREQ(response.attribute("NAME").value(), "ExportIndication");
        if (row.cimError) {
            EXPECT_EQ(result->status, *row.cimError ? 400 : 200);
            EXPECT_EQ(result->get_header_value("CIMError"), row.cimError);
            EXPECT_TRUE(response.child("ERROR").attribute("CODE").as_int() > 0) << result->body;
            EXPECT_EQ(listener.rejected(), ++refused);
            EXPECT_EQ(listener.size(), recorded);
            continue;
        }
        EXPECT_EQ(result->status, 200);
        EXPECT_FALSE(response.child("ERROR")) << result->body;
        ASSERT_TRUE(listener.waitFor(++recorded, std::chrono::seconds(5)));
        const Delivery got = listener.at(recorded - 1);
        EXPECT_EQ(got.target, "/listener/a");
        EXPECT_EQ(got.indication.className, row.className);
        std::map<std::string, std::string> seen;
        for (const auto& p : got.indication.properties) seen[p.first] = show(p.second);
        EXPECT_EQ(seen, row.properties);
        // The answer names the message it answers.
        EXPECT_EQ(std::string(answer.select_node("/CIM/MESSAGE").node().attribute("ID").value()),
                  row.body.substr(row.body.find("ID=\"") + 4, 2));
    }
    // A request that says it is something else is refused by its header.
    const httplib::Result other =
        client.Post("/", {{"CIMExport", "MethodResponse"}}, rows[0].body, "application/xml");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 400);
    EXPECT_EQ(other->get_header_value("CIMError"), "header-mismatch");
    EXPECT_EQ(listener.size(), recorded);
}

}  // namespace
}  // namespace listener
}  // namespace cimhost
