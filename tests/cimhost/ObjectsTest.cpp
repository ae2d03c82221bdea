// The encapsulated objects and the broker's factories as a provider sees
// them: contracts, ownership and bad input.
#include <gtest/gtest.h>

#include <thread>

#include "core/Broker.h"

namespace cimhost {
namespace {

class ObjectsTest : public ::testing::Test {
protected:
    ObjectsTest() : broker(ClassRepository::builtin(), nullptr), mb(broker.cmpi()) {}

    CMPIObjectPath* path(const char* cls) { return mb->eft->newObjectPath(mb, "root/qms", cls, nullptr); }
    static std::string text(CMPIString* s) { return s ? s->ft->getCharPtr(s, nullptr) : "<null>"; }
    // A CMPI_chars value is handed over as the text itself.
    static const CMPIValue* charsArg(const char* s) { return reinterpret_cast<const CMPIValue*>(s); }

    Broker broker;
    const CMPIBroker* mb;
    CallScope scope;
};

TEST_F(ObjectsTest, StringsArraysAndDatetimes) {
    CMPIStatus rc;
    EXPECT_EQ(nullptr, mb->eft->newString(mb, nullptr, &rc));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, rc.rc);

    CMPIArray* a = mb->eft->newArray(mb, 2, CMPI_uint16, nullptr);
    CMPIValue v;
    v.uint16 = 7;
    EXPECT_EQ(CMPI_RC_OK, a->ft->setElementAt(a, 1, &v, CMPI_uint16).rc);
    EXPECT_EQ(CMPI_RC_ERR_TYPE_MISMATCH, a->ft->setElementAt(a, 0, &v, CMPI_uint32).rc);
    EXPECT_EQ(CMPI_RC_ERR_NO_SUCH_PROPERTY, a->ft->setElementAt(a, 2, &v, CMPI_uint16).rc);
    EXPECT_EQ(CMPI_nullValue, a->ft->getElementAt(a, 0, nullptr).state);
    EXPECT_EQ(CMPI_uint16, a->ft->getElementAt(a, 0, nullptr).type);
    a->ft->getElementAt(a, 9, &rc);
    EXPECT_EQ(CMPI_RC_ERR_NO_SUCH_PROPERTY, rc.rc);
    EXPECT_EQ(nullptr, mb->eft->newArray(mb, 0xffffffffu, CMPI_uint8, &rc));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, rc.rc);
    EXPECT_EQ(nullptr, mb->eft->newArray(mb, 1, CMPI_args, &rc));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_DATA_TYPE, rc.rc);

    // The text of a point (with an offset) and of an interval, as
    // microseconds; the text forms themselves are cimple's DatetimeTest's.
    const std::pair<const char*, uint64_t> times[] = {
        {"20240301015959.123456+120", 1709251199123456ull},
        {"00000001020304.000005:000", ((24ull + 2) * 3600 + 3 * 60 + 4) * 1000000 + 5},
    };
    for (const auto& t : times) {
        CMPIDateTime* dt = mb->eft->newDateTimeFromChars(mb, t.first, &rc);
        ASSERT_EQ(CMPI_RC_OK, rc.rc) << t.first;
        EXPECT_EQ(t.second, dt->ft->getBinaryFormat(dt, nullptr)) << t.first;
    }
    for (const char* bad :
         {"", "20240230000000.000000+000", "19691231235959.000000+000", "00000001020304.000005:001"}) {
        EXPECT_EQ(nullptr, mb->eft->newDateTimeFromChars(mb, bad, &rc)) << bad;
        EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, rc.rc);
    }
}

