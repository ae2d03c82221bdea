// A CIM-XML indication listener: an HTTP server on 127.0.0.1 that a CIMOM's
// listener destinations point at. Every ExportIndication it is sent is
// answered and recorded in arrival order; a body that is no such request is
// answered with HTTP 400 and a CIM error, counted, and otherwise ignored.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "listener/InstanceXml.h"

namespace httplib {
class Server;
}

namespace cimhost {
namespace listener {

struct Delivery {
    // The request path the indication was posted to ("/" or whatever the
    // destination URL named), so that one listener serves several
    // destinations.
    std::string target;
    Instance indication;
};

class Listener {
public:
    // Listens on a port the system picks (port 0) or the one given; throws
    // std::runtime_error when it cannot bind.
    explicit Listener(int port = 0);
    // Stops serving; requests in progress are finished first.
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int port() const { return port_; }
    // http://127.0.0.1:<port><target>
    std::string url(const std::string& target = "/") const;

    size_t size() const;
    Delivery at(size_t i) const;
    std::vector<Delivery> all() const;
    // Waits until at least n indications are recorded; false on timeout.
    bool waitFor(size_t n, std::chrono::milliseconds timeout) const;
    // Requests answered with an error.
    size_t rejected() const;

private:
    void record(Delivery delivery);
    void reject();

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    int port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Delivery> received_;
    size_t rejected_ = 0;
};

}  // namespace listener
}  // namespace cimhost
