// The CMPI declarations against the binary facts of the standard: a CIMOM
// built elsewhere reads our tables by position and our codes by value, so a
// moved member or a wrong number fails only at run time inside the CIMOM.
#include <cmpi/cmpift.h>
#include <gtest/gtest.h>

#include <cstddef>

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

// Codes travel by value: a CIMOM built elsewhere compares them as numbers.
#define CMPI_CODE(code, value) static_assert((code) == (value), #code " has its standard value")
CMPI_CODE(CMPI_null, 0x0000);
CMPI_CODE(CMPI_boolean, 0x0002);
CMPI_CODE(CMPI_char16, 0x0003);
CMPI_CODE(CMPI_real32, 0x0008);
CMPI_CODE(CMPI_real64, 0x000C);
CMPI_CODE(CMPI_uint8, 0x0080);
CMPI_CODE(CMPI_uint16, 0x0090);
CMPI_CODE(CMPI_uint32, 0x00A0);
CMPI_CODE(CMPI_uint64, 0x00B0);
CMPI_CODE(CMPI_sint8, 0x00C0);
CMPI_CODE(CMPI_sint16, 0x00D0);
CMPI_CODE(CMPI_sint32, 0x00E0);
CMPI_CODE(CMPI_sint64, 0x00F0);
CMPI_CODE(CMPI_instance, 0x1000);
CMPI_CODE(CMPI_ref, 0x1100);
CMPI_CODE(CMPI_string, 0x1600);
CMPI_CODE(CMPI_chars, 0x1700);
CMPI_CODE(CMPI_dateTime, 0x1800);
CMPI_CODE(CMPI_ARRAY, 0x2000);
CMPI_CODE(CMPI_refA, 0x3100);
CMPI_CODE(CMPI_stringA, 0x3600);
// A CMPIType is 16 bits wide: the largest code, an array one, must fit.
static_assert(CMPI_dateTimeA == static_cast<CMPIType>(CMPI_dateTimeA), "type codes fit a CMPIType");
// Value states are distinct bits above the type byte.
CMPI_CODE(CMPI_goodValue, 0);
CMPI_CODE(CMPI_nullValue, 0x0100);
CMPI_CODE(CMPI_keyValue, 0x0200);
CMPI_CODE(CMPI_notFound, 0x0400);
CMPI_CODE(CMPI_badValue, 0x8000);
CMPI_CODE(CMPI_RC_OK, 0);
CMPI_CODE(CMPI_RC_ERR_FAILED, 1);
CMPI_CODE(CMPI_RC_ERR_ACCESS_DENIED, 2);
CMPI_CODE(CMPI_RC_ERR_INVALID_NAMESPACE, 3);
CMPI_CODE(CMPI_RC_ERR_INVALID_PARAMETER, 4);
CMPI_CODE(CMPI_RC_ERR_INVALID_CLASS, 5);
CMPI_CODE(CMPI_RC_ERR_NOT_FOUND, 6);
CMPI_CODE(CMPI_RC_ERR_NOT_SUPPORTED, 7);
CMPI_CODE(CMPI_RC_ERR_CLASS_HAS_CHILDREN, 8);
CMPI_CODE(CMPI_RC_ERR_CLASS_HAS_INSTANCES, 9);
CMPI_CODE(CMPI_RC_ERR_INVALID_SUPERCLASS, 10);
CMPI_CODE(CMPI_RC_ERR_ALREADY_EXISTS, 11);
CMPI_CODE(CMPI_RC_ERR_NO_SUCH_PROPERTY, 12);
CMPI_CODE(CMPI_RC_ERR_TYPE_MISMATCH, 13);
CMPI_CODE(CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED, 14);
CMPI_CODE(CMPI_RC_ERR_INVALID_QUERY, 15);
CMPI_CODE(CMPI_RC_ERR_METHOD_NOT_AVAILABLE, 16);
CMPI_CODE(CMPI_RC_ERR_METHOD_NOT_FOUND, 17);
CMPI_CODE(CMPI_RC_NO_MORE_ELEMENTS, 18);
CMPI_CODE(CMPI_RC_ERR_SERVER_LIMITS_EXCEEDED, 27);
CMPI_CODE(CMPI_RC_ERR_QUERY_FEATURE_NOT_SUPPORTED, 29);
CMPI_CODE(CMPI_RC_DO_NOT_UNLOAD, 50);
CMPI_CODE(CMPI_RC_NEVER_UNLOAD, 51);
CMPI_CODE(CMPI_RC_ERR_INVALID_HANDLE, 60);
CMPI_CODE(CMPI_RC_ERR_INVALID_DATA_TYPE, 61);
CMPI_CODE(CMPI_RC_ERR_NOT_IN_CODEPAGE, 62);
CMPI_CODE(CMPI_RC_ERROR_SYSTEM, 100);
CMPI_CODE(CMPI_RC_ERROR, 200);
CMPI_CODE(CMPICurrentVersion, 200);
CMPI_CODE(CMPI_MB_BasicRead, 0x01);
CMPI_CODE(CMPI_MB_Indications, 0x81);
CMPI_CODE(CMPI_MB_OSEncapsulationSupport, 0x100);
CMPI_CODE(CMPI_MB_Supports_MemEnhancements, 0x4000);
#undef CMPI_CODE

namespace {

// The context entries the adapter reads and the host sets: both take the
// names from these headers, so only here would a misspelt one show.
TEST(CmpiCodesTest, ContextEntryNames) {
    EXPECT_STREQ(CMPIInitNameSpace, "CMPIInitNameSpace");
    EXPECT_STREQ(CMPIInvocationFlags, "CMPIInvocationFlags");
    EXPECT_STREQ(CMPIPrincipal, "CMPIPrincipal");
}

}  // namespace
