// The generated class repository: the classes the module relies on, their
// shape, and records that agree with the structs the compiler laid out.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "schema/Classes.h"

using namespace cimple;

namespace {

const Meta_Class* cls(const char* name) {
    const Meta_Class* mc = find_meta_class(&meta_repository, name);
    if (!mc) ADD_FAILURE() << "no class " << name;
    return mc;
}

std::vector<std::string> chain(const Meta_Class* mc) {
    std::vector<std::string> names;
    for (mc = mc ? mc->super_meta_class : nullptr; mc; mc = mc->super_meta_class) names.push_back(mc->name);
    return names;
}

// Sorted: an overridden key keeps its inherited place, so declaration order
// says nothing here.
std::vector<std::string> keys(const Meta_Class* mc) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < mc->num_meta_features; i++)
        if (mc->meta_features[i]->flags & CIMPLE_FLAG_KEY) names.push_back(mc->meta_features[i]->name);
    std::sort(names.begin(), names.end());
    return names;
}

const Meta_Property* prop(const Meta_Class* mc, const char* name) {
    auto f = find_feature(mc, name, CIMPLE_FLAG_PROPERTY);
    if (!f) ADD_FAILURE() << mc->name << " has no property " << name;
    return reinterpret_cast<const Meta_Property*>(f);
}

const Meta_Reference* ref(const Meta_Class* mc, const char* name) {
    auto f = find_feature(mc, name, CIMPLE_FLAG_REFERENCE);
    if (!f) ADD_FAILURE() << mc->name << " has no reference " << name;
    return reinterpret_cast<const Meta_Reference*>(f);
}

const Meta_Method* method(const Meta_Class* mc, const char* name) {
    auto f = find_feature(mc, name, CIMPLE_FLAG_METHOD);
    if (!f) ADD_FAILURE() << mc->name << " has no method " << name;
    return reinterpret_cast<const Meta_Method*>(f);
}

typedef std::vector<std::string> Names;

struct ClassFacts {
    const char* name;
    uint32_t kind;  // ASSOCIATION, INDICATION or 0
    Names supers;
    Names keys;
};

}  // namespace

