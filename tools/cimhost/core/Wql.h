// The query language of subscription filters.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "core/Value.h"

namespace cimhost {

// Parsed WQL: SELECT * (or a property list) FROM <class> [WHERE <condition>]
// where a condition is comparisons (=, <>, !=, <, <=, >, >=, IS [NOT] NULL)
// of a property with a literal ('text' or "text", integers, reals, TRUE,
// FALSE, NULL), joined by AND, OR, NOT and parentheses.
class WqlQuery {
public:
    // Null with *error set when the text is not such a query.
    static std::unique_ptr<WqlQuery> parse(const std::string& text, std::string* error);
    ~WqlQuery();
    const std::string& className() const;
    // Empty for "*".
    const std::vector<std::string>& selectList() const;
    // True when the instance's class is the FROM class or derives from it
    // (as `classes` tells) and the WHERE condition holds. A comparison with a
    // missing or null property, or of mismatched types, is false (NOT of it
    // true, as unknown is not modelled).
    bool matches(const Instance& indication, const ClassRepository& classes) const;

    struct Node;

private:
    WqlQuery();
    std::string className_;
    std::vector<std::string> select_;
    std::unique_ptr<Node> where_;
};

}  // namespace cimhost
