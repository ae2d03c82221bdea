#include "model/LogEntryIndication.h"

#include <cstdio>
#include <exception>

#include "support/provider_trace.h"
#include "support/provider_utils.h"
#include "tolm/LogMessage.h"

namespace provider {
namespace {

using cimple::QMS_VRXLogEntryArrived;
using cimple::String;
using LogTag = QMS_VRXLogEntryArrivedIndicationModel::LogTag;

const char kOwningEntity[] = "Norvane";
const char kTestText[] = "Test Indication";

// The same cabinet as the model key; opCdExt 1 asks for the host name.
TOLMKey hostKey(const TOLMKey& modelKey) {
    TOLMKey key;
    key.cabNr = modelKey.cabNr;
    key.opCdExt = 1;
    return key;
}

String joinWithBars(const cimple::Array<String>& parts) {
    String joined;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) joined.append('|');
        joined.append(parts[i]);
    }
    return joined;
}

void fillSystemMessage(TOLMCalls& tolm, const LogEntrySource& source, unsigned int n,
                       QMS_VRXLogEntryArrived& indication) {
    indication.EventID.set(String("LogMessage_") + toHexString(n));

    std::vector<LogMessage> entries;
    int count = 0;
    try {
        count = static_cast<int>(tolm.getLogMessageReadChunk(source.modelKey, n, entries));
    } catch (const std::exception& e) {
        // A chunk with a record that runs past its data. Subscribers would
        // rather learn of the entry without its details than not at all.
        trace(1, "setSystemMessage(): LogMessage %x not read: %s", n, e.what());
        return;
    }
    trace(5, "CM_LogMessageRead returned %d LogMessages", count);

    const LogMessage* entry = nullptr;
    for (size_t i = 0; count > 0 && i < entries.size() && i < static_cast<size_t>(count); ++i) {
        if (entries[i].seqNr == n) {
            entry = &entries[i];
            break;
        }
    }
    if (!entry) {
        // The indication still goes out: subscribers learn that something
        // was logged even when the agent cannot show the entry.
        trace(1, "setSystemMessage(): LogMessage %x not found", n);
        return;
    }

    indication.EventTime.set(entry->timestamp);
    indication.Message.set(entry->text);
    indication.PerceivedSeverity.set(toPerceivedSeverity(entry->severity));
    const uint32_t errorCode = packMessageId(entry->messageId);
    indication.ErrorCode.set(errorCode);

    // The agent files its explanatory texts under the packed code.
    const int messageCode = static_cast<int>(errorCode);
    indication.RecommendedActions = tolm.getLogMessageResolutionRead(source.modelKey, messageCode);
    indication.Summary = tolm.getLogMessageActionSummary(source.modelKey, messageCode);
    const cimple::Property<cimple::Array<String>> causes =
        tolm.getLogMessageCauseRead(source.modelKey, messageCode);
    if (!causes.is_null()) indication.ProbableCauseDescription.set(joinWithBars(causes.value));

    // The arguments event announces the entry that follows it; they belong to
    // this one entry and must not reappear on the next.
    indication.MessageArguments.set(source.messageArguments);
    source.messageArguments.clear();
}

void fillDriverMonitor(TOLMCalls& tolm, const LogEntrySource& source, unsigned int n,
                       QMS_VRXLogEntryArrived& indication) {
    TOLMKey eventKey;
    eventKey.cabNr = source.modelKey.cabNr;
    eventKey.objId = n;
    indication.EventID.set(String("DriverMonitorMessage_") + toHexString(n));

    indication.EventTime = tolm.getDrvMonEventTimestamp(eventKey);
    indication.Message = tolm.getDrvMonEventMessageText(eventKey);
    const cimple::Property<unsigned int> severity = tolm.getDrvMonEventSeverity(eventKey);
    if (!severity.is_null()) indication.PerceivedSeverity.set(toPerceivedSeverity(severity.value));
    const cimple::Property<unsigned int> id = tolm.getDrvMonEventId(eventKey);
    if (!id.is_null()) indication.ErrorCode.set(id.value | 0x410000u);
    const cimple::Property<unsigned int> component = tolm.getDrvMonEventComponentIndex(eventKey);
    if (!component.is_null()) {
        char key[16];
        snprintf(key, sizeof key, "1801-%04X", component.value);
        indication.AssociationKey.set(key);
    }
}

