// Every way a CIM-XML call can fail reaches the caller as its own kind, so
// that a command can tell a user what to do; and a method's answer is read
// whole. The server is an HTTP server that answers what each case says.
#include <gtest/gtest.h>
#include <httplib.h>

#include <string>
#include <thread>

#include "client/CimClient.h"

namespace {

using cimhost::client::CimClient;
using cimhost::client::Failure;

std::string methodResponse(const std::string& inside) {
    return "<?xml version=\"1.0\"?><CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" "
           "PROTOCOLVERSION=\"1.0\"><SIMPLERSP><METHODRESPONSE NAME=\"M\">" +
           inside + "</METHODRESPONSE></SIMPLERSP></MESSAGE></CIM>";
}

// Answers every post with the status, body and headers it was made with, and
// keeps the last request's body.
class Canned {
public:
    Canned(int status, const std::string& body, const httplib::Headers& headers = {}) {
        server_.Post("/cimom", [=](const httplib::Request& request, httplib::Response& response) {
            lastRequest = request.body;
            response.status = status;
            for (const auto& h : headers) response.set_header(h.first, h.second);
            response.set_content(body, "application/xml; charset=\"utf-8\"");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::yield();
    }
    ~Canned() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    std::string lastRequest;

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

CimClient clientOf(const std::string& url) {
    cimhost::client::Options options;
    options.url = url;
    return CimClient(options);
}

const cimhost::client::InstanceName kService{
    "QMS_S",
    "<INSTANCENAME CLASSNAME=\"QMS_S\"><KEYBINDING "
    "NAME=\"Name\"><KEYVALUE>a,b</KEYVALUE></KEYBINDING></INSTANCENAME>",
    "QMS_S.Name=\"a,b\""};

TEST(CimClient, EveryFailureIsReportedAsItsKind) {
    const struct {
        int status;
        std::string body;
        httplib::Headers headers;
        Failure::Kind kind;
        const char* says;
    } cases[] = {
        {401, "", {}, Failure::kAuthentication, "asks for a user"},
        {400, "", {{"CIMError", "request-not-valid"}}, Failure::kHttp, "HTTP 400 (request-not-valid)"},
        {200, "not xml <", {}, Failure::kHttp, "no XML"},
        {200, "<CIM><MESSAGE><SIMPLERSP/></MESSAGE></CIM>", {}, Failure::kHttp, "no CIM-XML method response"},
        {200,
         methodResponse("<ERROR CODE=\"6\" DESCRIPTION=\"gone\"/>"),
         {},
         Failure::kCim,
         "CIM_ERR_NOT_FOUND: gone"},
        {200, std::string(33u << 20, ' '), {}, Failure::kHttp, "larger than any answer"},
    };
    for (const auto& c : cases) {
        Canned server(c.status, c.body, c.headers);
        CimClient client = clientOf(server.url());
        cimhost::client::MethodResult result;
        Failure failure;
        EXPECT_FALSE(client.invokeMethod("root/qms", kService, "M", {}, &result, &failure));
        EXPECT_EQ(failure.kind, c.kind) << c.says;
        EXPECT_NE(failure.text.find(c.says), std::string::npos) << failure.text;
    }
    for (const char* url : {"ftp://h", "http://u@h", "http://", "http://h:0", "http://h:65536", "http://h:x",
                            "http://[::1]:"}) {
        Failure failure;
        std::vector<cimhost::client::InstanceName> names;
        EXPECT_FALSE(clientOf(url).enumerateInstanceNames("root/qms", "C", &names, &failure));
        EXPECT_EQ(failure.kind, Failure::kBadUrl) << url;
    }
    Failure refused;
    std::vector<cimhost::client::InstanceName> names;
    EXPECT_FALSE(clientOf("http://127.0.0.1:1").enumerateInstanceNames("root/qms", "C", &names, &refused));
    EXPECT_EQ(refused.kind, Failure::kConnection);
}

TEST(CimClient, AMethodCallCarriesTheNameWholeAndReadsEveryOutput) {
    Canned server(200,
                  methodResponse("<RETURNVALUE PARAMTYPE=\"uint16\"><VALUE>0</VALUE></RETURNVALUE>"
                                 "<PARAMVALUE NAME=\"Tags\" PARAMTYPE=\"string\"><VALUE.ARRAY><VALUE>x&amp;y"
                                 "</VALUE><VALUE.NULL/></VALUE.ARRAY></PARAMVALUE>"));
    CimClient client = clientOf(server.url());
    cimhost::client::MethodResult result;
    Failure failure;
    ASSERT_TRUE(client.invokeMethod("root/qms", kService, "M", {{"Tag", "string", "<a&\"b>", {}, false}},
                                    &result, &failure))
        << failure.text;
    EXPECT_EQ(result.returnValue.text, "0");
    ASSERT_EQ(result.outputs.count("tags"), 1u);
    const auto& items = result.outputs["Tags"].items;
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(*items[0], "x&y");
    EXPECT_FALSE(items[1]);
    const std::string& sent = server.lastRequest;
    EXPECT_NE(sent.find("<NAMESPACE NAME=\"root\"/><NAMESPACE NAME=\"qms\"/>"), std::string::npos) << sent;
    EXPECT_NE(sent.find(kService.xml.substr(0, 40)), std::string::npos) << sent;
    EXPECT_NE(sent.find("&lt;a&amp;\"b&gt;"), std::string::npos) << sent;
}

}  // namespace