TEST_F(ObjectsTest, InstancesAndPaths) {
    CMPIObjectPath* op = path("CIM_ComputerSystem");
    CMPIInstance* inst = mb->eft->newInstance(mb, op, nullptr);
    EXPECT_EQ(CMPI_RC_OK, inst->ft->setProperty(inst, "Name", charsArg("host1"), CMPI_chars).rc);
    inst->ft->setProperty(inst, "CreationClassName", charsArg("CIM_ComputerSystem"), CMPI_chars);

    CMPIStatus rc;
    CMPIData d = inst->ft->getProperty(inst, "name", &rc);
    EXPECT_EQ(CMPI_string, d.type);
    EXPECT_EQ("host1", text(d.value.string));
    // A class property never set is a typed null; a foreign one is absent.
    d = inst->ft->getProperty(inst, "Dedicated", &rc);
    EXPECT_EQ(CMPI_RC_OK, rc.rc);
    EXPECT_EQ(CMPI_uint16A, d.type);
    EXPECT_EQ(CMPI_nullValue, d.state);
    inst->ft->getProperty(inst, "NoSuch", &rc);
    EXPECT_EQ(CMPI_RC_ERR_NO_SUCH_PROPERTY, rc.rc);
    inst->ft->getPropertyAt(inst, 2, nullptr, &rc);
    EXPECT_EQ(CMPI_RC_ERR_NO_SUCH_PROPERTY, rc.rc);

    // The path takes its keys from the key properties.
    CMPIObjectPath* ip = inst->ft->getObjectPath(inst, nullptr);
    EXPECT_EQ(2u, ip->ft->getKeyCount(ip, nullptr));
    ip->ft->getKeyAt(ip, 5, nullptr, &rc);
    EXPECT_EQ(CMPI_RC_ERR_NO_SUCH_PROPERTY, rc.rc);
    EXPECT_EQ("root/qms:CIM_ComputerSystem.CreationClassName=\"CIM_ComputerSystem\",Name=\"host1\"",
              text(ip->ft->toString(ip, nullptr)));

    CMPIObjectPath* other = mb->eft->newObjectPath(mb, "root/other", "CIM_LogEntry", nullptr);
    CMPIInstance* second = mb->eft->newInstance(mb, path("CIM_LogEntry"), nullptr);
    second->ft->setProperty(second, "InstanceID", charsArg("id-1"), CMPI_chars);

    // Embedded instances and references keep their values.
    CMPIValue embedded;
    embedded.inst = second;
    inst->ft->setProperty(inst, "Embedded", &embedded, CMPI_instance);
    CMPIValue ref;
    ref.ref = other;
    inst->ft->setProperty(inst, "Ref", &ref, CMPI_ref);
    Instance read;
    ASSERT_TRUE(readInstance(inst, &read).ok());
    ASSERT_TRUE(read.property("Embedded") && read.property("Embedded")->asInstance());
    ASSERT_TRUE(read.property("Ref") && read.property("Ref")->asReference());
    EXPECT_EQ("id-1", read.property("Embedded")->asInstance()->property("InstanceID")->asText());
    EXPECT_EQ("CIM_LogEntry", read.property("Ref")->asReference()->className);

    // A reference or a string read from an instance may look into the
    // instance's data: changing either afterwards leaves the other as it
    // was read, whether the instance's data is its own or was shared (with
    // a result, here, that has handed it on since) when it was read.
    for (bool returned : {false, true}) {
        CMPIResult* result = newCmpiResult(broker.space());
        if (returned) result->ft->returnInstance(result, inst);
        CMPIObjectPath* got = inst->ft->getProperty(inst, "Ref", nullptr).value.ref;
        const std::string was = text(got->ft->toString(got, nullptr));
        CMPIString* name = inst->ft->getPropertyAt(inst, 0, nullptr, nullptr).value.string;
        const std::string nameWas = text(name);
        takeResultData(result);
        CMPIValue replaced;
        replaced.ref = path("CIM_Other");
        inst->ft->setProperty(inst, "Ref", &replaced, CMPI_ref);
        inst->ft->setProperty(inst, "Name", charsArg(returned ? "host3" : "host2"), CMPI_chars);
        EXPECT_EQ(was, text(got->ft->toString(got, nullptr)));
        EXPECT_EQ(nameWas, text(name));
        got->ft->setNameSpace(got, "root/changed");
        CMPIObjectPath* now = inst->ft->getProperty(inst, "Ref", nullptr).value.ref;
        now->ft->setNameSpace(now, "root/x");
        now = inst->ft->getProperty(inst, "Ref", nullptr).value.ref;
        EXPECT_EQ("root/qms:CIM_Other", text(now->ft->toString(now, nullptr)));
        ref.ref = got;
        inst->ft->setProperty(inst, "Ref", &ref, CMPI_ref);
        now = inst->ft->getPropertyAt(inst, 3, nullptr, nullptr).value.ref;
        EXPECT_EQ("root/changed:CIM_LogEntry", text(now->ft->toString(now, nullptr)));
    }
}