// What both agent log events share once their own properties are in place.
void fillCommonTail(TOLMCalls& tolm, const LogEntrySource& source, LogTag tag, unsigned int n,
                    QMS_VRXLogEntryArrived& indication) {
    setAgentAlertProperties(source.computerSystem, indication);
    indication.MessageID = indication.EventID;

    // The alerting element is the log record itself; only its path is wanted.
    cimple::Ref<cimple::QMS_VRXLogEntry> record(cimple::QMS_VRXLogEntry::create(true));
    record->RecordID.set(toHexString(n));
    record->InstanceID.set(String(tag == QMS_VRXLogEntryArrivedIndicationModel::SystemMessageLog
                                      ? "LogMessage_"
                                      : "DriverMonitorMessage_") +
                           record->RecordID.value);
    String path;
    if (cimple::instance_to_model_path(record.get(), path) == 0) indication.AlertingManagedElement.set(path);

    indication.HostAddress = tolm.getSystemHostName(hostKey(source.modelKey));
}

void fillTestIndication(TOLMCalls& tolm, const LogEntrySource& source, QMS_VRXLogEntryArrived& indication) {
    indication.Summary.set(kTestText);
    indication.HostAddress = tolm.getSystemHostName(hostKey(source.modelKey));
    const cimple::Property<unsigned int> now = tolm.getSystemTime(source.modelKey);
    if (!now.is_null()) indication.EventTime.set(cimple::Datetime(uint64_t(now.value) * 1000000u, 0));
    indication.AlertingElementFormat.set(0);  // unknown: a test names no element
    indication.AlertType.set(1);
    indication.Message.set(kTestText);
    indication.OtherAlertType.set(kTestText);
    indication.OwningEntity.set(kOwningEntity);
    indication.PerceivedSeverity.set(2);
    indication.ProbableCause.set(0);
    indication.SystemCreationClassName = source.computerSystem.CreationClassName;
    indication.SystemName = source.computerSystem.Name;
    indication.EventID.set(kTestText);
    indication.MessageID.set(kTestText);
    indication.ErrorCode.set(0);
}

}  // namespace

uint16_t toPerceivedSeverity(uint32_t agentSeverity) {
    switch (static_cast<uint16_t>(agentSeverity)) {
        case 0:
            return 2;  // information
        case 1:
            return 4;  // minor
        case 2:
            return 5;  // major
        case 3:
            return 6;  // critical
        default:
            return 0;  // unknown
    }
}

uint32_t packMessageId(uint32_t messageId) { return ((messageId << 8) & 0xFF0000u) | (messageId & 0xFFu); }

void setAgentAlertProperties(const cimple::QMS_VRXComputerSystem& computerSystem,
                             QMS_VRXLogEntryArrived& indication) {
    indication.AlertingElementFormat.set(2);  // CIM object path
    indication.AlertType.set(1);              // other
    indication.OtherAlertType.set("Log Entry Arrived");
    indication.OwningEntity.set(kOwningEntity);
    indication.ProbableCause.set(1);  // other
    indication.SystemCreationClassName = computerSystem.CreationClassName;
    indication.SystemName = computerSystem.Name;
}

cimple::Ref<QMS_VRXLogEntryArrived> createLogEntryIndication(TOLMCalls& tolm, const LogEntrySource& source,
                                                             LogTag tag, unsigned int n) {
    cimple::Ref<QMS_VRXLogEntryArrived> indication(QMS_VRXLogEntryArrived::create(true));
    switch (tag) {
        case QMS_VRXLogEntryArrivedIndicationModel::SystemMessageLog:
            fillSystemMessage(tolm, source, n, *indication);
            fillCommonTail(tolm, source, tag, n, *indication);
            break;
        case QMS_VRXLogEntryArrivedIndicationModel::DriverMonitor:
            fillDriverMonitor(tolm, source, n, *indication);
            fillCommonTail(tolm, source, tag, n, *indication);
            break;
        case QMS_VRXLogEntryArrivedIndicationModel::TestIndication:
            fillTestIndication(tolm, source, *indication);
            break;
        default:
            indication.reset();
            traceAndThrow(
                BaseException("QMS_VRXIndicationRegistrationServiceImpl", __LINE__, "unknown LogTag"));
    }
    return indication;
}

std::vector<unsigned int> recentEntryNumbers(TOLMCalls& tolm, const TOLMKey& modelKey, LogTag tag) {
    const cimple::Property<unsigned int> count =
        tag != QMS_VRXLogEntryArrivedIndicationModel::SystemMessageLog
            ? tolm.getDrvMonNumberEvents(modelKey)
            : tolm.getLogMessageNrEntries(modelKey);
    std::vector<unsigned int> numbers;
    if (count.is_null()) return numbers;
    for (unsigned int back = 1; back <= 10 && back <= count.value; ++back)
        numbers.push_back(count.value - back);
    return numbers;
}

}  // namespace provider