TEST(Repository, ServedAndUsedClassesHaveTheirKindChainAndKeys) {
    const Names service_keys = {"SystemCreationClassName", "SystemName", "CreationClassName", "Name"};
    const Names device_keys = {"SystemCreationClassName", "SystemName", "CreationClassName", "DeviceID"};
    const Names ele = {"CIM_EnabledLogicalElement", "CIM_LogicalElement", "CIM_ManagedSystemElement",
                       "CIM_ManagedElement"};
    auto with = [](Names head, const Names& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const Names computer = with({"QMS_ComputerSystem", "CIM_ComputerSystem", "CIM_System"}, ele);
    const ClassFacts facts[] = {
        {"QMS_VRXLogEntryArrived", CIMPLE_FLAG_INDICATION,
         {"QMS_LogEntryArrived", "CIM_AlertIndication", "CIM_ProcessIndication", "CIM_Indication",
          "__ExtrinsicEvent"},
         {}},
        {"QMS_VRXIndicationRegistrationService", 0, with({"QMS_Service", "CIM_Service"}, ele), service_keys},
        {"QMS_VRXHostedIndicationRegistrationService", CIMPLE_FLAG_ASSOCIATION,
         {"QMS_HostedService", "CIM_HostedService", "CIM_HostedDependency", "CIM_Dependency"},
         {"Antecedent", "Dependent"}},
        {"QMS_VRXComputerSystem", 0, computer, {"CreationClassName", "Name"}},
        {"QMS_VRXHostRaidController", 0, computer, {"CreationClassName", "Name"}},
        {"QMS_VRXLogEntry", 0, {"QMS_LogEntry", "CIM_LogEntry", "CIM_RecordForLog", "CIM_ManagedElement"},
         {"InstanceID"}},
        {"QMS_VRXDiskExtent", 0, with({"QMS_StorageExtend", "CIM_StorageExtent", "CIM_LogicalDevice"}, ele),
         device_keys},
        {"QMS_VRXStoragePoolCompositeExtent", 0,
         with({"QMS_CompositeExtent", "CIM_CompositeExtent", "CIM_StorageExtent", "CIM_LogicalDevice"}, ele),
         device_keys},
        {"CIM_IndicationFilter", 0, {"CIM_ManagedElement"}, service_keys},
        {"CIM_ListenerDestinationCIMXML", 0, {"CIM_ListenerDestination", "CIM_ManagedElement"}, service_keys},
        {"CIM_IndicationSubscription", CIMPLE_FLAG_ASSOCIATION, {"CIM_AbstractIndicationSubscription"},
         {"Filter", "Handler"}},
        {"CIM_ConcreteJob", 0, {"CIM_Job", "CIM_LogicalElement", "CIM_ManagedSystemElement", "CIM_ManagedElement"},
         {"InstanceID"}},
        {"CIM_ManagedElement", 0, {}, {}},
    };
    for (ClassFacts f : facts) {
        SCOPED_TRACE(f.name);
        std::sort(f.keys.begin(), f.keys.end());
        const Meta_Class* mc = cls(f.name);
        ASSERT_NE(mc, nullptr);
        const uint32_t kinds = CIMPLE_FLAG_CLASS | CIMPLE_FLAG_ASSOCIATION | CIMPLE_FLAG_INDICATION | CIMPLE_FLAG_METHOD;
        EXPECT_EQ(mc->flags & kinds, CIMPLE_FLAG_CLASS | f.kind);
        EXPECT_EQ(chain(mc), f.supers);
        EXPECT_EQ(keys(mc), f.keys);
        EXPECT_EQ(mc->num_keys, f.keys.size());
        EXPECT_EQ(mc->meta_repository, &meta_repository);
    }
}

TEST(Repository, LookUpIsCaseInsensitiveAndMisses) {
    EXPECT_EQ(find_meta_class(&meta_repository, "qms_vrxlogentryarrived"), &QMS_VRXLogEntryArrived::static_meta_class);
    EXPECT_EQ(find_meta_class(&meta_repository, "CIM_INDICATIONSUBSCRIPTION"),
              &CIM_IndicationSubscription::static_meta_class);
    EXPECT_EQ(find_meta_class(&meta_repository, "QMS_StorageExtent"), nullptr);  // only the "Extend" spelling
    EXPECT_EQ(find_meta_class(&meta_repository, ""), nullptr);
    // Method parameter records are not classes of the repository.
    EXPECT_EQ(find_meta_class(&meta_repository, "ListRegistrations"), nullptr);
}

TEST(Repository, LogEntryArrivedCarriesTheWireContentInOrder) {
    struct P {
        const char* name;
        uint16_t type;
        bool array;
    };
    const P expected[] = {
        {"IndicationIdentifier", STRING, false}, {"CorrelatedIndications", STRING, true},
        {"IndicationTime", DATETIME, false},     {"PerceivedSeverity", UINT16, false},
        {"OtherSeverity", STRING, false},        {"IndicationFilterName", STRING, false},
        {"SequenceContext", STRING, false},      {"SequenceNumber", SINT64, false},
        {"Description", STRING, false},          {"AlertingManagedElement", STRING, false},
        {"AlertingElementFormat", UINT16, false}, {"OtherAlertingElementFormat", STRING, false},
        {"AlertType", UINT16, false},            {"OtherAlertType", STRING, false},
        {"ProbableCause", UINT16, false},        {"ProbableCauseDescription", STRING, false},
        {"Trending", UINT16, false},             {"RecommendedActions", STRING, true},
        {"EventID", STRING, false},              {"EventTime", DATETIME, false},
        {"SystemCreationClassName", STRING, false}, {"SystemName", STRING, false},
        {"ProviderName", STRING, false},         {"Message", STRING, false},
        {"MessageArguments", STRING, true},      {"MessageID", STRING, false},
        {"OwningEntity", STRING, false},         {"Summary", STRING, false},
        {"AssociationKey", STRING, false},       {"ErrorCode", UINT32, false},
        {"HostAddress", STRING, false},
    };
    const Meta_Class* mc = &QMS_VRXLogEntryArrived::static_meta_class;
    ASSERT_EQ(mc->num_meta_features, 31u);
    for (uint32_t i = 0; i < 31; i++) {
        SCOPED_TRACE(expected[i].name);
        ASSERT_EQ(mc->meta_features[i]->flags & ~CIMPLE_FLAG_KEY, uint32_t(CIMPLE_FLAG_PROPERTY));
        auto p = reinterpret_cast<const Meta_Property*>(mc->meta_features[i]);
        EXPECT_STREQ(p->name, expected[i].name);
        EXPECT_EQ(p->type, expected[i].type);
        EXPECT_EQ(p->subscript, expected[i].array ? -1 : 0);
    }
    // The alert indication's first 27 are exactly its own list.
    EXPECT_EQ(CIM_AlertIndication::static_meta_class.num_meta_features, 27u);
}

TEST(Repository, ModuleClassesAddTheirPropertiesAfterTheInheritedOnes) {
    struct Add {
        const char* cls;
        const char* base;
        std::vector<std::pair<const char*, uint16_t>> props;  // arrays marked below
        std::vector<const char*> arrays;
    };
    const Add adds[] = {
        {"QMS_VRXComputerSystem", "CIM_ComputerSystem",
         {{"AdminUrlIPv4", STRING}, {"AdminUrlIPv6", STRING}, {"ManagementIPaddress", STRING},
          {"ServerUpdateStatus", UINT16}, {"UnitLocation", STRING}, {"LastPowerOffReason", UINT16},
          {"LastPowerOnReason", UINT16}, {"AdminURLDNS", STRING}},
         {}},
        {"QMS_VRXLogEntry", "CIM_LogEntry",
         {{"ProbableCauseDescription", STRING}, {"RecommendedActions", STRING}, {"Summary", STRING},
          {"AssociationKey", STRING}, {"CSSComponent", BOOLEAN}, {"ErrorCode", UINT32}, {"Severity", UINT16}},
         {"ProbableCauseDescription", "RecommendedActions"}},
        {"QMS_VRXHostRaidController", "CIM_ComputerSystem",
         {{"MemorySize", UINT64}, {"PatrolReadIterations", UINT32}, {"SASAddress", STRING}, {"Vendor", STRING}},
         {}},
        {"QMS_VRXDiskExtent", "CIM_StorageExtent", {{"ConfiguredDisk", BOOLEAN}, {"ForeignConfig", BOOLEAN}}, {}},
        {"QMS_VRXStoragePoolCompositeExtent", "CIM_CompositeExtent",
         {{"CacheMode", UINT16}, {"DriveInitStatus", UINT16}, {"DriveProgress", UINT32}, {"PhysicalSize", UINT64},
          {"RaidLevel", UINT16}, {"ReadDiskCacheMode", UINT16}, {"ReadMode", UINT16}, {"StripeSize", UINT64},
          {"WriteMode", UINT16}},
         {}},
    };
    for (const Add& a : adds) {
        SCOPED_TRACE(a.cls);
        const Meta_Class* mc = cls(a.cls);
        const Meta_Class* base = cls(a.base);
        ASSERT_TRUE(mc && base);
        ASSERT_EQ(mc->num_meta_features, base->num_meta_features + a.props.size());
        for (size_t i = 0; i < a.props.size(); i++) {
            auto p = reinterpret_cast<const Meta_Property*>(mc->meta_features[base->num_meta_features + i]);
            EXPECT_STREQ(p->name, a.props[i].first);
            EXPECT_EQ(p->type, a.props[i].second);
            bool array = false;
            for (const char* n : a.arrays) array = array || !std::strcmp(n, p->name);
            EXPECT_EQ(p->subscript, array ? -1 : 0) << p->name;
        }
    }
}

TEST(Repository, ClassDefaultsAppearOnlyWhenAskedFor) {
    {
        auto* f = CIM_IndicationFilter::create(true);
        EXPECT_FALSE(f->IndividualSubscriptionSupported.is_null());
        EXPECT_TRUE(f->IndividualSubscriptionSupported.value);
        EXPECT_TRUE(f->Query.is_null());
        unref(f);
        f = CIM_IndicationFilter::create(false);
        EXPECT_TRUE(f->IndividualSubscriptionSupported.is_null());
        unref(f);
    }
    {
        auto* h = CIM_ListenerDestinationCIMXML::create(true);
        EXPECT_FALSE(h->Protocol.is_null());
        EXPECT_EQ(h->Protocol.value, 2);
        unref(h);
        h = CIM_ListenerDestinationCIMXML::create();
        EXPECT_TRUE(h->Protocol.is_null());
        unref(h);
    }
    {
        auto* s = CIM_IndicationSubscription::create(true);
        EXPECT_FALSE(s->AlertOnStateChange.is_null());
        EXPECT_FALSE(s->AlertOnStateChange.value);
        EXPECT_EQ(s->Filter, nullptr);
        EXPECT_EQ(s->Handler, nullptr);
        unref(s);
    }
    {
        auto* svc = QMS_VRXIndicationRegistrationService::create(true);
        EXPECT_EQ(svc->EnabledState.value, 5);
        EXPECT_EQ(svc->RequestedState.value, 12);
        EXPECT_EQ(svc->EnabledDefault.value, 2);
        EXPECT_EQ(svc->TransitioningToState.value, 12);
        EXPECT_FALSE(svc->EnabledState.is_null() || svc->RequestedState.is_null() ||
                     svc->EnabledDefault.is_null() || svc->TransitioningToState.is_null());
        EXPECT_TRUE(svc->Started.is_null());
        unref(svc);
        svc = QMS_VRXIndicationRegistrationService::create(false);
        EXPECT_TRUE(svc->EnabledState.is_null());
        EXPECT_TRUE(svc->TransitioningToState.is_null());
        unref(svc);
    }
    {
        // Inherited defaults reach the leaf; clone copies what was set.
        auto* ind = QMS_VRXLogEntryArrived::create(true);
        EXPECT_EQ(ind->AlertingElementFormat.value, 0);
        EXPECT_FALSE(ind->AlertingElementFormat.is_null());
        ind->HostAddress.set(String("10.0.0.1"));
        auto* copy = ind->clone();
        unref(ind);
        EXPECT_STREQ(copy->HostAddress.value.c_str(), "10.0.0.1");
        unref(copy);
    }
    {
        // A datetime default travels as text and must come out as an interval.
        auto* job = CIM_ConcreteJob::create(true);
        ASSERT_FALSE(job->TimeBeforeRemoval.is_null());
        EXPECT_TRUE(job->TimeBeforeRemoval.value.is_interval());
        EXPECT_EQ(job->TimeBeforeRemoval.value.usec(), 300ull * 1000000);
        unref(job);
    }
}

TEST(Repository, ReferencesPointAtTheirDeclaredClasses) {
    const Meta_Class* sub = &CIM_IndicationSubscription::static_meta_class;
    EXPECT_EQ(ref(sub, "Filter")->meta_class, &CIM_IndicationFilter::static_meta_class);
    EXPECT_EQ(ref(sub, "Handler")->meta_class, &CIM_ListenerDestination::static_meta_class);
    // The abstract parent still allows any managed element as filter.
    EXPECT_EQ(ref(&CIM_AbstractIndicationSubscription::static_meta_class, "Filter")->meta_class,
              &CIM_ManagedElement::static_meta_class);

    const Meta_Class* hosted = &QMS_VRXHostedIndicationRegistrationService::static_meta_class;
    EXPECT_EQ(ref(hosted, "Antecedent")->meta_class, &QMS_VRXComputerSystem::static_meta_class);
    EXPECT_EQ(ref(hosted, "Dependent")->meta_class, &QMS_VRXIndicationRegistrationService::static_meta_class);
    EXPECT_EQ(ref(hosted, "Antecedent")->flags, uint32_t(CIMPLE_FLAG_REFERENCE | CIMPLE_FLAG_KEY));
    // Overriding a reference keeps its place: still the first two features.
    EXPECT_STREQ(hosted->meta_features[0]->name, "Antecedent");
    EXPECT_STREQ(hosted->meta_features[1]->name, "Dependent");
    EXPECT_EQ(hosted->num_meta_features, 2u);

    // Typed fields follow the declared class.
    QMS_VRXHostedIndicationRegistrationService* a = QMS_VRXHostedIndicationRegistrationService::create();
    QMS_VRXComputerSystem* cs = a->Antecedent;
    EXPECT_EQ(cs, nullptr);
    unref(a);
}

namespace {

struct Param {
    const char* name;
    uint32_t kind;  // PROPERTY or REFERENCE
    uint16_t type;  // for properties
    bool array;
    uint32_t io;  // IN and/or OUT
    const char* ref_class;
};

void expect_method(const Meta_Class* mc, const char* name, uint16_t return_type, const std::vector<Param>& params) {
    SCOPED_TRACE(name);
    const Meta_Method* m = method(mc, name);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->return_type, return_type);
    const Meta_Class* rec = m->meta_class;
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(rec->name, name);
    EXPECT_EQ(rec->flags, uint32_t(CIMPLE_FLAG_METHOD));
    EXPECT_EQ(rec->meta_repository, &meta_repository);
    ASSERT_EQ(rec->num_meta_features, params.size() + 1);
    for (size_t i = 0; i < params.size(); i++) {
        const Param& p = params[i];
        SCOPED_TRACE(p.name);
        const Meta_Feature* f = rec->meta_features[i];
        EXPECT_STREQ(f->name, p.name);
        EXPECT_EQ(f->flags, p.kind | p.io);
        if (p.kind == CIMPLE_FLAG_PROPERTY) {
            auto mp = reinterpret_cast<const Meta_Property*>(f);
            EXPECT_EQ(mp->type, p.type);
            EXPECT_EQ(mp->subscript, p.array ? -1 : 0);
        } else {
            auto mr = reinterpret_cast<const Meta_Reference*>(f);
            EXPECT_STREQ(mr->meta_class->name, p.ref_class);
            EXPECT_EQ(mr->subscript, p.array ? -1 : 0);
        }
    }
    auto ret = reinterpret_cast<const Meta_Property*>(rec->meta_features[params.size()]);
    EXPECT_STREQ(ret->name, "return_value");
    EXPECT_EQ(ret->type, return_type);
    EXPECT_EQ(ret->subscript, 0);
    EXPECT_TRUE(ret->flags & CIMPLE_FLAG_OUT);
}

}  // namespace