TEST_F(ObjectsTest, ArgsContextsEnumerationsResultsAndBrokerServices) {
    CMPIArgs* args = mb->eft->newArgs(mb, nullptr);
    CMPIValue v;
    v.sint32 = -4;
    args->ft->addArg(args, "N", &v, CMPI_sint32);
    CMPIStatus rc;
    EXPECT_EQ(-4, args->ft->getArgAt(args, 0, nullptr, &rc).value.sint32);
    args->ft->getArgAt(args, 1, nullptr, &rc);
    EXPECT_EQ(CMPI_RC_ERR_NO_SUCH_PROPERTY, rc.rc);
    EXPECT_EQ(CMPI_RC_ERR_INVALID_DATA_TYPE, args->ft->addArg(args, "P", &v, CMPI_ptr).rc);

    CMPIContext* ctx = broker.newContext("root/qms");
    EXPECT_EQ("root/qms", text(ctx->ft->getEntry(ctx, CMPIInitNameSpace, nullptr).value.string));
    EXPECT_EQ(CMPI_uint32, ctx->ft->getEntry(ctx, CMPIInvocationFlags, nullptr).type);
    ctx->ft->getEntry(ctx, "Missing", &rc);
    EXPECT_EQ(CMPI_RC_ERR_NO_SUCH_PROPERTY, rc.rc);

    // Reading an enumeration is the adapter tests'; reading past its end:
    CMPIEnumeration* e = newCmpiEnumeration(broker.space(), CMPI_string, {});
    e->ft->getNext(e, &rc);
    EXPECT_EQ(CMPI_RC_NO_MORE_ELEMENTS, rc.rc);

    // A result collects host values, and a provider cannot free it.
    CMPIResult* result = newCmpiResult(broker.space());
    result->ft->returnData(result, &v, CMPI_sint32);
    result->ft->returnObjectPath(result, path("CIM_LogEntry"));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, result->ft->returnInstance(result, nullptr).rc);
    result->ft->returnDone(result);
    EXPECT_EQ(CMPI_RC_OK, result->ft->release(result).rc);
    const ResultData* data = resultData(result);
    ASSERT_NE(nullptr, data);
    EXPECT_TRUE(data->done);
    ASSERT_EQ(2u, data->values.size());
    EXPECT_EQ(Value::sint32(-4), data->values[0]);
    EXPECT_EQ(CMPI_ref, data->values[1].type());

    // The trace reaches the broker's log; without a Cimom behind it the
    // broker has nowhere to send up-calls.
    std::vector<std::string> lines;
    broker.setLog([&](char kind, int level, const std::string& component, const std::string& line) {
        lines.push_back(std::string(1, kind) + std::to_string(level) + " " + component + ": " + line);
    });
    mb->eft->trace(mb, CMPI_LEV_VERBOSE, "Prov", nullptr, mb->eft->newString(mb, "two", nullptr));
    EXPECT_EQ((std::vector<std::string>{"T3 Prov: two"}), lines);
    EXPECT_EQ(nullptr, mb->bft->enumerateInstances(mb, ctx, path("QMS_VRXComputerSystem"), nullptr, &rc));
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, rc.rc);
}

