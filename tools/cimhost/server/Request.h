// A CIM operation request as a client posts it (a CIM-XML SIMPLEREQ holding
// an IMETHODCALL or METHODCALL), read into the operation, its namespace and
// its parameters typed as the class repository declares them. Nothing here
// calls the CIMOM: a request that cannot be read is refused before anything
// is looked up or run.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "core/Value.h"

namespace cimhost {
namespace server {

// Why a request is answered with an HTTP error instead of a CIM answer: the
// status and the CIMError header value a client acts on.
struct Refusal {
    int httpStatus = 400;
    std::string cimError;  // "request-not-valid", "request-not-well-formed", ...
    std::string reason;    // for people (the log, the body)
};

struct Request {
    std::string messageId;
    bool intrinsic = true;  // IMETHODCALL; false for METHODCALL
    std::string method;     // operation or extrinsic method name, as sent
    std::string nameSpace;  // from the LOCALNAMESPACEPATH, slashes between parts

    // Intrinsic parameters (IPARAMVALUE), as far as the call gave them.
    std::string className;                   // ClassName, or ObjectName when it names a class
    std::optional<ObjectPath> instanceName;  // InstanceName, or ObjectName naming an instance
    std::optional<Instance> instance;        // NewInstance, ModifiedInstance (path set)
    std::string assocClass, resultClass, role, resultRole;
    std::map<std::string, bool> flags;  // LocalOnly, DeepInheritance, ... by their names as given
    std::optional<std::vector<std::string>> propertyList;

    // Extrinsic: the object the method is called on (keys empty for a
    // class) and the input parameters.
    ObjectPath target;
    NamedValues in;

    // Set when the call is well made but a parameter cannot be used (an
    // unknown parameter, a value that is no value of its type): the answer
    // is this CIM error, and the operation is not run.
    Status error;

    // A flag's value, or `otherwise` when the call left it out.
    bool flag(const std::string& name, bool otherwise) const;
};

// Documents nested deeper than this are refused: nothing a client sends
// needs more, and readers further on may recurse.
constexpr int kMaxDepth = 48;

// Reads `body` into *out. False with *refusal set when the body is not XML
// (request-not-well-formed), holds a DOCTYPE, is nested too deep or is not a
// simple CIM operation request (request-not-valid), or names CIM, DTD or
// protocol versions this server does not speak (501 with
// unsupported-cim-version, unsupported-dtd-version,
// unsupported-protocol-version; 501 multiple-requests-unsupported for a
// MULTIREQ).
bool readRequest(const std::string& body, const ClassRepository& classes, Request* out, Refusal* refusal);

// A value of `type` from its CIM-XML text (booleans TRUE/FALSE in any case,
// decimal or 0x-hex integers within the type's range, reals, NaN and INF,
// char16 one character, datetimes their 25-character text); false when the
// text is no such value.
bool valueFromText(CMPIType type, const std::string& text, Value* out);

}  // namespace server
}  // namespace cimhost