TEST(Repository, RegistrationServiceMethodsAndTheirParameterRecords) {
    const Meta_Class* mc = &QMS_VRXIndicationRegistrationService::static_meta_class;
    const uint32_t P = CIMPLE_FLAG_PROPERTY, R = CIMPLE_FLAG_REFERENCE, I = CIMPLE_FLAG_IN, O = CIMPLE_FLAG_OUT;
    expect_method(mc, "ListRegistrations", UINT16,
                  {{"RegistrationHandles", P, STRING, true, O, nullptr}, {"Tags", P, STRING, true, O, nullptr}});
    expect_method(mc, "RegisterCIMXMLIndication", UINT16,
                  {{"RegistrationHandle", P, STRING, false, O, nullptr},
                   {"Query", P, STRING, false, I, nullptr},
                   {"QueryType", P, UINT16, false, I, nullptr},
                   {"EventReceiver", P, STRING, false, I, nullptr},
                   {"Tag", P, STRING, false, I, nullptr}});
    expect_method(mc, "UnRegisterIndication", UINT16, {{"RegistrationHandle", P, STRING, false, I, nullptr}});
    expect_method(mc, "UnRegisterIndicationsByTag", UINT16, {{"Tag", P, STRING, false, I, nullptr}});
    expect_method(mc, "SendTestIndication", UINT16, {});
    expect_method(mc, "RequestStateChange", UINT32,
                  {{"RequestedState", P, UINT16, false, I, nullptr},
                   {"Job", R, 0, false, O, "CIM_ConcreteJob"},
                   {"TimeoutPeriod", P, DATETIME, false, I, nullptr}});
    expect_method(mc, "StartService", UINT32, {});
    expect_method(mc, "StopService", UINT32, {});
    expect_method(mc, "ChangeAffectedElementsAssignedSequence", UINT32,
                  {{"ManagedElements", R, 0, true, I, "CIM_ManagedElement"},
                   {"AssignedSequence", P, UINT16, true, I, nullptr},
                   {"Job", R, 0, false, O, "CIM_ConcreteJob"}});

    // Methods follow the properties, inherited first.
    std::vector<std::string> methods;
    for (uint32_t i = 0; i < mc->num_meta_features; i++)
        if (mc->meta_features[i]->flags & CIMPLE_FLAG_METHOD) methods.push_back(mc->meta_features[i]->name);
    const Names expected = {"RequestStateChange", "StartService", "StopService",
                            "ChangeAffectedElementsAssignedSequence", "ListRegistrations", "RegisterCIMXMLIndication",
                            "UnRegisterIndication", "UnRegisterIndicationsByTag", "SendTestIndication"};
    EXPECT_EQ(methods, expected);

    // The typed record is what the dispatcher fills.
    auto* call = QMS_VRXIndicationRegistrationService_RegisterCIMXMLIndication_method::create();
    EXPECT_TRUE(call->Query.is_null() && call->return_value.is_null());
    call->return_value.set(1);
    EXPECT_EQ(call->__base.meta_class->name, std::string("RegisterCIMXMLIndication"));
    unref(call);
}

