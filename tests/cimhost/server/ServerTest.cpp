// The operations server in process, against the host's test providers: what
// a client is answered for each way a request can be wrong, and that a
// refused request never reaches a provider.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "common/Programs.h"
#include "core/Cimom.h"
#include "server/Passwords.h"
#include "server/Server.h"

namespace cimhost {
namespace {

const char kRegistrations[] = "CIM_ComputerSystem root/qms Test_Provider cimhosttestprov instance,method\n";

std::string request(const std::string& call, const std::string& cim = "CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"",
                    const std::string& protocol = "1.0") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><CIM " + cim +
           "><MESSAGE ID=\"42\" PROTOCOLVERSION=\"" + protocol + "\"><SIMPLEREQ>" + call +
           "</SIMPLEREQ></MESSAGE></CIM>";
}

std::string param(const char* name, const std::string& value) {
    return "<IPARAMVALUE NAME=\"" + std::string(name) + "\">" + value + "</IPARAMVALUE>";
}

// An intrinsic call in root/<ns>.
std::string imethod(const std::string& method, const std::string& params, const std::string& ns = "qms") {
    return "<IMETHODCALL NAME=\"" + method +
           "\"><LOCALNAMESPACEPATH><NAMESPACE NAME=\"root\"/><NAMESPACE NAME=\"" + ns +
           "\"/></LOCALNAMESPACEPATH>" + params + "</IMETHODCALL>";
}

std::string enumerateNames(const std::string& ns = "qms") {
    return imethod("EnumerateInstanceNames", param("ClassName", "<CLASSNAME NAME=\"CIM_ComputerSystem\"/>"),
                   ns);
}

// A raw connection to the server on loopback (with SOCK_NONBLOCK in `flags`:
// one under way); -1 when it fails.
int connectTo(int port, int flags = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | flags, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 || errno == EINPROGRESS))
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// The headers of an intrinsic call on `object`.
httplib::Headers operation(const std::string& method, const std::string& object = "root/qms") {
    return {{"CIMOperation", "MethodCall"}, {"CIMMethod", method}, {"CIMObject", object}};
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir_ + "/providers.reg") << kRegistrations;
        Cimom::Options options;
        options.libraryPath = {CIMHOST_TEST_PROVIDER_DIR};
        options.exportToListeners = false;
        cimom_ = std::make_unique<Cimom>(options);
        std::string error;
        ASSERT_TRUE(cimom_->loadRegistrations(dir_ + "/providers.reg", &error)) << error;
    }
    void TearDown() override { stop(); }
    void stop() {
        if (server_) server_->stop();
        if (thread_.joinable()) thread_.join();
    }

    void serve(server::ServerOptions options = {}) {
        options.port = 0;
        options.maxRequestBytes = 64 * 1024;
        server_ = std::make_unique<server::Server>(*cimom_, options);
        thread_ = std::thread([this] { server_->run(); });
    }

    httplib::Result post(const std::string& body, httplib::Headers headers, const std::string& type,
                         const char* method = "POST") {
        httplib::Request sent;
        sent.method = method;
        sent.path = "/cimom";
        sent.headers = std::move(headers);
        sent.set_header("Content-Type", type);
        sent.body = body;
        return httplib::Client("127.0.0.1", server_->port()).send(sent);
    }

    // An intrinsic call in root/<ns>: the body of a 200 answer, or "no answer".
    std::string call(const std::string& method, const std::string& params, const char* ns = "qms") {
        const httplib::Result r = post(request(imethod(method, params, ns)),
                                       operation(method, std::string("root/") + ns), "application/xml");
        return r && r->status == 200 ? r->body : "no answer";
    }

    // A good EnumerateInstanceNames as `user` (none when empty), over HTTPS
    // when `https`; the HTTP status, or -1 without an answer.
    int enumerateAs(const std::string& user, const std::string& password, bool https = false) {
        httplib::Client client(std::string(https ? "https" : "http") +
                               "://127.0.0.1:" + std::to_string(server_->port()));
        client.enable_server_certificate_verification(false);
        if (!user.empty()) client.set_basic_auth(user, password);
        const httplib::Result r = client.Post("/cimom", operation("EnumerateInstanceNames"),
                                              request(enumerateNames()), "application/xml");
        return r ? r->status : -1;
    }

    // HTTPS for `options`, with a self-signed certificate for localhost and
    // its key made in the test's directory.
    void secure(server::ServerOptions* options) {
        options->certFile = dir_ + "/cert.pem";
        options->keyFile = dir_ + "/key.pem";
        const qmstest::ProgramResult made = qmstest::run(
            {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-keyout", options->keyFile, "-out", options->certFile, "-days", "1", "-subj", "/CN=localhost"});
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }

    const qmstest::ScratchDir scratch_{"cimhost-server"};
    const std::string dir_ = scratch_.path();
    std::unique_ptr<Cimom> cimom_;
    std::unique_ptr<server::Server> server_;
    std::thread thread_;
};

TEST_F(ServerTest, EveryBadRequestGetsTheAnswerItsFaultCallsFor) {
    serve();
    const std::string good = request(enumerateNames());
    const std::string xml = "application/xml; charset=\"utf-8\"";
    httplib::Headers headers = operation("EnumerateInstanceNames", "root%2Fqms");
    headers.emplace("CIMProtocolVersion", "1.0");
    const auto with = [&](const char* name, const char* value) {
        httplib::Headers h = headers;
        h.erase(name);
        if (value) h.emplace(name, value);
        return h;
    };
    std::string nested;
    for (int i = 0; i < 1000; ++i) nested = "<a>" + nested + "</a>";
    const std::string deep = request(nested);
    const auto mpost = [](const char* man) {
        return httplib::Headers{{"Man", man},
                                {"73-CIMOperation", "MethodCall"},
                                {"73-CIMMethod", "EnumerateInstanceNames"},
                                {"73-CIMObject", "root%2Fqms"}};
    };
    const struct {
        const char* what;
        std::string body;
        httplib::Headers headers;
        std::string type;
        int status;
        const char* cimError = "";  // header, when status != 200
        int cimCode = 0;            // ERROR CODE in the body when status == 200; 0 for none
        const char* method = "POST";
    } cases[] = {
        {"a good request", good, headers, xml, 200},
        {"text/xml without a charset", good, headers, "text/xml", 200},
        {"no XML type", good, headers, "text/plain", 415},
        {"another charset", good, headers, "application/xml; charset=iso-8859-1", 415},
        {"no CIMOperation", good, with("CIMOperation", nullptr), xml, 400, "unsupported-operation"},
        {"CIMOperation not MethodCall", good, with("CIMOperation", "MethodResponse"), xml, 400,
         "unsupported-operation"},
        {"CIMMethod naming another call", good, with("CIMMethod", "GetInstance"), xml, 400,
         "header-mismatch"},
        {"no CIMMethod", good, with("CIMMethod", nullptr), xml, 400, "header-mismatch"},
        {"CIMObject naming another namespace", good, with("CIMObject", "root%2Finterop"), xml, 400,
         "header-mismatch"},
        {"protocol version 2 in the header", good, with("CIMProtocolVersion", "2.0"), xml, 501,
         "unsupported-protocol-version"},
        {"protocol version 2 in the body",
         request(enumerateNames(), "CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"", "2.0"), headers, xml, 501,
         "unsupported-protocol-version"},
        {"a truncated body", good.substr(0, good.size() / 2), headers, xml, 400, "request-not-well-formed"},
        {"a DOCTYPE",
         "<?xml version=\"1.0\"?><!DOCTYPE CIM [<!ENTITY x \"y\">]>" + good.substr(good.find("<CIM")),
         headers, xml, 400, "request-not-valid"},
        {"no SIMPLEREQ",
         "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\"/></CIM>",
         headers, xml, 400, "request-not-valid"},
        {"nesting beyond any request", deep, headers, xml, 400, "request-not-valid"},
        {"a body beyond the limit", std::string(100 * 1024, ' ') + good, headers, xml, 413},
        {"an unknown operation", request(imethod("Frobnicate", "")), with("CIMMethod", "Frobnicate"), xml,
         200, "", CMPI_RC_ERR_NOT_SUPPORTED},
        {"an unknown namespace", request(enumerateNames("none")), with("CIMObject", "root/none"), xml, 200,
         "", CMPI_RC_ERR_INVALID_NAMESPACE},
        {"a parameter of the wrong type",
         request(
             "<METHODCALL NAME=\"RequestStateChange\"><LOCALCLASSPATH><LOCALNAMESPACEPATH>"
             "<NAMESPACE NAME=\"root\"/><NAMESPACE NAME=\"qms\"/></LOCALNAMESPACEPATH>"
             "<CLASSNAME NAME=\"CIM_ComputerSystem\"/></LOCALCLASSPATH><PARAMVALUE NAME=\"RequestedState\">"
             "<VALUE>enabled</VALUE></PARAMVALUE></METHODCALL>"),
         operation("RequestStateChange", "root%2Fqms%3ACIM_ComputerSystem"), xml, 200, "",
         CMPI_RC_ERR_INVALID_PARAMETER},
        // The extension framework's M-POST, its CIM headers under the prefix
        // its Man header declares, is served as the POST; without the CIM
        // mapping in its Man header it gets the 501 that sends a client back
        // to POST.
        {"M-POST", good, mpost("http://www.dmtf.org/cim/mapping/http/v1.0 ; ns=73"), xml, 200, "", 0,
         "M-POST"},
        {"M-POST naming no CIM mapping", good, mpost("urn:other ; ns=73"), xml, 501, "", 0, "M-POST"},
    };
    // Only the good requests may reach the provider.
    unsigned expectedCalls = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const httplib::Result r = post(c.body, c.headers, c.type, c.method);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status) << r->body;
        EXPECT_EQ(r->get_header_value("CIMError"), c.cimError);
        if (c.status != 200) continue;
        const std::string prefix = c.headers.count("Man") ? "73-" : "";
        EXPECT_EQ(r->get_header_value((prefix + "CIMOperation").c_str()), "MethodResponse");
        EXPECT_NE(r->body.find("<MESSAGE ID=\"42\""), std::string::npos);
        const size_t error = r->body.find("<ERROR CODE=\"");
        if (c.cimCode == 0) {
            ++expectedCalls;
            EXPECT_EQ(error, std::string::npos) << r->body;
        } else {
            EXPECT_NE(r->body.find("<ERROR CODE=\"" + std::to_string(c.cimCode) + "\" DESCRIPTION=\""),
                      std::string::npos)
                << r->body;
        }
    }
    EXPECT_EQ(cimom_->calls("Test_Provider.enumerateInstanceNames"), expectedCalls);
    EXPECT_EQ(cimom_->calls("Test_Provider.invokeMethod"), 0u);

    // Many clients at once, while others hold connections half-sent: every
    // one is answered.
    std::vector<int> stalled;
    for (int i = 0; i < 10; ++i) {
        const int fd = connectTo(server_->port());
        ASSERT_EQ(write(fd, "POST /cimom HTTP/1.1\r\nContent-", 31), 31);
        stalled.push_back(fd);
    }
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t)
        clients.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                const httplib::Result r = post(good, headers, xml);
                if (r && r->status == 200 && r->body.find("<ERROR") == std::string::npos) ++answered;
            }
        });
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(answered.load(), 80);
    for (const int fd : stalled) close(fd);
}

