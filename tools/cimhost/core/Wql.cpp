// WQL as subscription filters use it: one class, a property list and a
// condition over the indication's own properties. Parsing is a plain
// recursive descent; the only recursion a client controls (NOT and
// parentheses) is bounded, AND and OR chains are kept flat.
#include "core/Wql.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace cimhost {
namespace {

// Deeper nesting than any sensible filter, far shallower than the stack.
const int kMaxDepth = 64;

enum class Tok { End, Word, String, Integer, Real, Star, Comma, LParen, RParen, Op };

struct Token {
    Tok kind = Tok::End;
    std::string text;  // words and operators as written, strings unquoted
    size_t offset = 0;
};

enum class CmpOp { Eq, Ne, Lt, Le, Gt, Ge };

bool isWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

class Lexer {
public:
    explicit Lexer(const std::string& text) : text_(text) {}

    // False with *error set for text that is no token.
    bool next(Token* out, std::string* error) {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        Token t;
        t.offset = pos_;
        if (pos_ >= text_.size()) {
            *out = t;
            return true;
        }
        const char c = text_[pos_];
        if (isWordStart(c)) {
            // Class.Property is one word; the qualifier is dropped by the parser.
            size_t end = pos_;
            while (end < text_.size() &&
                   (isWordChar(text_[end]) ||
                    (text_[end] == '.' && end + 1 < text_.size() && isWordStart(text_[end + 1]))))
                ++end;
            t.kind = Tok::Word;
            t.text = text_.substr(pos_, end - pos_);
            pos_ = end;
        } else if (isDigit(c) || ((c == '-' || c == '+' || c == '.') && pos_ + 1 < text_.size() &&
                                  (isDigit(text_[pos_ + 1]) || text_[pos_ + 1] == '.'))) {
            return number(&t, out, error);
        } else if (c == '\'' || c == '"') {
            return quoted(c, &t, out, error);
        } else if (c == '*' || c == ',' || c == '(' || c == ')') {
            t.kind = c == '*' ? Tok::Star : c == ',' ? Tok::Comma : c == '(' ? Tok::LParen : Tok::RParen;
            t.text = std::string(1, c);
            ++pos_;
        } else if (c == '=' || c == '<' || c == '>' || c == '!') {
            const std::string two = text_.substr(pos_, 2);
            if (two == "<>" || two == "!=" || two == "<=" || two == ">=") {
                t.text = two;
            } else if (c == '!') {
                return fail(pos_, "unexpected '!'", error);
            } else {
                t.text = std::string(1, c);
            }
            t.kind = Tok::Op;
            pos_ += t.text.size();
        } else {
            return fail(pos_, "unexpected character " + describeByte(c), error);
        }
        *out = t;
        return true;
    }

    static bool fail(size_t offset, const std::string& what, std::string* error) {
        if (error) *error = "at offset " + std::to_string(offset) + ": " + what;
        return false;
    }

private:
    static std::string describeByte(char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f) return std::string("'") + c + "'";
        static const char hex[] = "0123456789abcdef";
        return std::string("byte 0x") + hex[u >> 4] + hex[u & 15];
    }

    bool number(Token* t, Token* out, std::string* error) {
        size_t end = pos_;
        if (text_[end] == '-' || text_[end] == '+') ++end;
        bool real = false;
        while (end < text_.size() && isDigit(text_[end])) ++end;
        if (end < text_.size() && text_[end] == '.') {
            real = true;
            ++end;
            while (end < text_.size() && isDigit(text_[end])) ++end;
        }
        if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
            size_t exp = end + 1;
            if (exp < text_.size() && (text_[exp] == '-' || text_[exp] == '+')) ++exp;
            if (exp < text_.size() && isDigit(text_[exp])) {
                real = true;
                end = exp;
                while (end < text_.size() && isDigit(text_[end])) ++end;
            }
        }
        if (end < text_.size() && isWordChar(text_[end]))
            return fail(pos_, "malformed number '" + text_.substr(pos_, end + 1 - pos_) + "'", error);
        t->kind = real ? Tok::Real : Tok::Integer;
        t->text = text_.substr(pos_, end - pos_);
        if (t->text == "." || t->text == "-." || t->text == "+.")
            return fail(pos_, "malformed number '" + t->text + "'", error);
        pos_ = end;
        *out = *t;
        return true;
    }

    // 'text' or "text"; a backslash makes the next character literal.
    bool quoted(char quote, Token* t, Token* out, std::string* error) {
        std::string value;
        size_t p = pos_ + 1;
        for (;;) {
            if (p >= text_.size()) return fail(pos_, "unterminated string", error);
            const char c = text_[p++];
            if (c == quote) break;
            if (c == '\\') {
                if (p >= text_.size()) return fail(pos_, "unterminated string", error);
                value += text_[p++];
            } else {
                value += c;
            }
        }
        t->kind = Tok::String;
        t->text = std::move(value);
        pos_ = p;
        *out = *t;
        return true;
    }

    const std::string& text_;
    size_t pos_ = 0;
};

