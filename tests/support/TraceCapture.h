// TraceCapture: records every provider::trace line made while it exists, from
// any thread, so a test can check what was traced without trace files.
//
//   qms_test::TraceCapture traces;
//   ... code under test ...
//   EXPECT_TRUE(traces.contains(1, "Tolm::Tolm()"));
//
// Texts are as formatted by provider::trace (at most 1023 bytes, without the
// "QMS_VRX" prefix). Only one capture is active at a time: a nested one hides
// the outer one until it goes.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/provider_trace.h"

namespace qms_test {

class TraceCapture {
public:
    struct Line {
        unsigned level;
        std::string text;
    };

    TraceCapture() : sink_(&TraceCapture::record, this) {}

    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    // Whether a line's text is exactly text, at the given level.
    bool contains(unsigned level, const std::string& text) const {
        return countIf([&](const Line& l) { return l.level == level && l.text == text; }) != 0;
    }

    // Lines whose text contains fragment, at the given level.
    std::size_t countContaining(unsigned level, const std::string& fragment) const {
        return countIf(
            [&](const Line& l) { return l.level == level && l.text.find(fragment) != std::string::npos; });
    }
    bool containsPart(unsigned level, const std::string& fragment) const {
        return countContaining(level, fragment) != 0;
    }

    // All lines at the given level.
    std::size_t countLevel(unsigned level) const {
        return countIf([&](const Line& l) { return l.level == level; });
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    static void record(unsigned level, const char* text, void* context) {
        auto* self = static_cast<TraceCapture*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.push_back(Line{level, text});
    }

    template <class Pred>
    std::size_t countIf(Pred pred) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t n = 0;
        for (const Line& l : lines_) {
            if (pred(l)) ++n;
        }
        return n;
    }

    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    // Last: installed once the members above exist, removed before they go.
    provider::ScopedTraceSink sink_;
};

}  // namespace qms_test
