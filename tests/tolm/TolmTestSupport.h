// Shared pieces of the facade tests: a trace recorder and a listener that
// records what reaches it.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/provider_trace.h"
#include "tolm/TOLMEventsListener.h"

namespace tolmtest {

class TraceLog {
public:
    TraceLog() : sink_(&TraceLog::record, this) {}

    bool has(unsigned level, const std::string& text) const { return count(level, text) != 0; }
    size_t count(unsigned level, const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& line : lines_) n += line.first == level && line.second == text;
        return n;
    }

private:
    static void record(unsigned level, const char* text, void* self) {
        auto* log = static_cast<TraceLog*>(self);
        std::lock_guard<std::mutex> lock(log->mutex_);
        log->lines_.emplace_back(level, text);
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<unsigned, std::string>> lines_;
    provider::ScopedTraceSink sink_;
};

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
