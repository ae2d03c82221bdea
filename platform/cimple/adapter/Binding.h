// What ties a thread to the CIMOM: the context of the MI call it is running,
// or the attachment of a provider-owned thread that delivers indications.
// The framework's cimom:: calls go through whichever of the two the calling
// thread has.
#pragma once

#include <cmpi/cmpift.h>

#include <cstdint>

namespace cimple {
namespace cmpi_adapter {

struct Thread_Context {
    const CMPIBroker* broker;
    const CMPIContext* context;
};

// Records the broker and context of an MI call for the calling thread while
// the call lasts; nested calls restore the outer one.
class Call_Scope {
public:
    Call_Scope(const CMPIBroker* broker, const CMPIContext* context);
    ~Call_Scope();
    Call_Scope(const Call_Scope&) = delete;
    Call_Scope& operator=(const Call_Scope&) = delete;

private:
    Thread_Context _saved;
};

// The MI call's context, else the indication attachment's; a null broker
// when the thread has neither.
Thread_Context current_context();

// Attaches the calling thread with a context prepared for delivery session
// `session` (unique process-wide, never 0). A thread still attached for an
// older session detaches from it first; the attachment ends at the latest
// when the thread does. False when the broker refuses.
bool attach_thread(const CMPIBroker* broker, const CMPIContext* context, uint64_t session);
bool attached_to(uint64_t session);
// Detaches the calling thread now when it is attached for `session`.
void detach_thread(uint64_t session);
// A fresh session number.
uint64_t next_session();

// Brackets what the CIMOM allocates on this thread for the calls made while
// the mark lives (broker mark()/release()): a CIMOM ties such memory to the
// thread and frees it only at a release or when the thread detaches, so a
// thread of the provider's own that delivers for hours would otherwise keep
// every delivery's. Objects made in between must not be used once it goes.
class Memory_Mark {
public:
    explicit Memory_Mark(const CMPIBroker* broker);
    ~Memory_Mark();
    Memory_Mark(const Memory_Mark&) = delete;
    Memory_Mark& operator=(const Memory_Mark&) = delete;

private:
    const CMPIBroker* _broker;
    CMPIGcStat* _mark;
};

// Installs the broker binding for cimple::cimom once per process.
void install_binding();
// What the providers asked through cimom::allow_unload (true until asked).
bool unload_allowed();
// The broker traces go to when a call has none at hand: the one the latest
// factory call brought (a CIMOM keeps its broker for the life of the process).
void remember_broker(const CMPIBroker* broker);
const CMPIBroker* remembered_broker();

// One diagnostic line through the broker's trace service (stderr when no
// broker is known).
void trace(const CMPIBroker* broker, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace cmpi_adapter
}  // namespace cimple
