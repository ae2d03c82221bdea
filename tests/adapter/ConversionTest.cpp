// Instance, method and association calls: what the provider receives from
// CMPI objects, and what the CIMOM receives from the provider's instances.
#include <schema/Classes.h>

#include <cstring>

#include "adapter/AdapterFixture.h"

namespace adapter_test {
namespace {

using namespace cimple;
using cimhost::NamedValues;
using cimhost::ObjectPath;
using cimhost::Value;

class ConversionTest : public AdapterTest {
protected:
    static ObjectPath systemPath(const char* name = "sys", const char* className = "QMS_VRXComputerSystem") {
        return {"root/qms", "", className,
                named({{"CreationClassName", Value::string(className)}, {"Name", Value::string(name)}})};
    }
    static ObjectPath servicePath() {
        const char* cls = "QMS_VRXIndicationRegistrationService";
        return {"root/qms", "", cls,
                named({{"SystemCreationClassName", Value::string("QMS_VRXComputerSystem")},
                       {"SystemName", Value::string("sys")},
                       {"CreationClassName", Value::string(cls)},
                       {"Name", Value::string("svc")}})};
    }
    // Calls `method` on the service and gives the status; `record` sees the
    // provider's parameter record.
    CMPIStatus invoke(const char* method, NamedValues in, std::function<int(Instance*)> record,
                      CMPIArgs** out = nullptr) {
        fake_.behave = [&](int op, void** a) {
            return op == OPERATION_INVOKE_METHOD ? record(static_cast<Instance*>(a[2])) : -1;
        };
        if (!service_)
            service_ = registration(&QMS_VRXIndicationRegistrationService::static_meta_class, fake_);
        auto* m = mi<CMPIMethodMI>(service_, 'M');
        CMPIArgs* o = args({});
        if (out) *out = o;
        return m->ft->invokeMethod(m, ctx_, result(), path(servicePath()), method, args(in), o);
    }

