#include "client/CimClient.h"

#include <httplib.h>

#include <cctype>
#include <chrono>
#include <sstream>

#include "http/HttpStream.h"

namespace cimhost {
namespace client {

namespace {

const char kContentType[] = "application/xml; charset=\"utf-8\"";
// A CIMOM's answer to one call; anything longer is no answer of ours.
constexpr size_t kMaxResponseBytes = 32u << 20;

struct Url {
    bool https = false;
    std::string host;  // without an IPv6 literal's brackets
    int port = 0;
    std::string path;
};

bool parseUrl(const std::string& url, Url* out, std::string* error) {
    const size_t colon = url.find("://");
    const std::string scheme = colon == std::string::npos ? std::string() : url.substr(0, colon);
    if (scheme != "http" && scheme != "https") {
        *error = "the CIMOM URL must begin with http:// or https://: " + url;
        return false;
    }
    const size_t hostStart = colon + 3;
    const size_t slash = url.find('/', hostStart);
    const std::string authority =
        url.substr(hostStart, slash == std::string::npos ? std::string::npos : slash - hostStart);
    out->path = slash == std::string::npos || slash + 1 == url.size() ? "/cimom" : url.substr(slash);
    if (authority.empty() || authority.find('@') != std::string::npos) {
        *error = "the CIMOM URL must name a host (and no user; use --user): " + url;
        return false;
    }
    for (const char c : url)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
            *error = "the CIMOM URL holds a space or a control character";
            return false;
        }
    if (!http::hostAndPort(authority, scheme == "https" ? 5989 : 5988, &out->host, &out->port)) {
        *error = "the CIMOM URL must name a host and, if any, a port from 1 to 65535: " + url;
        return false;
    }
    out->https = scheme == "https";
    return true;
}

// Percent-encodes what DSP0200 asks to be escaped in the CIMObject header.
std::string headerEscaped(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '.' || c == '-' || c == '=' || c == ',') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

void appendNamespace(pugi::xml_node parent, const std::string& nameSpace) {
    pugi::xml_node path = parent.append_child("LOCALNAMESPACEPATH");
    std::string part;
    std::istringstream parts(nameSpace);
    while (std::getline(parts, part, '/'))
        if (!part.empty()) path.append_child("NAMESPACE").append_attribute("NAME") = part.c_str();
}

// The request's envelope; the operation element goes into the returned node.
pugi::xml_node envelope(pugi::xml_document& doc, unsigned messageId) {
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "utf-8";
    pugi::xml_node cim = doc.append_child("CIM");
    cim.append_attribute("CIMVERSION") = "2.0";
    cim.append_attribute("DTDVERSION") = "2.0";
    pugi::xml_node message = cim.append_child("MESSAGE");
    message.append_attribute("ID") = std::to_string(messageId).c_str();
    message.append_attribute("PROTOCOLVERSION") = "1.0";
    return message.append_child("SIMPLEREQ");
}

std::string text(const pugi::xml_document& doc) {
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw);
    return out.str();
}

// The HTTP library's errors in the words a user acts on.
std::string transportError(httplib::Error error) {
    switch (error) {
        case httplib::Error::Connection:
            return "could not connect (is a CIMOM listening there?)";
        case httplib::Error::ConnectionTimeout:
            return "timed out connecting";
        case httplib::Error::Read:
        case httplib::Error::Write:
            return "the connection broke off";
        case httplib::Error::SSLConnection:
            return "the TLS handshake failed";
        case httplib::Error::SSLServerVerification:
            return "the server's certificate could not be verified (--cacert FILE, or --insecure)";
        default:
            return httplib::to_string(error);
    }
}

bool fail(Failure* failure, Failure::Kind kind, std::string text, int cimStatus = 0) {
    if (failure) {
        failure->kind = kind;
        failure->text = std::move(text);
        failure->cimStatus = cimStatus;
    }
    return false;
}

}  // namespace

std::string cimStatusName(int status) {
    static const char* const names[] = {"CIM_ERR_OK",
                                        "CIM_ERR_FAILED",
                                        "CIM_ERR_ACCESS_DENIED",
                                        "CIM_ERR_INVALID_NAMESPACE",
                                        "CIM_ERR_INVALID_PARAMETER",
                                        "CIM_ERR_INVALID_CLASS",
                                        "CIM_ERR_NOT_FOUND",
                                        "CIM_ERR_NOT_SUPPORTED",
                                        "CIM_ERR_CLASS_HAS_CHILDREN",
                                        "CIM_ERR_CLASS_HAS_INSTANCES",
                                        "CIM_ERR_INVALID_SUPERCLASS",
                                        "CIM_ERR_ALREADY_EXISTS",
                                        "CIM_ERR_NO_SUCH_PROPERTY",
                                        "CIM_ERR_TYPE_MISMATCH",
                                        "CIM_ERR_QUERY_LANGUAGE_NOT_SUPPORTED",
                                        "CIM_ERR_INVALID_QUERY",
                                        "CIM_ERR_METHOD_NOT_AVAILABLE",
                                        "CIM_ERR_METHOD_NOT_FOUND"};
    if (status >= 0 && static_cast<size_t>(status) < sizeof names / sizeof names[0]) return names[status];
    return std::to_string(status);
}

