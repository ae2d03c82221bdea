// Instance, method and association MIs: each CMPI call becomes one framework
// operation on the provider, with its arguments converted through the class
// records and its results handed back through the CMPIResult.
#include <cimple/Enum_Instances_Handler.h>
#include <cimple/Provider_Ops.h>
#include <strings.h>

#include "State.h"

namespace cimple {
namespace cmpi_adapter {

namespace {

// Takes what a provider enumerates and returns it to the CIMOM as instances
// or paths. A failure cannot be thrown through the provider, so the first
// one is kept and rethrown once the provider has returned; what the provider
// still hands over after it is dropped.
struct Collector {
    const CMPIBroker* broker;
    const CMPIResult* result;
    std::string name_space;
    bool names;
    bool failed = false;
    Failure failure;

    static bool handle(Instance* instance, int, void* data) {
        Collector* c = static_cast<Collector*>(data);
        if (!instance) return true;  // the closing call; its status is the operation's
        Ref<Instance> owned(instance);
        if (c->failed) return false;
        try {
            Converter conv(c->broker, c->name_space);
            const CMPIStatus st = c->names
                                      ? c->result->ft->returnObjectPath(c->result, conv.to_path(instance))
                                      : c->result->ft->returnInstance(c->result, conv.to_instance(instance));
            // The CIMOM may cut an enumeration short (its client left, a
            // limit was reached): the provider is told to stop and the
            // operation answers what the CIMOM said.
            const int rc = static_cast<int>(st.rc);
            if (rc == CMPI_RC_OK) return true;
            c->failure = {static_cast<CMPIrc>(rc),
                          std::string("the CIMOM took no more results: ") + (st.msg ? chars(st.msg) : "")};
        } catch (const Failure& f) {
            c->failure = f;
        } catch (...) {
            c->failure = {CMPI_RC_ERR_FAILED, "unexpected exception while returning a result"};
        }
        c->failed = true;
        return false;
    }

