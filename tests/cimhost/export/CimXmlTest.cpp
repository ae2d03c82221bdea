// The CIM-XML writer, checked by reading what it writes with the listener's
// parser: every CIM type, arrays and nulls, paths, embedded instances, and
// text that XML would otherwise change or choke on.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

#include "cimhost/listener/PropertyText.h"
#include "export/ExportRequest.h"
#include "listener/ExportMessage.h"

namespace cimhost {
namespace {

using listener::show;

// What a strict XML 1.0 parser refuses outright in CIM-XML text: a control
// character other than TAB, LF and CR, raw or as a character reference.
std::string strictXmlFault(const std::string& xml) {
    static const std::regex reference("&#([0-9]+);");
    for (std::sregex_iterator m(xml.begin(), xml.end(), reference), end; m != end; ++m) {
        const std::string code = (*m)[1];
        if (code != "9" && code != "10" && code != "13") return m->str();
    }
    for (char c : xml)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n') return "byte " + std::to_string(int(c));
    return "";
}

ObjectPath path(const std::string& host, const std::string& ns) {
    ObjectPath p{ns, host, "QMS_VRXLogEntry", {}};
    p.keys.set("InstanceID", Value::string("a\"b"));
    p.keys.set("Number", Value::uint32(7));
    p.keys.set("Set", Value::boolean(true));
    return p;
}

TEST(CimXmlTest, EveryTypeReadsBackAsWritten) {
    Instance embedded;
    embedded.path.className = "QMS_Inner";
    embedded.properties.set("Text", Value::string("<x>"));

    const struct Row {
        const char* name;
        Value value;
        std::string shown;
    } rows[] = {
        {"Bool", Value::boolean(true), "boolean TRUE"},
        {"Char", Value::char16(0xE9), "char16 \xC3\xA9"},
        {"Surrogate", Value::char16(0xD800), "char16 \xEF\xBF\xBD"},
        {"U8", Value::uint8(255), "uint8 255"},
        {"U16", Value::uint16(65535), "uint16 65535"},
        {"U32", Value::uint32(4294967295u), "uint32 4294967295"},
        {"U64", Value::uint64(std::numeric_limits<uint64_t>::max()), "uint64 18446744073709551615"},
        {"S8", Value::sint8(-128), "sint8 -128"},
        {"S16", Value::sint16(-32768), "sint16 -32768"},
        {"S32", Value::sint32(-2147483647 - 1), "sint32 -2147483648"},
        {"S64", Value::sint64(std::numeric_limits<int64_t>::min()), "sint64 -9223372036854775808"},
        {"R32", Value::real32(0.1f), "real32 0.100000001"},
        {"R64", Value::real64(0.1), "real64 0.10000000000000001"},
        {"NaN", Value::real64(std::nan("")), "real64 NaN"},
        {"Inf", Value::real32(-INFINITY), "real32 -INF"},
        {"Time", Value::datetime("20261206193000.123456+060"), "datetime 20261206193000.123456+060"},
        {"Interval", Value::datetime("00000001020304.000005:000"), "datetime 00000001020304.000005:000"},
        // TAB, CR and LF, markup, "]]>", non-ASCII kept; what XML 1.0 cannot
        // carry (other control characters, NUL, bytes that are not UTF-8)
        // replaced.
        {"Text",
         Value::string(std::string("a\x01\tb\r\nc]]>d<&\"'\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF\xC0\xAF") +
                       '\0' + "z"),
         "string "
         "a\xEF\xBF\xBD\tb\r\nc]]>d<&\"'"
         "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
         "\xEF\xBF\xBDz"},
        {"Blank", Value::string(" "), "string  "},
        {"Null", Value::null(CMPI_uint16), "uint16 NULL"},
        {"NullArray", Value::null(static_cast<CMPIType>(CMPI_ARRAY | CMPI_string)), "string[] NULL"},
        {"Empty", Value::array(CMPI_uint8, {}), "uint8[] {}"},
        {"Bools",
         Value::array(CMPI_boolean, {Value::boolean(true), Value::null(CMPI_boolean), Value::boolean(false)}),
         "boolean[] {TRUE,NULL,FALSE}"},
        {"Texts", Value::array(CMPI_string, {Value::string("]]>"), Value::string("")}), "string[] {]]>,}"},
        {"Times", Value::array(CMPI_dateTime, {Value::datetime("20260101000000.000000+000")}),
         "datetime[] {20260101000000.000000+000}"},
        {"Ints", Value::array(CMPI_sint64, {Value::sint64(-1), Value::sint64(2)}), "sint64[] {-1,2}"},
        {"Local", Value::reference(path("", "root/qms")),
         "reference root/qms:QMS_VRXLogEntry.InstanceID=\"a\\\"b\",Number=7,Set=TRUE"},
        {"Remote", Value::reference(path("h1", "root/qms")),
         "reference //h1/root/qms:QMS_VRXLogEntry.InstanceID=\"a\\\"b\",Number=7,Set=TRUE"},
        {"Bare", Value::reference(path("", "")),
         "reference QMS_VRXLogEntry.InstanceID=\"a\\\"b\",Number=7,Set=TRUE"},
        {"NullRef", Value::null(CMPI_ref), "reference NULL"},
        {"Embedded", Value::instance(embedded),
         "string <INSTANCE CLASSNAME=\"QMS_Inner\"><PROPERTY NAME=\"Text\" TYPE=\"string\">"
         "<VALUE>&lt;x&gt;</VALUE></PROPERTY></INSTANCE>"},
    };
    Instance indication;
    indication.path.className = "QMS_VRX<Alert>";
    for (const Row& row : rows) indication.properties.set(row.name, row.value);

    const std::string body = exporting::exportIndicationBody("m&1", indication);
    EXPECT_EQ(strictXmlFault(body), "");
    const listener::ExportParse parse = listener::parseExportIndication(body);
    ASSERT_TRUE(parse.ok) << parse.error;
    EXPECT_EQ(parse.request.messageId, "m&1");
    const listener::Instance& read = parse.request.indication;
    EXPECT_EQ(read.className, "QMS_VRX<Alert>");
    EXPECT_EQ(read.properties.size(), std::size(rows));
    for (const Row& row : rows) {
        const listener::Property* p = read.find(row.name);
        ASSERT_NE(p, nullptr) << row.name;
        EXPECT_EQ(show(*p), row.shown) << row.name;
    }
    // The embedded instance is itself an instance the parser reads.
    pugi::xml_document inner;
    ASSERT_TRUE(inner.load_string(read.find("Embedded")->text.c_str()));
    listener::Instance innerRead;
    std::string error;
    ASSERT_TRUE(listener::readInstance(inner.first_child(), &innerRead, &error)) << error;
    EXPECT_EQ(show(*innerRead.find("Text")), "string <x>");
}

// What the exporter logs of a refusal (every kind of failed answer is
// retried and dropped in ExporterTest).
TEST(CimXmlTest, AnswerCheckSaysWhyAnAnswerIsARefusal) {
    const std::string ok = listener::exportResponse("1");
    // The listener's own answers echo what a client sent.
    const std::string cimError = listener::exportErrorResponse("1\x02", 4, "bad <thing>\x01\xFF");
    EXPECT_EQ(strictXmlFault(cimError), "");
    const struct Row {
        exporting::ExportAnswer answer;
        std::string error;  // empty: accepted
    } rows[] = {
        {{200, "MethodResponse", "", ok}, ""},
        {{400, "MethodResponse", "request-not-valid", cimError},
         "HTTP 400 (CIMError: request-not-valid), CIM error 4: bad <thing>\xEF\xBF\xBD\xEF\xBF\xBD"},
        {{200, "MethodResponse", "", cimError}, "CIM error 4: bad <thing>\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(exporting::checkExportAnswer(row.answer), row.error) << row.answer.body;
}

}  // namespace
}  // namespace cimhost
