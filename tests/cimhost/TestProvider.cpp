// A small CMPI provider library written straight against the CMPI headers,
// for the host's tests. Its providers:
//   Test_Provider  instance + method: keeps created instances by class and
//                  Name; its methods make up-calls into the broker.
//   Sub_Provider   instance: the same store, for a subclass.
//   Ind_Provider   indication + method: notes every filter call.
//   Keep_Provider  instance: answers CMPI_RC_DO_NOT_UNLOAD to a cleanup
//                  that does not terminate.
//   Null_Provider  instance: its factory gives no MI.
// Every MI entry that matters to the tests is noted through the broker's
// trace, with the provider name as component.
#include <cmpi/cmpift.h>
#include <strings.h>

#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct Store {
    std::mutex mutex;
    std::map<std::string, CMPIInstance*> items;  // "<class>/<Name>", lower case
};

std::mutex gStoresMutex;
std::map<std::pair<const CMPIBroker*, std::string>, Store> gStores;

Store& storeOf(const CMPIBroker* mb, const std::string& provider) {
    std::lock_guard<std::mutex> lock(gStoresMutex);
    return gStores[std::make_pair(mb, provider)];
}

struct Mi {
    const CMPIBroker* mb;
    std::string name;
    CMPIInstanceMI instance;
    CMPIMethodMI method;
    CMPIIndicationMI indication;
};

Mi* miOf(const void* hdl) { return static_cast<Mi*>(const_cast<void*>(hdl)); }

CMPIStatus status(CMPIrc rc) { return CMPIStatus{rc, nullptr}; }

CMPIStatus status(const Mi* m, CMPIrc rc, const char* text) {
    return CMPIStatus{rc, m->mb->eft->newString(m->mb, text, nullptr)};
}

void note(const Mi* m, const std::string& line) {
    m->mb->eft->trace(m->mb, CMPI_LEV_INFO, m->name.c_str(), line.c_str(), nullptr);
}

std::string chars(CMPIString* s) {
    const char* c = s ? s->ft->getCharPtr(s, nullptr) : nullptr;
    return c ? c : "";
}

// A CMPI_chars value is handed over as the text itself.
const CMPIValue* charsArg(const char* s) { return reinterpret_cast<const CMPIValue*>(s); }

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string keyOf(const CMPIObjectPath* op) {
    CMPIData name = op->ft->getKey(op, "Name", nullptr);
    std::string n =
        name.type == CMPI_string && !(name.state & CMPI_nullValue) ? chars(name.value.string) : "";
    return lower(chars(op->ft->getClassName(op, nullptr)) + "/" + n);
}

std::string propertyText(const CMPIInstance* inst, const char* property) {
    CMPIData d = inst->ft->getProperty(inst, property, nullptr);
    return d.type == CMPI_string && !(d.state & CMPI_nullValue) ? chars(d.value.string) : "";
}

// Notes the cleanup of an MI and frees it.
CMPIStatus cleanup(const void* hdl, const char* kind, CMPIBoolean terminating) {
    Mi* m = miOf(hdl);
    note(m, std::string("cleanup ") + kind + " terminating=" + (terminating ? "1" : "0"));
    delete m;
    return status(CMPI_RC_OK);
}

// ---- Instance MI ---------------------------------------------------------------

CMPIStatus instanceCleanup(CMPIInstanceMI* mi, const CMPIContext*, CMPIBoolean terminating) {
    Mi* m = miOf(mi->hdl);
    if (m->name == "Keep_Provider" && !terminating) {
        note(m, "cleanup Instance terminating=0");
        return status(CMPI_RC_DO_NOT_UNLOAD);
    }
    Store& store = storeOf(m->mb, m->name);
    {
        std::lock_guard<std::mutex> lock(store.mutex);
        for (auto& item : store.items) item.second->ft->release(item.second);
        store.items.clear();
    }
    return cleanup(m, "Instance", terminating);
}