namespace {

// Where the compiler puts a field of the given kind after `end`, and its size.
size_t place(const Meta_Feature* f, size_t end, size_t* size) {
    size_t align = 0;
    if (f->flags & CIMPLE_FLAG_REFERENCE) {
        bool array = reinterpret_cast<const Meta_Reference*>(f)->subscript != 0;
        *size = array ? sizeof(Property<Array<Instance*>>) : sizeof(Instance*);
        align = array ? alignof(Property<Array<Instance*>>) : alignof(Instance*);
    } else {
        auto p = reinterpret_cast<const Meta_Property*>(f);
#define QMS_CASE(E, T)                                                                      \
    case E:                                                                                 \
        *size = p->subscript ? sizeof(Property<Array<T>>) : sizeof(Property<T>);           \
        align = p->subscript ? alignof(Property<Array<T>>) : alignof(Property<T>);          \
        break;
        switch (p->type) {
            QMS_CASE(BOOLEAN, bool)
            QMS_CASE(UINT8, uint8_t)
            QMS_CASE(SINT8, int8_t)
            QMS_CASE(UINT16, uint16_t)
            QMS_CASE(SINT16, int16_t)
            QMS_CASE(UINT32, uint32_t)
            QMS_CASE(SINT32, int32_t)
            QMS_CASE(UINT64, uint64_t)
            QMS_CASE(SINT64, int64_t)
            QMS_CASE(REAL32, float)
            QMS_CASE(REAL64, double)
            QMS_CASE(CHAR16, char16)
            QMS_CASE(STRING, String)
            QMS_CASE(DATETIME, Datetime)
            default:
                ADD_FAILURE() << "bad type " << p->type;
                return end;
        }
#undef QMS_CASE
    }
    return (end + align - 1) / align * align;
}

void expect_layout(const Meta_Class* mc) {
    SCOPED_TRACE(mc->name);
    size_t end = sizeof(Instance), max_align = alignof(Instance);
    uint32_t keys = 0;
    for (uint32_t i = 0; i < mc->num_meta_features; i++) {
        const Meta_Feature* f = mc->meta_features[i];
        if (f->flags & CIMPLE_FLAG_METHOD) {
            const Meta_Method* m = reinterpret_cast<const Meta_Method*>(f);
            ASSERT_NE(m->meta_class, nullptr);
            expect_layout(m->meta_class);
            continue;
        }
        size_t size = 0;
        size_t offset = place(f, end, &size);
        uint32_t actual = (f->flags & CIMPLE_FLAG_REFERENCE) ? reinterpret_cast<const Meta_Reference*>(f)->offset
                                                              : reinterpret_cast<const Meta_Property*>(f)->offset;
        EXPECT_EQ(actual, offset) << f->name;
        end = offset + size;
        max_align = std::max(max_align, size_t(alignof(Instance*)));
        if (f->flags & CIMPLE_FLAG_KEY) keys++;
    }
    EXPECT_EQ(mc->size, (end + max_align - 1) / max_align * max_align);
    EXPECT_EQ(mc->num_keys, keys);
}

}  // namespace