bool isKeyword(const Token& t, const char* keyword) {
    return t.kind == Tok::Word && sameName(t.text, keyword);
}

bool isReserved(const std::string& word) {
    static const char* const reserved[] = {"SELECT", "FROM", "WHERE", "AND",   "OR", "NOT",
                                           "IS",     "NULL", "TRUE",  "FALSE", "ISA"};
    for (const char* r : reserved)
        if (sameName(word, r)) return true;
    return false;
}

std::string propertyOf(const std::string& word) {
    const size_t dot = word.rfind('.');
    return dot == std::string::npos ? word : word.substr(dot + 1);
}

bool isUnsignedType(CMPIType t) {
    return t == CMPI_uint8 || t == CMPI_uint16 || t == CMPI_uint32 || t == CMPI_uint64 || t == CMPI_char16;
}
bool isSignedType(CMPIType t) {
    return t == CMPI_sint8 || t == CMPI_sint16 || t == CMPI_sint32 || t == CMPI_sint64;
}
bool isRealType(CMPIType t) { return t == CMPI_real32 || t == CMPI_real64; }
bool isTextType(CMPIType t) { return t == CMPI_string || t == CMPI_dateTime || t == CMPI_chars; }

// -1, 0 or 1 as a is below, equal to or above b.
template <class T>
int order(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

bool holds(CmpOp op, int cmp) {
    switch (op) {
        case CmpOp::Eq:
            return cmp == 0;
        case CmpOp::Ne:
            return cmp != 0;
        case CmpOp::Lt:
            return cmp < 0;
        case CmpOp::Le:
            return cmp <= 0;
        case CmpOp::Gt:
            return cmp > 0;
        case CmpOp::Ge:
            return cmp >= 0;
    }
    return false;
}

// Numbers of any width and signedness compare by value; a negative signed
// number is below every unsigned one.
bool compareNumbers(const Value& a, const Value& b, int* cmp) {
    const CMPIType ta = a.type(), tb = b.type();
    if (isRealType(ta) || isRealType(tb)) {
        auto asLong = [](const Value& v) -> long double {
            if (isRealType(v.type())) return v.asReal();
            if (isSignedType(v.type())) return static_cast<long double>(v.asSigned());
            return static_cast<long double>(v.asUnsigned());
        };
        const long double x = asLong(a), y = asLong(b);
        if (std::isnan(x) || std::isnan(y)) return false;
        *cmp = order(x, y);
        return true;
    }
    const bool sa = isSignedType(ta), sb = isSignedType(tb);
    if (sa && sb) {
        *cmp = order(a.asSigned(), b.asSigned());
    } else if (!sa && !sb) {
        *cmp = order(a.asUnsigned(), b.asUnsigned());
    } else if (sa) {
        *cmp = a.asSigned() < 0 ? -1 : order(static_cast<uint64_t>(a.asSigned()), b.asUnsigned());
    } else {
        *cmp = b.asSigned() < 0 ? 1 : order(a.asUnsigned(), static_cast<uint64_t>(b.asSigned()));
    }
    return true;
}

bool isNumber(CMPIType t) { return isUnsignedType(t) || isSignedType(t) || isRealType(t); }

bool compareValues(const Value* a, CmpOp op, const Value* b) {
    if (!a || !b || a->isNull() || b->isNull() || a->isArray() || b->isArray()) return false;
    const CMPIType ta = a->type(), tb = b->type();
    int cmp = 0;
    if (isNumber(ta) && isNumber(tb)) return compareNumbers(*a, *b, &cmp) && holds(op, cmp);
    if (isTextType(ta) && isTextType(tb)) return holds(op, a->asText().compare(b->asText()));
    if (ta == CMPI_boolean && tb == CMPI_boolean) {
        if (op == CmpOp::Eq) return a->asBool() == b->asBool();
        if (op == CmpOp::Ne) return a->asBool() != b->asBool();
    }
    return false;
}

}  // namespace

struct WqlQuery::Node {
    enum Kind { And, Or, Not, Compare, IsNull, IsNotNull };
    struct Operand {
        bool isProperty = false;
        std::string property;
        Value literal;

        const Value* resolve(const Instance& inst) const {
            return isProperty ? inst.property(property) : &literal;
        }
    };

