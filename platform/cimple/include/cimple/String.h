// Owned, NUL-terminated text.
//
// Standard layout (one data pointer, size, capacity) so that it can sit inside
// generated instance structs and be reached through offsetof. c_str() is never
// null: an empty string points at a shared static NUL byte and owns nothing.
// Embedded NUL bytes are kept by the (const char*, size_t) forms; size() counts them.
#pragma once

#include <cstddef>

#include "cimple/Config.h"

namespace cimple {

class String {
public:
    static constexpr size_t npos = size_t(-1);

    String();
    String(const char* s);  // NOLINT: implicit on purpose; null reads as ""
    String(const char* s, size_t n);
    String(const String& x);
    String(String&& x) noexcept;
    ~String();

    String& operator=(const String& x);
    String& operator=(String&& x) noexcept;
    String& operator=(const char* s);

    String& assign(const char* s);
    String& assign(const String& s);
    String& assign(const char* s, size_t n);

    String& append(const char* s);
    String& append(const String& s);
    String& append(char c);
    String& append(const char* s, size_t n);

    String& operator+=(const char* s) { return append(s); }
    String& operator+=(const String& s) { return append(s); }
    String& operator+=(char c) { return append(c); }

    // Up to n characters starting at pos; pos past the end gives "".
    String substr(size_t pos, size_t n = npos) const;

    // Index of the first match at or after pos, or npos. Searching for ""
    // finds pos itself when pos <= size().
    size_t find(char c, size_t pos = 0) const;
    size_t find(const char* s, size_t pos = 0) const;

    bool equal(const char* s) const;
    bool equal(const String& s) const;
    // ASCII case-insensitive comparison.
    bool equali(const char* s) const;
    bool equali(const String& s) const;

    void reserve(size_t capacity);
    void clear();

    size_t size() const { return _size; }
    bool empty() const { return _size == 0; }
    const char* c_str() const { return _data; }
    char operator[](size_t i) const { return _data[i]; }

    friend bool operator==(const String& a, const String& b) { return a.equal(b); }
    friend bool operator==(const String& a, const char* b) { return a.equal(b); }
    friend bool operator==(const char* a, const String& b) { return b.equal(a); }
    friend bool operator!=(const String& a, const String& b) { return !a.equal(b); }
    friend bool operator!=(const String& a, const char* b) { return !a.equal(b); }
    friend bool operator!=(const char* a, const String& b) { return !b.equal(a); }
    // Byte-wise ordering (unsigned), shorter first on a common prefix.
    friend bool operator<(const String& a, const String& b);

private:
    void grow(size_t needed);

    char* _data;
    size_t _size;
    size_t _cap;  // 0 while _data points at the shared empty text
};

String operator+(const String& a, const String& b);
String operator+(const String& a, const char* b);

}  // namespace cimple
