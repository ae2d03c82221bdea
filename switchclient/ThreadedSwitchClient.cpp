#include "switchclient/ThreadedSwitchClient.h"

#include <chrono>
#include <cstdint>

#include "support/TaskThread.h"
#include "support/Waits.h"
#include "support/provider_imprs.h"
#include "support/provider_trace.h"
#include "switchclient/CSwitchClient.h"
#include "switchclient/SipJson.h"

namespace provider {

void ThreadedSwitchClient::EventListener::onEvent(SipJson&) {}
ThreadedSwitchClient::EventListener::~EventListener() = default;
ThreadedSwitchClient::~ThreadedSwitchClient() = default;

namespace {

// How long the first use waits for the daemon's pid file, and how often it
// looks.
constexpr uint32_t kServiceWaitMs = 300 * 1000;
constexpr uint32_t kServiceCheckMs = 1000;

// Status of a request that could not be run: the agent link is down.
constexpr unsigned kStatusNoService = 6;

class ThreadedSwitchClientImpl;

// The switch client created on the task thread; passes its events to the
// owner's listener.
class Client : public CSwitchClient {
public:
    explicit Client(ThreadedSwitchClientImpl& owner) : owner_(owner) {}
    void Event(SipJson& event) override;

private:
    ThreadedSwitchClientImpl& owner_;
};

class ThreadedSwitchClientImpl : public ThreadedSwitchClient {
public:
    ThreadedSwitchClientImpl(const cimple::String& name, EventListener* listener)
        : name_(name), listener_(listener), taskThread_(nullptr) {
        trace(5, "ThreadedSwitchClient(%s): constructor started, el=%p", name_.c_str(),
              static_cast<void*>(listener_));
        taskThread_ = newCimpleTaskThread();
    }
    ~ThreadedSwitchClientImpl() override;

    unsigned request(SipJson& message, long* error) override;
    bool enableEvents(bool enable, long* error) override;

    const cimple::String& name() const { return name_; }
    EventListener* listener() const { return listener_; }

    // Task-thread side.
    bool createClient(long& error);
    void destroyClient();
    Client* client() const { return client_; }
    void setEventsWanted(bool wanted) { eventsWanted_ = wanted; }

private:
    cimple::String name_;
    EventListener* listener_;
    ShPtr<TaskThread> taskThread_;
    Client* client_ = nullptr;
    bool eventsWanted_ = false;
};

void Client::Event(SipJson& event) {
    ThreadedSwitchClient::EventListener* listener = owner_.listener();
    trace(5, "ThreadedSwitchClient(%s): Client::Event(): tsc.el=%p", owner_.name().c_str(),
          static_cast<void*>(listener));
    if (listener != nullptr) {
        listener->onEvent(event);
    }
}

// Common part of the tasks: the requester's identity, taken on the calling
// thread and put on for the run on the task thread.
class ClientTask : public TaskThread::Task {
public:
    explicit ClientTask(ThreadedSwitchClientImpl& owner) : owner_(owner) {}

    void threadTask() final {
        ImpersonateGuard guard(token_);
        run();
    }

protected:
    virtual void run() = 0;
    ThreadedSwitchClientImpl& owner_;

private:
    ThreadToken token_;
};

class RequestTask : public ClientTask {
public:
    // Built on the requesting thread: it notes that thread, so that the task
    // thread (the only one that touches the client) can tell whether the
    // request came from the client's own event thread.
    RequestTask(ThreadedSwitchClientImpl& owner, SipJson& message)
        : ClientTask(owner), caller_(pthread_self()), message_(message) {}

    long error = 0;
    unsigned result = kStatusNoService;

private:
    const pthread_t caller_;

    void run() override {
        if (!owner_.createClient(error)) {
            result = kStatusNoService;
            return;
        }
        Client* client = owner_.client();
        // The daemon restarted since the attach: the old request channel is
        // closed for good, so open a new one before this request.
        if (client->IsRequestChannelBroken()) client->ReattachRequestChannel();
        result = client->Request(message_, 0);
        error = static_cast<long>(client->GetLastError());
        if (result != 0) {
            trace(1, "ThreadedSwitchClient(%s): RequestTask: Request() failed: rc=0x%02X, lastError=0x%08X",
                  owner_.name().c_str(), result, static_cast<unsigned>(error));
            if (result == kStatusNoService) {
                // A request made from inside an event handler runs while the
                // client's own event thread waits for it: destroying the
                // client would join that thread and never return. Replace
                // just the request channel then; the event side recovers by
                // itself.
                if (client->IsEventThread(caller_)) {
                    client->ReattachRequestChannel();
                } else {
                    owner_.destroyClient();
                }
            }
        }
    }

    SipJson& message_;
};

class EnableEventsTask : public ClientTask {
public:
    EnableEventsTask(ThreadedSwitchClientImpl& owner, bool enable) : ClientTask(owner), enable_(enable) {}