CMPIStatus enumerate(CMPIInstanceMI* mi, const CMPIResult* rslt, const CMPIObjectPath* op, bool names) {
    Mi* m = miOf(mi->hdl);
    std::string cls = lower(chars(op->ft->getClassName(op, nullptr))) + "/";
    Store& store = storeOf(m->mb, m->name);
    std::lock_guard<std::mutex> lock(store.mutex);
    for (auto& item : store.items) {
        if (item.first.compare(0, cls.size(), cls) != 0) continue;
        if (names)
            rslt->ft->returnObjectPath(rslt, item.second->ft->getObjectPath(item.second, nullptr));
        else
            rslt->ft->returnInstance(rslt, item.second);
    }
    rslt->ft->returnDone(rslt);
    return status(CMPI_RC_OK);
}

CMPIStatus enumerateNames(CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult* rslt,
                          const CMPIObjectPath* op) {
    return enumerate(mi, rslt, op, true);
}

CMPIStatus enumerateInstances(CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult* rslt,
                              const CMPIObjectPath* op, const char**) {
    return enumerate(mi, rslt, op, false);
}

// Calls f(store, item) for the stored item the path names, under the store's
// lock.
template <class F>
CMPIStatus withItem(CMPIInstanceMI* mi, const CMPIObjectPath* op, F f) {
    Mi* m = miOf(mi->hdl);
    Store& store = storeOf(m->mb, m->name);
    std::lock_guard<std::mutex> lock(store.mutex);
    auto it = store.items.find(keyOf(op));
    if (it == store.items.end()) return status(m, CMPI_RC_ERR_NOT_FOUND, "no such instance");
    f(store, it);
    return status(CMPI_RC_OK);
}

CMPIStatus getInstance(CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult* rslt,
                       const CMPIObjectPath* op, const char**) {
    return withItem(mi, op, [rslt](Store&, auto it) {
        rslt->ft->returnInstance(rslt, it->second);
        rslt->ft->returnDone(rslt);
    });
}

CMPIStatus createInstance(CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult* rslt,
                          const CMPIObjectPath* op, const CMPIInstance* inst) {
    Mi* m = miOf(mi->hdl);
    if (propertyText(inst, "Name").empty())
        return status(m, CMPI_RC_ERR_INVALID_PARAMETER, "Name is missing");
    std::string key = lower(chars(op->ft->getClassName(op, nullptr)) + "/" + propertyText(inst, "Name"));
    Store& store = storeOf(m->mb, m->name);
    std::lock_guard<std::mutex> lock(store.mutex);
    if (store.items.count(key)) return status(CMPI_RC_ERR_ALREADY_EXISTS);
    store.items[key] = inst->ft->clone(inst, nullptr);
    rslt->ft->returnObjectPath(rslt, inst->ft->getObjectPath(inst, nullptr));
    rslt->ft->returnDone(rslt);
    return status(CMPI_RC_OK);
}

CMPIStatus modifyInstance(CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult*, const CMPIObjectPath* op,
                          const CMPIInstance* inst, const char**) {
    return withItem(mi, op, [inst](Store&, auto it) {
        it->second->ft->release(it->second);
        it->second = inst->ft->clone(inst, nullptr);
    });
}

CMPIStatus deleteInstance(CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult*,
                          const CMPIObjectPath* op) {
    return withItem(mi, op, [](Store& store, auto it) {
        it->second->ft->release(it->second);
        store.items.erase(it);
    });
}

CMPIStatus execQuery(CMPIInstanceMI*, const CMPIContext*, const CMPIResult*, const CMPIObjectPath*,
                     const char*, const char*) {
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
}

const CMPIInstanceMIFT instanceFT = {
    CMPICurrentVersion, 1,           "TestInstance", instanceCleanup, enumerateNames,
    enumerateInstances, getInstance, createInstance, modifyInstance,  deleteInstance,
    execQuery};

// ---- Method MI: up-calls from inside a call -------------------------------------

std::string argText(const CMPIArgs* in, const char* name) {
    CMPIData d = in ? in->ft->getArg(in, name, nullptr) : CMPIData{};
    return d.type == CMPI_string && !(d.state & CMPI_nullValue) ? chars(d.value.string) : "";
}

CMPIStatus methodCleanup(CMPIMethodMI* mi, const CMPIContext*, CMPIBoolean terminating) {
    return cleanup(mi->hdl, "Method", terminating);
}

