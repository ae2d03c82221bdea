#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/IndicationService.h"
#include "indications/Support.h"

using namespace cimhost;

namespace {

TEST(WqlParse, ErrorsSayWhereAndWhat) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "at offset 0: expected SELECT, found end of query"},
        {"SELECT * FROM", "at offset 13: expected a class name, found end of query"},
        {"SELECT , FROM X", "at offset 7: expected '*' or a property name, found ','"},
        {"SELECT * FROM X.Y", "at offset 14: expected a class name"},
        {"SELECT * FROM X WHERE", "at offset 21: expected a property or a literal"},
        {"SELECT * FROM X WHERE (A = 1", "at offset 28: expected ')'"},
        {"SELECT * FROM X WHERE A = 'abc", "at offset 26: unterminated string"},
        {"SELECT * FROM X trailing", "at offset 16: expected WHERE or the end of the query"},
        {"SELECT * FROM X WHERE A = 1 B", "expected AND, OR or the end of the query, found 'B'"},
        {"SELECT * FROM X WHERE A = 99999999999999999999", "integer '99999999999999999999' out of range"},
        {"SELECT * FROM X WHERE A ! 1", "at offset 24: unexpected '!'"},
        {"SELECT * FROM X WHERE A = 12ab", "malformed number '12a'"},
        {"SELECT * FROM X WHERE 1 IS NULL", "expected a comparison operator, found 'IS'"},
        {"SELECT * FROM X WHERE A IS 5", "expected NULL, found '5'"},
        {"SELECT * FROM X WHERE AND = 1", "expected a property or a literal, found 'AND'"},
        {"SELECT * FROM X WHERE A = \x01", "at offset 26: unexpected character byte 0x01"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(WqlQuery::parse(c.first, &error), nullptr) << c.first;
        EXPECT_NE(error.find(c.second), std::string::npos) << c.first << " gave: " << error;
    }
}

class WqlMatch : public ::testing::Test {
protected:
    const Instance indication = indications_test::everyKindOfValue();

    bool matches(const std::string& text) {
        std::string error;
        auto q = WqlQuery::parse(text, &error);
        EXPECT_NE(q, nullptr) << text << ": " << error;
        return q && q->matches(indication, ClassRepository::builtin());
    }
};

