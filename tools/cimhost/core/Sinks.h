// Where the indication service hands what matched a subscription.
#pragma once

#include <mutex>
#include <string>

#include "core/Value.h"

namespace cimhost {

// Receives matched indications.
class DeliverySink {
public:
    virtual ~DeliverySink() = default;
    // `destination` is the listener destination instance (its Destination
    // property holds the listener's URL); `subscription` the subscription's
    // path.
    virtual void deliver(const Instance& destination, const ObjectPath& subscription,
                         const Instance& indication) = 0;
};

// Appends one JSON object per delivery to a file:
//   {"destination":"http://...","subscription":"<path>",
//    "indication":{"class":"...","namespace":"...","properties":{"Name":<json>,...}}}
// Strings become JSON strings, numbers numbers, booleans booleans, datetimes
// their CIM text, references their path text, arrays arrays, null null.
class JsonLinesSink : public DeliverySink {
public:
    explicit JsonLinesSink(std::string path);
    void deliver(const Instance& destination, const ObjectPath& subscription,
                 const Instance& indication) override;
    const std::string& path() const { return path_; }
    // The JSON text of one delivery (without the newline).
    static std::string line(const Instance& destination, const ObjectPath& subscription,
                            const Instance& indication);

private:
    std::string path_;
    std::mutex mutex_;
};

}  // namespace cimhost
