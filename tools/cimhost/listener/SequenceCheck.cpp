#include "listener/SequenceCheck.h"

#include <cerrno>
#include <cstdlib>

namespace cimhost {
namespace listener {
namespace {

// Bounds on what a sender can make the listener remember: contexts, and
// skipped numbers over all contexts together.
const size_t kContexts = 1024;
const size_t kOutstanding = 100000;

std::string range(int64_t from, int64_t to) {
    return from == to ? std::to_string(from) : std::to_string(from) + ".." + std::to_string(to);
}

}  // namespace

std::string SequenceCheck::check(const Instance& indication) {
    const Property* context = indication.find("SequenceContext");
    const Property* number = indication.find("SequenceNumber");
    if (!context || context->null || context->array || !number || number->null || number->array) return "";
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(number->text.c_str(), &end, 10);
    const std::string where = " in sequence context \"" + context->text + "\"";
    if (number->text.empty() || *end || errno || n < 0)
        return "SequenceNumber \"" + number->text + "\"" + where + " is no sequence number";

    auto it = contexts_.find(context->text);
    if (it == contexts_.end()) {
        // A listener started after the CIMOM sees a context part-way through;
        // only what follows is checked.
        if (order_.size() >= kContexts) {
            const auto oldest = contexts_.find(order_.front());
            outstanding_ -= oldest->second.outstanding.size();
            contexts_.erase(oldest);
            order_.pop_front();
        }
        order_.push_back(context->text);
        contexts_[context->text].highest = n;
        return "";
    }
    Context& c = it->second;
    if (n > c.highest && n - c.highest == 1) {
        c.highest = n;
        return "";
    }
    if (n > c.highest) {
        const int64_t first = c.highest + 1, last = n - 1;
        missing_ += static_cast<uint64_t>(last - first + 1);
        for (int64_t k = first; k <= last && outstanding_ < kOutstanding; ++k, ++outstanding_)
            c.outstanding.insert(k);
        c.highest = n;
        return "gap: SequenceNumber " + range(first, last) + where + " missing (" +
               std::to_string(last - first + 1) + " indication(s)), " + std::to_string(n) + " arrived";
    }
    if (c.outstanding.erase(n)) {
        --outstanding_;
        --missing_;
        ++late_;
        return "late: SequenceNumber " + std::to_string(n) + where + " arrived after " +
               std::to_string(c.highest);
    }
    ++repeated_;
    return "repeat: SequenceNumber " + std::to_string(n) + where + " arrived again";
}

}  // namespace listener
}  // namespace cimhost