TEST_F(WqlMatch, ClassesAndComparisons) {
    const std::pair<const char*, bool> cases[] = {
        {"SELECT * FROM CIM_AlertIndication", true},
        {"SELECT * FROM cim_indication", true},
        {"SELECT * FROM CIM_IndicationFilter", false},
        // Keywords in any case, a property list, a literal first.
        {"select Message, QMS_VRXLogEntryArrived.PerceivedSeverity from QMS_VRXLogEntryArrived "
         "where 4 < PerceivedSeverity and Message != \"it's\"",
         true},
        {"SELECT * FROM NoSuchClass", false},
        // Numbers by value whatever their width, signedness or kind.
        {"SELECT * FROM CIM_Indication WHERE PerceivedSeverity = 5", true},
        {"SELECT * FROM CIM_Indication WHERE PerceivedSeverity >= 5.0", true},
        {"SELECT * FROM CIM_Indication WHERE SequenceNumber < 18446744073709551615", true},
        {"SELECT * FROM CIM_Indication WHERE Huge > 9223372036854775807", true},
        {"SELECT * FROM CIM_Indication WHERE Huge = -1", false},
        {"SELECT * FROM CIM_Indication WHERE Ratio = 0.5 AND Ratio < 1 AND Ratio > -1e3", true},
        {"SELECT * FROM CIM_Indication WHERE SequenceNumber <> PerceivedSeverity", true},
        // Text exactly; datetimes as text.
        {"SELECT * FROM CIM_Indication WHERE Message = 'disk \\'A\\' failed'", true},
        {"SELECT * FROM CIM_Indication WHERE Message = \"DISK 'A' FAILED\"", false},
        {"SELECT * FROM CIM_Indication WHERE Message > 'disk'", true},
        {"SELECT * FROM CIM_Indication WHERE IndicationTime = '20240102030405.000000+000'", true},
        // Booleans compare for equality only.
        {"SELECT * FROM CIM_Indication WHERE Flag = TRUE AND Flag <> false", true},
        {"SELECT * FROM CIM_Indication WHERE Flag > FALSE", false},
        // Mismatched types, nulls, missing properties and arrays never compare.
        {"SELECT * FROM CIM_Indication WHERE Message = 5", false},
        {"SELECT * FROM CIM_Indication WHERE NOT Message = 5", true},
        {"SELECT * FROM CIM_Indication WHERE OtherSeverity = NULL", false},
        {"SELECT * FROM CIM_Indication WHERE Missing <> 1", false},
        {"SELECT * FROM CIM_Indication WHERE RecommendedActions = 'x'", false},
        {"SELECT * FROM CIM_Indication WHERE OtherSeverity IS NULL AND Missing is null", true},
        {"SELECT * FROM CIM_Indication WHERE Message IS NOT NULL AND NOT RecommendedActions IS NULL", true},
        // AND binds tighter than OR; NOT tighter than both.
        {"SELECT * FROM CIM_Indication WHERE Flag = TRUE OR Flag = FALSE AND Missing = 1", true},
        {"SELECT * FROM CIM_Indication WHERE (Flag = TRUE OR Flag = FALSE) AND Missing = 1", false},
        {"SELECT * FROM CIM_Indication WHERE NOT Flag = TRUE OR PerceivedSeverity = 5", true},
        {"SELECT * FROM CIM_Indication WHERE NOT (Flag = TRUE OR PerceivedSeverity = 5)", false},
    };
    for (const auto& c : cases) EXPECT_EQ(matches(c.first), c.second) << c.first;
}

TEST_F(WqlMatch, HostileInputIsBounded) {
    const std::string base = "SELECT * FROM CIM_Indication WHERE ";
    // Nesting within the limit works; beyond it is refused, not recursed.
    EXPECT_TRUE(matches(base + std::string(60, '(') + "Flag = TRUE" + std::string(60, ')')));
    std::string error;
    EXPECT_EQ(WqlQuery::parse(base + std::string(100000, '(') + "Flag = TRUE", &error), nullptr);
    EXPECT_NE(error.find("nested deeper than 64"), std::string::npos) << error;
    std::string nots;
    for (int i = 0; i < 100000; ++i) nots += "NOT ";
    EXPECT_EQ(WqlQuery::parse(base + nots + "Flag = TRUE", &error), nullptr);

    // Long flat chains are no nesting at all.
    std::string chain = base + "PerceivedSeverity = 0";
    for (int i = 1; i < 50000; ++i)
        chain += (i % 2 ? " OR PerceivedSeverity = " : " AND Flag = TRUE OR PerceivedSeverity = ") +
                 std::to_string(i);
    EXPECT_TRUE(matches(chain));
    EXPECT_EQ(WqlQuery::parse(base + "Message = '" + std::string(1 << 20, 'x'), &error), nullptr);

    std::mt19937 random(7);
    const std::string alphabet = "SELECT*FROMWHEREANDORNOTISNULL()'\"=<>!.,-+0123456789eE \t\x01\xff";
    for (int i = 0; i < 3000; ++i) {
        std::string text = i % 2 ? base : std::string();
        const size_t length = random() % 60;
        for (size_t k = 0; k < length; ++k) text += alphabet[random() % alphabet.size()];
        error.clear();
        auto q = WqlQuery::parse(text, &error);
        if (q)
            q->matches(indication, ClassRepository::builtin());
        else
            EXPECT_EQ(error.compare(0, 10, "at offset "), 0) << text;
    }
}

}  // namespace
