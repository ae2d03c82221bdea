// A CIM-XML indication listener: an HTTP server (on 127.0.0.1 unless told
// otherwise) that a CIMOM's listener destinations point at. Every
// ExportIndication it is sent is answered and recorded in arrival order, or
// handed to the caller's handler instead; a request that is no such export
// is answered with the HTTP status and CIM error that say why, counted, and
// otherwise ignored.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
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
    // The sender's address and port as the connection shows them.
    std::string peer;
};

class Listener {
public:
    // Listens on a port the system picks (port 0) or the one given; throws
    // std::runtime_error when it cannot bind.
    explicit Listener(int port = 0);

    // Takes the indication from a handler thread of the server (several may
    // call at once). False when it could not be kept: the sender is answered
    // with CIM_ERR_FAILED so that it delivers the indication again.
    typedef std::function<bool(Delivery&&)> Handler;
    struct Options {
        std::string bind = "127.0.0.1";  // an address, or a name that resolves to one
        int port = 0;                    // 0: a port the system picks
        Handler handler;                 // none: every delivery is recorded
        // Told why each refused request was refused (from a handler thread).
        std::function<void(const std::string& why)> onRefusal;
    };
    explicit Listener(Options options);
    // Stops serving; requests in progress are finished first.
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int port() const { return port_; }
    // http://<bind address>:<port><target>
    std::string url(const std::string& target = "/") const;

    size_t size() const;
    Delivery at(size_t i) const;
    std::vector<Delivery> all() const;
    // Waits until at least n indications are recorded; false on timeout.
    bool waitFor(size_t n, std::chrono::milliseconds timeout) const;
    // Requests answered with an error.
    size_t rejected() const;

private:
    void start();
    void record(Delivery delivery);
    void reject(const std::string& why);

    std::unique_ptr<httplib::Server> server_;
    Options options_;
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
