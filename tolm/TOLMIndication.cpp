#include "tolm/TOLMIndication.h"

#include <cimple/Mutex.h>

#include <memory>

#include "support/InitOrder.h"
#include "support/provider_trace.h"
#include "support/provider_utils.h"

namespace provider {
namespace {

struct Holder {
    uint32_t users = 0;
    ShPtr<TOLMCalls> calls;
};

// Constructed at library load ahead of the model and the registrations, so a
// provider's load can always take it.
cimple::Mutex sharedInstanceMutex QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_TOLM_STATE){false};
Holder* holder = nullptr;

}  // namespace

bool initTOLMIndication(bool init) {
    cimple::Auto_Mutex lock(sharedInstanceMutex);
    if (init) {
        if (!holder) {
            try {
                auto fresh = std::make_unique<Holder>();
                fresh->calls = newTOLMCalls("QMS_VRXIndication");
                holder = fresh.release();
            } catch (const BaseException& e) {
                trace(1, "initTOLMIndication(): %s", e.toString().c_str());
                return false;
            } catch (...) {
                trace(1, "initTOLMIndication(): %s", "catch(...)");
                return false;
            }
        }
        ++holder->users;
        return true;
    }
    if (!holder) {
        trace(1, "initTOLMIndication(): not initialized");
        return false;
    }
    if (--holder->users == 0) {
        delete holder;  // the last ShPtr to the facade goes with it
        holder = nullptr;
    }
    return true;
}

bool initTOLMIndicationWith(const ShPtr<TOLMCalls>& calls) {
    cimple::Auto_Mutex lock(sharedInstanceMutex);
    if (!holder) {
        holder = new Holder;
        holder->calls = calls;
    }
    ++holder->users;
    return true;
}

TOLMCalls& getTOLMIndication() {
    cimple::Auto_Mutex lock(sharedInstanceMutex);
    if (!holder) traceAndThrow(BaseException("TOLMIndication", 73, "getTOLMIndication(): not initialized"));
    return *holder->calls;
}

}  // namespace provider