// A port is one server's: a second one is refused rather than handed half
// the connections. And a burst of clients finds its connections queued while
// the server is busy (here: before it accepts at all), not dropped until the
// clients try again a second later.
TEST_F(ServerTest, APortIsOneServersAndQueuesABurstOfConnections) {
    server::ServerOptions options;
    server::Server first(*cimom_, options);
    options.port = first.port();
    EXPECT_THROW(server::Server(*cimom_, options), std::runtime_error);

    std::vector<pollfd> burst;
    for (int i = 0; i < 32; ++i) burst.push_back(pollfd{connectTo(first.port(), SOCK_NONBLOCK), POLLOUT, 0});
    size_t connected = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (connected < burst.size() && std::chrono::steady_clock::now() < until) {
        poll(burst.data(), burst.size(), 50);
        connected = 0;
        for (const pollfd& p : burst) connected += (p.revents & POLLOUT) != 0;
    }
    EXPECT_EQ(connected, burst.size());
    for (const pollfd& p : burst) close(p.fd);
}

// Association operations on a class answer from the schema: the association
// classes that can refer to it (a reference to one of its superclasses
// counts; one narrowed by a subclass to another class does not), and the
// classes at their other ends.
TEST_F(ServerTest, AssociationOperationsOnAClassAnswerFromTheSchema) {
    serve();
    const struct {
        const char* method;
        std::string params;
        const char* classes;  // in name order
        int error;            // the CIM error expected instead
    } rows[] = {
        {"ReferenceNames", "",
         "CIM_AbstractIndicationSubscription CIM_Dependency CIM_HostedDependency CIM_HostedService "
         "QMS_HostedService QMS_VRXHostedIndicationRegistrationService",
         0},
        {"References", param("Role", "<VALUE>Antecedent</VALUE>"), "CIM_Dependency CIM_HostedDependency", 0},
        {"AssociatorNames", "", "CIM_ListenerDestination CIM_ManagedElement CIM_System QMS_VRXComputerSystem",
         0},
        {"Associators",
         param("AssocClass", "<CLASSNAME NAME=\"CIM_HostedService\"/>") +
             param("ResultRole", "<VALUE>Antecedent</VALUE>"),
         "CIM_System QMS_VRXComputerSystem", 0},
        {"AssociatorNames", param("ResultClass", "<CLASSNAME NAME=\"CIM_System\"/>"),
         "CIM_System QMS_VRXComputerSystem", 0},
        {"ReferenceNames", param("Role", "<VALUE>Nobody</VALUE>"), "", 0},
        {"ReferenceNames", "", "", CMPI_RC_ERR_INVALID_PARAMETER},  // on a class that does not exist
    };
    const std::regex classPath(
        "<CLASSPATH><NAMESPACEPATH><HOST>[^<]+</HOST><LOCALNAMESPACEPATH><NAMESPACE "
        "NAME=\"root\"/><NAMESPACE NAME=\"qms\"/></LOCALNAMESPACEPATH></NAMESPACEPATH>"
        "<CLASSNAME NAME=\"(\\w+)\"/></CLASSPATH>(<CLASS NAME=\"(\\w+)\")?");
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.params);
        const std::string target = row.error ? "NoSuchClass" : "QMS_VRXIndicationRegistrationService";
        const std::string body =
            call(row.method, param("ObjectName", "<CLASSNAME NAME=\"" + target + "\"/>") + row.params);
        if (row.error) {
            EXPECT_NE(body.find("<ERROR CODE=\"" + std::to_string(row.error) + "\""), std::string::npos);
            continue;
        }
        const bool names = std::string(row.method).find("Names") != std::string::npos;
        std::set<std::string> got;
        std::string classes;
        for (std::sregex_iterator m(body.begin(), body.end(), classPath), end; m != end; ++m) {
            got.insert((*m)[1]);
            // Names come as paths, objects as paths with their classes.
            EXPECT_EQ((*m)[3].str(), names ? "" : (*m)[1].str());
        }
        for (const std::string& c : got) classes += (classes.empty() ? "" : " ") + c;
        EXPECT_EQ(classes, row.classes) << body;
    }
}

