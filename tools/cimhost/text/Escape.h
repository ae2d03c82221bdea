// Text forms that the CIM-XML writers (export, serve) and readers (listener,
// client) share, so that what one side writes the other reads the same way.
#pragma once

#include <string>

namespace cimhost {
namespace text {

// `text` fit for an element's text or an attribute in double quotes of an XML
// 1.0 document, whatever a provider, an agent or a client put into it: the
// five characters XML gives meaning to become entities, TAB, LF and CR
// character references (an attribute would fold them into spaces), and what
// XML 1.0 cannot carry at all (NUL and the other control characters, bytes
// that are not well-formed UTF-8) U+FFFD. Strict parsers refuse a whole
// document for one "&#1;", and with it the indication it carried.
void appendXmlEscaped(std::string& out, const std::string& text);

// `text` in double quotes, '"' and '\' escaped with a backslash: a string key
// value in the text form of a path.
void appendQuoted(std::string& out, const std::string& text);

}  // namespace text
}  // namespace cimhost
