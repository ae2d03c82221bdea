// The model behind all three providers: the service and association
// instances, the indication handler while indications are enabled, and the
// building of indications from agent events. Providers reach it only through
// the accessors below and lock recursiveMutex() around every call.
#pragma once

#include <cimple/cimple.h>

#include <cstdint>
#include <vector>

#include "schema/Classes.h"

namespace provider {

class RaidEventParser;

// Names one instance held by the model: 0 is the one instance, -1 none.
typedef int32_t QMS_VRXIndicationRegistrationServiceHandler;
typedef int32_t QMS_VRXHostedIndicationRegistrationServiceHandler;

class QMS_VRXIndicationRegistrationServiceModel {
public:
    virtual ~QMS_VRXIndicationRegistrationServiceModel() = default;
    virtual cimple::Mutex& recursiveMutex() = 0;
    virtual bool find(QMS_VRXIndicationRegistrationServiceHandler& handler,
                      const cimple::QMS_VRXIndicationRegistrationService* keys) = 0;
    virtual void findAll(std::vector<QMS_VRXIndicationRegistrationServiceHandler>& handlers) = 0;
    // A new copy owned by the caller.
    virtual cimple::QMS_VRXIndicationRegistrationService* clone(
        QMS_VRXIndicationRegistrationServiceHandler handler,
        const cimple::QMS_VRXIndicationRegistrationService* model) = 0;
    virtual cimple::Property<cimple::String> getName(QMS_VRXIndicationRegistrationServiceHandler handler) = 0;
    virtual cimple::Property<cimple::String> getSystemCreationClassName(
        QMS_VRXIndicationRegistrationServiceHandler handler) = 0;
    virtual cimple::Property<cimple::String> getSystemName(
        QMS_VRXIndicationRegistrationServiceHandler handler) = 0;
    virtual cimple::Property<cimple::String> getCreationClassName(
        QMS_VRXIndicationRegistrationServiceHandler handler) = 0;
    virtual bool sendTestIndication() = 0;
};

class QMS_VRXHostedIndicationRegistrationServiceModel {
public:
    virtual ~QMS_VRXHostedIndicationRegistrationServiceModel() = default;
    virtual cimple::Mutex& recursiveMutex() = 0;
    virtual bool find(QMS_VRXHostedIndicationRegistrationServiceHandler& handler,
                      const cimple::QMS_VRXHostedIndicationRegistrationService* keys) = 0;
    virtual void findAll(std::vector<QMS_VRXHostedIndicationRegistrationServiceHandler>& handlers) = 0;
    virtual cimple::QMS_VRXHostedIndicationRegistrationService* clone(
        QMS_VRXHostedIndicationRegistrationServiceHandler handler,
        const cimple::QMS_VRXHostedIndicationRegistrationService* model) = 0;
};

class QMS_VRXLogEntryArrivedIndicationModel {
public:
    enum LogTag { SystemMessageLog = 0, DriverMonitor = 1, TestIndication = 2 };

    virtual ~QMS_VRXLogEntryArrivedIndicationModel() = default;
    virtual cimple::Mutex& recursiveMutex() = 0;
    // Takes ownership of handler.
    virtual void enableIndications(cimple::Indication_Handler<cimple::QMS_VRXLogEntryArrived>* handler) = 0;
    virtual void disableIndications() = 0;
    virtual cimple::Ref<cimple::QMS_VRXLogEntryArrived> create(LogTag tag, unsigned int n) = 0;
    virtual cimple::Ref<cimple::QMS_VRXLogEntryArrived> createRaidEvent(const RaidEventParser& parser) = 0;
    virtual std::vector<unsigned int> DebugNums(LogTag tag) = 0;
};

// Each returns the one model as the named interface, creating it on first
// use. The requesting user is checked on every call, before the model is made
// or used. Throws what getting the agent facade, its account check or making
// the model (reading the server's identity) throws; a failed creation is
// tried again by the next call.
QMS_VRXIndicationRegistrationServiceModel& getQMS_VRXIndicationRegistrationServiceModel();
QMS_VRXHostedIndicationRegistrationServiceModel& getQMS_VRXHostedIndicationRegistrationServiceModel();
QMS_VRXLogEntryArrivedIndicationModel& getQMS_VRXLogEntryArrivedIndicationModel();
// The model for switching indications off: no user check, since stopping
// must never be refused (a check needs the agent, which may be gone), and
// no model made when none exists (then there is nothing to switch off).
// Null when the model has not been made.
QMS_VRXLogEntryArrivedIndicationModel* findQMS_VRXLogEntryArrivedIndicationModel();

// Counts the agent facade up (load = true) or down; true on success.
bool initQMS_VRXIndicationProvider(bool load);

}  // namespace provider
