// The CMPI declarations against the binary facts of the standard: a CIMOM
// built elsewhere reads our tables by position and our codes by value, so a
// moved member or a wrong number fails only at run time inside the CIMOM.
#include <cmpi/cmpift.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "CmpiLayoutC.h"

// Positions are checked where they are cheapest to fix: at compile time.
#if defined(__x86_64__)
#define CMPI_SIZE(T, n) static_assert(sizeof(T) == (n), "sizeof " #T);
#define CMPI_AT(T, m, n) static_assert(offsetof(T, m) == (n), "offsetof " #T "." #m);
#include "CmpiLayout.def"
#undef CMPI_SIZE
#undef CMPI_AT
#endif

static_assert(sizeof(CMPIrc) == 4, "CMPIrc travels as an int inside CMPIStatus");
static_assert(sizeof(CMPIType) == 2 && sizeof(CMPIValueState) == 2, "CMPIData packs both in 4 bytes");
static_assert(sizeof(CMPIBoolean) == 1 && sizeof(CMPIChar16) == 2 && sizeof(CMPIUint64) == 8,
              "CIM scalar widths");

namespace {

TEST(CmpiLayoutTest, CAndCppCompilersAgreeOnEveryStructure) {
#define CMPI_SIZE(T, n) {#T, sizeof(T)},
#define CMPI_AT(T, m, n) {#T "." #m, offsetof(T, m)},
    const std::vector<qms_cmpi_fact> cpp = {
#include "CmpiLayout.def"
    };
#undef CMPI_SIZE
#undef CMPI_AT
    size_t count = 0;
    const qms_cmpi_fact* c = qms_cmpi_c_layout(&count);
    ASSERT_EQ(count, cpp.size());
    for (size_t i = 0; i < count; ++i) {
        EXPECT_STREQ(c[i].what, cpp[i].what);
        EXPECT_EQ(c[i].value, cpp[i].value) << cpp[i].what;
    }
}

TEST(CmpiCodesTest, TypeCodesHaveTheStandardValues) {
    struct Code {
        const char* name;
        unsigned value;
        unsigned expected;
    };
    const Code codes[] = {
        {"null", CMPI_null, 0x0000},
        {"boolean", CMPI_boolean, 0x0002},
        {"char16", CMPI_char16, 0x0003},
        {"real32", CMPI_real32, 0x0008},
        {"real64", CMPI_real64, 0x000C},
        {"uint8", CMPI_uint8, 0x0080},
        {"uint16", CMPI_uint16, 0x0090},
        {"uint32", CMPI_uint32, 0x00A0},
        {"uint64", CMPI_uint64, 0x00B0},
        {"sint8", CMPI_sint8, 0x00C0},
        {"sint16", CMPI_sint16, 0x00D0},
        {"sint32", CMPI_sint32, 0x00E0},
        {"sint64", CMPI_sint64, 0x00F0},
        {"instance", CMPI_instance, 0x1000},
        {"ref", CMPI_ref, 0x1100},
        {"args", CMPI_args, 0x1200},
        {"class", CMPI_class, 0x1300},
        {"filter", CMPI_filter, 0x1400},
        {"enumeration", CMPI_enumeration, 0x1500},
        {"string", CMPI_string, 0x1600},
        {"chars", CMPI_chars, 0x1700},
        {"dateTime", CMPI_dateTime, 0x1800},
        {"ptr", CMPI_ptr, 0x1900},
        {"charsptr", CMPI_charsptr, 0x1A00},
        {"ARRAY", CMPI_ARRAY, 0x2000},
        {"booleanA", CMPI_booleanA, 0x2002},
        {"uint16A", CMPI_uint16A, 0x2090},
        {"sint64A", CMPI_sint64A, 0x20F0},
        {"refA", CMPI_refA, 0x3100},
        {"stringA", CMPI_stringA, 0x3600},
        {"charsA", CMPI_charsA, 0x3700},
        {"dateTimeA", CMPI_dateTimeA, 0x3800},
        {"instanceA", CMPI_instanceA, 0x3000},
        {"keyInteger", CMPI_keyInteger, 0x00F0},
        {"keyString", CMPI_keyString, 0x1600},
        {"keyRef", CMPI_keyRef, 0x1100},
    };
    for (const Code& c : codes) EXPECT_EQ(c.value, c.expected) << "CMPI_" << c.name;
    // A CMPIType is 16 bits wide: every code, arrays included, must fit.
    for (const Code& c : codes) EXPECT_EQ(c.value, static_cast<CMPIType>(c.value)) << "CMPI_" << c.name;
}

TEST(CmpiCodesTest, ValueStatesAreDistinctBitsAboveTheTypeByte) {
    EXPECT_EQ(CMPI_goodValue, 0);
    EXPECT_EQ(CMPI_nullValue, 0x0100);
    EXPECT_EQ(CMPI_keyValue, 0x0200);
    EXPECT_EQ(CMPI_notFound, 0x0400);
    EXPECT_EQ(CMPI_badValue, 0x8000);
}

TEST(CmpiCodesTest, ReturnCodesHaveTheStandardValues) {
    const std::pair<CMPIrc, int> codes[] = {
        {CMPI_RC_OK, 0},
        {CMPI_RC_ERR_FAILED, 1},
        {CMPI_RC_ERR_ACCESS_DENIED, 2},
        {CMPI_RC_ERR_INVALID_NAMESPACE, 3},
        {CMPI_RC_ERR_INVALID_PARAMETER, 4},
        {CMPI_RC_ERR_INVALID_CLASS, 5},
        {CMPI_RC_ERR_NOT_FOUND, 6},
        {CMPI_RC_ERR_NOT_SUPPORTED, 7},
        {CMPI_RC_ERR_CLASS_HAS_CHILDREN, 8},
        {CMPI_RC_ERR_CLASS_HAS_INSTANCES, 9},
        {CMPI_RC_ERR_INVALID_SUPERCLASS, 10},
        {CMPI_RC_ERR_ALREADY_EXISTS, 11},
        {CMPI_RC_ERR_NO_SUCH_PROPERTY, 12},
        {CMPI_RC_ERR_TYPE_MISMATCH, 13},
        {CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED, 14},
        {CMPI_RC_ERR_INVALID_QUERY, 15},
        {CMPI_RC_ERR_METHOD_NOT_AVAILABLE, 16},
        {CMPI_RC_ERR_METHOD_NOT_FOUND, 17},
        {CMPI_RC_NO_MORE_ELEMENTS, 18},
        {CMPI_RC_ERR_SERVER_LIMITS_EXCEEDED, 27},
        {CMPI_RC_ERR_QUERY_FEATURE_NOT_SUPPORTED, 29},
        {CMPI_RC_DO_NOT_UNLOAD, 50},
        {CMPI_RC_NEVER_UNLOAD, 51},
        {CMPI_RC_ERR_INVALID_HANDLE, 60},
        {CMPI_RC_ERR_INVALID_DATA_TYPE, 61},
        {CMPI_RC_ERR_NOT_IN_CODEPAGE, 62},
        {CMPI_RC_ERROR_SYSTEM, 100},
        {CMPI_RC_ERROR, 200},
    };
    for (const auto& [rc, value] : codes) EXPECT_EQ(static_cast<int>(rc), value);
}

TEST(CmpiCodesTest, VersionCapabilitiesAndContextNames) {
    EXPECT_EQ(CMPICurrentVersion, 200);
    EXPECT_EQ(CMPI_VERSION, 200);
    EXPECT_EQ(CMPI_MB_BasicRead, 0x01);
    EXPECT_EQ(CMPI_MB_Indications, 0x81);
    EXPECT_EQ(CMPI_MB_OSEncapsulationSupport, 0x100);
    EXPECT_EQ(CMPI_MB_Supports_MemEnhancements, 0x4000);
    EXPECT_EQ(CMPI_MB_Supports_Extended_Error, 0x8000);
    EXPECT_EQ(CMPI_FLAG_IncludeClassOrigin, 8);
    EXPECT_STREQ(CMPIInitNameSpace, "CMPIInitNameSpace");
    EXPECT_STREQ(CMPIInvocationFlags, "CMPIInvocationFlags");
    EXPECT_STREQ(CMPIPrincipal, "CMPIPrincipal");
    EXPECT_STREQ(CMPIRole, "CMPIRole");
    EXPECT_STREQ(CMPIAcceptLanguage, "CMPIAcceptLanguage");
    EXPECT_STREQ(CMPIContentLanguage, "CMPIContentLanguage");
}

}  // namespace