    long error = 0;
    bool result = false;

private:
    void run() override {
        if (!owner_.createClient(error)) {
            result = false;
            return;
        }
        Client* client = owner_.client();
        if (client->AreEventsEnabled() == enable_) {
            trace(1, "ThreadedSwitchClient(%s): EnableEventsTask: Events already %s", owner_.name().c_str(),
                  enable_ ? "enabled" : "disabled");
            error = kSwitchClientFailure;
            result = false;
            return;
        }
        client->EnableEvents(enable_, false);
        if (client->AreEventsEnabled() == enable_) {
            owner_.setEventsWanted(enable_);
            error = 0;
            result = true;
        } else {
            error = static_cast<long>(client->GetLastError());
            trace(1, "ThreadedSwitchClient(%s): EnableEventsTask: EnableEvents(%s) failed: lastError=0x%08X",
                  owner_.name().c_str(), enable_ ? "true" : "false", static_cast<unsigned>(error));
            result = false;
        }
    }

    bool enable_;
};

class DestructorTask : public ClientTask {
public:
    explicit DestructorTask(ThreadedSwitchClientImpl& owner) : ClientTask(owner) {}

private:
    void run() override { owner_.destroyClient(); }
};

ThreadedSwitchClientImpl::~ThreadedSwitchClientImpl() {
    trace(5, "ThreadedSwitchClient(%s): destructor started", name_.c_str());
    DestructorTask task(*this);
    if (!taskThread_->call(task)) {
        trace(1, "ThreadedSwitchClient(%s): DestructorTask failed", name_.c_str());
    }
    // Stops and joins the worker; the name goes with the members.
    taskThread_ = ShPtr<TaskThread>(nullptr);
}

unsigned ThreadedSwitchClientImpl::request(SipJson& message, long* error) {
    RequestTask task(*this, message);
    if (taskThread_->call(task)) {
        if (error != nullptr) {
            *error = task.error;
        }
        return task.result;
    }
    trace(1, "ThreadedSwitchClient(%s): RequestTask failed", name_.c_str());
    if (error != nullptr) {
        *error = kSwitchClientFailure;
    }
    return kStatusNoService;
}

bool ThreadedSwitchClientImpl::enableEvents(bool enable, long* error) {
    EnableEventsTask task(*this, enable);
    if (taskThread_->call(task)) {
        if (error != nullptr) {
            *error = task.error;
        }
        return task.result;
    }
    trace(1, "ThreadedSwitchClient(%s): EnableEventsTask failed", name_.c_str());
    if (error != nullptr) {
        *error = kSwitchClientFailure;
    }
    return false;
}

bool ThreadedSwitchClientImpl::createClient(long& error) {
    if (client_ != nullptr) {
        error = 0;
        return true;
    }
    trace(5, "ThreadedSwitchClient(%s): createClient() started", name_.c_str());
    client_ = new Client(*this);
    client_->SetApplicationName(name_.c_str());

    client_->CheckForInstalledService();
    if (!client_->IsServiceRunning()) {
        // A daemon that is installed but still starting (or restarting) gets
        // some time before the attach is tried; the attach then reports what
        // it finds.
        trace(1, "ThreadedSwitchClient(%s): IsServiceRunning() is FALSE", name_.c_str());
        const auto start = std::chrono::steady_clock::now();
        const auto limit = std::chrono::milliseconds(scaledMs(kServiceWaitMs));
        for (;;) {
            sleepMs(kServiceCheckMs);
            if (client_->GetServicePath().empty()) {
                client_->CheckForInstalledService();
            }
            if (client_->IsServiceRunning()) {
                trace(5, "ThreadedSwitchClient(%s): IsServiceRunning() is TRUE", name_.c_str());
                break;
            }
            if (std::chrono::steady_clock::now() - start >= limit) {
                trace(1, "ThreadedSwitchClient(%s): IsServiceRunning() is still FALSE", name_.c_str());
                break;
            }
        }
    }

    if (client_->Attach(nullptr, false, 0) && client_->GetAttachCount() > 0) {
        if (eventsWanted_) {
            client_->EnableEvents(true, false);
            if (!client_->AreEventsEnabled()) {
                trace(1, "ThreadedSwitchClient(%s): EnableEvents(true) failed: GetLastError()=0x%08X",
                      name_.c_str(), client_->GetLastError());
            }
        }
        error = 0;
        return true;
    }
    error = static_cast<long>(client_->GetLastError());
    trace(1, "ThreadedSwitchClient(%s): Attach() failed: lastError=0x%08X", name_.c_str(),
          static_cast<unsigned>(error));
    if (error == 0) {
        error = kSwitchClientFailure;
    }
    destroyClient();
    return false;
}

void ThreadedSwitchClientImpl::destroyClient() {
    if (client_ == nullptr) {
        return;
    }
    trace(5, "ThreadedSwitchClient(%s): destroyClient() started", name_.c_str());
    if (client_->AreEventsEnabled()) {
        client_->EnableEvents(false, false);
    }
    if (client_->GetAttachCount() >= 1) {
        client_->Detach();
    }
    delete client_;
    client_ = nullptr;
}

}  // namespace

ShPtr<ThreadedSwitchClient> newThreadedSwitchClient(const cimple::String& name,
                                                    ThreadedSwitchClient::EventListener* listener) {
    return ShPtr<ThreadedSwitchClient>(new ThreadedSwitchClientImpl(name, listener));
}

}  // namespace provider