CimClient::CimClient(Options options) : options_(std::move(options)) {
    Url url;
    if (!parseUrl(options_.url, &url, &urlError_)) return;
    path_ = url.path;
    // Plain HTTP on a stream of our own: a request leaves in one write, where
    // the library writes its head and body apart (two segments, and a server
    // woken by the first waits again for the second).
    http_ = http::clientFor(url.https, url.host, url.port, std::chrono::seconds(options_.timeoutSeconds));
    if (!http_ || !http_->is_valid()) {
        urlError_ = "this build cannot speak to " + options_.url;
        http_.reset();
        return;
    }
    http_->set_connection_timeout(std::min(options_.timeoutSeconds, 10), 0);
    http_->set_read_timeout(options_.timeoutSeconds, 0);
    http_->set_write_timeout(options_.timeoutSeconds, 0);
    http_->set_follow_location(false);
    http_->set_keep_alive(true);
    // Over HTTPS the request goes out in two writes (headers, body): without
    // this the second waits for the server's delayed acknowledgement, 40 ms a
    // call; and a plain request's one write goes out without waiting either.
    http_->set_tcp_nodelay(true);
    if (!options_.user.empty()) http_->set_basic_auth(options_.user, options_.password);
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    http_->enable_server_certificate_verification(options_.verifyPeer);
    if (!options_.caFile.empty()) http_->set_ca_cert_path(options_.caFile);
#endif
}

CimClient::~CimClient() = default;

bool CimClient::call(const std::string& body, const std::string& operation, const std::string& method,
                     const std::string& object, pugi::xml_document* doc, pugi::xml_node* response,
                     Failure* failure) {
    if (!http_) return fail(failure, Failure::kBadUrl, urlError_);
    const httplib::Headers headers = {{"CIMProtocolVersion", "1.0"},
                                      {"CIMOperation", operation},
                                      {"CIMMethod", method},
                                      {"CIMObject", headerEscaped(object)}};
    // The body is taken only up to what an answer can be: a server that
    // sends more is cut off, not buffered.
    std::string answer;
    bool tooLarge = false;
    httplib::Request request;
    request.method = "POST";
    request.path = path_;
    request.headers = headers;
    request.set_header("Content-Type", kContentType);
    request.body = body;
    request.content_receiver = [&answer, &tooLarge](const char* data, size_t size, uint64_t, uint64_t) {
        if (answer.size() + size > kMaxResponseBytes) return !(tooLarge = true);
        answer.append(data, size);
        return true;
    };
    const httplib::Result result = http_->send(request);
    if (!result) {
        if (tooLarge)
            return fail(failure, Failure::kHttp, "the answer is larger than any answer to this call");
        return fail(failure, Failure::kConnection,
                    "no answer from " + options_.url + ": " + transportError(result.error()));
    }
    if (result->status == 401)
        return fail(failure, Failure::kAuthentication,
                    options_.user.empty() ? "the CIMOM asks for a user and password (--user)"
                                          : "the CIMOM refused user " + options_.user + " and its password");
    const std::string cimError = result->get_header_value("CIMError");
    if (result->status != 200)
        return fail(
            failure, Failure::kHttp,
            "HTTP " + std::to_string(result->status) + (cimError.empty() ? "" : " (" + cimError + ")"));
    const pugi::xml_parse_result parsed = doc->load_buffer(answer.data(), answer.size(), pugi::parse_default);
    if (!parsed)
        return fail(failure, Failure::kHttp, std::string("the answer is no XML: ") + parsed.description());
    const pugi::xml_node rsp = doc->child("CIM").child("MESSAGE").child("SIMPLERSP");
    *response = rsp.first_child();
    const std::string name = response->name();
    if (name != "IMETHODRESPONSE" && name != "METHODRESPONSE")
        return fail(failure, Failure::kHttp, "the answer is no CIM-XML method response");
    if (const pugi::xml_node error = response->child("ERROR")) {
        const int code = error.attribute("CODE").as_int();
        std::string description = error.attribute("DESCRIPTION").value();
        return fail(failure, Failure::kCim,
                    cimStatusName(code) + (description.empty() ? "" : ": " + description), code);
    }
    return true;
}

template <class Fill>
bool CimClient::intrinsic(const std::string& nameSpace, const char* operation, Fill fill,
                          pugi::xml_document* answer, pugi::xml_node* value, Failure* failure) {
    pugi::xml_document request;
    pugi::xml_node call = envelope(request, ++messageId_).append_child("IMETHODCALL");
    call.append_attribute("NAME") = operation;
    appendNamespace(call, nameSpace);
    fill(call);
    pugi::xml_node response;
    if (!this->call(text(request), "MethodCall", operation, nameSpace, answer, &response, failure))
        return false;
    *value = response.child("IRETURNVALUE");
    return true;
}

