// A client registers, lists and removes CIM-XML listeners through the
// registration service's methods, called as a CIMOM calls them; the CIMOM's
// own store holds the filters, handlers and subscriptions that result.
#include <cimple/Meta.h>
#include <cimple/Property.h>
#include <cimple/cimom.h>

#include "integration/RoadSupport.h"

namespace road {
namespace {

using cimple::Instance;
using cimple::Ref;

const char kQuery[] = "SELECT * FROM QMS_VRXLogEntryArrived";
const int kNull = -1;

void setText(Instance* record, const char* name, const char* text) {
    const cimple::Meta_Feature* f =
        cimple::find_feature(record->meta_class, name, cimple::CIMPLE_FLAG_PROPERTY);
    ASSERT_NE(f, nullptr) << name;
    if (text) static_cast<cimple::Property<cimple::String>*>(cimple::field_of(record, f))->set(text);
}

void setUint16(Instance* record, const char* name, int value) {
    const cimple::Meta_Feature* f =
        cimple::find_feature(record->meta_class, name, cimple::CIMPLE_FLAG_PROPERTY);
    ASSERT_NE(f, nullptr) << name;
    if (value != kNull) static_cast<cimple::Property<uint16_t>*>(cimple::field_of(record, f))->set(value);
}

class RegistrationRoad : public RoadTest {
protected:
    void SetUp() override {
        RoadTest::SetUp();
        service_ = hostProvider("QMS_VRXIndicationRegistrationService_Provider");
        std::vector<Ref<Instance>> found;
        ASSERT_EQ(service_->enumInstances(found), 0);
        ASSERT_EQ(found.size(), 1u);
        self_ = found[0];
    }
    void TearDown() override {
        self_.reset();
        service_.reset();
        RoadTest::TearDown();
    }

    // Invokes the method with the parameters `fill` sets; the record comes
    // back with the outputs and the return value.
    template <class Fill>
    Ref<Instance> invoke(const char* method, Fill fill) {
        Ref<Instance> record = service_->methodRecord(method);
        EXPECT_TRUE(record) << method;
        if (!record) return record;
        fill(record.get());
        EXPECT_EQ(service_->invokeMethod(self_.get(), record.get()), 0) << method;
        return record;
    }
    Ref<Instance> invoke(const char* method) {
        return invoke(method, [](Instance*) {});
    }

    Ref<Instance> registerListener(const char* tag, const char* receiver = "http://listener:5988",
                                   const char* query = kQuery, int queryType = 0) {
        return invoke("RegisterCIMXMLIndication", [&](Instance* r) {
            setText(r, "Query", query);
            setUint16(r, "QueryType", queryType);
            setText(r, "EventReceiver", receiver);
            setText(r, "Tag", tag);
        });
    }
    std::string unregister(const std::string& handle) {
        return propertyText(invoke("UnRegisterIndication",
                                   [&](Instance* r) { setText(r, "RegistrationHandle", handle.c_str()); })
                                .get(),
                            "return_value");
    }
    std::string unregisterByTag(const char* tag) {
        return propertyText(
            invoke("UnRegisterIndicationsByTag", [&](Instance* r) { setText(r, "Tag", tag); }).get(),
            "return_value");
    }

    // Names of the instances of that class in the CIMOM's root/qms.
    std::vector<std::string> stored(const char* className) {
        const cimple::Meta_Class* mc =
            cimple::find_meta_class(service_->metaClass()->meta_repository, className);
        EXPECT_NE(mc, nullptr) << className;
        if (!mc) return {};
        Ref<Instance> model(cimple::create(mc));
        cimple::cimom::Instance_Enumerator e;
        EXPECT_EQ(host_.cimom().enum_instances("root/qms", model.get(), e), 0);
        std::vector<std::string> out;
        for (; e; e++) {
            Ref<Instance> inst = e();
            out.push_back(mc == cimple::find_meta_class(mc->meta_repository, "CIM_IndicationSubscription")
                              ? "subscription"
                              : propertyText(inst.get(), "Name"));
        }
        return out;
    }