CMPIStatus invokeMethod(CMPIMethodMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                        const CMPIObjectPath*, const char* method, const CMPIArgs* in, CMPIArgs* out) {
    Mi* m = miOf(mi->hdl);
    const CMPIBroker* mb = m->mb;
    CMPIStatus rc = status(CMPI_RC_OK);
    CMPIUint32 result = 0;
    if (strcasecmp(method, "Count") == 0) {
        Store& store = storeOf(mb, m->name);
        std::lock_guard<std::mutex> lock(store.mutex);
        result = static_cast<CMPIUint32>(store.items.size());
    } else if (strcasecmp(method, "Enumerate") == 0) {
        CMPIObjectPath* op = mb->eft->newObjectPath(mb, nullptr, argText(in, "ClassName").c_str(), nullptr);
        CMPIEnumeration* e = mb->bft->enumerateInstances(mb, ctx, op, nullptr, &rc);
        if (!e) return rc;
        std::vector<std::string> names;
        while (e->ft->hasNext(e, nullptr)) {
            CMPIData d = e->ft->getNext(e, nullptr);
            names.push_back(propertyText(d.value.inst, "Name"));
        }
        CMPIArray* array = mb->eft->newArray(mb, static_cast<CMPICount>(names.size()), CMPI_string, nullptr);
        for (CMPICount i = 0; i < names.size(); ++i)
            array->ft->setElementAt(array, i, charsArg(names[i].c_str()), CMPI_chars);
        CMPIValue av;
        av.array = array;
        out->ft->addArg(out, "Names", &av, CMPI_stringA);
        result = static_cast<CMPIUint32>(names.size());
    } else if (strcasecmp(method, "Deliver") == 0) {
        CMPIObjectPath* op = mb->eft->newObjectPath(mb, "root/qms", "QMS_VRXLogEntryArrived", nullptr);
        CMPIInstance* ind = mb->eft->newInstance(mb, op, nullptr);
        ind->ft->setProperty(ind, "Message", charsArg("hello"), CMPI_chars);
        rc = mb->bft->deliverIndication(mb, ctx, "root/qms", ind);
    } else if (strcasecmp(method, "Thread") == 0) {
        // Objects made on an attached thread live until it detaches.
        CMPIContext* prepared = mb->bft->prepareAttachThread(mb, ctx);
        std::thread worker([mb, prepared, &result] {
            if (mb->bft->attachThread(mb, prepared).rc != CMPI_RC_OK) return;
            for (int i = 0; i < 100; ++i) mb->eft->newString(mb, "made on the worker", nullptr);
            CMPIDateTime* now = mb->eft->newDateTime(mb, nullptr);
            result = now && now->ft->getBinaryFormat(now, nullptr) > 0 ? 1 : 0;
            mb->bft->detachThread(mb, prepared);
        });
        worker.join();
    } else if (strcasecmp(method, "Fail") == 0) {
        return status(m, CMPI_RC_ERR_ACCESS_DENIED, "denied by the test provider");
    } else {
        return status(CMPI_RC_ERR_METHOD_NOT_FOUND);
    }
    if (rc.rc != CMPI_RC_OK) return rc;
    CMPIValue rv;
    rv.uint32 = result;
    rslt->ft->returnData(rslt, &rv, CMPI_uint32);
    rslt->ft->returnDone(rslt);
    return status(CMPI_RC_OK);
}

const CMPIMethodMIFT methodFT = {CMPICurrentVersion, 1, "TestMethod", methodCleanup, invokeMethod};

// ---- Indication MI ------------------------------------------------------------------

std::string queryOf(const CMPISelectExp* filter) { return chars(filter->ft->getString(filter, nullptr)); }

CMPIStatus indicationCleanup(CMPIIndicationMI* mi, const CMPIContext*, CMPIBoolean terminating) {
    return cleanup(mi->hdl, "Indication", terminating);
}