    FakeProvider fake_;
    const Registration* service_ = nullptr;
};

// A result is in the namespace its request's path names, or else in the one
// the CIMOM started the provider for: the framework knows none of its own.
TEST_F(ConversionTest, ResultsTakeThePathsNamespaceOrTheOneTheProviderWasStartedFor) {
    const struct {
        const char *started, *named;
    } cases[] = {{"root/elsewhere", ""}, {"", ""}, {"root/qms", "root/x"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.started) + " " + c.named);
        FakeProvider fake;
        fake.behave = [](int op, void** a) {
            if (op != OPERATION_GET_INSTANCE) return -1;
            *static_cast<Instance**>(a[2]) =
                reinterpret_cast<Instance*>(static_cast<CIM_IndicationFilter*>(a[1])->clone());
            return 0;
        };
        ctx_ = broker_.newContext(c.started);
        auto* m = mi<CMPIInstanceMI>(registration(&CIM_IndicationFilter::static_meta_class, fake), 'I');
        CMPIResult* rs = result();
        ASSERT_EQ(
            CMPI_RC_OK,
            m->ft->getInstance(m, ctx_, rs, path("CIM_IndicationFilter", filterKeys(), c.named), nullptr).rc);
        ASSERT_EQ(1u, returned(rs).size());
        EXPECT_EQ(*c.named ? c.named : c.started, returned(rs)[0].asInstance()->path.nameSpace);
        EXPECT_EQ(filterKeys(), returned(rs)[0].asInstance()->path.keys);
    }
}

// The host's result behind a stand-in that refuses once it holds one.
CMPIResult* cutShortReal = nullptr;
CMPIStatus cutShortAfterOne(const CMPIResult*, const CMPIInstance* inst) {
    if (!cimhost::resultData(cutShortReal)->values.empty())
        return CMPIStatus{CMPI_RC_ERR_SERVER_LIMITS_EXCEEDED, nullptr};
    return cutShortReal->ft->returnInstance(cutShortReal, inst);
}

// What the instances carry is checked on the integration road; the CMPI
// conventions around them only here.
TEST_F(ConversionTest, EnumerationsGiveNamesOrInstancesAndEndWithDone) {
    FakeProvider fake;
    fake.behave = [](int op, void** a) {
        if (op != OPERATION_ENUM_INSTANCES) return -1;
        auto proc = reinterpret_cast<Enum_Instances_Handler::Proc>(a[2]);
        for (int i = 0; i < 2; i++)
            proc(reinterpret_cast<Instance*>(QMS_VRXLogEntryArrived::create()), 0, a[3]);
        proc(nullptr, 0, a[3]);
        return 0;
    };
    auto* m = mi<CMPIInstanceMI>(registration(&QMS_VRXLogEntryArrived::static_meta_class, fake), 'I');
    CMPIResult* rs = result();
    ASSERT_EQ(CMPI_RC_OK,
              m->ft->enumerateInstances(m, ctx_, rs, path("QMS_VRXLogEntryArrived", {}), nullptr).rc);
    ASSERT_EQ(2u, returned(rs).size());
    EXPECT_NE(nullptr, returned(rs)[0].asInstance());
    EXPECT_TRUE(cimhost::resultData(rs)->done);

    CMPIResult* names = result();
    ASSERT_EQ(CMPI_RC_OK,
              m->ft->enumerateInstanceNames(m, ctx_, names, path("QMS_VRXLogEntryArrived", {})).rc);
    ASSERT_EQ(2u, returned(names).size());
    ASSERT_NE(nullptr, returned(names)[1].asReference());
    EXPECT_EQ("QMS_VRXLogEntryArrived", returned(names)[1].asReference()->className);
    EXPECT_TRUE(cimhost::resultData(names)->done);

    // A CIMOM that takes one result and then refuses: the operation answers
    // its status and the rest of what the provider hands over is dropped.
    CMPIResult* limited = result();
    cutShortReal = limited;
    CMPIResultFT ft = *limited->ft;
    ft.returnInstance = &cutShortAfterOne;
    CMPIResult cut{limited->hdl, &ft};
    EXPECT_EQ(CMPI_RC_ERR_SERVER_LIMITS_EXCEEDED,
              m->ft->enumerateInstances(m, ctx_, &cut, path("QMS_VRXLogEntryArrived", {}), nullptr).rc);
    EXPECT_EQ(1u, returned(limited).size());
    EXPECT_FALSE(cimhost::resultData(limited)->done);
}

TEST_F(ConversionTest, PathsWithWrongClassOrKeysAreRefusedBeforeTheProviderSeesThem) {
    FakeProvider fake;
    std::string seenClass;
    fake.behave = [&](int, void** a) {
        seenClass = static_cast<Instance*>(a[1])->meta_class->name;
        return 0;
    };
    auto* r = registration(&CIM_ComputerSystem::static_meta_class, fake);
    auto* hosted = registration(&QMS_VRXHostedIndicationRegistrationService::static_meta_class, fake);
    auto* m = mi<CMPIInstanceMI>(r, 'I');
    auto* h = mi<CMPIInstanceMI>(hosted, 'I');

    ObjectPath missing = systemPath(), extra = systemPath(), mistyped = systemPath(), nested;
    missing.keys.erase("Name");
    extra.keys.set("Owner", Value::string("x"));
    mistyped.keys.set("Name", Value::uint32(7));
    nested.className = "QMS_VRXHostedIndicationRegistrationService";
    nested.keys.set("Antecedent", Value::reference(missing));
    nested.keys.set("Dependent", Value::reference(servicePath()));
    struct Case {
        CMPIInstanceMI* mi;
        ObjectPath path;
        CMPIrc rc;
        const char* says;
    } cases[] = {
        {m, systemPath("a", "CIM_ComputerSystem"), CMPI_RC_OK, ""},
        {m, systemPath(), CMPI_RC_OK, ""},  // a subclass
        {m,
         {"root/qms", "", "CIM_IndicationFilter", filterKeys()},
         CMPI_RC_ERR_INVALID_CLASS,
         "CIM_IndicationFilter"},
        {m, {"root/qms", "", "No_Such_Class", {}}, CMPI_RC_ERR_INVALID_CLASS, "No_Such_Class"},
        {m, missing, CMPI_RC_ERR_INVALID_PARAMETER, "missing key Name"},
        {m, extra, CMPI_RC_ERR_INVALID_PARAMETER, "Owner"},
        {m, mistyped, CMPI_RC_ERR_TYPE_MISMATCH, "Name"},
        {h, nested, CMPI_RC_ERR_INVALID_PARAMETER, "missing key Name"},
    };
    for (const Case& c : cases) {
        seenClass.clear();
        CMPIStatus st = c.mi->ft->deleteInstance(c.mi, ctx_, result(), path(c.path));
        EXPECT_EQ(c.rc, st.rc) << c.path.toText() << ": " << text(st);
        EXPECT_THAT(text(st), HasSubstr(c.says));
        EXPECT_EQ(c.rc == CMPI_RC_OK ? c.path.className : "", seenClass);
    }
}

TEST_F(ConversionTest, CreatedInstanceCarriesEveryPropertyAndUnknownOnesAreRefused) {
    FakeProvider fake;
    fake.behave = [](int op, void** a) {
        if (op != OPERATION_CREATE_INSTANCE) return -1;
        auto* f = static_cast<CIM_IndicationFilter*>(a[1]);
        bool ok = f->Query.value == "SELECT * FROM X" && f->SourceNamespaces.value.size() == 2 &&
                  f->IndividualSubscriptionSupported.value && f->QueryLanguage.null;
        return ok ? 0 : 81;
    };
    auto* m = mi<CMPIInstanceMI>(registration(&CIM_IndicationFilter::static_meta_class, fake), 'I');
    NamedValues properties = filterKeys();
    properties.set("Query", Value::string("SELECT * FROM X"));
    properties.set("SourceNamespaces", Value::array(CMPI_string, {Value::string("a"), Value::string("b")}));
    properties.set("IndividualSubscriptionSupported", Value::boolean(true));
    properties.set("QueryLanguage", Value::null(CMPI_string));
    CMPIResult* rs = result();
    ASSERT_EQ(CMPI_RC_OK, m->ft
                              ->createInstance(m, ctx_, rs, path("CIM_IndicationFilter", filterKeys()),
                                               instance("CIM_IndicationFilter", properties))
                              .rc);
    EXPECT_EQ(filterKeys(), returned(rs).at(0).asReference()->keys);

    properties.set("Color", Value::string("red"));
    CMPIStatus st = m->ft->createInstance(m, ctx_, result(), path("CIM_IndicationFilter", filterKeys()),
                                          instance("CIM_IndicationFilter", properties));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, st.rc);
    EXPECT_THAT(text(st), HasSubstr("Color"));
    EXPECT_EQ(1, fake.count(OPERATION_CREATE_INSTANCE));
}