// Without DeepInheritance an instance of a subclass shows only the
// properties of the class enumerated.
TEST_F(ServerTest, ShallowEnumerationLeavesOutWhatSubclassesAdd) {
    serve();
    std::string filter;
    for (const auto& p : {std::make_pair("Name", "f"), std::make_pair("ElementName", "mine"),
                          std::make_pair("Query", "SELECT * FROM QMS_VRXLogEntryArrived"),
                          std::make_pair("QueryLanguage", "WQL")})
        filter += "<PROPERTY NAME=\"" + std::string(p.first) + "\" TYPE=\"string\"><VALUE>" + p.second +
                  "</VALUE></PROPERTY>";
    const std::string created =
        call("CreateInstance",
             param("NewInstance", "<INSTANCE CLASSNAME=\"CIM_IndicationFilter\">" + filter + "</INSTANCE>"),
             "interop");
    ASSERT_EQ(created.find("<ERROR"), std::string::npos) << created;
    for (const bool deep : {true, false}) {
        const std::string listed =
            call("EnumerateInstances",
                 param("ClassName", "<CLASSNAME NAME=\"CIM_ManagedElement\"/>") +
                     param("DeepInheritance", deep ? "<VALUE>TRUE</VALUE>" : "<VALUE>FALSE</VALUE>"),
                 "interop");
        SCOPED_TRACE(listed);
        EXPECT_NE(listed.find("<INSTANCENAME CLASSNAME=\"CIM_IndicationFilter\">"), std::string::npos);
        EXPECT_NE(listed.find("<PROPERTY NAME=\"ElementName\""), std::string::npos);
        EXPECT_EQ(listed.find("<PROPERTY NAME=\"Query\"") != std::string::npos, deep);
    }
}

