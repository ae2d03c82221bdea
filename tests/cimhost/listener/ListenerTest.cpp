// What a listener makes of what a CIMOM (or anything else) posts: each row
// goes over HTTP to a running listener, which must hand a well-made export
// request on exactly as sent, and answer anything else with the status, the
// CIMError header and the CIM error the fault calls for, without ever going
// down. An indication the listener's owner cannot keep is answered with a
// CIM error so that the sender delivers it again. Then what a person or script
// sees of arriving indications: the readable line, and `cimhost listen` as a
// process reporting a sender's numbering faults.
#include <gtest/gtest.h>
#include <httplib.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "cimhost/listener/PropertyText.h"
#include "common/Programs.h"
#include "listener/IndicationLine.h"
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

std::string numbered(const std::string& context, const std::string& number) {
    return request(
        "<INSTANCE CLASSNAME=\"QMS_VRXLogEntryArrived\"><PROPERTY NAME=\"SequenceContext\" "
        "TYPE=\"string\"><VALUE>" +
        context + "</VALUE></PROPERTY><PROPERTY NAME=\"SequenceNumber\" TYPE=\"sint64\"><VALUE>" + number +
        "</VALUE></PROPERTY></INSTANCE>");
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
        // Handed on: the class, then "|name=" and show() of every property in
        // name order; empty when nothing may be.
        std::string handed = {};
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
         200, "", 0, kExport, "POST",
         "QMS_VRXLogEntryArrived|CorrelatedIndications=string[] NULL|Element=reference "
         "//h1/root/qms:QMS_VRXLogEntry.InstanceID=\"Log \\\"1f\\\"\",Number=31|ErrorCode=uint32 11206861|"
         "EventID=string LogMessage_1f|MessageArguments=string[] {FAN1 SYS,NULL,0}|OtherSeverity=string  |"
         "RecommendedActions=string[] {}|Summary=string |Trending=uint16 NULL"},
        {"escaped text and CDATA",
         request(x("<PROPERTY NAME=\"Message\" TYPE=\"string\"><VALUE>&lt;a&gt; &amp; &quot;b&quot; "
                   "&apos;c&apos; &#x41;&#xe4;<![CDATA[<raw>]]></VALUE></PROPERTY>")),
         200,
         "",
         0,
         {},
         "POST",
         "X|Message=string <a> & \"b\" 'c' A\xc3\xa4<raw>"},
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
        EXPECT_EQ(listener.rejected(), refused += (row.handed.empty() ? 1 : 0));
        if (row.code < 0) continue;
        EXPECT_EQ(result->get_header_value((prefix + "CIMExport").c_str()), "MethodResponse");
        pugi::xml_document answer;
        ASSERT_TRUE(answer.load_string(result->body.c_str())) << result->body;
        const pugi::xml_node response =
            answer.select_node("/CIM/MESSAGE/SIMPLEEXPRSP/EXPMETHODRESPONSE").node();
        EXPECT_STREQ(response.attribute("NAME").value(), "ExportIndication") << result->body;
        EXPECT_EQ(response.child("ERROR").attribute("CODE").as_int(), row.code) << result->body;
        ASSERT_EQ(handed.size(), before + (row.handed.empty() ? 0 : 1));
        if (row.handed.empty()) continue;
        EXPECT_EQ(handed.back().target, "/listener/a");
        std::string seen = handed.back().indication.className;
        for (const auto& p : handed.back().indication.properties)
            seen += "|" + p.first + "=" + show(p.second);
        EXPECT_EQ(seen, row.handed);
        EXPECT_STREQ(answer.select_node("/CIM/MESSAGE").node().attribute("ID").value(), "42");
    }
}

Property scalar(const std::string& text) {
    Property p;
    p.null = false;
    p.text = text;
    return p;
}

