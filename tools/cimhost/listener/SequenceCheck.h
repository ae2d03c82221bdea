// Watches the SequenceContext and SequenceNumber of arriving indications:
// a CIMOM numbers each subscription's indications 0, 1, 2, ... within one
// context, so a number skipped is an indication lost (or still on its way),
// and a number seen twice is one delivered again.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "listener/InstanceXml.h"

namespace cimhost {
namespace listener {

class SequenceCheck {
public:
    // What this indication's numbering says, as a sentence; empty when it
    // follows on from the one before in its context, opens a context, or
    // carries no numbering at all. Not thread-safe: one caller at a time.
    std::string check(const Instance& indication);

    uint64_t missing() const { return missing_; }    // numbers skipped and never seen since
    uint64_t repeated() const { return repeated_; }  // numbers seen more than once
    uint64_t late() const { return late_; }          // skipped numbers that came after all

private:
    struct Context {
        int64_t highest = 0;
        // Skipped numbers still outstanding, so that a late one is told from
        // a repeat. Bounded: past the bound a late number counts as a repeat.
        std::set<int64_t> outstanding;
    };
    std::map<std::string, Context> contexts_;
    // Contexts in the order they were opened; a long-running listener sees
    // a new one per CIMOM start and keeps only the recent ones.
    std::deque<std::string> order_;
    size_t outstanding_ = 0;  // over all contexts
    uint64_t missing_ = 0, repeated_ = 0, late_ = 0;
};

}  // namespace listener
}  // namespace cimhost
