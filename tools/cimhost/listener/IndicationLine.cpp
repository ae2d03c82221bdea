#include "listener/IndicationLine.h"

#include <cstdio>
#include <cstdlib>

namespace cimhost {
namespace listener {
namespace {

// A scalar's text, or nullptr when the property is missing, null or an array.
const std::string* scalar(const Instance& inst, const char* name) {
    const Property* p = inst.find(name);
    return p && !p->null && !p->array ? &p->text : nullptr;
}

void appendVisible(std::string& out, const std::string& text) {
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
}

bool digits(const std::string& text, size_t at, size_t n) {
    if (at + n > text.size()) return false;
    for (size_t i = at; i < at + n; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// yyyymmddhhmmss.mmmmmmsutc; an interval, a wildcard or anything else that
// is no full timestamp is shown as sent, since guessing would mislead.
std::string timeText(const std::string& cim) {
    if (cim.size() != 25 || !digits(cim, 0, 14) || cim[14] != '.' || !digits(cim, 15, 6) ||
        (cim[21] != '+' && cim[21] != '-') || !digits(cim, 22, 3))
        return cim;
    const int offset = std::atoi(cim.substr(22, 3).c_str());
    char out[40];
    std::snprintf(out, sizeof out, "%.4s-%.2s-%.2s %.2s:%.2s:%.2s%c%02d:%02d", cim.c_str(), cim.c_str() + 4,
                  cim.c_str() + 6, cim.c_str() + 8, cim.c_str() + 10, cim.c_str() + 12, cim[21], offset / 60,
                  offset % 60);
    return out;
}

// CIM_AlertIndication's PerceivedSeverity values in words.
std::string severityWord(const std::string* value, const std::string* other) {
    if (!value) return "-";
    static const char* const kWords[] = {"unknown", "other", "information", "warning",
                                         "minor",   "major", "critical",    "fatal"};
    char* end = nullptr;
    const unsigned long n = std::strtoul(value->c_str(), &end, 10);
    if (value->empty() || *end || (*value)[0] == '-') return "severity " + *value;
    if (n == 1 && other && !other->empty()) return *other;
    if (n < sizeof kWords / sizeof *kWords) return kWords[n];
    return "severity " + *value;
}

// Message with %N replaced by argument N (counted from 1).
std::string substituted(const std::string& message, const Property* args) {
    const bool haveArgs = args && !args->null && args->array;
    std::string out;
    for (size_t i = 0; i < message.size(); ++i) {
        size_t end = i + 1;
        if (message[i] == '%' && haveArgs)
            while (end < message.size() && message[end] >= '0' && message[end] <= '9' && end - i <= 4) ++end;
        if (end == i + 1) {
            out += message[i];
            continue;
        }
        const size_t n = std::strtoul(message.substr(i + 1, end - i - 1).c_str(), nullptr, 10);
        if (n >= 1 && n <= args->items.size()) {
            const auto& item = args->items[n - 1];
            out += item ? *item : "NULL";
            i = end - 1;
        } else {
            out += message[i];
        }
    }
    return out;
}

std::string argumentList(const Property* args) {
    std::string out;
    if (!args || args->null || !args->array) return out;
    for (const auto& item : args->items) {
        if (!out.empty()) out += ", ";
        out += item ? *item : "NULL";
    }
    return out;
}

}  // namespace

std::string indicationLine(const Instance& indication) {
    const std::string* eventTime = scalar(indication, "EventTime");
    if (!eventTime) eventTime = scalar(indication, "IndicationTime");
    std::string severity =
        severityWord(scalar(indication, "PerceivedSeverity"), scalar(indication, "OtherSeverity"));
    if (severity.size() < 11) severity.resize(11, ' ');

    const Property* args = indication.find("MessageArguments");
    std::string message;
    if (const std::string* text = scalar(indication, "Message")) {
        message = substituted(*text, args);
    } else {
        message = "(no message)";
        const std::string list = argumentList(args);
        if (!list.empty()) message += " arguments: " + list;
    }

    std::string source;
    const std::string* element = scalar(indication, "EventID");
    if (!element) element = scalar(indication, "AlertingManagedElement");
    const std::string* host = scalar(indication, "HostAddress");
    if (!host) host = scalar(indication, "SystemName");
    if (element) source = *element;
    if (host) source += (source.empty() ? "on " : " on ") + *host;

    std::string line;
    appendVisible(line, eventTime ? timeText(*eventTime) : "-");
    line += "  ";
    appendVisible(line, severity);
    line += "  ";
    appendVisible(line, indication.className);
    line += "  ";
    appendVisible(line, message);
    if (!source.empty()) {
        line += "  [";
        appendVisible(line, source);
        line += "]";
    }
    return line;
}

}  // namespace listener
}  // namespace cimhost
