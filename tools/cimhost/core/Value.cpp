#include "core/Value.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ValueVisitor.h"
#include "text/Escape.h"

namespace cimhost {

using text::appendQuoted;

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

Value Value::null(CMPIType type) {
    Value v;
    v.type_ = type;
    return v;
}

Value Value::boolean(bool b) {
    Value v;
    v.type_ = CMPI_boolean;
    v.null_ = false;
    v.bits_.u = b ? 1 : 0;
    return v;
}

Value Value::char16(uint16_t c) { return unsignedOf(CMPI_char16, c); }

Value Value::unsignedOf(CMPIType t, uint64_t x) {
    Value v;
    v.type_ = t;
    v.null_ = false;
    v.bits_.u = x;
    return v;
}

bool Value::unsignedInRange(CMPIType type, uint64_t x, Value* out) {
    const int bits = type == CMPI_uint8                           ? 8
                     : type == CMPI_uint16 || type == CMPI_char16 ? 16
                     : type == CMPI_uint32                        ? 32
                     : type == CMPI_uint64                        ? 64
                                                                  : 0;
    if (bits == 0 || (bits < 64 && x >> bits)) return false;
    *out = unsignedOf(type, x);
    return true;
}

bool Value::signedInRange(CMPIType type, int64_t x, Value* out) {
    const int bits = type == CMPI_sint8    ? 8
                     : type == CMPI_sint16 ? 16
                     : type == CMPI_sint32 ? 32
                     : type == CMPI_sint64 ? 64
                                           : 0;
    if (bits == 0) return false;
    if (bits < 64 && (x < -(int64_t(1) << (bits - 1)) || x >= (int64_t(1) << (bits - 1)))) return false;
    *out = signedOf(type, x);
    return true;
}

Value Value::signedOf(CMPIType t, int64_t x) {
    Value v;
    v.type_ = t;
    v.null_ = false;
    v.bits_.s = x;
    return v;
}

Value Value::real32(float x) {
    Value v;
    v.type_ = CMPI_real32;
    v.null_ = false;
    v.bits_.r = x;
    return v;
}

Value Value::real64(double x) {
    Value v;
    v.type_ = CMPI_real64;
    v.null_ = false;
    v.bits_.r = x;
    return v;
}

Value Value::string(std::string s) {
    Value v;
    v.type_ = CMPI_string;
    v.null_ = false;
    v.text_ = std::move(s);
    return v;
}

Value Value::datetime(std::string cimText) {
    Value v;
    v.type_ = CMPI_dateTime;
    v.null_ = false;
    v.text_ = std::move(cimText);
    return v;
}

Value Value::reference(ObjectPath path) {
    Value v;
    v.type_ = CMPI_ref;
    v.null_ = false;
    v.ref_ = std::make_shared<ObjectPath>(std::move(path));
    return v;
}

Value Value::instance(Instance inst) {
    Value v;
    v.type_ = CMPI_instance;
    v.null_ = false;
    v.inst_ = std::make_shared<Instance>(std::move(inst));
    return v;
}

Value Value::sharedInstance(std::shared_ptr<Instance> inst) {
    if (!inst) return null(CMPI_instance);
    Value v;
    v.type_ = CMPI_instance;
    v.null_ = false;
    v.inst_ = std::move(inst);
    return v;
}

Value Value::sharedReference(std::shared_ptr<ObjectPath> path) {
    if (!path) return null(CMPI_ref);
    Value v;
    v.type_ = CMPI_ref;
    v.null_ = false;
    v.ref_ = std::move(path);
    return v;
}

Value Value::array(CMPIType elementType, std::vector<Value> items) {
    Value v;
    v.type_ = static_cast<CMPIType>(elementType | CMPI_ARRAY);
    v.null_ = false;
    v.items_ = std::move(items);
    return v;
}

namespace {

template <class T>
T takeShared(std::shared_ptr<T>& held) {
    if (!held) return T();
    std::shared_ptr<T> mine = std::move(held);
    if (mine.use_count() == 1) return std::move(*mine);
    return *mine;
}

}  // namespace

Instance Value::takeInstance() {
    if (type_ != CMPI_instance) return Instance();
    null_ = true;
    return takeShared(inst_);
}

ObjectPath Value::takeReference() {
    if (type_ != CMPI_ref) return ObjectPath();
    null_ = true;
    return takeShared(ref_);
}

namespace {

std::string realText(double r) {
    char buf[40];
    snprintf(buf, sizeof buf, "%.17g", r);
    return buf;
}

}  // namespace

namespace {

class ReadableText : public ValueVisitor<ReadableText, std::string> {
public:
    std::string null(CMPIType) { return "NULL"; }
    std::string array(CMPIType, const std::vector<Value>& items) {
        std::string out = "{";
        for (size_t i = 0; i < items.size(); ++i) {
            if (i) out += ", ";
            out += visitValue(items[i], *this);
        }
        return out + "}";
    }
    std::string boolean(bool b) { return b ? "TRUE" : "FALSE"; }
    std::string unsignedInteger(uint64_t x) { return std::to_string(x); }
    std::string signedInteger(int64_t x) { return std::to_string(x); }
    std::string real(double x) { return realText(x); }
    std::string string(const std::string& s) {
        std::string out;
        appendQuoted(out, s);
        return out;
    }
    std::string datetime(const std::string& cimText) { return cimText; }
    std::string reference(const ObjectPath& path) { return path.toText(); }
    std::string instance(const Instance& inst) {
        std::string out = inst.className() + " {";
        for (const auto& p : inst.properties)
            out += " " + p.first + " = " + visitValue(p.second, *this) + ";";
        return out + " }";
    }
    std::string other(const Value&) { return "?"; }
};

}  // namespace

std::string Value::toText() const {
    ReadableText writer;
    return visitValue(*this, writer);
}

bool operator==(const Value& a, const Value& b) {
    if (a.type_ != b.type_ || a.null_ != b.null_) return false;
    if (a.null_) return true;
    if (a.isArray()) return a.items_ == b.items_;
    switch (a.type_) {
        case CMPI_string:
        case CMPI_dateTime:
            return a.text_ == b.text_;
        case CMPI_ref:
            return a.ref_ && b.ref_ && *a.ref_ == *b.ref_;
        case CMPI_instance:
            return a.inst_ && b.inst_ && a.inst_->path == b.inst_->path &&
                   a.inst_->properties == b.inst_->properties;
        case CMPI_real32:
        case CMPI_real64:
            return std::memcmp(&a.bits_.r, &b.bits_.r, sizeof(double)) == 0;
        default:
            return a.bits_.u == b.bits_.u;
    }
}

void NamedValues::set(std::string_view name, Value value) {
    for (auto& item : items_) {
        if (sameName(std::string_view(item.first), name)) {
            item.second = std::move(value);
            return;
        }
    }
    items_.emplace_back(std::string(name), std::move(value));
}

const Value* NamedValues::find(std::string_view name) const {
    for (const auto& item : items_)
        if (sameName(std::string_view(item.first), name)) return &item.second;
    return nullptr;
}

bool NamedValues::erase(std::string_view name) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (sameName(std::string_view(it->first), name)) {
            items_.erase(it);
            return true;
        }
    }
    return false;
}

