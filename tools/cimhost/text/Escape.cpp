#include "text/Escape.h"

namespace cimhost {
namespace text {
namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence starting at text[pos] (no overlong
// forms, no surrogates, nothing above U+10FFFF); 0 when there is none.
size_t utf8Length(const std::string& text, size_t pos) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = at(pos);
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (pos + n > text.size()) return 0;
    if (at(pos + 1) < lo || at(pos + 1) > hi) return 0;
    for (size_t i = 2; i < n; ++i)
        if (at(pos + i) < 0x80 || at(pos + i) > 0xBF) return 0;
    return n;
}

// Bytes that go out as they are: printable ASCII other than the five XML
// gives meaning to.
bool plain(unsigned char c) {
    return c >= 0x20 && c < 0x80 && c != '<' && c != '>' && c != '&' && c != '"' && c != '\'';
}

}  // namespace

void appendXmlEscaped(std::string& out, const std::string& text) {
    size_t pos = 0;
    while (pos < text.size()) {
        // Runs of plain bytes, most of any text, are copied in one piece.
        size_t end = pos;
        while (end < text.size() && plain(static_cast<unsigned char>(text[end]))) ++end;
        if (end > pos) {
            out.append(text, pos, end - pos);
            pos = end;
            if (pos == text.size()) break;
        }
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                if (c < 0x20) {
                    out += kReplacement;
                } else {
                    const size_t n = utf8Length(text, pos);
                    if (n == 0) {
                        out += kReplacement;
                    } else {
                        out.append(text, pos, n);
                        pos += n;
                        continue;
                    }
                }
        }
        ++pos;
    }
}

void appendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

}  // namespace text
}  // namespace cimhost
