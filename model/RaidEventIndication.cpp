#include "model/RaidEventIndication.h"

#include <cstdio>

#include "model/LogEntryIndication.h"
#include "support/provider_trace.h"
#include "support/provider_utils.h"

namespace provider {
namespace {

using cimple::QMS_VRXLogEntryArrived;
using cimple::String;

// The drive classes are scoped by the server, like every indication.
template <class Extent>
String drivePath(const cimple::QMS_VRXComputerSystem& computerSystem, const char* className,
                 const String& deviceId, int& result) {
    cimple::Ref<Extent> keys(Extent::create(true));
    keys->SystemCreationClassName = computerSystem.CreationClassName;
    keys->SystemName = computerSystem.Name;
    keys->CreationClassName.set(className);
    keys->DeviceID.set(deviceId);
    String path;
    result = cimple::instance_to_model_path(keys.get(), path);
    return path;
}

// The object path of the element the event is about; false when the event
// names none that the adapter table knows, or the path cannot be formed.
bool sourcePath(const RaidEventParser& parser, const cimple::QMS_VRXComputerSystem& computerSystem,
                String& path) {
    String source;
    int result = -1;
    switch (parser.getSource(source)) {
        case RaidEventParser::Adapter: {
            cimple::Ref<cimple::QMS_VRXHostRaidController> keys(
                cimple::QMS_VRXHostRaidController::create(true));
            keys->CreationClassName.set("QMS_VRXHostRaidController");
            keys->Name.set(source);
            result = cimple::instance_to_model_path(keys.get(), path);
            break;
        }
        case RaidEventParser::PhysicalDrive:
            path = drivePath<cimple::QMS_VRXDiskExtent>(computerSystem, "QMS_VRXDiskExtent", source, result);
            break;
        case RaidEventParser::LogicalDrive:
            path = drivePath<cimple::QMS_VRXStoragePoolCompositeExtent>(
                computerSystem, "QMS_VRXStoragePoolCompositeExtent", source, result);
            break;
        default:
            break;
    }
    return result == 0;
}

uint16_t raidSeverity(unsigned short severity, bool& known) {
    const uint16_t perceived = toPerceivedSeverity(severity);
    known = perceived != 0;
    return perceived;
}

}  // namespace

cimple::Ref<QMS_VRXLogEntryArrived> createRaidEventIndication(
    const RaidEventParser& parser, const cimple::QMS_VRXComputerSystem& computerSystem,
    const cimple::Property<String>& hostAddress) {
    if (!parser.isValid()) {
        traceAndThrow(
            BaseException("QMS_VRXIndicationRegistrationServiceImpl", __LINE__, "Invalid Raid Json Event"));
    }
    cimple::Ref<QMS_VRXLogEntryArrived> indication(QMS_VRXLogEntryArrived::create(true));

    unsigned long long sequenceNumber = 0;
    if (parser.getSeqNr(sequenceNumber)) {
        trace(5, "createRaidEvent: sequenceNumber %d", static_cast<int>(sequenceNumber));
        char eventId[32];
        snprintf(eventId, sizeof eventId, "RaidMessage_%llx", sequenceNumber);
        indication->EventID.set(eventId);
        indication->MessageID = indication->EventID;
    } else {
        trace(1, "createRaidEvent: no sequenceNumber in Raid event");
    }

    String message;
    if (parser.getMessage(message)) {
        trace(5, "createRaidEvent: message %s", message.c_str());
        indication->Message.set(message);
    } else {
        trace(1, "createRaidEvent: no message in Raid event");
    }

    unsigned short severity = 0;
    if (parser.getSeverity(severity)) {
        trace(5, "createRaidEvent: Severity %d", severity);
        bool known = false;
        const uint16_t perceived = raidSeverity(severity, known);
        if (known) {
            indication->PerceivedSeverity.set(perceived);
        } else {
            trace(1, "createRaidEvent: not valid severity: %d", severity);
        }
    } else {
        trace(1, "createRaidEvent: no severity in Raid event");
    }

    unsigned short errorCode = 0;
    if (parser.getErrorCode(errorCode)) {
        trace(5, "createRaidEvent: ErrorCode %d", errorCode);
        indication->ErrorCode.set(errorCode | 0x450000u);
    } else {
        trace(1, "createRaidEvent: no ErrorCode in Raid event");
    }

    trace(5, "getInstanceModelPath4RaidEvent: started");
    String path;
    if (sourcePath(parser, computerSystem, path)) {
        indication->AlertingManagedElement.set(path);
    } else {
        trace(1, "createRaidEvent: No valid source for RAID event");
        trace(1, "createRaidEvent: cannot get instance model path");
    }

    unsigned long long date = 0;
    if (parser.getTimestamp(date)) {
        trace(5, "createRaidEvent: Timestamp %llu", date);
        // Wraps for dates beyond the year 586000; such a date is garbage
        // either way and must not stop the indication.
        indication->EventTime.set(cimple::Datetime(date * 1000000u, 0));
    } else {
        trace(1, "createRaidEvent: no timestamp in Raid Event");
    }

    setAgentAlertProperties(computerSystem, *indication);
    indication->HostAddress = hostAddress;
    return indication;
}

}  // namespace provider