bool operator==(const NamedValues& a, const NamedValues& b) {
    if (a.size() != b.size()) return false;
    for (const auto& item : a) {
        const Value* other = b.find(item.first);
        if (!other || *other != item.second) return false;
    }
    return true;
}

// ---- Object path text ------------------------------------------------------

std::string ObjectPath::toText() const {
    std::vector<const std::pair<std::string, Value>*> sorted;
    for (const auto& k : keys) sorted.push_back(&k);
    std::sort(sorted.begin(), sorted.end(), [](const auto* x, const auto* y) {
        return strcasecmp(x->first.c_str(), y->first.c_str()) < 0;
    });
    std::string out;
    if (!nameSpace.empty()) out = nameSpace + ":";
    out += className;
    for (size_t i = 0; i < sorted.size(); ++i) {
        out += i ? "," : ".";
        out += sorted[i]->first + "=";
        const Value& v = sorted[i]->second;
        if (v.type() == CMPI_ref && !v.isNull()) {
            appendQuoted(out, v.asReference()->toText());
        } else if (v.type() == CMPI_dateTime && !v.isNull()) {
            appendQuoted(out, v.asText());
        } else {
            out += v.toText();
        }
    }
    return out;
}

namespace {

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Namespace names: name segments joined by single slashes ("root/qms").
bool isNameSpace(const std::string& ns) {
    if (ns.empty() || ns.front() == '/' || ns.back() == '/' || ns.find("//") != std::string::npos)
        return false;
    for (char c : ns)
        if (c != '/' && !isNameChar(c)) return false;
    return true;
}

// Reads one key value at text[pos]; advances pos past it.
bool parseKeyValue(const std::string& text, size_t& pos, Value* out) {
    if (pos >= text.size()) return false;
    if (text[pos] == '"') {
        std::string s;
        for (++pos; pos < text.size(); ++pos) {
            char c = text[pos];
            if (c == '\\') {
                if (++pos >= text.size()) return false;
                s += text[pos];
            } else if (c == '"') {
                ++pos;
                *out = Value::string(std::move(s));
                return true;
            } else {
                s += c;
            }
        }
        return false;
    }
    size_t end = text.find(',', pos);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(pos, end - pos);
    if (word.empty()) return false;
    pos = end;
    if (strcasecmp(word.c_str(), "TRUE") == 0) {
        *out = Value::boolean(true);
        return true;
    }
    if (strcasecmp(word.c_str(), "FALSE") == 0) {
        *out = Value::boolean(false);
        return true;
    }
    errno = 0;
    char* stop = nullptr;
    if (word[0] == '-') {
        long long s = strtoll(word.c_str(), &stop, 10);
        if (errno || *stop) return false;
        *out = Value::sint64(s);
        return true;
    }
    if (word[0] < '0' || word[0] > '9') return false;
    unsigned long long u = strtoull(word.c_str(), &stop, 10);
    if (errno || *stop) return false;
    *out = u > static_cast<unsigned long long>(INT64_MAX) ? Value::uint64(u)
                                                          : Value::sint64(static_cast<int64_t>(u));
    return true;
}

}  // namespace