CMPIStatus authorizeFilter(CMPIIndicationMI* mi, const CMPIContext*, const CMPISelectExp* filter,
                           const char* cls, const CMPIObjectPath*, const char*) {
    Mi* m = miOf(mi->hdl);
    note(m, "authorizeFilter " + std::string(cls));
    if (queryOf(filter).find("Refuse") != std::string::npos)
        return status(m, CMPI_RC_ERR_ACCESS_DENIED, "filter refused");
    return status(CMPI_RC_OK);
}

CMPIStatus mustPoll(CMPIIndicationMI*, const CMPIContext*, const CMPISelectExp*, const char*,
                    const CMPIObjectPath*) {
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
}

CMPIStatus activateFilter(CMPIIndicationMI* mi, const CMPIContext*, const CMPISelectExp*, const char*,
                          const CMPIObjectPath*, CMPIBoolean first) {
    note(miOf(mi->hdl), std::string("activateFilter first=") + (first ? "1" : "0"));
    return status(CMPI_RC_OK);
}

CMPIStatus deActivateFilter(CMPIIndicationMI* mi, const CMPIContext*, const CMPISelectExp*, const char*,
                            const CMPIObjectPath*, CMPIBoolean last) {
    note(miOf(mi->hdl), std::string("deActivateFilter last=") + (last ? "1" : "0"));
    return status(CMPI_RC_OK);
}

CMPIStatus enableIndications(CMPIIndicationMI* mi, const CMPIContext*) {
    note(miOf(mi->hdl), "enableIndications");
    return status(CMPI_RC_OK);
}

CMPIStatus disableIndications(CMPIIndicationMI* mi, const CMPIContext*) {
    note(miOf(mi->hdl), "disableIndications");
    return status(CMPI_RC_OK);
}

const CMPIIndicationMIFT indicationFT = {CMPICurrentVersion, 1,
                                         "TestIndication",   indicationCleanup,
                                         authorizeFilter,    mustPoll,
                                         activateFilter,     deActivateFilter,
                                         enableIndications,  disableIndications};

Mi* newMi(const CMPIBroker* mb, const char* name) {
    Mi* m = new Mi;
    m->mb = mb;
    m->name = name;
    m->instance = CMPIInstanceMI{m, &instanceFT};
    m->method = CMPIMethodMI{m, &methodFT};
    m->indication = CMPIIndicationMI{m, &indicationFT};
    note(m, "created");
    return m;
}

}  // namespace

CMPI_EXTERN_C CMPIInstanceMI* Test_Provider_Create_InstanceMI(const CMPIBroker* mb, const CMPIContext*,
                                                              CMPIStatus*) {
    return &newMi(mb, "Test_Provider")->instance;
}
CMPI_EXTERN_C CMPIMethodMI* Test_Provider_Create_MethodMI(const CMPIBroker* mb, const CMPIContext*,
                                                          CMPIStatus*) {
    return &newMi(mb, "Test_Provider")->method;
}
CMPI_EXTERN_C CMPIInstanceMI* Sub_Provider_Create_InstanceMI(const CMPIBroker* mb, const CMPIContext*,
                                                             CMPIStatus*) {
    return &newMi(mb, "Sub_Provider")->instance;
}
CMPI_EXTERN_C CMPIIndicationMI* Ind_Provider_Create_IndicationMI(const CMPIBroker* mb, const CMPIContext*,
                                                                 CMPIStatus*) {
    return &newMi(mb, "Ind_Provider")->indication;
}
CMPI_EXTERN_C CMPIMethodMI* Ind_Provider_Create_MethodMI(const CMPIBroker* mb, const CMPIContext*,
                                                         CMPIStatus*) {
    return &newMi(mb, "Ind_Provider")->method;
}
CMPI_EXTERN_C CMPIInstanceMI* Keep_Provider_Create_InstanceMI(const CMPIBroker* mb, const CMPIContext*,
                                                              CMPIStatus*) {
    return &newMi(mb, "Keep_Provider")->instance;
}
CMPI_EXTERN_C CMPIInstanceMI* Null_Provider_Create_InstanceMI(const CMPIBroker* mb, const CMPIContext*,
                                                              CMPIStatus* rc) {
    if (rc) *rc = CMPIStatus{CMPI_RC_ERR_FAILED, mb->eft->newString(mb, "not today", nullptr)};
    return nullptr;
}
