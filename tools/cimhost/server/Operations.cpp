#include "server/Operations.h"

#include <cimple/Meta.h>
#include <unistd.h>

#include <algorithm>

#include "core/IndicationService.h"
#include "export/CimXml.h"
#include "server/ClassXml.h"
#include "text/Escape.h"

namespace cimhost {
namespace server {
namespace {

using exporting::appendClassPath;
using exporting::appendInstance;
using exporting::appendInstanceName;
using exporting::appendPath;
using exporting::appendValue;
using text::appendXmlEscaped;

bool is(const std::string& a, const char* b) { return sameName(a, std::string(b)); }

std::string openAnswer(const Request& request) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">"
        "<MESSAGE ID=\"";
    appendXmlEscaped(out, request.messageId);
    out += "\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP><";
    out += request.intrinsic ? "IMETHODRESPONSE" : "METHODRESPONSE";
    out += " NAME=\"";
    appendXmlEscaped(out, request.method);
    out += "\">";
    return out;
}

void closeAnswer(const Request& request, std::string& out) {
    out += request.intrinsic ? "</IMETHODRESPONSE>" : "</METHODRESPONSE>";
    out += "</SIMPLERSP></MESSAGE></CIM>\n";
}

// Only the properties a PropertyList names (all without one).
Instance selected(Instance instance, const Request& request) {
    if (!request.propertyList) return instance;
    NamedValues kept;
    for (const auto& p : instance.properties)
        for (const std::string& name : *request.propertyList)
            if (sameName(p.first, name)) kept.set(p.first, p.second);
    instance.properties = std::move(kept);
    return instance;
}

// Shared instances are written as they are; only a PropertyList needs a copy.
void appendShown(std::string& out, const Instance& instance, const Request& request) {
    if (request.propertyList) {
        appendInstance(out, selected(instance, request));
    } else {
        appendInstance(out, instance);
    }
}

// A path with the host and namespace a result of an association operation
// must name.
ObjectPath rooted(ObjectPath path, const std::string& nameSpace, const std::string& host) {
    if (path.nameSpace.empty()) path.nameSpace = nameSpace;
    if (path.host.empty()) path.host = host;
    return path;
}

// The references of a class by name, each in its most derived declaration.
std::vector<const cimple::Meta_Reference*> referencesOf(const cimple::Meta_Class& meta) {
    std::vector<const cimple::Meta_Reference*> out;
    for (uint32_t i = 0; i < meta.num_meta_features; ++i) {
        const cimple::Meta_Feature* f = meta.meta_features[i];
        if ((f->flags & cimple::CIMPLE_FLAG_REFERENCE) == 0) continue;
        const auto* r = reinterpret_cast<const cimple::Meta_Reference*>(f);
        const auto same = std::find_if(out.begin(), out.end(), [&](const cimple::Meta_Reference* o) {
            return sameName(std::string(o->name), std::string(r->name));
        });
        if (same != out.end()) {
            *same = r;
        } else {
            out.push_back(r);
        }
    }
    return out;
}

// Association operations on a class answer from the schema: the association
// classes with a reference (in `role`) that can point at the class, and for
// associators the classes their other references (in `resultRole`) point at.
std::vector<const cimple::Meta_Class*> classLinks(const ClassRepository& classes,
                                                  const cimple::Meta_Class& target, bool associators,
                                                  const Request& request) {
    std::vector<const cimple::Meta_Class*> found;
    const auto add = [&](const cimple::Meta_Class* mc) {
        if (std::find(found.begin(), found.end(), mc) == found.end()) found.push_back(mc);
    };
    const auto named = [](const std::string& wanted, const char* name) {
        return wanted.empty() || sameName(wanted, std::string(name));
    };
    const std::string& associationFilter = associators ? request.assocClass : request.resultClass;
    for (const cimple::Meta_Class* association : classes.all()) {
        if ((association->flags & cimple::CIMPLE_FLAG_ASSOCIATION) == 0) continue;
        if (!associationFilter.empty() && !classes.isA(association->name, associationFilter)) continue;
        const std::vector<const cimple::Meta_Reference*> references = referencesOf(*association);
        for (const cimple::Meta_Reference* near : references) {
            if (!named(request.role, near->name) || !cimple::is_subclass(near->meta_class, &target)) continue;
            if (!associators) {
                add(association);
                break;
            }
            for (const cimple::Meta_Reference* far : references) {
                if (far == near || !named(request.resultRole, far->name)) continue;
                if (!request.resultClass.empty() && !classes.isA(far->meta_class->name, request.resultClass))
                    continue;
                add(far->meta_class);
            }
        }
    }
    return found;
}

Status needs(bool given, const char* what) {
    return given ? Status()
                 : Status::error(CMPI_RC_ERR_INVALID_PARAMETER, std::string("the call needs ") + what);
}

}  // namespace

Operations::Operations(Cimom& cimom) : cimom_(cimom) {
    namespaces_.push_back(kInteropNamespace);
    for (const ProviderRegistration& r : cimom_.registrations()) {
        bool known = false;
        for (const std::string& ns : namespaces_) known = known || sameName(ns, r.nameSpace);
        if (!known) namespaces_.push_back(r.nameSpace);
    }
    char name[256] = {0};
    host_ = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
}

bool Operations::serves(const std::string& nameSpace) const {
    for (const std::string& ns : namespaces_)
        if (sameName(ns, nameSpace)) return true;
    return false;
}

std::string Operations::errorAnswer(const Request& request, const Status& error) {
    std::string out = openAnswer(request);
    out += "<ERROR CODE=\"";
    out += std::to_string(static_cast<int>(error.rc));
    out += "\" DESCRIPTION=\"";
    appendXmlEscaped(out, error.message);
    out += "\"/>";
    closeAnswer(request, out);
    return out;
}

std::string Operations::answer(const Request& request) {
    std::string result;
    Status s = request.error;
    if (s.ok()) s = run(request, &result);
    if (!s.ok()) {
        // A provider may fail without a word; the client still gets one.
        if (s.message.empty()) s.message = "the operation failed";
        return errorAnswer(request, s);
    }
    std::string out = openAnswer(request);
    out += result;
    closeAnswer(request, out);
    return out;
}

Status Operations::run(const Request& request, std::string* result) {
    if (!serves(request.nameSpace))
        return Status::error(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + request.nameSpace);
    return request.intrinsic ? intrinsic(request, result) : extrinsic(request, result);
}

Status Operations::intrinsic(const Request& request, std::string* result) {
    const std::string& op = request.method;
    const std::string& ns = request.nameSpace;
    const ClassRepository& classes = cimom_.classes();
    std::string& out = *result;
    Status s;

    if (is(op, "GetClass") || is(op, "EnumerateClasses") || is(op, "EnumerateClassNames")) {
        const bool get = is(op, "GetClass");
        if (get && (s = needs(!request.className.empty(), "ClassName"), !s.ok())) return s;
        const cimple::Meta_Class* base = nullptr;
        if (!request.className.empty() && !(base = classes.find(request.className)))
            return Status::error(get ? CMPI_RC_ERR_NOT_FOUND : CMPI_RC_ERR_INVALID_CLASS,
                                 "no class " + request.className);
        ClassOptions options;
        options.localOnly = request.flag("LocalOnly", true);
        options.includeQualifiers = request.flag("IncludeQualifiers", true);
        options.includeClassOrigin = request.flag("IncludeClassOrigin", false);
        options.propertyList = request.propertyList;
        out += "<IRETURNVALUE>";
        if (get) {
            appendClass(out, *base, options);
        } else {
            // The subclasses of the class, or the root classes without one;
            // DeepInheritance goes all the way down.
            const bool deep = request.flag("DeepInheritance", false);
            const bool names = is(op, "EnumerateClassNames");
            for (const cimple::Meta_Class* mc : classes.all()) {
                if (mc == base) continue;
                const bool below = base ? cimple::is_subclass(base, mc) : true;
                if (!below || (!deep && mc->super_meta_class != base)) continue;
                if (names) {
                    out += "<CLASSNAME NAME=\"";
                    appendXmlEscaped(out, mc->name);
                    out += "\"/>";
                } else {
                    appendClass(out, *mc, options);
                }
            }
        }
        out += "</IRETURNVALUE>";
        return Status();
    }

    if (is(op, "GetInstance")) {
        if (!(s = needs(request.instanceName.has_value(), "InstanceName")).ok()) return s;
        std::shared_ptr<const Instance> found;
        if (!(s = cimom_.getInstanceShared(*request.instanceName, &found)).ok()) return s;
        out += "<IRETURNVALUE>";
        appendShown(out, *found, request);
        out += "</IRETURNVALUE>";
        return s;
    }
    if (is(op, "EnumerateInstances") || is(op, "EnumerateInstanceNames")) {
        if (!(s = needs(!request.className.empty(), "ClassName")).ok()) return s;
        if (!classes.exists(request.className))
            return Status::error(CMPI_RC_ERR_INVALID_CLASS, "no class " + request.className);
        out += "<IRETURNVALUE>";
        if (is(op, "EnumerateInstances")) {
            std::vector<std::shared_ptr<const Instance>> found;
            if (!(s = cimom_.enumerateInstancesShared(ns, request.className, &found)).ok()) return s;
            // Without DeepInheritance an instance of a subclass shows only
            // what the class asked for has.
            const bool deep = request.flag("DeepInheritance", true);
            for (const std::shared_ptr<const Instance>& i : found) {
                out += "<VALUE.NAMEDINSTANCE>";
                appendInstanceName(out, i->path);
                if (deep || sameName(i->path.className, request.className)) {
                    appendShown(out, *i, request);
                } else {
                    Instance shallow = selected(*i, request);
                    NamedValues kept;
                    CMPIType type;
                    for (const auto& p : shallow.properties)
                        if (classes.featureType(request.className, p.first, &type))
                            kept.set(p.first, p.second);
                    shallow.properties = std::move(kept);
                    appendInstance(out, shallow);
                }
                out += "</VALUE.NAMEDINSTANCE>";
            }
        } else {
            std::vector<ObjectPath> found;
            if (!(s = cimom_.enumerateInstanceNames(ns, request.className, &found)).ok()) return s;
            for (const ObjectPath& p : found) appendInstanceName(out, p);
        }
        out += "</IRETURNVALUE>";
        return s;
    }
    if (is(op, "CreateInstance")) {
        if (!(s = needs(request.instance.has_value(), "NewInstance")).ok()) return s;
        ObjectPath created;
        if (!(s = cimom_.createInstance(*request.instance, &created)).ok()) return s;
        out += "<IRETURNVALUE>";
        appendInstanceName(out, created);
        out += "</IRETURNVALUE>";
        return s;
    }
    if (is(op, "ModifyInstance")) {
        if (!(s = needs(request.instance.has_value(), "ModifiedInstance")).ok()) return s;
        return cimom_.modifyInstance(selected(*request.instance, request));
    }
    if (is(op, "DeleteInstance")) {
        if (!(s = needs(request.instanceName.has_value(), "InstanceName")).ok()) return s;
        return cimom_.deleteInstance(*request.instanceName);
    }

    const bool associators = is(op, "Associators"), associatorNames = is(op, "AssociatorNames");
    const bool references = is(op, "References"), referenceNames = is(op, "ReferenceNames");
    if (associators || associatorNames || references || referenceNames) {
        if (!request.instanceName) {
            if (request.className.empty())
                return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "the call needs ObjectName");
            const cimple::Meta_Class* target = classes.find(request.className);
            if (!target) return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "no class " + request.className);
            ClassOptions options;
            options.localOnly = false;
            options.includeQualifiers = request.flag("IncludeQualifiers", false);
            options.includeClassOrigin = request.flag("IncludeClassOrigin", false);
            options.propertyList = request.propertyList;
            out += "<IRETURNVALUE>";
            for (const cimple::Meta_Class* mc :
                 classLinks(classes, *target, associators || associatorNames, request)) {
                const bool names = associatorNames || referenceNames;
                out += names ? "<OBJECTPATH>" : "<VALUE.OBJECTWITHPATH>";
                appendClassPath(out, host_, ns, mc->name);
                if (!names) appendClass(out, *mc, options);
                out += names ? "</OBJECTPATH>" : "</VALUE.OBJECTWITHPATH>";
            }
            out += "</IRETURNVALUE>";
            return s;
        }
        const ObjectPath& object = *request.instanceName;
        std::vector<Instance> instances;
        std::vector<ObjectPath> paths;
        if (associators)
            s = cimom_.associators(object, request.assocClass, request.resultClass, request.role,
                                   request.resultRole, &instances);
        else if (associatorNames)
            s = cimom_.associatorNames(object, request.assocClass, request.resultClass, request.role,
                                       request.resultRole, &paths);
        else if (references)
            s = cimom_.references(object, request.resultClass, request.role, &instances);
        else
            s = cimom_.referenceNames(object, request.resultClass, request.role, &paths);
        if (!s.ok()) return s;
        out += "<IRETURNVALUE>";
        for (Instance& i : instances) {
            out += "<VALUE.OBJECTWITHPATH>";
            appendPath(out, rooted(i.path, ns, host_));
            appendInstance(out, selected(std::move(i), request));
            out += "</VALUE.OBJECTWITHPATH>";
        }
        for (const ObjectPath& p : paths) {
            out += "<OBJECTPATH>";
            appendPath(out, rooted(p, ns, host_));
            out += "</OBJECTPATH>";
        }
        out += "</IRETURNVALUE>";
        return s;
    }
    return Status::error(CMPI_RC_ERR_NOT_SUPPORTED, "operation " + op + " is not served");
}

Status Operations::extrinsic(const Request& request, std::string* result) {
    NamedValues outputs;
    Value returned;
    Status s = cimom_.invokeMethod(request.target, request.method, request.in, &outputs, &returned);
    if (!s.ok()) return s;
    std::string& out = *result;
    if (returned.type() != CMPI_null) {
        out += "<RETURNVALUE PARAMTYPE=\"";
        out +=
            returned.elementType() == CMPI_ref ? "reference" : exporting::cimTypeName(returned.elementType());
        out += "\">";
        appendValue(out, returned);
        out += "</RETURNVALUE>";
    }
    for (const auto& p : outputs) {
        out += "<PARAMVALUE NAME=\"";
        appendXmlEscaped(out, p.first);
        out += "\" PARAMTYPE=\"";
        out +=
            p.second.elementType() == CMPI_ref ? "reference" : exporting::cimTypeName(p.second.elementType());
        out += "\">";
        appendValue(out, p.second);
        out += "</PARAMVALUE>";
    }
    return s;
}

}  // namespace server
}  // namespace cimhost