TEST(IndicationLineTest, ShowsTimeSeverityClassMessageAndSource) {
    Property args;
    args.array = true;
    args.null = false;
    args.items = {std::string("FAN2"), std::nullopt, std::string("1200")};
    const struct Row {
        const char* what;
        std::map<std::string, Property> properties;
        std::string line;
    } rows[] = {
        {"arguments substituted, timestamp with its offset, source from EventID and host",
         {{"EventTime", scalar("20240601101000.000000+060")},
          {"PerceivedSeverity", scalar("4")},
          {"Message", scalar("Fan %1 slow (%3 rpm, %2, %4, 100%)")},
          {"MessageArguments", args},
          {"EventID", scalar("LogMessage_1")},
          {"HostAddress", scalar("server.example.net")}},
         "2024-06-01 10:10:00+01:00  minor        C  Fan FAN2 slow (1200 rpm, NULL, %4, 100%)  "
         "[LogMessage_1 on server.example.net]"},
        {"nothing but the class", {}, "-  -            C  (no message)"},
        {"a placeholder without arguments",
         {{"PerceivedSeverity", scalar("6")}, {"Message", scalar("%1")}},
         "-  critical     C  %1"},
        {"other severity in its own words, IndicationTime, element path and system name, negative offset",
         {{"IndicationTime", scalar("20240601101000.000000-090")},
          {"PerceivedSeverity", scalar("1")},
          {"OtherSeverity", scalar("cosmic")},
          {"Message", scalar("two\nlines\x1b")},
          {"AlertingManagedElement", scalar("root/qms:QMS_VRXLogEntry.InstanceID=\"x\"")},
          {"SystemName", scalar("sys")}},
         "2024-06-01 10:10:00-01:30  cosmic       C  two\\nlines\\x1b  "
         "[root/qms:QMS_VRXLogEntry.InstanceID=\"x\" on sys]"},
        {"codes beyond the words, an interval, no message but arguments",
         {{"EventTime", scalar("00000001020304.000000:000")},
          {"PerceivedSeverity", scalar("9")},
          {"MessageArguments", args},
          {"HostAddress", scalar("h")}},
         "00000001020304.000000:000  severity 9   C  (no message) arguments: FAN2, NULL, 1200  [on h]"},
        // The words of the scale, and a code that is no number.
        {"information", {{"PerceivedSeverity", scalar("2")}}, "-  information  C  (no message)"},
        {"fatal", {{"PerceivedSeverity", scalar("7")}}, "-  fatal        C  (no message)"},
        {"unknown", {{"PerceivedSeverity", scalar("0")}}, "-  unknown      C  (no message)"},
        {"no number", {{"PerceivedSeverity", scalar("x")}}, "-  severity x   C  (no message)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Instance inst;
        inst.className = "C";
        for (const auto& p : row.properties) inst.properties.emplace(p.first, p.second);
        EXPECT_EQ(indicationLine(inst), row.line);
    }
}

// `cimhost listen` as a process with its stderr in a scratch file; ended
// (killed when the test did not end it) and cleaned up on destruction.
class ListenProcess {
public:
    ListenProcess(std::vector<std::string> args, const std::string& out = "/dev/null") {
        args.insert(args.begin(), {CIMHOST_BINARY, "listen", "--port", "0"});
        pid = qmstest::spawn(args, {}, out, err);
        // It says where it listens once it does.
        for (int i = 0; i < 1000 && pid > 0 && !port; ++i) {
            const std::string text = stderrText();
            const size_t at = text.find("http://127.0.0.1:");
            if (at != std::string::npos) port = std::atoi(text.c_str() + at + 17);
            if (!port) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~ListenProcess() {
        if (pid > 0) qmstest::reap(pid, 0);
    }
    std::string stderrText() const { return qmstest::fileText(err); }
    // Its exit code after a signal or on its own; -1 when it had to be killed.
    int end(int sig) {
        if (sig) kill(pid, sig);
        const int status = qmstest::reap(pid, 10000);
        pid = -1;
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const qmstest::ScratchDir dir{"cimhost-listen"};
    const std::string err = dir.file("err.txt");
    pid_t pid = -1;
    int port = 0;
};

// Told by stderr where it listens, writing JSON lines, reporting numbering
// faults per sequence context, and ending on SIGTERM with its count.
TEST(ListenCommandTest, ReportsGapsRepeatsAndLateArrivalsPerContextAndEndsWithItsCount) {
    const qmstest::ScratchDir dir("cimhost-listen-out");
    const std::string out = dir.file("out.jsonl");
    ListenProcess listen({"--json", "--out", out});
    ASSERT_GT(listen.port, 0) << listen.stderrText();
    httplib::Client client("127.0.0.1", listen.port);
    // Context A: 0 1 3 3 2 (a gap, a repeat, the missing one late);
    // context B opens at 5 (a listener started late) and skips 7 for good.
    const std::pair<const char*, const char*> sent[] = {{"A", "0"}, {"A", "1"}, {"B", "5"}, {"A", "3"},
                                                        {"A", "3"}, {"A", "2"}, {"B", "6"}, {"B", "8"}};
    const auto status = [&](const std::string& body) {
        const httplib::Result r = client.Post("/x", body, "application/xml");
        return r ? r->status : -1;
    };
    for (const auto& s : sent) EXPECT_EQ(status(numbered(s.first, s.second)), 200) << s.first << s.second;
    EXPECT_EQ(status("not xml"), 400);

    EXPECT_EQ(listen.end(SIGTERM), 0);
    const std::string log = listen.stderrText();
    for (const char* expected : {
             "gap: SequenceNumber 2 in sequence context \"A\" missing (1 indication(s)), 3 arrived",
             "repeat: SequenceNumber 3 in sequence context \"A\" arrived again",
             "late: SequenceNumber 2 in sequence context \"A\" arrived after 3",
             "gap: SequenceNumber 7 in sequence context \"B\" missing",
             "refused: not well-formed XML",
             "8 indication(s) received, 1 request(s) refused; by sequence number 1 missing, 1 repeated, 1 "
             "late",
         })
        EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
    EXPECT_EQ(log.find("context \"B\" arrived"), std::string::npos) << log;

    std::istringstream lines(qmstest::fileText(out));
    std::string line;
    size_t n = 0;
    for (; std::getline(lines, line); ++n) {
        rapidjson::Document doc;
        ASSERT_FALSE(doc.Parse(line.c_str()).HasParseError()) << line;
        const auto& props = doc["indication"]["properties"];
        ASSERT_LT(n, std::size(sent));
        EXPECT_EQ(props["SequenceNumber"].GetInt64(), std::atoi(sent[n].second)) << line;
        EXPECT_STREQ(doc["target"].GetString(), "/x");
    }
    EXPECT_EQ(n, std::size(sent));
}

// An indication that cannot be written (the reader of its output went away)
// is answered with a CIM error, so that the sender keeps it and delivers it
// again, and the listener stops saying why instead of dropping what follows.
TEST(ListenCommandTest, OutputThatCannotBeWrittenFailsTheDeliveryAndStopsTheListener) {
    int fds[2];
    ASSERT_TRUE(qmstest::highPipe(fds));
    // Its stdout the pipe's end, opened anew in the child (before exec: the
    // descriptor is still there).
    ListenProcess listen({}, "/proc/self/fd/" + std::to_string(fds[1]));
    close(fds[0]);
    close(fds[1]);
    ASSERT_GT(listen.port, 0) << listen.stderrText();
    httplib::Client client("127.0.0.1", listen.port);
    const httplib::Result r = client.Post("/", numbered("A", "0"), "application/xml");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    pugi::xml_document answer;
    ASSERT_TRUE(answer.load_string(r->body.c_str())) << r->body;
    EXPECT_EQ(answer.select_node("//EXPMETHODRESPONSE/ERROR").node().attribute("CODE").as_int(), 1)
        << r->body;
    EXPECT_EQ(listen.end(0), 1);
    EXPECT_NE(listen.stderrText().find("cannot write to stdout"), std::string::npos) << listen.stderrText();
}

}  // namespace
}  // namespace listener
}  // namespace cimhost