    std::unique_ptr<cimhost::HostedProvider> service_;
    Ref<Instance> self_;
};

TEST_F(RegistrationRoad, RegisterListTestAndRemove) {
    Ref<Instance> alarm = registerListener("alarm", "http://a:5988");
    Ref<Instance> audit = registerListener("audit", "http://b:5988");
    Ref<Instance> plain = registerListener(nullptr);
    for (const Ref<Instance>& r : {alarm, audit, plain}) {
        EXPECT_EQ(propertyText(r.get(), "return_value"), "0");
        EXPECT_NE(propertyText(r.get(), "RegistrationHandle"), "NULL");
    }
    EXPECT_EQ(stored("CIM_ListenerDestinationCIMXML"),
              (std::vector<std::string>{"\"QMS:Handler#TalarmT#_1\"", "\"QMS:Handler#TauditT#_2\"",
                                        "\"QMS:Handler_3\""}));
    EXPECT_EQ(stored("CIM_IndicationFilter"),
              (std::vector<std::string>{"\"QMS:Filter#TalarmT#_1\"", "\"QMS:Filter#TauditT#_2\"",
                                        "\"QMS:Filter_3\""}));
    EXPECT_EQ(stored("CIM_IndicationSubscription").size(), 3u);

    Ref<Instance> listed = invoke("ListRegistrations");
    EXPECT_EQ(propertyText(listed.get(), "return_value"), "0");
    EXPECT_EQ(propertyText(listed.get(), "Tags"), "{\"alarm\", \"audit\", \"\"}");
    const std::string handles = propertyText(listed.get(), "RegistrationHandles");
    const std::string auditHandle = propertyText(audit.get(), "RegistrationHandle");
    EXPECT_NE(handles.find(auditHandle), std::string::npos) << handles;

    // No handler while indications are off.
    EXPECT_EQ(propertyText(invoke("SendTestIndication").get(), "return_value"), "1");
    EXPECT_EQ(recorder_.size(), 0u);
    ASSERT_EQ(logEntry_->enableIndications([this](const Instance* i) { recorder_(i); }), 0);
    EXPECT_EQ(propertyText(invoke("SendTestIndication").get(), "return_value"), "0");
    ASSERT_TRUE(recorder_.waitFor(1));
    EXPECT_STREQ(recorder_.at(0)->meta_class->name, "QMS_VRXLogEntryArrived");

    // The handle as the client got it, without its surrounding quotes.
    const std::string handle = auditHandle.substr(1, auditHandle.size() - 2);
    EXPECT_EQ(unregister(handle), "0");
    EXPECT_EQ(unregister(handle), "3");
    EXPECT_EQ(stored("CIM_IndicationFilter"),
              (std::vector<std::string>{"\"QMS:Filter#TalarmT#_1\"", "\"QMS:Filter_3\""}));
    EXPECT_EQ(unregisterByTag("alarm"), "0");
    EXPECT_EQ(unregisterByTag("alarm"), "3");
    EXPECT_EQ(unregisterByTag(""), "1");
    EXPECT_EQ(unregister(""), "1");
    EXPECT_EQ(stored("CIM_ListenerDestinationCIMXML"), std::vector<std::string>{"\"QMS:Handler_3\""});
    EXPECT_EQ(stored("CIM_IndicationFilter"), std::vector<std::string>{"\"QMS:Filter_3\""});

    listed = invoke("ListRegistrations");
    EXPECT_EQ(propertyText(listed.get(), "Tags"), "{\"\"}");
    EXPECT_EQ(propertyText(listed.get(), "RegistrationHandles"),
              "{" + propertyText(plain.get(), "RegistrationHandle") + "}");
}

TEST_F(RegistrationRoad, BadInputCreatesNothingAndARefusingCimomFails) {
    struct Case {
        const char* query;
        int queryType;
        const char* receiver;
    } cases[] = {
        {nullptr, 0, "http://l"},    {"", 0, "http://l"},  {kQuery, 1, "http://l"},
        {kQuery, kNull, "http://l"}, {kQuery, 0, nullptr}, {kQuery, 0, ""},
    };
    const size_t creates = host_.cimom().calls(cimple::Memory_Cimom::CREATE);
    for (const Case& c : cases) {
        Ref<Instance> r = registerListener("t", c.receiver, c.query, c.queryType);
        EXPECT_EQ(propertyText(r.get(), "return_value"), "1");
        EXPECT_EQ(propertyText(r.get(), "RegistrationHandle"), "NULL");
    }
    EXPECT_EQ(host_.cimom().calls(cimple::Memory_Cimom::CREATE), creates);
    EXPECT_EQ(host_.cimom().count("root/qms"), 0u);

    host_.cimom().refuse("root/qms", true);
    host_.cimom().refuse("root/interop", true);
    Ref<Instance> refused = registerListener("t");
    EXPECT_EQ(propertyText(refused.get(), "return_value"), "2");
    EXPECT_EQ(propertyText(refused.get(), "RegistrationHandle"), "NULL");
    Ref<Instance> listed = invoke("ListRegistrations");
    EXPECT_EQ(propertyText(listed.get(), "return_value"), "2");
    EXPECT_EQ(propertyText(listed.get(), "Tags"), "NULL");
    EXPECT_EQ(propertyText(listed.get(), "RegistrationHandles"), "NULL");
    EXPECT_EQ(unregisterByTag("t"), "2");
}

}  // namespace
}  // namespace road
