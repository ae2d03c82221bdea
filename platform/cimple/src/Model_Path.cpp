// Object paths of instance keys: ClassName.Key1="text",Key2=42,Key3=TRUE
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "Fields.h"
#include "cimple/Ref.h"

namespace cimple {

using namespace detail;

namespace {

// char16 as UTF-8; the code 0 as C0 80 so that it cannot end the text.
void append_char16(String& out, char16 c) {
    char buf[3];
    size_t n;
    if (c.code == 0) {
        buf[0] = char(0xC0);
        buf[1] = char(0x80);
        n = 2;
    } else if (c.code < 0x80) {
        buf[0] = char(c.code);
        n = 1;
    } else if (c.code < 0x800) {
        buf[0] = char(0xC0 | (c.code >> 6));
        buf[1] = char(0x80 | (c.code & 0x3F));
        n = 2;
    } else {
        buf[0] = char(0xE0 | (c.code >> 12));
        buf[1] = char(0x80 | ((c.code >> 6) & 0x3F));
        buf[2] = char(0x80 | (c.code & 0x3F));
        n = 3;
    }
    String text(buf, n);
    append_quoted(out, text.c_str());
}

// Writes one scalar property value; false when it cannot stand in a path.
template <class T>
bool append_value(String& out, const T& v) {
    append_number(out, v);
    return true;
}
template <>
bool append_value<bool>(String& out, const bool& v) {
    out.append(v ? "TRUE" : "FALSE");
    return true;
}
template <>
bool append_value<char16>(String& out, const char16& v) {
    append_char16(out, v);
    return true;
}
template <>
bool append_value<String>(String& out, const String& v) {
    append_quoted(out, v.c_str());
    return true;
}
template <>
bool append_value<Datetime>(String& out, const Datetime& v) {
    if (v.is_null()) return false;
    char buf[Datetime::TEXT_SIZE + 1];
    append_quoted(out, v.ascii(buf));
    return true;
}

std::vector<const Meta_Feature*> sorted_keys(const Meta_Class* mc) {
    std::vector<const Meta_Feature*> keys;
    for (uint32_t i = 0; i < mc->num_meta_features; i++) {
        const Meta_Feature* mf = mc->meta_features[i];
        if (mf && is_key(mf) && (is_property(mf) || is_reference(mf))) keys.push_back(mf);
    }
    std::stable_sort(keys.begin(), keys.end(), [](const Meta_Feature* a, const Meta_Feature* b) {
        return strcasecmp(a->name, b->name) < 0;
    });
    return keys;
}

bool write_path(const Instance* inst, String& out, int depth) {
    if (!inst || inst->magic != INSTANCE_MAGIC || !inst->meta_class || depth > MAX_DEPTH) return false;
    const Meta_Class* mc = inst->meta_class;
    std::vector<const Meta_Feature*> keys = sorted_keys(mc);
    if (keys.empty()) return false;
    out.append(mc->name);
    char sep = '.';
    for (const Meta_Feature* mf : keys) {
        out.append(sep);
        sep = ',';
        out.append(mf->name);
        out.append('=');
        const void* field = field_of(inst, mf);
        if (is_reference(mf)) {
            // Arrays of references have no path form.
            if (as_reference(mf)->subscript) return false;
            String nested;
            if (!write_path(at<Instance*>(field, 0), nested, depth + 1)) return false;
            append_quoted(out, nested.c_str());
            continue;
        }
        const Meta_Property* mp = as_property(mf);
        if (mp->subscript) return false;
        bool ok = false;
        with_type(mp->type, [&](auto tag) {
            typedef typename decltype(tag)::type T;
            const Property<T>& prop = at<Property<T>>(field, 0);
            ok = !prop.null && append_value<T>(out, prop.value);
        });
        if (!ok) return false;
    }
    return true;
}

// ---- Reading ----

bool is_name_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// A key's value as it appeared: quoted (unescaped text) or bare.
struct Token {
    bool quoted;
    String text;
};

// Reads a value at p; on success p is past it.
bool read_token(const char*& p, Token& tok) {
    tok.text.clear();
    if (*p == '"') {
        tok.quoted = true;
        for (p++; *p != '"'; p++) {
            if (*p == '\0') return false;
            if (*p == '\\') {
                p++;
                if (*p != '"' && *p != '\\') return false;
            }
            tok.text.append(*p);
        }
        p++;
        return true;
    }
    tok.quoted = false;
    const char* start = p;
    while (*p && *p != ',' && *p != '"') p++;
    if (p == start || *p == '"') return false;
    tok.text.assign(start, size_t(p - start));
    return true;
}

bool parse_int(const char* s, bool is_signed, int64_t min, uint64_t max, Property<uint64_t>& out) {
    bool negative = *s == '-';
    if (negative) {
        if (!is_signed) return false;
        s++;
    }
    if (*s == '\0') return false;
    uint64_t v = 0;
    for (; *s; s++) {
        if (*s < '0' || *s > '9') return false;
        uint64_t d = uint64_t(*s - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
        v = v * 10 + d;
    }
    if (negative) {
        if (v > uint64_t(-(min + 1)) + 1) return false;
        out.set(uint64_t(0) - v);  // two's complement of the magnitude
    } else {
        if (v > max) return false;
        out.set(v);
    }
    return true;
}

template <class T>
bool read_value(const Token& tok, T& out) {
    if (tok.quoted) return false;
    Property<uint64_t> v;
    if (!parse_int(tok.text.c_str(), std::numeric_limits<T>::is_signed,
                   int64_t(std::numeric_limits<T>::min()), uint64_t(std::numeric_limits<T>::max()), v))
        return false;
    out = T(v.value);
    return true;
}
template <>
bool read_value<bool>(const Token& tok, bool& out) {
    if (tok.quoted) return false;
    if (tok.text.equali("TRUE"))
        out = true;
    else if (tok.text.equali("FALSE"))
        out = false;
    else
        return false;
    return true;
}
bool read_real(const Token& tok, double& out, bool single) {
    const char* s = tok.text.c_str();
    if (tok.quoted || *s == '\0' ||
        !((*s >= '0' && *s <= '9') || *s == '-' || *s == '.' || *s == 'n' || *s == 'i' || *s == 'N' ||
          *s == 'I'))
        return false;
    char* end = nullptr;
    errno = 0;
    double v = single ? double(strtof(s, &end)) : strtod(s, &end);
    if (*end != '\0' || size_t(end - s) != tok.text.size()) return false;
    if (errno == ERANGE && std::isinf(v)) return false;
    out = v;
    return true;
}
template <>
bool read_value<float>(const Token& tok, float& out) {
    double v;
    if (!read_real(tok, v, true)) return false;
    out = float(v);
    return true;
}
template <>
bool read_value<double>(const Token& tok, double& out) {
    return read_real(tok, out, false);
}
template <>
bool read_value<String>(const Token& tok, String& out) {
    if (!tok.quoted) return false;
    out = tok.text;
    return true;
}
template <>
bool read_value<Datetime>(const Token& tok, Datetime& out) {
    return tok.quoted && out.set(tok.text.c_str());
}
template <>
bool read_value<char16>(const Token& tok, char16& out) {
    if (!tok.quoted) return false;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(tok.text.c_str());
    size_t n = tok.text.size();
    uint32_t code;
    // Only shortest forms (plus C0 80 for the code 0) are accepted.
    if (n == 1 && s[0] < 0x80 && s[0] != 0) {
        code = s[0];
    } else if (n == 2 && (s[0] & 0xE0) == 0xC0 && (s[1] & 0xC0) == 0x80) {
        code = uint32_t(s[0] & 0x1F) << 6 | (s[1] & 0x3F);
        if (code != 0 && code < 0x80) return false;
    } else if (n == 3 && (s[0] & 0xF0) == 0xE0 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80) {
        code = uint32_t(s[0] & 0x0F) << 12 | uint32_t(s[1] & 0x3F) << 6 | (s[2] & 0x3F);
        if (code < 0x800) return false;
    } else {
        return false;
    }
    out = char16(uint16_t(code));
    return true;
}

Instance* read_path(const Meta_Repository* repo, const Meta_Class* expected, const char* path, int depth);

bool read_key(Instance* inst, const Meta_Feature* mf, const Token& tok, int depth) {
    void* field = field_of(inst, mf);
    if (is_reference(mf)) {
        const Meta_Reference* mr = as_reference(mf);
        if (mr->subscript || !tok.quoted || !mr->meta_class) return false;
        const Meta_Repository* repo = mr->meta_class->meta_repository ? mr->meta_class->meta_repository
                                                                      : inst->meta_class->meta_repository;
        Instance* target = read_path(repo, mr->meta_class, tok.text.c_str(), depth + 1);
        if (!target) return false;
        at<Instance*>(field, 0) = target;
        return true;
    }
    const Meta_Property* mp = as_property(mf);
    if (mp->subscript) return false;
    bool ok = false;
    with_type(mp->type, [&](auto tag) {
        typedef typename decltype(tag)::type T;
        T value{};
        if (read_value<T>(tok, value)) {
            at<Property<T>>(field, 0).set(value);
            ok = true;
        }
    });
    return ok;
}

Instance* read_path(const Meta_Repository* repo, const Meta_Class* expected, const char* path, int depth) {
    if (!path || depth > MAX_DEPTH) return nullptr;
    const char* p = path;
    while (is_name_char(*p)) p++;
    if (p == path || *p != '.') return nullptr;
    String class_name(path, size_t(p - path));

    const Meta_Class* mc = find_meta_class(repo, class_name.c_str());
    if (!mc && expected && class_name.equali(expected->name)) mc = expected;
    if (!mc || (expected && !is_subclass(expected, mc))) return nullptr;

    std::vector<const Meta_Feature*> keys = sorted_keys(mc);
    if (keys.empty()) return nullptr;
    std::vector<bool> seen(keys.size(), false);
    size_t found = 0;

    Ref<Instance> inst(create(mc, false));
    if (!inst) return nullptr;
    Token tok;
    do {
        p++;  // past '.' or ','
        const char* name = p;
        while (is_name_char(*p)) p++;
        if (p == name || *p != '=') return nullptr;
        String key_name(name, size_t(p - name));
        p++;
        size_t i = 0;
        while (i < keys.size() && strcasecmp(keys[i]->name, key_name.c_str()) != 0) i++;
        if (i == keys.size() || seen[i]) return nullptr;
        if (!read_token(p, tok) || (*p != ',' && *p != '\0')) return nullptr;
        if (!read_key(inst.get(), keys[i], tok, depth)) return nullptr;
        seen[i] = true;
        found++;
    } while (*p == ',');
    if (found != keys.size()) return nullptr;
    return inst.steal();
}

}  // namespace

int instance_to_model_path(const Instance* instance, String& path) {
    String out;
    if (!write_path(instance, out, 0)) return -1;
    path = std::move(out);
    return 0;
}

Instance* model_path_to_instance(const Meta_Repository* repository, const char* path) {
    if (!repository) return nullptr;
    return read_path(repository, nullptr, path, 0);
}

Instance* model_path_to_instance(const Meta_Class* meta_class, const char* path) {
    if (!meta_class) return nullptr;
    return read_path(meta_class->meta_repository, meta_class, path, 0);
}

}  // namespace cimple