// A client that sends its request a byte at a time, each byte well within
// the wait for the next, loses the connection when the whole request has
// taken too long; over HTTPS the handshake is bounded alike. The others are
// served all the while.
TEST_F(ServerTest, ATricklingClientIsCutOffAtTheRequestDeadline) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    for (const bool https : {false, true}) {
        SCOPED_TRACE(https ? "https" : "http");
        server::ServerOptions options;
        options.limits.request = milliseconds(600);
        options.limits.io = std::chrono::seconds(10);
        options.workers = 3;
        if (https) secure(&options);
        serve(options);
        // A request line and a header, or a TLS record's header and the
        // start of the handshake it announces.
        const std::string head = https
                                     ? std::string("\x16\x03\x01\x02\x00", 5) + std::string(200, 'a')
                                     : "POST /cimom HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(200, 'a');
        const auto trickle = [&](milliseconds* cutAfter) {
            const int fd = connectTo(server_->port());
            ASSERT_GE(fd, 0);
            const Clock::time_point start = Clock::now();
            for (const char c : head) {
                char answer[256];
                pollfd p{fd, POLLIN, 0};
                if (send(fd, &c, 1, MSG_NOSIGNAL) != 1 ||
                    (poll(&p, 1, 50) == 1 && recv(fd, answer, sizeof answer, 0) <= 0))
                    break;
            }
            *cutAfter = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
            close(fd);
        };
        milliseconds cut[2];
        std::thread slow[] = {std::thread(trickle, &cut[0]), std::thread(trickle, &cut[1])};
        int answered = 0;
        for (const Clock::time_point until = Clock::now() + milliseconds(500); Clock::now() < until;)
            answered += enumerateAs("", "", https) == 200;
        for (std::thread& t : slow) t.join();
        EXPECT_GT(answered, 0);
        // 205 bytes at one per 50 ms would take 10 s.
        for (const milliseconds m : cut)
            EXPECT_TRUE(m.count() >= 550 && m.count() < 2500) << m.count() << " ms";
        if (!https) {
            // The deadline runs from a request's first byte: on a connection
            // kept alive beyond it, a request whose body comes a little after
            // its head is still served.
            const int fd = connectTo(server_->port());
            ASSERT_GE(fd, 0);
            const std::string body = request(enumerateNames());
            const std::string head =
                "POST /cimom HTTP/1.1\r\nHost: x\r\nContent-Type: application/xml\r\n"
                "CIMOperation: MethodCall\r\nCIMMethod: EnumerateInstanceNames\r\nCIMObject: root/qms\r\n"
                "Content-Length: " +
                std::to_string(body.size()) + "\r\n\r\n";
            for (int i = 0; i < 2; ++i) {
                std::this_thread::sleep_for(milliseconds(i ? 800 : 0));
                ASSERT_EQ(send(fd, head.data(), head.size(), MSG_NOSIGNAL), ssize_t(head.size()));
                std::this_thread::sleep_for(milliseconds(100));
                ASSERT_EQ(send(fd, body.data(), body.size(), MSG_NOSIGNAL), ssize_t(body.size()));
                char answer[4096];
                pollfd p{fd, POLLIN, 0};
                const ssize_t n = poll(&p, 1, 5000) == 1 ? recv(fd, answer, sizeof answer, 0) : -1;
                EXPECT_EQ(std::string(answer, std::max<ssize_t>(n, 0)).substr(0, 12), "HTTP/1.1 200") << i;
            }
            close(fd);
        }
        stop();
    }
}

