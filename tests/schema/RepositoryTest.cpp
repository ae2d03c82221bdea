// The generated class repository: the classes the module relies on, their
// shape, and records that agree with the structs the compiler laid out.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "schema/Classes.h"

using namespace cimple;

namespace {

// The superclasses, nearest first, each followed by a space.
std::string chain(const Meta_Class* mc) {
    std::string names;
    for (mc = mc ? mc->super_meta_class : nullptr; mc; mc = mc->super_meta_class)
        names += mc->name + std::string(" ");
    return names;
}

// The keys, sorted: an overridden key keeps its inherited place, so
// declaration order says nothing here.
std::vector<std::string> keys(const Meta_Class* mc) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < mc->num_meta_features; i++)
        if (mc->meta_features[i]->flags & CIMPLE_FLAG_KEY) names.push_back(mc->meta_features[i]->name);
    std::sort(names.begin(), names.end());
    return names;
}

typedef std::vector<std::string> Names;

// One class of each kind the module serves; the rest of the chains and keys
// are the MOF's word and are checked by the module's own paths end to end.
TEST(Repository, ServedClassKindsChainsAndKeys) {
    const uint32_t I = CIMPLE_FLAG_INDICATION, A = CIMPLE_FLAG_ASSOCIATION;
    const struct {
        const char* name;
        uint32_t kind;  // ASSOCIATION, INDICATION or 0
        std::string supers;
        Names keys;  // sorted
    } facts[] = {
        {"QMS_VRXLogEntryArrived",
         I,
         "QMS_LogEntryArrived CIM_AlertIndication CIM_ProcessIndication CIM_Indication __ExtrinsicEvent ",
         {}},
        {"QMS_VRXHostedIndicationRegistrationService",
         A,
         "QMS_HostedService CIM_HostedService CIM_HostedDependency CIM_Dependency ",
         {"Antecedent", "Dependent"}},
        {"QMS_VRXDiskExtent",
         0,
         "QMS_StorageExtend CIM_StorageExtent CIM_LogicalDevice CIM_EnabledLogicalElement CIM_LogicalElement "
         "CIM_ManagedSystemElement CIM_ManagedElement ",
         {"CreationClassName", "DeviceID", "SystemCreationClassName", "SystemName"}},
        {"CIM_ManagedElement", 0, "", {}},
    };
    for (const auto& f : facts) {
        SCOPED_TRACE(f.name);
        const Meta_Class* mc = find_meta_class(&meta_repository, f.name);
        ASSERT_NE(mc, nullptr);
        EXPECT_EQ(mc->flags & (CIMPLE_FLAG_CLASS | A | I | CIMPLE_FLAG_METHOD), CIMPLE_FLAG_CLASS | f.kind);
        EXPECT_EQ(chain(mc), f.supers);
        EXPECT_EQ(keys(mc), f.keys);
        EXPECT_EQ(mc->num_keys, f.keys.size());
        EXPECT_EQ(mc->meta_repository, &meta_repository);
    }
}

TEST(Repository, LookUpIsCaseInsensitiveAndMisses) {
    EXPECT_EQ(find_meta_class(&meta_repository, "qms_vrxlogentryarrived"),
              &QMS_VRXLogEntryArrived::static_meta_class);
    EXPECT_EQ(find_meta_class(&meta_repository, "CIM_INDICATIONSUBSCRIPTION"),
              &CIM_IndicationSubscription::static_meta_class);
    EXPECT_EQ(find_meta_class(&meta_repository, "QMS_StorageExtent"), nullptr);  // only the "Extend" spelling
    EXPECT_EQ(find_meta_class(&meta_repository, ""), nullptr);
    // Method parameter records are not classes of the repository.
    EXPECT_EQ(find_meta_class(&meta_repository, "ListRegistrations"), nullptr);
}

// Where the compiler puts a field of the given kind after `end`, and its size.
size_t place(const Meta_Feature* f, size_t end, size_t* size) {
    size_t align = 0;
    if (f->flags & CIMPLE_FLAG_REFERENCE) {
        bool array = reinterpret_cast<const Meta_Reference*>(f)->subscript != 0;
        *size = array ? sizeof(Property<Array<Instance*>>) : sizeof(Instance*);
        align = array ? alignof(Property<Array<Instance*>>) : alignof(Instance*);
    } else {
        auto p = reinterpret_cast<const Meta_Property*>(f);
#define QMS_CASE(E, T)                                                             \
    case E:                                                                        \
        *size = p->subscript ? sizeof(Property<Array<T>>) : sizeof(Property<T>);   \
        align = p->subscript ? alignof(Property<Array<T>>) : alignof(Property<T>); \
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
            // The host shows the method's type; the adapter returns the record's.
            auto ret = reinterpret_cast<const Meta_Property*>(
                find_feature(m->meta_class, "return_value", CIMPLE_FLAG_PROPERTY));
            ASSERT_NE(ret, nullptr) << f->name;
            EXPECT_EQ(ret->type, m->return_type) << f->name;
            continue;
        }
        size_t size = 0;
        size_t offset = place(f, end, &size);
        uint32_t actual = (f->flags & CIMPLE_FLAG_REFERENCE)
                              ? reinterpret_cast<const Meta_Reference*>(f)->offset
                              : reinterpret_cast<const Meta_Property*>(f)->offset;
        EXPECT_EQ(actual, offset) << f->name;
        end = offset + size;
        max_align = std::max(max_align, size_t(alignof(Instance*)));
        if (f->flags & CIMPLE_FLAG_KEY) keys++;
    }
    EXPECT_EQ(mc->size, (end + max_align - 1) / max_align * max_align);
    EXPECT_EQ(mc->num_keys, keys);
}

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
}

}  // namespace
