// The indication MI and the delivery road back into the CIMOM.
//
// Enabling opens a delivery session: a context prepared for a thread of the
// provider's own, and a callback the provider keeps in its indication
// handler. The first thread that delivers attaches with that context and is
// the only one that may deliver in the session; the provider releasing its
// handler ends the session.
#include <cimple/Provider_Ops.h>

#include "State.h"

namespace cimple {
namespace cmpi_adapter {

namespace {

// The callback's data: which state, and which session. A handler the
// provider lets go of late must not end the session that followed it.
struct Session_Token {
    State* state;
    uint64_t session;
};

void release_context(const CMPIContext* context) {
    CMPIContext* c = const_cast<CMPIContext*>(context);
    if (c && c->ft && c->ft->release) c->ft->release(c);
}

void end_session(State& s, uint64_t session) {
    const CMPIContext* unclaimed = nullptr;
    bool detach_here = false;
    {
        std::lock_guard<std::mutex> lock(s.session_mutex);
        if (session == 0 || s.session != session) return;
        if (s.claimed)
            detach_here = s.delivery_thread == std::this_thread::get_id();
        else
            unclaimed = s.delivery_context;
        s.session = 0;
        s.delivery_context = nullptr;
        s.claimed = false;
    }
    // A thread that attached elsewhere detaches when it ends or when it
    // claims the next session.
    if (detach_here) detach_thread(session);
    release_context(unclaimed);
}

bool deliver(Instance* instance, void* data) {
    Session_Token* token = static_cast<Session_Token*>(data);
    State& s = *token->state;
    if (!instance) {
        end_session(s, token->session);
        delete token;
        return true;
    }
    try {
        const CMPIContext* context = nullptr;
        std::string name_space;
        bool second_thread = false;
        {
            std::lock_guard<std::mutex> lock(s.session_mutex);
            if (s.session != token->session) {
                trace(s.broker, "%s: indication after its session ended", s.provider_name);
                return false;
            }
            if (!s.claimed) {
                s.claimed = true;
                s.delivery_thread = std::this_thread::get_id();
            }
            second_thread = s.delivery_thread != std::this_thread::get_id();
            context = s.delivery_context;
            name_space = s.indication_name_space;
        }
        if (second_thread) {
            trace(s.broker, "%s: indication refused: one thread delivers per session", s.provider_name);
            return false;
        }
        if (!attach_thread(s.broker, context, token->session)) {
            trace(s.broker, "%s: the broker refused to attach the delivering thread", s.provider_name);
            return false;
        }
        Memory_Mark mark(s.broker);
        Converter conv(s.broker, name_space);
        CMPIStatus rc = s.broker->bft->deliverIndication(s.broker, context, name_space.c_str(),
                                                         conv.to_instance(instance));
        if (rc.rc != CMPI_RC_OK) {
            trace(s.broker, "%s: deliverIndication gave %d: %s", s.provider_name, int(rc.rc), chars(rc.msg));
            return false;
        }
        return true;
    } catch (const Failure& f) {
        trace(s.broker, "%s: indication not delivered: %s", s.provider_name, f.message.c_str());
    } catch (...) {
        trace(s.broker, "%s: indication not delivered: unexpected exception", s.provider_name);
    }
    return false;
}

// Opens a session and hands the provider its handler; the lifecycle lock is
// held. `name_space`, when given, is where the indications go.
void enable(State& s, const CMPIContext* ctx, const std::string* name_space) {
    if (name_space) {
        std::lock_guard<std::mutex> lock(s.session_mutex);
        s.indication_name_space = *name_space;
    }
    if (s.enabled) return;
    void* provider = s.loaded_provider();
    const CMPIContext* prepared = s.broker->bft->prepareAttachThread(s.broker, ctx);
    if (!prepared) fail(CMPI_RC_ERR_FAILED, "the broker gave no context for the delivering thread");
    uint64_t session = next_session();
    {
        std::lock_guard<std::mutex> lock(s.session_mutex);
        s.session = session;
        s.delivery_context = prepared;
        s.claimed = false;
    }
    Session_Token* token = new Session_Token{&s, session};
    s.enabled = true;
    int status = s.call(OPERATION_ENABLE_INDICATIONS, provider, reinterpret_cast<void*>(&deliver), token);
    if (status == 0) return;
    s.enabled = false;
    // -1: the provider takes no indications and never made a handler;
    // otherwise the handler it made has been released (and took the token).
    if (status == -1) delete token;
    end_session(s, session);
    s.check(status, "enable_indications");
}

int disable(State& s) {
    if (!s.enabled) return 0;
    s.enabled = false;
    uint64_t session;
    {
        std::lock_guard<std::mutex> lock(s.session_mutex);
        session = s.session;
    }
    int status = s.provider ? s.call(OPERATION_DISABLE_INDICATIONS, s.provider) : 0;
    end_session(s, session);  // also when the provider kept its handler
    return status;
}

CMPIStatus authorizeFilter(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp*, const char*,
                           const CMPIObjectPath*, const char*) {
    return boundary(mi, ctx, "authorizeFilter", [](State&) { return CMPI_RC_OK; });
}

// The provider delivers its own indications: no polling.
CMPIStatus mustPoll(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp*, const char*,
                    const CMPIObjectPath*) {
    return boundary(mi, ctx, "mustPoll", [](State&) { return CMPI_RC_ERR_NOT_SUPPORTED; });
}

CMPIStatus activateFilter(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp*, const char*,
                          const CMPIObjectPath* classPath, CMPIBoolean) {
    return boundary(mi, ctx, "activateFilter", [&](State& s) {
        std::lock_guard<std::recursive_mutex> lock(s.lifecycle);
        std::string name_space = name_space_of(classPath, s.init_name_space.c_str());
        if (++s.activations == 1) {
            try {
                enable(s, ctx, &name_space);
            } catch (...) {
                s.activations--;
                throw;
            }
        }
        return CMPI_RC_OK;
    });
}

CMPIStatus deActivateFilter(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp*, const char*,
                            const CMPIObjectPath*, CMPIBoolean) {
    return boundary(mi, ctx, "deActivateFilter", [&](State& s) {
        std::lock_guard<std::recursive_mutex> lock(s.lifecycle);
        if (s.activations == 0 || --s.activations > 0) return CMPI_RC_OK;
        s.check(disable(s), "disable_indications");
        return CMPI_RC_OK;
    });
}

CMPIStatus enableIndications(CMPIIndicationMI* mi, const CMPIContext* ctx) {
    return boundary(mi, ctx, "enableIndications", [&](State& s) {
        std::lock_guard<std::recursive_mutex> lock(s.lifecycle);
        enable(s, ctx, nullptr);
        return CMPI_RC_OK;
    });
}

CMPIStatus disableIndications(CMPIIndicationMI* mi, const CMPIContext* ctx) {
    return boundary(mi, ctx, "disableIndications", [&](State& s) {
        std::lock_guard<std::recursive_mutex> lock(s.lifecycle);
        s.check(disable(s), "disable_indications");
        return CMPI_RC_OK;
    });
}

CMPIStatus indicationCleanup(CMPIIndicationMI* mi, const CMPIContext* ctx, CMPIBoolean terminating) {
    return cleanup(mi, ctx, terminating, KIND_INDICATION);
}

}  // namespace

void disable_indications(State& s) {
    int status = disable(s);
    if (status != 0)
        trace(s.broker, "%s: disable_indications gave framework status %d", s.provider_name, status);
}

CMPIIndicationMIFT indication_table(const char* name) {
    return {CMPICurrentVersion, CMPICurrentVersion, name,           indicationCleanup,
            authorizeFilter,    mustPoll,           activateFilter, deActivateFilter,
            enableIndications,  disableIndications};
}

}  // namespace cmpi_adapter
}  // namespace cimple
