// Building one QMS_VRXLogEntryArrived from an agent log event (a new system
// message log or driver-monitor entry) or for a test indication. Used only by
// the model, which owns what these functions read and consume.
#pragma once

#include <cimple/cimple.h>

#include <cstdint>
#include <vector>

#include "model/IndicationModel.h"
#include "schema/Classes.h"
#include "support/TOLMKey.h"
#include "tolm/TOLMCalls.h"

namespace provider {

// What an indication takes from the model. messageArguments is consumed (and
// emptied) by a system-log indication whose entry was found, so each set of
// insertion strings goes with exactly one indication; the caller serialises
// access to it.
struct LogEntrySource {
    const TOLMKey& modelKey;
    const cimple::QMS_VRXComputerSystem& computerSystem;
    cimple::Array<cimple::String>& messageArguments;
};

// A new indication, owned by the caller, filled from the agent's data for
// entry n of the log that tag names (n is ignored for TestIndication). Throws
// BaseException "unknown LogTag" for any other tag, and passes on what the
// facade throws; no instance stays allocated then.
cimple::Ref<cimple::QMS_VRXLogEntryArrived> createLogEntryIndication(
    TOLMCalls& tolm, const LogEntrySource& source, QMS_VRXLogEntryArrivedIndicationModel::LogTag tag,
    unsigned int n);

// Up to ten of the newest entry numbers of the system message log (tag 0) or
// of the driver monitor (any other tag), newest first; empty when the agent
// does not give the log's size.
std::vector<unsigned int> recentEntryNumbers(TOLMCalls& tolm, const TOLMKey& modelKey,
                                             QMS_VRXLogEntryArrivedIndicationModel::LogTag tag);

// The agent's severity 0..3 as CIM PerceivedSeverity 2, 4, 5, 6; anything else
// (only the low 16 bits count) is 0, unknown.
uint16_t toPerceivedSeverity(uint32_t agentSeverity);

// A system-log message number as its ErrorCode: the high byte moves to bits
// 16..23, the low byte stays; 0x1234 gives 0x120034.
uint32_t packMessageId(uint32_t messageId);

// What every agent-reported entry or event says alike: its element is named by
// a CIM object path, it is an "other" alert of the owning entity, and it
// belongs to the given computer system.
void setAgentAlertProperties(const cimple::QMS_VRXComputerSystem& computerSystem,
                             cimple::QMS_VRXLogEntryArrived& indication);

}  // namespace provider