// A factory as a provider library writes one. The CIMOM finds it with
// dlsym by its plain name, so it must be unmangled and visible although
// this project builds with hidden visibility by default.
CMPI_EXTERN_C CMPIIndicationMI* QmsCmpiProbe_Create_IndicationMI(const CMPIBroker*, const CMPIContext*,
                                                                 CMPIStatus* rc) {
    static const CMPIIndicationMIFT ft = {
        CMPICurrentVersion, 1, "QmsCmpiProbe", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    static CMPIIndicationMI mi = {nullptr, &ft};
    if (rc) *rc = CMPIStatus{CMPI_RC_OK, nullptr};
    return &mi;
}

namespace {

TEST(CmpiFactoryTest, ExternCFactoryIsFoundByItsPlainName) {
    using Factory = CMPIIndicationMI* (*)(const CMPIBroker*, const CMPIContext*, CMPIStatus*);
    void* sym = dlsym(RTLD_DEFAULT, "QmsCmpiProbe_Create_IndicationMI");
    ASSERT_NE(sym, nullptr) << dlerror();
    CMPIStatus rc{CMPI_RC_ERR_FAILED, nullptr};
    CMPIIndicationMI* mi = reinterpret_cast<Factory>(sym)(nullptr, nullptr, &rc);
    EXPECT_EQ(rc.rc, CMPI_RC_OK);
    ASSERT_NE(mi, nullptr);
    EXPECT_STREQ(mi->ft->miName, "QmsCmpiProbe");
    EXPECT_EQ(mi->ft->ftVersion, 200);
}

}  // namespace