namespace {

void appendClassName(pugi::xml_node call, const std::string& className) {
    pugi::xml_node param = call.append_child("IPARAMVALUE");
    param.append_attribute("NAME") = "ClassName";
    param.append_child("CLASSNAME").append_attribute("NAME") = className.c_str();
}

}  // namespace

bool CimClient::enumerateInstanceNames(const std::string& nameSpace, const std::string& className,
                                       std::vector<InstanceName>* out, Failure* failure) {
    pugi::xml_document answer;
    pugi::xml_node value;
    if (!intrinsic(
            nameSpace, "EnumerateInstanceNames",
            [&](pugi::xml_node call) { appendClassName(call, className); }, &answer, &value, failure))
        return false;
    out->clear();
    for (const pugi::xml_node name : value.children("INSTANCENAME")) {
        InstanceName found;
        found.className = name.attribute("CLASSNAME").value();
        std::ostringstream xml;
        name.print(xml, "", pugi::format_raw);
        found.xml = xml.str();
        std::string error;
        if (!listener::pathText(name, &found.text, &error))
            return fail(failure, Failure::kHttp,
                        "the CIMOM answered an instance name that is none: " + error);
        out->push_back(std::move(found));
    }
    return true;
}

bool CimClient::enumerateInstances(const std::string& nameSpace, const std::string& className,
                                   std::vector<listener::Instance>* out, Failure* failure) {
    pugi::xml_document answer;
    pugi::xml_node value;
    if (!intrinsic(
            nameSpace, "EnumerateInstances", [&](pugi::xml_node call) { appendClassName(call, className); },
            &answer, &value, failure))
        return false;
    out->clear();
    for (const pugi::xml_node named : value.children("VALUE.NAMEDINSTANCE")) {
        listener::Instance found;
        std::string error;
        if (!listener::readInstance(named.child("INSTANCE"), &found, &error))
            return fail(failure, Failure::kHttp, "the CIMOM answered an instance that is none: " + error);
        out->push_back(std::move(found));
    }
    return true;
}

bool CimClient::getInstance(const std::string& nameSpace, const InstanceName& name, listener::Instance* out,
                            Failure* failure) {
    pugi::xml_document given;
    if (!given.load_string(name.xml.c_str()) || !given.child("INSTANCENAME"))
        return fail(failure, Failure::kHttp, "no instance name to get");
    pugi::xml_document answer;
    pugi::xml_node value;
    if (!intrinsic(
            nameSpace, "GetInstance",
            [&](pugi::xml_node call) {
                pugi::xml_node param = call.append_child("IPARAMVALUE");
                param.append_attribute("NAME") = "InstanceName";
                param.append_copy(given.child("INSTANCENAME"));
            },
            &answer, &value, failure))
        return false;
    std::string error;
    if (!listener::readInstance(value.child("INSTANCE"), out, &error))
        return fail(failure, Failure::kHttp, "the CIMOM answered an instance that is none: " + error);
    return true;
}

bool CimClient::invokeMethod(const std::string& nameSpace, const InstanceName& target,
                             const std::string& method, const std::vector<Parameter>& in, MethodResult* out,
                             Failure* failure) {
    pugi::xml_document request;
    pugi::xml_node call = envelope(request, ++messageId_).append_child("METHODCALL");
    call.append_attribute("NAME") = method.c_str();
    pugi::xml_node path = call.append_child("LOCALINSTANCEPATH");
    appendNamespace(path, nameSpace);
    pugi::xml_document name;
    if (!name.load_string(target.xml.c_str()) || !name.child("INSTANCENAME"))
        return fail(failure, Failure::kHttp, "no instance name to call " + method + " on");
    path.append_copy(name.child("INSTANCENAME"));
    for (const Parameter& p : in) {
        pugi::xml_node param = call.append_child("PARAMVALUE");
        param.append_attribute("NAME") = p.name.c_str();
        param.append_attribute("PARAMTYPE") = p.type.c_str();
        if (!p.array) {
            param.append_child("VALUE").text() = p.text.c_str();
            continue;
        }
        pugi::xml_node array = param.append_child("VALUE.ARRAY");
        for (const std::string& item : p.items) array.append_child("VALUE").text() = item.c_str();
    }

    pugi::xml_document answer;
    pugi::xml_node response;
    const std::string object = nameSpace + ":" + target.text;
    if (!this->call(text(request), "MethodCall", method, object, &answer, &response, failure)) return false;
    *out = MethodResult();
    std::string error;
    const pugi::xml_node rv = response.child("RETURNVALUE");
    if (rv && !listener::readValue(rv, rv.attribute("PARAMTYPE").value(), &out->returnValue, &error))
        return fail(failure, Failure::kHttp, "the return value cannot be read: " + error);
    for (const pugi::xml_node p : response.children("PARAMVALUE")) {
        listener::Property value;
        if (!listener::readValue(p, p.attribute("PARAMTYPE").value(), &value, &error))
            return fail(failure, Failure::kHttp,
                        std::string("output ") + p.attribute("NAME").value() + " cannot be read: " + error);
        out->outputs[p.attribute("NAME").value()] = std::move(value);
    }
    return true;
}

}  // namespace client
}  // namespace cimhost