    void* proc() const { return reinterpret_cast<void*>(&Collector::handle); }
    void rethrow() const {
        if (failed) throw failure;
    }
};

const Meta_Class* class_of(const State& s) { return s.registration->meta_class; }

CMPIrc done(const CMPIResult* rslt) {
    rslt->ft->returnDone(rslt);
    return CMPI_RC_OK;
}

CMPIrc enumerate(State& s, const CMPIResult* rslt, const CMPIObjectPath* op, bool names) {
    need(rslt, "result");
    need(op, "object path");
    Collector c{s.broker, rslt, name_space_of(op, s.init_name_space.c_str()), names, false, {}};
    void* provider = s.loaded_provider();
    Ref<Instance> model(create(class_of(s)));
    int status = s.call(OPERATION_ENUM_INSTANCES, provider, model.get(), c.proc(), &c);
    c.rethrow();
    s.check(status, "enum_instances");
    return done(rslt);
}

// ---- Instance MI ------------------------------------------------------------

CMPIStatus enumerateInstanceNames(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                  const CMPIObjectPath* op) {
    return boundary(mi, ctx, "enumerateInstanceNames",
                    [&](State& s) { return enumerate(s, rslt, op, true); });
}

CMPIStatus enumerateInstances(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                              const CMPIObjectPath* op, const char**) {
    return boundary(mi, ctx, "enumerateInstances", [&](State& s) { return enumerate(s, rslt, op, false); });
}

CMPIStatus getInstance(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                       const CMPIObjectPath* op, const char**) {
    return boundary(mi, ctx, "getInstance", [&](State& s) {
        need(rslt, "result");
        need(op, "object path");
        Converter conv(s.broker, name_space_of(op, s.init_name_space.c_str()));
        Ref<Instance> keys = conv.keys_from_path(op, class_of(s), nullptr);
        Instance* found = nullptr;
        int status = s.call(OPERATION_GET_INSTANCE, s.loaded_provider(), keys.get(), &found);
        Ref<Instance> owned(found);
        s.check(status, "get_instance");
        if (!found) fail(CMPI_RC_ERR_NOT_FOUND, "get_instance gave no instance");
        rslt->ft->returnInstance(rslt, conv.to_instance(found));
        return done(rslt);
    });
}

CMPIStatus createInstance(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                          const CMPIObjectPath* op, const CMPIInstance* inst) {
    return boundary(mi, ctx, "createInstance", [&](State& s) {
        need(rslt, "result");
        need(op, "object path");
        need(inst, "instance");
        Converter conv(s.broker, name_space_of(op, s.init_name_space.c_str()));
        Ref<Instance> instance = conv.from_instance(inst, class_of(s), Source::Request);
        s.check(s.call(OPERATION_CREATE_INSTANCE, s.loaded_provider(), instance.get()), "create_instance");
        rslt->ft->returnObjectPath(rslt, conv.to_path(instance.get()));
        return done(rslt);
    });
}

CMPIStatus modifyInstance(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                          const CMPIObjectPath* op, const CMPIInstance* inst, const char**) {
    return boundary(mi, ctx, "modifyInstance", [&](State& s) {
        need(rslt, "result");
        need(op, "object path");
        need(inst, "instance");
        Converter conv(s.broker, name_space_of(op, s.init_name_space.c_str()));
        Ref<Instance> keys = conv.keys_from_path(op, class_of(s), nullptr);
        Ref<Instance> instance = conv.from_instance(inst, class_of(s), Source::Request);
        s.check(s.call(OPERATION_MODIFY_INSTANCE, s.loaded_provider(), keys.get(), instance.get()),
                "modify_instance");
        return done(rslt);
    });
}

CMPIStatus deleteInstance(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                          const CMPIObjectPath* op) {
    return boundary(mi, ctx, "deleteInstance", [&](State& s) {
        need(rslt, "result");
        need(op, "object path");
        Converter conv(s.broker, name_space_of(op, s.init_name_space.c_str()));
        Ref<Instance> keys = conv.keys_from_path(op, class_of(s), nullptr);
        s.check(s.call(OPERATION_DELETE_INSTANCE, s.loaded_provider(), keys.get()), "delete_instance");
        return done(rslt);
    });
}

CMPIStatus execQuery(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult*, const CMPIObjectPath*,
                     const char*, const char*) {
    return boundary(mi, ctx, "execQuery",
                    [&](State&) -> CMPIrc { fail(CMPI_RC_ERR_NOT_SUPPORTED, "queries are not supported"); });
}

CMPIStatus instanceCleanup(CMPIInstanceMI* mi, const CMPIContext* ctx, CMPIBoolean terminating) {
    return cleanup(mi, ctx, terminating, KIND_INSTANCE);
}

// ---- Method MI --------------------------------------------------------------

bool is_return_value(const Meta_Feature* f) { return strcasecmp(f->name, "return_value") == 0; }

CMPIStatus invokeMethod(CMPIMethodMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                        const CMPIObjectPath* op, const char* method, const CMPIArgs* in, CMPIArgs* out) {
    return boundary(mi, ctx, "invokeMethod", [&](State& s) {
        need(rslt, "result");
        need(op, "object path");
        need(method, "method name");
        need(out, "output arguments");
        const Meta_Feature* f = find_feature(class_of(s), method, CIMPLE_FLAG_METHOD);
        if (!f || !(f->flags & CIMPLE_FLAG_METHOD))
            fail(CMPI_RC_ERR_METHOD_NOT_FOUND, std::string("no method ") + method);
        const Meta_Class* record_class = reinterpret_cast<const Meta_Method*>(f)->meta_class;

        Converter conv(s.broker, name_space_of(op, s.init_name_space.c_str()));
        Ref<Instance> target = conv.target_from_path(op, class_of(s));
        Ref<Instance> record(create(record_class));
        CMPICount count = in && in->ft ? in->ft->getArgCount(in, nullptr) : 0;
        for (CMPICount i = 0; i < count; i++) {
            CMPIString* arg_name = nullptr;
            CMPIData d = in->ft->getArgAt(in, i, &arg_name, nullptr);
            const char* name = chars(arg_name);
            const Meta_Feature* p =
                find_feature(record_class, name, CIMPLE_FLAG_PROPERTY | CIMPLE_FLAG_REFERENCE);
            if (!p || !(p->flags & CIMPLE_FLAG_IN) || is_return_value(p))
                fail(CMPI_RC_ERR_INVALID_PARAMETER, std::string("unknown parameter ") + name);
            conv.set_feature(record.get(), p, d);
        }

        s.check(s.call(OPERATION_INVOKE_METHOD, s.loaded_provider(), target.get(), record.get()), method);

        for (uint32_t i = 0; i < record_class->num_meta_features; i++) {
            const Meta_Feature* p = record_class->meta_features[i];
            CMPIValue v;
            CMPIType t;
            if (is_return_value(p)) {
                if (conv.to_value(record.get(), p, v, t)) rslt->ft->returnData(rslt, &v, t);
            } else if ((p->flags & CIMPLE_FLAG_OUT) && conv.to_value(record.get(), p, v, t)) {
                out->ft->addArg(out, p->name, &v, t);
            }
        }
        return done(rslt);
    });
}

CMPIStatus methodCleanup(CMPIMethodMI* mi, const CMPIContext* ctx, CMPIBoolean terminating) {
    return cleanup(mi, ctx, terminating, KIND_METHOD);
}

// ---- Association MI ---------------------------------------------------------

// The filters arrive as C strings, the provider takes framework strings; a
// missing filter is an empty one.
struct Filters {
    String result_class, role, result_role;
};

CMPIrc traverse(State& s, const CMPIResult* rslt, const CMPIObjectPath* op, int operation, Filters filters,
                bool names) {
    need(rslt, "result");
    need(op, "object path");
    Collector c{s.broker, rslt, name_space_of(op, s.init_name_space.c_str()), names, false, {}};
    Converter conv(s.broker, c.name_space);
    // A CIMOM asks every association provider about any object, also of
    // classes our schema lacks. Such a source cannot be read, but the
    // provider still answers: with no source, which it takes as an object
    // that none of its associations reaches.
    const Meta_Repository* repository = class_of(s)->meta_repository;
    const bool known = find_meta_class(repository, chars(op->ft->getClassName(op, nullptr))) != nullptr;
    Ref<Instance> source = known ? conv.keys_from_path(op, nullptr, repository) : Ref<Instance>();
    void* provider = s.loaded_provider();
    int status;
    if (operation == OPERATION_ENUM_REFERENCES) {
        Ref<Instance> model(create(class_of(s)));
        status = s.call(operation, provider, source.get(), model.get(), &filters.role, c.proc(), &c);
    } else {
        status = s.call(operation, provider, source.get(), &filters.result_class, &filters.role,
                        &filters.result_role, c.proc(), &c);
    }
    c.rethrow();
    s.check(status, operation == OPERATION_ENUM_REFERENCES    ? "enum_references"
                    : operation == OPERATION_ENUM_ASSOCIATORS ? "enum_associators"
                                                              : "enum_associator_names");
    return done(rslt);
}

CMPIStatus associators(CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                       const CMPIObjectPath* op, const char*, const char* resultClass, const char* role,
                       const char* resultRole, const char**) {
    return boundary(mi, ctx, "associators", [&](State& s) {
        return traverse(s, rslt, op, OPERATION_ENUM_ASSOCIATORS, {resultClass, role, resultRole}, false);
    });
}

CMPIStatus associatorNames(CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                           const CMPIObjectPath* op, const char*, const char* resultClass, const char* role,
                           const char* resultRole) {
    return boundary(mi, ctx, "associatorNames", [&](State& s) {
        return traverse(s, rslt, op, OPERATION_ENUM_ASSOCIATOR_NAMES, {resultClass, role, resultRole}, true);
    });
}

CMPIStatus references(CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                      const CMPIObjectPath* op, const char* resultClass, const char* role, const char**) {
    return boundary(mi, ctx, "references", [&](State& s) {
        return traverse(s, rslt, op, OPERATION_ENUM_REFERENCES, {resultClass, role, nullptr}, false);
    });
}

CMPIStatus referenceNames(CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                          const CMPIObjectPath* op, const char* resultClass, const char* role) {
    return boundary(mi, ctx, "referenceNames", [&](State& s) {
        return traverse(s, rslt, op, OPERATION_ENUM_REFERENCES, {resultClass, role, nullptr}, true);
    });
}

CMPIStatus associationCleanup(CMPIAssociationMI* mi, const CMPIContext* ctx, CMPIBoolean terminating) {
    return cleanup(mi, ctx, terminating, KIND_ASSOCIATION);
}

}  // namespace

CMPIInstanceMIFT instance_table(const char* name) {
    return {CMPICurrentVersion,     CMPICurrentVersion, name,        instanceCleanup,
            enumerateInstanceNames, enumerateInstances, getInstance, createInstance,
            modifyInstance,         deleteInstance,     execQuery};
}

CMPIMethodMIFT method_table(const char* name) {
    return {CMPICurrentVersion, CMPICurrentVersion, name, methodCleanup, invokeMethod};
}

CMPIAssociationMIFT association_table(const char* name) {
    return {CMPICurrentVersion, CMPICurrentVersion, name,       associationCleanup,
            associators,        associatorNames,    references, referenceNames};
}

}  // namespace cmpi_adapter
}  // namespace cimple