// The registration methods' strings and integers travel on the
// registration road; these two carry the other kinds of argument.
TEST_F(ConversionTest, ReferenceArraysAndIntervalsGoInAndAReferenceComesOut) {
    CMPIArgs* out = nullptr;
    NamedValues outputs;
    NamedValues sequence = named(
        {{"ManagedElements",
          Value::array(CMPI_ref, {Value::reference(systemPath("a")), Value::reference(systemPath("b"))})},
         {"AssignedSequence", Value::array(CMPI_uint16, {Value::uint16(1), Value::uint16(2)})}});
    CMPIStatus st = invoke(
        "ChangeAffectedElementsAssignedSequence", sequence,
        [](Instance* record) {
            auto* m = reinterpret_cast<
                QMS_VRXIndicationRegistrationService_ChangeAffectedElementsAssignedSequence_method*>(record);
            if (m->ManagedElements.value.size() != 2 || m->AssignedSequence.value[1] != 2) return 130;
            auto* job = CIM_ConcreteJob::create();
            job->InstanceID.set("job1");
            m->Job = job;
            m->return_value.set(4096);
            return 0;
        },
        &out);
    ASSERT_EQ(CMPI_RC_OK, st.rc) << text(st);
    ASSERT_TRUE(cimhost::readArgs(out, &outputs).ok());
    const cimhost::Value* job = outputs.find("Job");
    ASSERT_NE(nullptr, job) << "the output reference is missing";
    EXPECT_EQ("job1", job->asReference()->keys.find("InstanceID")->asText());

    NamedValues timeout = named({{"TimeoutPeriod", Value::string("00000000000130.000000:000")}});
    st = invoke("RequestStateChange", timeout, [](Instance* record) {
        auto* m = reinterpret_cast<QMS_VRXIndicationRegistrationService_RequestStateChange_method*>(record);
        return m->TimeoutPeriod.value.is_interval() && m->TimeoutPeriod.value.usec() == 90000000ull ? 0 : 130;
    });
    EXPECT_EQ(CMPI_RC_OK, st.rc) << text(st);
}