    Kind kind = And;
    std::vector<std::unique_ptr<Node>> children;  // And, Or, Not
    Operand left, right;                          // Compare; IsNull uses left
    CmpOp op = CmpOp::Eq;

    bool eval(const Instance& inst) const {
        switch (kind) {
            case And:
                for (const auto& c : children)
                    if (!c->eval(inst)) return false;
                return true;
            case Or:
                for (const auto& c : children)
                    if (c->eval(inst)) return true;
                return false;
            case Not:
                return !children[0]->eval(inst);
            case Compare:
                return compareValues(left.resolve(inst), op, right.resolve(inst));
            case IsNull:
            case IsNotNull: {
                const Value* v = left.resolve(inst);
                return (!v || v->isNull()) == (kind == IsNull);
            }
        }
        return false;
    }
};

namespace {

typedef WqlQuery::Node Node;

class Parser {
public:
    Parser(const std::string& text, std::string* error) : lexer_(text), error_(error) {}

    bool start() { return advance(); }
    const Token& current() const { return tok_; }

    bool advance() {
        if (!lexer_.next(&tok_, error_)) return false;
        return true;
    }

    bool expectKeyword(const char* keyword) {
        if (!isKeyword(tok_, keyword)) return unexpected(std::string("expected ") + keyword);
        return advance();
    }

    bool unexpected(const std::string& expected) {
        std::string found = tok_.kind == Tok::End      ? "end of query"
                            : tok_.kind == Tok::String ? "string '" + tok_.text + "'"
                                                       : "'" + tok_.text + "'";
        if (found.size() > 80) found = found.substr(0, 77) + "...";
        return Lexer::fail(tok_.offset, expected + ", found " + found, error_);
    }

    bool identifier(std::string* out, const char* what) {
        if (tok_.kind != Tok::Word || isReserved(tok_.text))
            return unexpected(std::string("expected ") + what);
        *out = tok_.text;
        return advance();
    }

    std::unique_ptr<Node> orExpr(int depth) {
        std::unique_ptr<Node> first = andExpr(depth);
        if (!first || !isKeyword(tok_, "OR")) return first;
        auto node = std::unique_ptr<Node>(new Node);
        node->kind = Node::Or;
        node->children.push_back(std::move(first));
        while (isKeyword(tok_, "OR")) {
            if (!advance()) return nullptr;
            std::unique_ptr<Node> next = andExpr(depth);
            if (!next) return nullptr;
            node->children.push_back(std::move(next));
        }
        return node;
    }

    std::unique_ptr<Node> andExpr(int depth) {
        std::unique_ptr<Node> first = notExpr(depth);
        if (!first || !isKeyword(tok_, "AND")) return first;
        auto node = std::unique_ptr<Node>(new Node);
        node->kind = Node::And;
        node->children.push_back(std::move(first));
        while (isKeyword(tok_, "AND")) {
            if (!advance()) return nullptr;
            std::unique_ptr<Node> next = notExpr(depth);
            if (!next) return nullptr;
            node->children.push_back(std::move(next));
        }
        return node;
    }

    std::unique_ptr<Node> notExpr(int depth) {
        if (depth >= kMaxDepth) {
            Lexer::fail(tok_.offset, "condition nested deeper than " + std::to_string(kMaxDepth), error_);
            return nullptr;
        }
        if (isKeyword(tok_, "NOT")) {
            if (!advance()) return nullptr;
            std::unique_ptr<Node> inner = notExpr(depth + 1);
            if (!inner) return nullptr;
            auto node = std::unique_ptr<Node>(new Node);
            node->kind = Node::Not;
            node->children.push_back(std::move(inner));
            return node;
        }
        if (tok_.kind == Tok::LParen) {
            if (!advance()) return nullptr;
            std::unique_ptr<Node> inner = orExpr(depth + 1);
            if (!inner) return nullptr;
            if (tok_.kind != Tok::RParen) {
                unexpected("expected ')'");
                return nullptr;
            }
            if (!advance()) return nullptr;
            return inner;
        }
        return comparison();
    }

