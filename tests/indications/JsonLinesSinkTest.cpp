#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fstream>
#include <limits>
#include <system_error>
#include <thread>

#include "common/Programs.h"
#include "core/IndicationService.h"
#include "indications/Support.h"

using namespace cimhost;
using indications_test::make;
using qmstest::ScratchDir;

namespace {

ObjectPath subscriptionPath() {
    ObjectPath f{"", "", "CIM_IndicationFilter", {}}, s{"root/interop", "", "CIM_IndicationSubscription", {}};
    f.keys.set("Name", Value::string("F"));
    s.keys.set("Filter", Value::reference(f));
    return s;
}

const Instance kDestination =
    make("CIM_ListenerDestinationCIMXML", {{"Destination", Value::string("http://l:5988")}});

TEST(JsonLinesSink, EveryValueKindBecomesValidJson) {
    ObjectPath ref{"", "", "QMS_VRXLogEntry", {}};
    ref.keys.set("RecordID", Value::string("7"));
    const Instance indication =
        make("QMS_VRXLogEntryArrived",
             {{"Message", Value::string("line\nbreak \"quoted\" \\ tab\t")},
              {"Broken", Value::string(std::string("ok \xff\xc3 end\0x", 11))},
              {"Severity", Value::uint16(6)},
              {"Sequence", Value::sint64(-42)},
              {"Ratio", Value::real64(0.25)},
              {"Infinite", Value::real64(std::numeric_limits<double>::infinity())},
              {"Flag", Value::boolean(false)},
              {"Time", Value::datetime("20240102030405.000000+000")},
              {"Element", Value::reference(ref)},
              {"Actions", Value::array(CMPI_string, {Value::string("a"), Value::null(CMPI_string)})},
              {"Missing", Value::null(CMPI_uint32)}},
             "root/qms");
    // One line of valid JSON: escapes, bytes that are no UTF-8 replaced, an
    // infinity as null.
    EXPECT_EQ(JsonLinesSink::line(kDestination, subscriptionPath(), indication),
              R"({"destination":"http://l:5988","subscription":)"
              R"("root/interop:CIM_IndicationSubscription.Filter=\"CIM_IndicationFilter.Name=\\\"F\\\"\"",)"
              R"("indication":{"class":"QMS_VRXLogEntryArrived","namespace":"root/qms","properties":{)"
              R"("Message":"line\nbreak \"quoted\" \\ tab\t","Broken":"ok )"
              "\xEF\xBF\xBD\xEF\xBF\xBD"
              R"( end\u0000x","Severity":6,"Sequence":-42,"Ratio":0.25,"Infinite":null,"Flag":false,)"
              R"("Time":"20240102030405.000000+000","Element":"QMS_VRXLogEntry.RecordID=\"7\"",)"
              R"("Actions":["a",null],"Missing":null}}})");
}

TEST(JsonLinesSink, ConcurrentDeliveriesAppendWholeLines) {
    ScratchDir dir;
    const std::string file = dir.file("deliveries.jsonl");
    std::ofstream(file) << "earlier\n";
    JsonLinesSink sink(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                sink.deliver(
                    kDestination, subscriptionPath(),
                    make("QMS_VRXLogEntryArrived", {{"Message", Value::string(std::string(500, 'a' + t))}}));
        });
    }
    for (auto& t : threads) t.join();
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "earlier");
    int count = 0;
    while (std::getline(in, line)) {
        rapidjson::Document doc;
        doc.Parse(line.c_str());
        ASSERT_FALSE(doc.HasParseError()) << line;
        ++count;
    }
    EXPECT_EQ(count, 200);

    JsonLinesSink nowhere(dir.file("no/such/dir/file"));
    EXPECT_THROW(nowhere.deliver(kDestination, subscriptionPath(), make("X", {})), std::system_error);
}

}  // namespace
