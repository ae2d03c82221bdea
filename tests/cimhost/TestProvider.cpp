// A small CMPI provider library written straight against the CMPI headers,
// for the host's tests. Its providers:
//   Test_Provider  instance + method: keeps created instances by class and
//                  Name; its methods make up-calls into the broker.
//   Sub_Provider   instance: the same, for a subclass.
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

namespace {

struct Mi {
    const CMPIBroker* mb;
    std::string name;
    CMPIInstanceMI instance;
    CMPIMethodMI method;
    CMPIIndicationMI indication;
    std::mutex mutex;
    std::map<std::string, CMPIInstance*> items;  // an instance MI's, by "<class>/<Name>" in lower case
};

Mi* miOf(const void* hdl) { return static_cast<Mi*>(const_cast<void*>(hdl)); }

CMPIStatus status(CMPIrc rc) { return CMPIStatus{rc, nullptr}; }

CMPIStatus status(const Mi* m, CMPIrc rc, const char* text) {
    return CMPIStatus{rc, m->mb->eft->newString(m->mb, text, nullptr)};
}

CMPIStatus note(const void* hdl, const std::string& line) {
    const Mi* m = miOf(hdl);
    m->mb->eft->trace(m->mb, CMPI_LEV_INFO, m->name.c_str(), line.c_str(), nullptr);
    return status(CMPI_RC_OK);
}

std::string chars(CMPIString* s) {
    const char* c = s ? s->ft->getCharPtr(s, nullptr) : nullptr;
    return c ? c : "";
}

std::string text(CMPIData d) {
    return d.type == CMPI_string && !(d.state & CMPI_nullValue) ? chars(d.value.string) : "";
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string className(const CMPIObjectPath* op) { return lower(chars(op->ft->getClassName(op, nullptr))); }

std::string keyOf(const CMPIObjectPath* op) {
    return className(op) + "/" + lower(text(op->ft->getKey(op, "Name", nullptr)));
}

CMPIStatus cleanup(const void* hdl, const char* kind, CMPIBoolean terminating) {
    note(hdl, std::string("cleanup ") + kind + " terminating=" + (terminating ? "1" : "0"));
    delete miOf(hdl);
    return status(CMPI_RC_OK);
}

// ---- Instance MI ---------------------------------------------------------------

CMPIStatus instanceCleanup(CMPIInstanceMI* mi, const CMPIContext*, CMPIBoolean terminating) {
    Mi* m = miOf(mi->hdl);
    if (m->name == "Keep_Provider" && !terminating) {
        note(m, "cleanup Instance terminating=0");
        return status(CMPI_RC_DO_NOT_UNLOAD);
    }
    for (auto& item : m->items) item.second->ft->release(item.second);
    return cleanup(m, "Instance", terminating);
}

CMPIStatus enumerate(CMPIInstanceMI* mi, const CMPIResult* rslt, const CMPIObjectPath* op, bool names) {
    const std::string cls = className(op) + "/";
    Mi* m = miOf(mi->hdl);
    std::lock_guard<std::mutex> lock(m->mutex);
    for (auto& item : m->items) {
        if (item.first.compare(0, cls.size(), cls) != 0) continue;
        if (names)
            rslt->ft->returnObjectPath(rslt, item.second->ft->getObjectPath(item.second, nullptr));
        else
            rslt->ft->returnInstance(rslt, item.second);
    }
    rslt->ft->returnDone(rslt);
    return status(CMPI_RC_OK);
}

// Calls f(items, item) for the stored item the path names, under the MI's
// lock.
template <class F>
CMPIStatus withItem(CMPIInstanceMI* mi, const CMPIObjectPath* op, F f) {
    Mi* m = miOf(mi->hdl);
    std::lock_guard<std::mutex> lock(m->mutex);
    auto it = m->items.find(keyOf(op));
    if (it == m->items.end()) return status(m, CMPI_RC_ERR_NOT_FOUND, "no such instance");
    f(m->items, it);
    return status(CMPI_RC_OK);
}

CMPIStatus createInstance(CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult* rslt,
                          const CMPIObjectPath* op, const CMPIInstance* inst) {
    const std::string key = className(op) + "/" + lower(text(inst->ft->getProperty(inst, "Name", nullptr)));
    Mi* m = miOf(mi->hdl);
    std::lock_guard<std::mutex> lock(m->mutex);
    if (m->items.count(key)) return status(CMPI_RC_ERR_ALREADY_EXISTS);
    m->items[key] = inst->ft->clone(inst, nullptr);
    rslt->ft->returnObjectPath(rslt, inst->ft->getObjectPath(inst, nullptr));
    rslt->ft->returnDone(rslt);
    return status(CMPI_RC_OK);
}

const CMPIInstanceMIFT instanceFT = {
    CMPICurrentVersion,
    1,
    "TestInstance",
    instanceCleanup,
    [](CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op) {
        return enumerate(mi, rslt, op, true);
    },
    [](CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
       const char**) { return enumerate(mi, rslt, op, false); },
    [](CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
       const char**) {
        return withItem(mi, op, [rslt](auto&, auto it) {
            rslt->ft->returnInstance(rslt, it->second);
            rslt->ft->returnDone(rslt);
        });
    },
    createInstance,
    [](CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult*, const CMPIObjectPath* op,
       const CMPIInstance* inst, const char**) {
        return withItem(mi, op, [inst](auto&, auto it) {
            it->second->ft->release(it->second);
            it->second = inst->ft->clone(inst, nullptr);
        });
    },
    [](CMPIInstanceMI* mi, const CMPIContext*, const CMPIResult*, const CMPIObjectPath* op) {
        return withItem(mi, op, [](auto& items, auto it) {
            it->second->ft->release(it->second);
            items.erase(it);
        });
    },
    nullptr};

// ---- Method MI: up-calls from inside a call -------------------------------------

CMPIStatus invokeMethod(CMPIMethodMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                        const CMPIObjectPath*, const char* method, const CMPIArgs* in, CMPIArgs*) {
    Mi* m = miOf(mi->hdl);
    const CMPIBroker* mb = m->mb;
    CMPIStatus rc = status(CMPI_RC_OK);
    CMPIUint32 result = 0;
    if (strcasecmp(method, "Ping") == 0) {
        // Answers 0: it is there to be routed.
    } else if (strcasecmp(method, "Enumerate") == 0) {
        const std::string cls = text(in->ft->getArg(in, "ClassName", nullptr));
        CMPIObjectPath* op = mb->eft->newObjectPath(mb, nullptr, cls.c_str(), nullptr);
        CMPIEnumeration* e = mb->bft->enumerateInstances(mb, ctx, op, nullptr, &rc);
        for (; e && e->ft->hasNext(e, nullptr); ++result) e->ft->getNext(e, nullptr);
    } else if (strcasecmp(method, "Deliver") == 0) {
        CMPIObjectPath* op = mb->eft->newObjectPath(mb, "root/qms", "QMS_VRXLogEntryArrived", nullptr);
        CMPIInstance* ind = mb->eft->newInstance(mb, op, nullptr);
        ind->ft->setProperty(ind, "Message", reinterpret_cast<const CMPIValue*>("hello"), CMPI_chars);
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

const CMPIMethodMIFT methodFT = {
    CMPICurrentVersion, 1, "TestMethod",
    [](CMPIMethodMI* mi, const CMPIContext*, CMPIBoolean t) { return cleanup(mi->hdl, "Method", t); },
    invokeMethod};

// ---- Indication MI ------------------------------------------------------------------

const CMPIIndicationMIFT indicationFT = {
    CMPICurrentVersion,
    1,
    "TestIndication",
    [](CMPIIndicationMI* mi, const CMPIContext*, CMPIBoolean t) { return cleanup(mi->hdl, "Indication", t); },
    [](CMPIIndicationMI* mi, const CMPIContext*, const CMPISelectExp* filter, const char* cls,
       const CMPIObjectPath*, const char*) {
        note(mi->hdl, "authorizeFilter " + std::string(cls));
        if (chars(filter->ft->getString(filter, nullptr)).find("Refuse") != std::string::npos)
            return status(miOf(mi->hdl), CMPI_RC_ERR_ACCESS_DENIED, "filter refused");
        return status(CMPI_RC_OK);
    },
    nullptr,
    [](CMPIIndicationMI* mi, const CMPIContext*, const CMPISelectExp*, const char*, const CMPIObjectPath*,
       CMPIBoolean first) {
        return note(mi->hdl, std::string("activateFilter first=") + (first ? "1" : "0"));
    },
    [](CMPIIndicationMI* mi, const CMPIContext*, const CMPISelectExp*, const char*, const CMPIObjectPath*,
       CMPIBoolean last) {
        return note(mi->hdl, std::string("deActivateFilter last=") + (last ? "1" : "0"));
    },
    [](CMPIIndicationMI* mi, const CMPIContext*) { return note(mi->hdl, "enableIndications"); },
    [](CMPIIndicationMI* mi, const CMPIContext*) { return note(mi->hdl, "disableIndications"); }};

Mi* newMi(const CMPIBroker* mb, const char* name) {
    Mi* m = new Mi{mb, name, {}, {}, {}, {}, {}};
    m->instance = CMPIInstanceMI{m, &instanceFT};
    m->method = CMPIMethodMI{m, &methodFT};
    m->indication = CMPIIndicationMI{m, &indicationFT};
    note(m, "created");
    return m;
}

}  // namespace

#define TEST_FACTORY(provider, kind, member)                                                             \
    CMPI_EXTERN_C CMPI##kind##MI* provider##_Create_##kind##MI(const CMPIBroker* mb, const CMPIContext*, \
                                                               CMPIStatus*) {                            \
        return &newMi(mb, #provider)->member;                                                            \
    }
TEST_FACTORY(Test_Provider, Instance, instance)
TEST_FACTORY(Test_Provider, Method, method)
TEST_FACTORY(Sub_Provider, Instance, instance)
TEST_FACTORY(Ind_Provider, Indication, indication)
TEST_FACTORY(Ind_Provider, Method, method)
TEST_FACTORY(Keep_Provider, Instance, instance)

CMPI_EXTERN_C CMPIInstanceMI* Null_Provider_Create_InstanceMI(const CMPIBroker* mb, const CMPIContext*,
                                                              CMPIStatus* rc) {
    if (rc) *rc = CMPIStatus{CMPI_RC_ERR_FAILED, mb->eft->newString(mb, "not today", nullptr)};
    return nullptr;
}