    std::unique_ptr<Node> comparison() {
        auto node = std::unique_ptr<Node>(new Node);
        if (!operand(&node->left)) return nullptr;
        if (isKeyword(tok_, "IS")) {
            if (!node->left.isProperty) {
                unexpected("expected a comparison operator");
                return nullptr;
            }
            if (!advance()) return nullptr;
            node->kind = Node::IsNull;
            if (isKeyword(tok_, "NOT")) {
                node->kind = Node::IsNotNull;
                if (!advance()) return nullptr;
            }
            if (!expectKeyword("NULL")) return nullptr;
            return node;
        }
        if (tok_.kind != Tok::Op) {
            unexpected(node->left.isProperty ? "expected a comparison operator or IS"
                                             : "expected a comparison operator");
            return nullptr;
        }
        const std::string& op = tok_.text;
        node->kind = Node::Compare;
        node->op = op == "="                  ? CmpOp::Eq
                   : op == "<>" || op == "!=" ? CmpOp::Ne
                   : op == "<"                ? CmpOp::Lt
                   : op == "<="               ? CmpOp::Le
                   : op == ">"                ? CmpOp::Gt
                                              : CmpOp::Ge;
        if (!advance()) return nullptr;
        if (!operand(&node->right)) return nullptr;
        return node;
    }

    bool operand(Node::Operand* out) {
        switch (tok_.kind) {
            case Tok::String:
                out->literal = Value::string(tok_.text);
                return advance();
            case Tok::Integer: {
                if (!integer(tok_.text, &out->literal))
                    return Lexer::fail(tok_.offset, "integer '" + tok_.text + "' out of range", error_);
                return advance();
            }
            case Tok::Real: {
                errno = 0;
                const double d = std::strtod(tok_.text.c_str(), nullptr);
                if (errno == ERANGE && std::isinf(d))
                    return Lexer::fail(tok_.offset, "real '" + tok_.text + "' out of range", error_);
                out->literal = Value::real64(d);
                return advance();
            }
            case Tok::Word:
                if (sameName(tok_.text, "TRUE") || sameName(tok_.text, "FALSE")) {
                    out->literal = Value::boolean(sameName(tok_.text, "TRUE"));
                    return advance();
                }
                if (sameName(tok_.text, "NULL")) {
                    out->literal = Value();
                    return advance();
                }
                if (isReserved(tok_.text)) return unexpected("expected a property or a literal");
                out->isProperty = true;
                out->property = propertyOf(tok_.text);
                return advance();
            default:
                return unexpected("expected a property or a literal");
        }
    }

    // Non-negative integers that do not fit sint64 stay exact as uint64.
    static bool integer(const std::string& text, Value* out) {
        errno = 0;
        if (text[0] == '-') {
            const long long v = std::strtoll(text.c_str(), nullptr, 10);
            if (errno == ERANGE) return false;
            *out = Value::sint64(v);
            return true;
        }
        const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
        if (errno == ERANGE) return false;
        *out = v > static_cast<unsigned long long>(INT64_MAX) ? Value::uint64(v)
                                                              : Value::sint64(static_cast<int64_t>(v));
        return true;
    }

private:
    Lexer lexer_;
    Token tok_;
    std::string* error_;
};

}  // namespace

WqlQuery::WqlQuery() = default;
WqlQuery::~WqlQuery() = default;

const std::string& WqlQuery::className() const { return className_; }
const std::vector<std::string>& WqlQuery::selectList() const { return select_; }

std::unique_ptr<WqlQuery> WqlQuery::parse(const std::string& text, std::string* error) {
    std::string scratch;
    if (!error) error = &scratch;
    Parser p(text, error);
    std::unique_ptr<WqlQuery> q(new WqlQuery);
    if (!p.start() || !p.expectKeyword("SELECT")) return nullptr;
    if (p.current().kind == Tok::Star) {
        if (!p.advance()) return nullptr;
    } else {
        for (;;) {
            std::string name;
            if (!p.identifier(&name, "'*' or a property name")) return nullptr;
            q->select_.push_back(propertyOf(name));
            if (p.current().kind != Tok::Comma) break;
            if (!p.advance()) return nullptr;
        }
    }
    if (!p.expectKeyword("FROM")) return nullptr;
    if (p.current().kind == Tok::Word && p.current().text.find('.') != std::string::npos) {
        p.unexpected("expected a class name");
        return nullptr;
    }
    if (!p.identifier(&q->className_, "a class name")) return nullptr;
    if (isKeyword(p.current(), "WHERE")) {
        if (!p.advance()) return nullptr;
        q->where_ = p.orExpr(0);
        if (!q->where_) return nullptr;
    }
    if (p.current().kind != Tok::End) {
        p.unexpected(q->where_ ? "expected AND, OR or the end of the query"
                               : "expected WHERE or the end of the query");
        return nullptr;
    }
    error->clear();
    return q;
}

bool WqlQuery::matches(const Instance& indication, const ClassRepository& classes) const {
    if (!classes.isA(indication.className(), className_)) return false;
    return !where_ || where_->eval(indication);
}

}  // namespace cimhost