// Every table entry refuses a null handle, with or without an rc to fill.
TEST_F(ObjectsTest, NullHandlesAndForeignObjects) {
    CMPIStatus rc;
    const CMPIInstance* inst = mb->eft->newInstance(mb, path("CIM_LogEntry"), nullptr);
    const auto* ift = inst->ft;
    EXPECT_EQ(CMPI_RC_ERR_INVALID_HANDLE, ift->release(nullptr).rc);
    EXPECT_EQ(CMPI_badValue, ift->getProperty(nullptr, "x", &rc).state);
    EXPECT_EQ(CMPI_RC_ERR_INVALID_HANDLE, rc.rc);
    ift->getPropertyAt(nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(0u, ift->getPropertyCount(nullptr, nullptr));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_HANDLE, ift->setProperty(nullptr, "x", nullptr, CMPI_uint8).rc);
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, ift->setProperty(inst, nullptr, nullptr, CMPI_uint8).rc);

    // A handle whose hdl is not ours, and an object of another type.
    CMPIString fake = {&rc, nullptr};
    const CMPIString* s = mb->eft->newString(mb, "x", nullptr);
    EXPECT_EQ(nullptr, s->ft->getCharPtr(&fake, &rc));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_HANDLE, rc.rc);
    EXPECT_EQ(nullptr, s->ft->getCharPtr(reinterpret_cast<const CMPIString*>(inst), &rc));
    CMPIValue v;
    v.string = &fake;
    EXPECT_EQ(CMPI_RC_ERR_INVALID_HANDLE, ift->setProperty(inst, "x", &v, CMPI_string).rc);

    const CMPIObjectPath* op = path("X");
    EXPECT_EQ(CMPI_RC_ERR_INVALID_HANDLE, op->ft->addKey(nullptr, "k", nullptr, CMPI_uint8).rc);
    EXPECT_EQ(0u, op->ft->getKeyCount(nullptr, nullptr));
    const CMPIArray* a = mb->eft->newArray(mb, 1, CMPI_string, nullptr);
    EXPECT_EQ(0u, a->ft->getSize(nullptr, nullptr));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_HANDLE, a->ft->setElementAt(nullptr, 0, nullptr, CMPI_string).rc);

    // The broker's own services refuse a broker that is not one.
    CMPIBroker other = *mb;
    other.hdl = &rc;
    EXPECT_EQ(nullptr, mb->eft->newString(&other, "x", &rc));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_HANDLE, rc.rc);
    EXPECT_EQ(nullptr, mb->eft->newString(nullptr, "x", nullptr));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, mb->bft->attachThread(mb, nullptr).rc);
}

// Objects go with the scope or attachment that made them; clones outlive
// both and are the caller's to release. (What a mark collects is the
// adapter's IndicationTest's.)
TEST(ObjectOwnership, ScopesAndAttachments) {
    Broker broker(ClassRepository::builtin(), nullptr);
    const CMPIBroker* mb = broker.cmpi();
    CMPIString* survivor = nullptr;
    {
        CallScope outer;
        mb->eft->newString(mb, "outer", nullptr);
        {
            CallScope inner;
            CMPIString* s = mb->eft->newString(mb, "inner", nullptr);
            s->ft->getCharPtr(s, nullptr);
            survivor = s->ft->clone(s, nullptr);
            EXPECT_EQ(1u, inner.arena().size());
        }
        EXPECT_EQ(1u, outer.arena().size());
        EXPECT_EQ(1u, broker.space().pool.size());

        CMPIContext* prepared = mb->bft->prepareAttachThread(mb, broker.newContext("root/qms"));
        std::thread([&] {
            ASSERT_EQ(CMPI_RC_OK, mb->bft->attachThread(mb, prepared).rc);
            for (int i = 0; i < 10; ++i) mb->eft->newString(mb, "worker", nullptr);
            EXPECT_EQ(CMPI_RC_OK, mb->bft->detachThread(mb, prepared).rc);
        }).join();
        EXPECT_EQ(2u, outer.arena().size());  // the string and the preparing context
        EXPECT_EQ(1u, broker.space().pool.size());
    }
    EXPECT_EQ("inner", std::string(survivor->ft->getCharPtr(survivor, nullptr)));
    EXPECT_EQ(CMPI_RC_OK, survivor->ft->release(survivor).rc);
    EXPECT_EQ(0u, broker.space().pool.size());
    // Left behind on purpose: the broker frees its pool (checked by ASan).
    mb->eft->newString(mb, "pool", nullptr);
}

}  // namespace
}  // namespace cimhost
