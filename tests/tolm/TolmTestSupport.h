// Shared pieces of the facade tests: a listener that records what reaches
// it, and the simulator's reply rows.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "support/TraceCapture.h"
#include "tolm/TOLMEventsListener.h"

namespace tolmtest {

// Bytes as the agent's RAW data member.
inline std::string rawJson(const std::vector<unsigned>& bytes) {
    std::string out = "{\"RAW\":[";
    for (size_t i = 0; i < bytes.size(); ++i) out += (i ? "," : "") + std::to_string(bytes[i]);
    return out + "]}";
}

// One reply row of a scenario: opcode, status, data (JSON, may be empty) and
// further members (",\"OE\":1").
inline std::string row(const std::string& oc, unsigned st, const std::string& da = "",
                       const std::string& extra = "") {
    return "{\"OC\":\"" + oc + "\"" + extra + ",\"ST\":" + std::to_string(st) +
           (da.empty() ? "" : ",\"DA\":" + da) + "}";
}

class RecordingListener : public provider::TOLMEventsListener {
public:
    void onSystemMessageLogEntry(unsigned int seqNr) override { add("syslog " + std::to_string(seqNr)); }
    void onDriverMonitorLogEntry(unsigned int seqNr) override { add("drvmon " + std::to_string(seqNr)); }
    void onLogMessageArguments(const cimple::Array<cimple::String>& args) override {
        std::string line = "args";
        for (size_t i = 0; i < args.size(); ++i) line += std::string(" [") + args[i].c_str() + "]";
        add(line);
    }
    void onRaidEvent(const std::string& msg) override { add("raid " + msg); }

    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(line);
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

}  // namespace tolmtest
