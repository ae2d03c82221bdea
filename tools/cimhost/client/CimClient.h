// A CIM-XML operations client (DSP0200 over HTTP or HTTPS): the two
// operations a registration client needs of any CIMOM, the instance names of
// a class and an extrinsic method call, with every way they can fail told
// apart so that a command can say what went wrong.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "listener/InstanceXml.h"

namespace httplib {
class ClientImpl;
}

namespace cimhost {
namespace client {

struct Options {
    std::string url = "http://localhost:5988";  // http[s]://host[:port][/path]
    std::string user;                           // empty: no authentication
    std::string password;
    bool verifyPeer = true;  // https: check the server's certificate
    std::string caFile;      // https: trust these certificates instead of the system's
    int timeoutSeconds = 60;
};

struct Failure {
    enum Kind {
        kNone,
        kBadUrl,          // the URL is not one the client can use
        kConnection,      // nothing answered (refused, unreachable, TLS failed, timed out)
        kAuthentication,  // HTTP 401
        kHttp,            // another HTTP status, or a reply that is no CIM-XML answer
        kCim,             // the CIMOM answered with a CIM error
    };
    Kind kind = kNone;
    int cimStatus = 0;  // kCim: the CIM status code
    std::string text;   // what happened, in words
};

// A parameter of a method call; `items` set makes it an array.
struct Parameter {
    std::string name;
    std::string type;  // "string", "uint16", ...
    std::string text;
    std::vector<std::string> items;
    bool array = false;
};

struct MethodResult {
    listener::Property returnValue;
    std::map<std::string, listener::Property, listener::NameLess> outputs;
};

// An instance name as the CIMOM wrote it (its INSTANCENAME element), handed
// back unchanged in a method call so that keys of every type survive.
struct InstanceName {
    std::string className;
    std::string xml;
    std::string text;  // listener::pathText's form, for people
};

class CimClient {
public:
    // Failure kBadUrl from every call when options.url is unusable.
    explicit CimClient(Options options);
    ~CimClient();
    CimClient(const CimClient&) = delete;
    CimClient& operator=(const CimClient&) = delete;

    bool enumerateInstanceNames(const std::string& nameSpace, const std::string& className,
                                std::vector<InstanceName>* out, Failure* failure);
    bool enumerateInstances(const std::string& nameSpace, const std::string& className,
                            std::vector<listener::Instance>* out, Failure* failure);
    bool getInstance(const std::string& nameSpace, const InstanceName& name, listener::Instance* out,
                     Failure* failure);
    bool invokeMethod(const std::string& nameSpace, const InstanceName& target, const std::string& method,
                      const std::vector<Parameter>& in, MethodResult* out, Failure* failure);

private:
    // An intrinsic operation in nameSpace whose parameters `fill` appends to
    // the IMETHODCALL; its IRETURNVALUE into *value.
    template <class Fill>
    bool intrinsic(const std::string& nameSpace, const char* operation, Fill fill, pugi::xml_document* answer,
                   pugi::xml_node* value, Failure* failure);
    // Posts one request; the parsed SIMPLERSP's response element (IMETHODRESPONSE
    // or METHODRESPONSE) into *doc, or false with *failure filled.
    bool call(const std::string& body, const std::string& operation, const std::string& method,
              const std::string& object, pugi::xml_document* doc, pugi::xml_node* response, Failure* failure);

    Options options_;
    std::string path_;
    std::string urlError_;
    std::unique_ptr<httplib::ClientImpl> http_;
    unsigned messageId_ = 0;
};

// The CIM status codes' names (DSP0200), "CIM_ERR_FAILED" for 1, ...; the
// number as text for one it does not know.
std::string cimStatusName(int status);

}  // namespace client
}  // namespace cimhost
