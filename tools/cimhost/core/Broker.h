// The broker the host hands to every provider factory: its four service
// tables (client up-calls and indications, object factories, operating
// system services, memory services) over one ObjectSpace.
//
// Up-calls are routed like client operations, through the Cimom the broker
// serves; a broker made without one answers them CMPI_RC_ERR_NOT_SUPPORTED,
// which is enough for code that only needs the factories (conversion tests).
//
// Conventions kept as the CIMOMs providers meet in the field (sfcb,
// OpenPegasus) keep them, so that a provider that works here works there:
// - A value handed to a setter (setProperty, addKey, setElementAt, addArg,
//   returnData, addEntry) with type CMPI_chars is the text itself, cast to
//   const CMPIValue*; for every other type it is the address of a CMPIValue.
// - What a thread makes through the broker belongs to the thread's current
//   arena (core/Objects.h): the call's, else the attached thread's, else the
//   pool. An attached thread keeps it until it detaches or releases a
//   mark() taken before. deliverIndication makes the indication's path there,
//   as sfcb makes its hand-over on the delivering thread, so a provider that
//   delivers for hours without mark()/release() grows here as it would there.
// - prepareAttachThread copies the context; attachThread makes the thread's
//   arena; detachThread frees it and the prepared context.
// - A factory's status is preset to OK; a table that comes with a failed
//   status counts as no table (as OpenPegasus reads it).
#pragma once

#include <cmpi/cmpift.h>

#include <functional>
#include <mutex>
#include <string>

#include "core/Objects.h"

namespace cimhost {

class Cimom;

class Broker {
public:
    // `cimom` may be null. The broker must outlive every provider it was
    // given to.
    Broker(const ClassRepository& classes, Cimom* cimom);
    // Frees every object still in the pool (clones never released, prepared
    // contexts never attached).
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    const CMPIBroker* cmpi() const { return &broker_; }
    ObjectSpace& space() { return space_; }
    const ClassRepository& classes() const { return space_.classes; }
    Cimom* cimom() const { return cimom_; }
    // The Broker behind a CMPIBroker of ours, or null.
    static Broker* from(const CMPIBroker* broker);

    // A context for a call into namespace `nameSpace`, in the thread's
    // current arena. Pinned contexts ignore release() (those the host hands
    // to a call it frees itself).
    CMPIContext* newContext(const std::string& nameSpace, bool pinned = false);

    // Where deliverIndication goes: the namespace the provider named (or the
    // indication's own when it named none) and the indication.
    typedef std::function<void(const std::string& nameSpace, const Instance& indication)> DeliverFn;
    void setDeliver(DeliverFn deliver);
    // Where logMessage (kind 'L', level = CMPISeverity) and trace (kind 'T',
    // level = CMPILevel) lines go; dropped when unset.
    typedef std::function<void(char kind, int level, const std::string& component, const std::string& text)>
        LogFn;
    void setLog(LogFn log);

    // Used by the broker's tables.
    void deliver(const std::string& nameSpace, const Instance& indication);
    void log(char kind, int level, const std::string& component, const std::string& text);

private:
    ObjectSpace space_;
    Cimom* cimom_;
    CMPIBroker broker_;
    mutable std::mutex mutex_;
    DeliverFn deliver_;
    LogFn log_;
};

}  // namespace cimhost
