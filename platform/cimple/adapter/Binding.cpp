#include "Binding.h"

#include <cimple/cimom.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>

#include "Convert.h"

namespace cimple {
namespace cmpi_adapter {

namespace {

std::atomic<bool> unload_flag{true};
std::atomic<const CMPIBroker*> trace_broker{nullptr};
std::atomic<uint64_t> session_counter{0};

thread_local Thread_Context call_context = {nullptr, nullptr};

// The indication attachment of this thread. It detaches when the thread
// ends, so a thread that delivered never outlives its attachment.
struct Attachment {
    const CMPIBroker* broker = nullptr;
    const CMPIContext* context = nullptr;
    uint64_t session = 0;

    void detach() {
        if (broker && broker->bft && broker->bft->detachThread) broker->bft->detachThread(broker, context);
        broker = nullptr;
        context = nullptr;
        session = 0;
    }
    ~Attachment() { detach(); }
};

thread_local Attachment attachment;

}  // namespace

Call_Scope::Call_Scope(const CMPIBroker* broker, const CMPIContext* context) : _saved(call_context) {
    call_context = {broker, context};
}

Call_Scope::~Call_Scope() { call_context = _saved; }

Thread_Context current_context() {
    if (call_context.broker) return call_context;
    return {attachment.broker, attachment.context};
}

bool attach_thread(const CMPIBroker* broker, const CMPIContext* context, uint64_t session) {
    if (attachment.session == session && attachment.broker) return true;
    attachment.detach();
    CMPIStatus rc = broker->bft->attachThread(broker, context);
    if (rc.rc != CMPI_RC_OK) return false;
    attachment.broker = broker;
    attachment.context = context;
    attachment.session = session;
    return true;
}

bool attached_to(uint64_t session) { return attachment.broker && attachment.session == session; }

void detach_thread(uint64_t session) {
    if (attached_to(session)) attachment.detach();
}

uint64_t next_session() { return ++session_counter; }

Memory_Mark::Memory_Mark(const CMPIBroker* broker) : _broker(broker), _mark(nullptr) {
    if (broker && broker->mft && broker->mft->mark) _mark = broker->mft->mark(broker, nullptr);
}

Memory_Mark::~Memory_Mark() {
    if (_mark) _broker->mft->release(_broker, _mark);
}

bool unload_allowed() { return unload_flag.load(); }

void remember_broker(const CMPIBroker* broker) { trace_broker.store(broker); }

const CMPIBroker* remembered_broker() { return trace_broker.load(); }

void trace(const CMPIBroker* broker, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (!broker) broker = remembered_broker();
    // sfcb answers the trace service with NOT_SUPPORTED and drops the line:
    // then it goes to the provider process's stderr, which sfcb logs.
    if (broker && broker->eft && broker->eft->trace &&
        broker->eft->trace(broker, CMPI_LEV_WARNING, "cimplecmpiadap", text, nullptr).rc == CMPI_RC_OK)
        return;
    fprintf(stderr, "cimplecmpiadap: %s\n", text);
}

namespace {

// cimom:: calls answered by the broker of the calling thread.
class Broker_Binding : public cimom::Cimom_Binding {
public:
    int enum_instances(const char* name_space, const Instance* model,
                       cimom::Instance_Enumerator& e) override {
        return run("enum_instances", name_space, [&](const Thread_Context& tc, Converter& conv) {
            CMPIStatus rc = {CMPI_RC_OK, nullptr};
            const Meta_Class* mc = model->meta_class;
            CMPIObjectPath* op =
                conv.own(tc.broker->eft->newObjectPath(tc.broker, name_space, mc->name, &rc));
            if (!op) return rc.rc ? rc.rc : CMPI_RC_ERR_FAILED;
            CMPIEnumeration* en =
                conv.own(tc.broker->bft->enumerateInstances(tc.broker, tc.context, op, nullptr, &rc));
            if (rc.rc != CMPI_RC_OK) return rc.rc;
            if (!en) return CMPI_RC_ERR_FAILED;
            while (en->ft->hasNext(en, nullptr)) {
                CMPIData d = en->ft->getNext(en, &rc);
                if (rc.rc != CMPI_RC_OK) return rc.rc;
                if (d.type != CMPI_instance || !d.value.inst) continue;
                // Other applications' instances share the namespace: one we
                // cannot read (a class our schema lacks) must not hide the
                // rest from the caller.
                try {
                    Ref<Instance> found = conv.from_instance(d.value.inst, mc, Source::Cimom);
                    found->__name_space = name_space;
                    e.append(found.steal());
                } catch (const Failure& f) {
                    trace(tc.broker, "cimom::enum_instances(): %s instance skipped: %s", mc->name,
                          f.message.c_str());
                }
            }
            return CMPI_RC_OK;
        });
    }

    int create_instance(const char* name_space, const Instance* instance) override {
        return run("create_instance", name_space, [&](const Thread_Context& tc, Converter& conv) {
            CMPIStatus rc = {CMPI_RC_OK, nullptr};
            CMPIObjectPath* op = conv.to_path(instance);
            CMPIInstance* ci = conv.to_instance(instance);
            conv.own(tc.broker->bft->createInstance(tc.broker, tc.context, op, ci, &rc));
            return rc.rc;
        });
    }

    int delete_instance(const char* name_space, const Instance* instance) override {
        return run("delete_instance", name_space, [&](const Thread_Context& tc, Converter& conv) {
            return tc.broker->bft->deleteInstance(tc.broker, tc.context, conv.to_path(instance)).rc;
        });
    }

    void allow_unload(bool flag) override { unload_flag.store(flag); }

private:
    template <class Body>
    static int run(const char* operation, const char* name_space, Body body) {
        Thread_Context tc = current_context();
        if (!tc.broker) {
            trace(nullptr, "cimom::%s(): no CIMOM context on this thread", operation);
            return -1;
        }
        Memory_Mark mark(tc.broker);
        try {
            Converter conv(tc.broker, name_space);
            return int(body(tc, conv));
        } catch (const Failure& f) {
            trace(tc.broker, "cimom::%s(): %s", operation, f.message.c_str());
            return int(f.rc);
        } catch (...) {
            trace(tc.broker, "cimom::%s(): unexpected exception", operation);
            return int(CMPI_RC_ERR_FAILED);
        }
    }
};

}  // namespace

void install_binding() {
    // Never destroyed: threads of the CIMOM may still call in while the
    // process exits.
    // Built in static storage and never destroyed: threads of the CIMOM may
    // still call in while the process exits, and the storage goes with the
    // module's memory when the CIMOM unloads it (no heap block left behind).
    alignas(Broker_Binding) static unsigned char storage[sizeof(Broker_Binding)];
    static std::once_flag once;
    std::call_once(once, [] { cimom::set_cimom_binding(new (storage) Broker_Binding); });
}

}  // namespace cmpi_adapter
}  // namespace cimple
