#include "cimom/CimomSupport.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/Programs.h"
#include "text/Escape.h"

namespace cimomtest {

namespace {

using cimhost::listener::pathText;
using cimhost::listener::readInstance;
using cimhost::listener::readValue;
using qmstest::environmentWith;
using qmstest::ProgramResult;
using qmstest::run;

std::string scalarText(const std::string& type, const std::string& text) {
    if (type == "string" || type == "char16") return quoted(text);
    if (type == "boolean") {
        std::string upper = text;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return upper;
    }
    return text;
}

}  // namespace

// ---- values ------------------------------------------------------------------

std::string quoted(const std::string& text) {
    std::string out;
    cimhost::text::appendQuoted(out, text);
    return out;
}

std::string propertyText(const Property& property) {
    if (property.null) return "NULL";
    if (!property.array) return scalarText(property.type, property.text);
    std::string out = "{";
    for (size_t i = 0; i < property.items.size(); ++i) {
        if (i) out += ", ";
        out += property.items[i] ? scalarText(property.type, *property.items[i]) : "NULL";
    }
    return out + "}";
}

std::string propertyText(const Instance& instance, const std::string& name) {
    const Property* p = instance.find(name);
    return p ? propertyText(*p) : "ABSENT";
}

void expectProperties(const Instance& instance, const Properties& expected,
                      const std::set<std::string>& unchecked) {
    for (const auto& p : instance.properties) {
        if (unchecked.count(p.first)) continue;
        const auto want = expected.find(p.first);
        EXPECT_EQ(propertyText(p.second), want == expected.end() ? "NULL" : want->second)
            << instance.className << "." << p.first;
    }
    for (const auto& e : expected)
        EXPECT_NE(instance.find(e.first), nullptr) << instance.className << " came without " << e.first;
}

// ---- CIM-XML answers -------------------------------------------------------

std::string CimAnswer::describe() const {
    std::string text = command + ": exit " + std::to_string(exitCode);
    if (status) text += ", CIM status " + std::to_string(status) + " (" + statusText + ")";
    if (!parsed) text += ", no CIM-XML answer read" + (statusText.empty() ? "" : " (" + statusText + ")");
    // The end of what wbemcli printed: its own message, or the answer.
    if (!parsed || exitCode != 0) {
        text += "\nstdout: " + out.substr(0, 1000);
        text += "\nstderr: ..." + err.substr(err.size() > 3000 ? err.size() - 3000 : 0);
    }
    return text;
}

void readResponse(const std::string& xml, CimAnswer* answer) {
    pugi::xml_document doc;
    if (!doc.load_string(xml.c_str(), pugi::parse_default | pugi::parse_ws_pcdata)) {
        answer->statusText = "not XML";
        return;
    }
    pugi::xml_node response = doc.child("CIM").child("MESSAGE").child("SIMPLERSP").first_child();
    while (response && response.type() != pugi::node_element) response = response.next_sibling();
    const std::string kind = response.name();
    if (kind != "IMETHODRESPONSE" && kind != "METHODRESPONSE") {
        answer->statusText = "no method response";
        return;
    }
    if (const pugi::xml_node failure = response.child("ERROR")) {
        answer->status = failure.attribute("CODE").as_int(-1);
        answer->statusText = failure.attribute("DESCRIPTION").value();
        answer->parsed = true;
        return;
    }
    std::string error;
    const auto read = [&](bool ok) {
        if (!ok) answer->statusText = error;
        return ok;
    };
    for (const pugi::xml_node& item : response.child("IRETURNVALUE").children()) {
        const std::string name = item.name();
        if (name == "VALUE.NAMEDINSTANCE") {
            answer->instances.emplace_back();
            if (!read(pathText(item.child("INSTANCENAME"), &answer->instances.back().first, &error) &&
                      readInstance(item.child("INSTANCE"), &answer->instances.back().second, &error)))
                return;
        } else if (name == "INSTANCE") {
            answer->instances.emplace_back();
            if (!read(readInstance(item, &answer->instances.back().second, &error))) return;
        } else if (name == "INSTANCENAME") {
            answer->names.emplace_back();
            if (!read(pathText(item, &answer->names.back(), &error))) return;
        } else if (name == "CLASSNAME") {
            answer->names.emplace_back(item.attribute("NAME").value());
        }
    }
    const pugi::xml_node rv = response.child("RETURNVALUE");
    if (rv && !read(readValue(rv, rv.attribute("PARAMTYPE").value(), &answer->returnValue, &error))) return;
    for (const pugi::xml_node& out : response.children("PARAMVALUE")) {
        Property& value = answer->outputs[out.attribute("NAME").value()];
        if (!read(readValue(out, out.attribute("PARAMTYPE").value(), &value, &error))) return;
    }
    answer->parsed = true;
}

// ---- the fixture -------------------------------------------------------------

void CimomTest::SetUp() {
    const char* sfcbHome = std::getenv("SFCB_HOME");
    if (!sfcbHome || !*sfcbHome)
        GTEST_SKIP() << "SFCB_HOME is not set: set it to the folder holding sfcb-ctl (the relocatable sfcb "
                        "package) to run the module in a real CIMOM";
    ASSERT_EQ(access((std::string(sfcbHome) + "/sfcb-ctl").c_str(), X_OK), 0)
        << "SFCB_HOME=" << sfcbHome << " holds no sfcb-ctl";
    ASSERT_GE(run({"wbemcli", "-h"}).exitCode, 0) << "wbemcli (Debian package sblim-wbemcli) is needed";

    // Short and free of blanks: sfcb's sockets live in its home below it.
    char dir[] = "/tmp/qmscim-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    scratch_ = dir;
    prefix_ = scratch_ + "/prefix";
    const ProgramResult install = run({QMS_CMAKE_COMMAND, "--install", QMS_BUILD_DIR, "--prefix", prefix_});
    ASSERT_EQ(install.exitCode, 0) << "cmake --install: " << install.out << install.err;

    sim_ = std::make_unique<qmstest::RqbdSim>(QMS_ROAD_SCENARIO);
    sim_->makeTraceDir();
    listener_ = std::make_unique<Listener>();
    try {
        sfcb_ = std::make_unique<Sfcb>(sfcbHome, scratch_ + "/sfcb", prefix_,
                                       environmentWith({}, "QMS_TEST_ROOT", sim_->root()), cimomSettings());
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
}

void CimomTest::TearDown() {
    if (sfcb_) {
        if (HasFailure())
            std::fprintf(stderr, "---- sfcbd.out\n%s\n---- sfcb.log\n%s\n", sfcb_->tail("sfcbd.out").c_str(),
                         sfcb_->tail("sfcb.log").c_str());
        std::string messages;
        EXPECT_TRUE(sfcb_->stop(&messages)) << messages;
        sfcb_.reset();
    }
    listener_.reset();
    sim_.reset();
    if (scratch_.empty()) return;
    if (HasFailure())
        std::fprintf(stderr, "CIMOM home and install kept for inspection in %s\n", scratch_.c_str());
    else
        std::filesystem::remove_all(scratch_);
}

CimAnswer CimomTest::wbemcli(const std::string& operation, const std::string& objectPath,
                             const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {"wbemcli", "-dx", operation, sfcb_->url() + "/" + objectPath};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const ProgramResult r = run(argv, {}, 60000);
    CimAnswer answer;
    answer.command = "wbemcli " + operation + " '" + objectPath + "'";
    answer.exitCode = r.exitCode;
    answer.out = r.out;
    answer.err = r.err;
    for (const std::string& e : extra) answer.command += " '" + e + "'";
    // -dx prints every request and response on stderr; the operation's own
    // answer is the last response (ci and cm read the class first).
    const size_t at = r.err.rfind("From server: <?xml"), end = r.err.rfind("</CIM>");
    if (at != std::string::npos && end != std::string::npos && end > at)
        readResponse(r.err.substr(at + 13, end + 6 - at - 13), &answer);
    EXPECT_TRUE(answer.ok()) << answer.describe();
    return answer;
}

std::string CimomTest::servicePath() const { return std::string(kRootQms) + ":" + kServiceName; }

std::string CimomTest::invoke(const std::string& method, const std::string& in, CimAnswer* answerOut) {
    const CimAnswer answer = wbemcli("cm", servicePath(), {in.empty() ? method : method + "." + in});
    if (answerOut) *answerOut = answer;
    return propertyText(answer.returnValue);
}

qmstest::ProgramResult CimomTest::client(const std::vector<std::string>& args, const std::string& url) {
    std::vector<std::string> argv = {CIMHOST_BINARY, "client", "--url", url.empty() ? sfcb_->url() : url};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

CimomTest::Subscription CimomTest::subscribe(const std::string& name, const std::string& target,
                                             const std::string& query, const std::string& destinationClass) {
    // The keys sfcb's interop namespace wants; it puts its own host name in
    // SystemName whatever the client says.
    const auto create = [&](const std::string& cls, const std::string& id, const std::string& properties) {
        const CimAnswer a =
            wbemcli("ci",
                    std::string(kInterop) + ":" + cls +
                        ".SystemCreationClassName=\"CIM_ComputerSystem\",SystemName=\"" +
                        qmstest::hostName() + "\",CreationClassName=\"" + cls + "\",Name=\"" + id + "\"",
                    {"Name=\"" + id + "\"," + properties});
        EXPECT_EQ(a.names.size(), 1u);
        return a.names.empty() ? std::string() : std::string(kInterop) + ":" + a.names[0];
    };
    Subscription s;
    s.filter = create("CIM_IndicationFilter", name + "-filter",
                      "Query=\"" + query + "\",QueryLanguage=\"WQL\",SourceNamespace=\"root/qms\"");
    s.destination =
        create(destinationClass, name + "-destination", "Destination=\"" + listener_->url(target) + "\"");
    createSubscription(s);
    return s;
}

void CimomTest::createSubscription(Subscription& s) {
    // wbemcli reads a reference key in the path as namespace:Class.keys, and
    // a reference property's value with a host in front.
    s.subscription = std::string(kInterop) + ":CIM_IndicationSubscription.Filter=" + s.filter +
                     ",Handler=" + s.destination;
    const CimAnswer a = wbemcli("ci", s.subscription,
                                {"Filter=localhost/" + s.filter + ",Handler=localhost/" + s.destination});
    EXPECT_EQ(a.names.size(), 1u);
}

CimomTest::Subscription CimomTest::enableIndications(const std::string& name, const std::string& target) {
    Subscription s = subscribe(name, target);
    ctl({"wait-subscribers", "1", "--timeout-ms", "15000"});
    return s;
}

std::vector<Instance> CimomTest::interop(const char* className) {
    std::vector<Instance> found;
    for (const auto& i : wbemcli("ei", std::string(kInterop) + ":" + className).instances)
        found.push_back(i.second);
    return found;
}

void CimomTest::pushAndReceive(const std::vector<std::string>& push, size_t count) {
    const size_t before = listener_->size();
    EXPECT_EQ(ctl(push), "1\n") << push[0] << " reached no subscriber";
    ASSERT_TRUE(listener_->waitFor(before + count, std::chrono::seconds(20)))
        << "after " << push[0] << " " << (push.size() > 1 ? push[1] : "") << " the listener has "
        << listener_->size() - before << " of " << count;
}

}  // namespace cimomtest