// Only the users of the password file are served, and nothing of anyone
// else's request reaches a provider; beyond loopback a password file is a
// must; with a certificate the same holds over HTTPS.
TEST_F(ServerTest, OnlyAuthenticatedRequestsReachTheProviders) {
    server::ServerOptions open;
    open.address = "0.0.0.0";
    EXPECT_THROW(server::Server(*cimom_, open), std::runtime_error);

    const std::string passwords = dir_ + "/passwords";
    std::string error;
    ASSERT_TRUE(server::Passwords::set(passwords, "alice", "s3cret:x", &error)) << error;
    // bob as an administrator adds him, the password piped in.
    const qmstest::ProgramResult added = qmstest::run(
        {"/bin/sh", "-c", "printf 'other\\n' | \"$0\" passwd \"$1\" bob", CIMHOST_BINARY, passwords});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    server::ServerOptions options;
    options.passwordFile = passwords;
    serve(options);
    EXPECT_EQ(enumerateAs("", ""), 401);
    EXPECT_EQ(enumerateAs("alice", "s3cret"), 401);
    EXPECT_EQ(enumerateAs("alice", "other"), 401);
    EXPECT_EQ(enumerateAs("carol", "s3cret:x"), 401);
    EXPECT_EQ(cimom_->calls("Test_Provider.enumerateInstanceNames"), 0u);
    EXPECT_EQ(enumerateAs("alice", "s3cret:x"), 200);
    EXPECT_EQ(enumerateAs("alice", "s3cret:x"), 200);  // the second time from what the first proved
    EXPECT_EQ(enumerateAs("bob", "other"), 200);
    EXPECT_EQ(cimom_->calls("Test_Provider.enumerateInstanceNames"), 3u);
    stop();

    secure(&options);
    serve(options);
    EXPECT_EQ(enumerateAs("alice", "s3cret:x", true), 200);
    EXPECT_EQ(enumerateAs("alice", "wrong", true), 401);
    EXPECT_EQ(enumerateAs("alice", "s3cret:x", false), -1) << "plain HTTP answered on the HTTPS port";
    EXPECT_EQ(cimom_->calls("Test_Provider.enumerateInstanceNames"), 4u);
}

}  // namespace
}  // namespace cimhost