TEST_F(ConversionTest, BadMethodCallsNameWhatIsWrong) {
    struct Case {
        const char* method;
        const char* arg;
        Value value;
        CMPIrc rc;
        const char* says;
    } cases[] = {
        {"NoSuchMethod", nullptr, Value(), CMPI_RC_ERR_METHOD_NOT_FOUND, "NoSuchMethod"},
        {"UnRegisterIndication", "Bogus", Value::string("x"), CMPI_RC_ERR_INVALID_PARAMETER, "Bogus"},
        {"RegisterCIMXMLIndication", "RegistrationHandle", Value::string("x"), CMPI_RC_ERR_INVALID_PARAMETER,
         "RegistrationHandle"},  // an output only
        {"RegisterCIMXMLIndication", "QueryType", Value::string("two"), CMPI_RC_ERR_TYPE_MISMATCH,
         "QueryType"},
        {"RegisterCIMXMLIndication", "QueryType", Value::sint64(70000), CMPI_RC_ERR_TYPE_MISMATCH,
         "out of range"},
        {"RegisterCIMXMLIndication", "QueryType", Value::sint32(-1), CMPI_RC_ERR_TYPE_MISMATCH,
         "out of range"},
        {"RequestStateChange", "TimeoutPeriod", Value::string("soon"), CMPI_RC_ERR_TYPE_MISMATCH,
         "TimeoutPeriod"},
    };
    for (const Case& c : cases) {
        NamedValues in;
        if (c.arg) in.set(c.arg, c.value);
        CMPIStatus st = invoke(c.method, in, [](Instance*) { return 0; });
        EXPECT_EQ(c.rc, st.rc) << c.method << " " << text(st);
        EXPECT_THAT(text(st), HasSubstr(c.says));
    }
    EXPECT_EQ(0, fake_.count(OPERATION_INVOKE_METHOD));
}

TEST_F(ConversionTest, AssociationsPassTheSourceAndReturnWhatTheProviderFinds) {
    FakeProvider fake;
    fake.behave = [](int op, void** a) {
        if (op == OPERATION_ENUM_ASSOCIATOR_NAMES) return int(ENUM_ASSOCIATOR_NAMES_UNSUPPORTED);
        if (op != OPERATION_ENUM_REFERENCES) return -1;
        auto* source = static_cast<Instance*>(a[1]);
        if (!source) return 121;  // an object of a class outside the schema
        if (strcmp(source->meta_class->name, "QMS_VRXComputerSystem") != 0) return 121;
        if (*static_cast<String*>(a[3]) != "Antecedent") return 121;
        auto proc = reinterpret_cast<Enum_Instances_Handler::Proc>(a[4]);
        auto* hosted = QMS_VRXHostedIndicationRegistrationService::create();
        hosted->Antecedent = reinterpret_cast<QMS_VRXComputerSystem*>(clone(source));
        proc(reinterpret_cast<Instance*>(hosted), 0, a[5]);
        proc(nullptr, 0, a[5]);
        return 0;
    };
    auto* m = mi<CMPIAssociationMI>(
        registration(&QMS_VRXHostedIndicationRegistrationService::static_meta_class, fake), 'A');
    CMPIObjectPath* source = path(systemPath());

    CMPIResult* names = result();
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED,
              m->ft->associatorNames(m, ctx_, names, source, nullptr, nullptr, nullptr, nullptr).rc);
    EXPECT_TRUE(returned(names).empty());

    CMPIResult* refs = result();
    ASSERT_EQ(CMPI_RC_OK, m->ft->referenceNames(m, ctx_, refs, source, nullptr, "Antecedent").rc);
    ASSERT_EQ(1u, returned(refs).size());
    const ObjectPath* ref = returned(refs)[0].asReference();
    EXPECT_EQ("QMS_VRXHostedIndicationRegistrationService", ref->className);
    EXPECT_EQ(Value::reference(systemPath()), *ref->keys.find("Antecedent"));

    // A CIMOM asks about objects of other providers' classes too: the
    // provider answers for them, not the conversion.
    CMPIResult* foreign = result();
    CMPIObjectPath* other = path("Linux_ComputerSystem", named({{"Name", Value::string("x")}}));
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, m->ft->referenceNames(m, ctx_, foreign, other, nullptr, nullptr).rc);
    EXPECT_TRUE(returned(foreign).empty());
}

}  // namespace
}  // namespace adapter_test
