// The CIM operations a client may call, run on the embedded CIMOM: a read
// request in, the CIM-XML answer out. Instances and paths are written by the
// export room's CIM-XML writer, classes from the class repository.
#pragma once

#include <string>
#include <vector>

#include "core/Cimom.h"
#include "server/Request.h"

namespace cimhost {
namespace server {

class Operations {
public:
    // The namespaces served are root/interop and those of the CIMOM's
    // registrations as they are now.
    explicit Operations(Cimom& cimom);

    // The whole CIM-XML document answering `request`: its result, or the
    // request's own error, or the operation's CIM error as an ERROR element
    // with its code and description. Safe to call from several threads.
    std::string answer(const Request& request);

    const ClassRepository& classes() const { return cimom_.classes(); }

    // An answer carrying only `error`, for a request refused before it ran.
    static std::string errorAnswer(const Request& request, const Status& error);

private:
    Status run(const Request& request, std::string* result);
    Status intrinsic(const Request& request, std::string* result);
    Status extrinsic(const Request& request, std::string* result);
    bool serves(const std::string& nameSpace) const;

    Cimom& cimom_;
    std::vector<std::string> namespaces_;
    std::string host_;
};

}  // namespace server
}  // namespace cimhost