bool ObjectPath::parse(const std::string& text, ObjectPath* out) {
    if (!out) return false;
    ObjectPath path;
    size_t pos = 0;
    if (text.compare(0, 2, "//") == 0) {
        size_t slash = text.find('/', 2);
        if (slash == std::string::npos || slash == 2) return false;
        path.host = text.substr(2, slash - 2);
        if (path.host.find_first_of(":\".,=") != std::string::npos) return false;
        pos = slash + 1;
    }
    size_t dot = text.find('.', pos);
    size_t colon = text.find(':', pos);
    if (colon != std::string::npos && (dot == std::string::npos || colon < dot)) {
        path.nameSpace = text.substr(pos, colon - pos);
        if (!isNameSpace(path.nameSpace)) return false;
        pos = colon + 1;
    }
    size_t start = pos;
    while (pos < text.size() && isNameChar(text[pos])) ++pos;
    path.className = text.substr(start, pos - start);
    if (path.className.empty()) return false;
    if (pos == text.size()) {
        *out = std::move(path);
        return true;
    }
    if (text[pos] != '.') return false;
    ++pos;
    for (;;) {
        start = pos;
        while (pos < text.size() && isNameChar(text[pos])) ++pos;
        std::string name = text.substr(start, pos - start);
        if (name.empty() || pos >= text.size() || text[pos] != '=') return false;
        ++pos;
        Value v;
        if (!parseKeyValue(text, pos, &v)) return false;
        if (path.keys.find(name)) return false;
        path.keys.set(name, std::move(v));
        if (pos == text.size()) break;
        if (text[pos] != ',') return false;
        ++pos;
    }
    *out = std::move(path);
    return true;
}

bool operator==(const ObjectPath& a, const ObjectPath& b) {
    return sameName(a.nameSpace, b.nameSpace) && sameName(a.className, b.className) && a.keys == b.keys;
}

std::string statusName(CMPIrc rc) {
    switch (rc) {
        case CMPI_RC_OK:
            return "ok";
        case CMPI_RC_ERR_FAILED:
            return "failed";
        case CMPI_RC_ERR_ACCESS_DENIED:
            return "access denied";
        case CMPI_RC_ERR_INVALID_NAMESPACE:
            return "invalid namespace";
        case CMPI_RC_ERR_INVALID_PARAMETER:
            return "invalid parameter";
        case CMPI_RC_ERR_INVALID_CLASS:
            return "invalid class";
        case CMPI_RC_ERR_NOT_FOUND:
            return "not found";
        case CMPI_RC_ERR_NOT_SUPPORTED:
            return "not supported";
        case CMPI_RC_ERR_CLASS_HAS_CHILDREN:
            return "class has children";
        case CMPI_RC_ERR_CLASS_HAS_INSTANCES:
            return "class has instances";
        case CMPI_RC_ERR_INVALID_SUPERCLASS:
            return "invalid superclass";
        case CMPI_RC_ERR_ALREADY_EXISTS:
            return "already exists";
        case CMPI_RC_ERR_NO_SUCH_PROPERTY:
            return "no such property";
        case CMPI_RC_ERR_TYPE_MISMATCH:
            return "type mismatch";
        case CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED:
            return "query language not supported";
        case CMPI_RC_ERR_INVALID_QUERY:
            return "invalid query";
        case CMPI_RC_ERR_METHOD_NOT_AVAILABLE:
            return "method not available";
        case CMPI_RC_ERR_METHOD_NOT_FOUND:
            return "method not found";
        case CMPI_RC_NO_MORE_ELEMENTS:
            return "no more elements";
        case CMPI_RC_ERR_SERVER_LIMITS_EXCEEDED:
            return "server limits exceeded";
        case CMPI_RC_ERR_QUERY_FEATURE_NOT_SUPPORTED:
            return "query feature not supported";
        case CMPI_RC_DO_NOT_UNLOAD:
            return "do not unload";
        case CMPI_RC_NEVER_UNLOAD:
            return "never unload";
        case CMPI_RC_ERR_INVALID_HANDLE:
            return "invalid handle";
        case CMPI_RC_ERR_INVALID_DATA_TYPE:
            return "invalid data type";
        case CMPI_RC_ERR_NOT_IN_CODEPAGE:
            return "not in code page";
        case CMPI_RC_ERROR_SYSTEM:
            return "system error";
        case CMPI_RC_ERROR:
            return "error";
    }
    return "status " + std::to_string(static_cast<int>(rc));
}

}  // namespace cimhost