TEST(Repository, EveryRecordAgreesWithItsStruct) {
    ASSERT_GT(meta_repository.num_meta_classes, 40u);
    for (uint32_t i = 0; i < meta_repository.num_meta_classes; i++) {
        const Meta_Class* mc = meta_repository.meta_classes[i];
        expect_layout(mc);
        // Flattened: the superclass's features come first, same names, same order.
        if (const Meta_Class* sup = mc->super_meta_class) {
            ASSERT_LE(sup->num_meta_features, mc->num_meta_features) << mc->name;
            for (uint32_t j = 0; j < sup->num_meta_features; j++)
                EXPECT_STREQ(mc->meta_features[j]->name, sup->meta_features[j]->name) << mc->name;
            EXPECT_EQ(find_meta_class(&meta_repository, sup->name), sup);
        }
        for (uint32_t j = 0; j < mc->num_meta_features; j++) {
            if (!(mc->meta_features[j]->flags & CIMPLE_FLAG_REFERENCE)) continue;
            auto r = reinterpret_cast<const Meta_Reference*>(mc->meta_features[j]);
            EXPECT_EQ(find_meta_class(&meta_repository, r->meta_class->name), r->meta_class);
        }
    }
    // Spot checks straight against the compiler.
    EXPECT_EQ(prop(&QMS_VRXLogEntryArrived::static_meta_class, "HostAddress")->offset,
              offsetof(QMS_VRXLogEntryArrived, HostAddress));
    EXPECT_EQ(ref(&CIM_IndicationSubscription::static_meta_class, "Handler")->offset,
              offsetof(CIM_IndicationSubscription, Handler));
    EXPECT_EQ(QMS_VRXStoragePoolCompositeExtent::static_meta_class.size, sizeof(QMS_VRXStoragePoolCompositeExtent));
}
