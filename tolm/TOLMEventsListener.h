// The receiver of the agent events that the facade decodes: the indication
// model. Every operation runs on the switch client's event thread and does
// nothing unless overridden.
#pragma once

#include <cimple/cimple.h>

#include <string>

namespace provider {

class TOLMEventsListener {
public:
    // A new entry numbered seqNr in the system message log.
    virtual void onSystemMessageLogEntry(unsigned int seqNr) { (void)seqNr; }
    // A new driver-monitor entry numbered seqNr.
    virtual void onDriverMonitorLogEntry(unsigned int seqNr) { (void)seqNr; }
    // The insertion strings of the log message announced next.
    virtual void onLogMessageArguments(const cimple::Array<cimple::String>& args) { (void)args; }
    // A RAID event as the agent's JSON text.
    virtual void onRaidEvent(const std::string& msg) { (void)msg; }
    virtual ~TOLMEventsListener() = default;
};

}  // namespace provider
