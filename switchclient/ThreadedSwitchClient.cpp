#include "switchclient/ThreadedSwitchClient.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "support/CDebug.h"
#include "support/TaskThread.h"
#include "support/Waits.h"
#include "support/provider_imprs.h"
#include "support/provider_trace.h"
#include "switchclient/CSwitchClient.h"
#include "switchclient/JsonChannel.h"
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

// How long a request may wait for the agent before a disable or a shutdown
// queued behind it ends it, and how often that is looked at.
constexpr uint32_t kStallGraceMs = 2000;
constexpr uint32_t kWatchPeriodMs = 100;

// Status of a request that could not be run: the agent link is down.
constexpr unsigned kStatusNoService = 6;

class ThreadedSwitchClientImpl;

// The switch client created on the task thread; passes its events to the
// owner's listener.
class Client : public CSwitchClient {
public:
    explicit Client(ThreadedSwitchClientImpl& owner) : owner_(owner) {}
    void Event(SipJson& event) override;
    ThreadedSwitchClientImpl& owner() const { return owner_; }

private:
    ThreadedSwitchClientImpl& owner_;
};

// The client whose event this thread is dispatching, if any. A request made
// from inside that dispatch runs here, on the event thread, instead of on
// the task thread: the task thread may itself be waiting for this event
// thread to stop (dropping the client after a lost agent, disabling events,
// shutting down), and queueing behind it would wait forever. The request
// mutex still serialises the exchange with the task thread's requests, and
// the client cannot go away before its event thread has ended.
thread_local Client* tDispatching = nullptr;

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
    enum class Reach {
        // The first use waits up to kServiceWaitMs for the daemon's pid file.
        WaitForService,
        // Only a daemon that answers a connect now is attached to: for
        // switching events and for bringing them back, which must not block.
        IfReachable,
    };
    bool createClient(long& error, Reach reach = Reach::WaitForService);
    void destroyClient();
    // Says once when the agent stops answering and once when it answers
    // again; whether this use reached it.
    void noteReach(bool reached);
    // Events are wanted but no agent can be reached: a client of their own
    // (not attached) keeps events on, its event thread waiting for the agent.
    void keepEventsWaiting();
    Client* client() const { return client_.get(); }
    // Ends a request that has waited for the agent longer than graceMs, on
    // any thread (see callBounded).
    bool abortStalledRequest(unsigned graceMs) const;
    void setEventsWanted(bool wanted) { eventsWanted_ = wanted; }
    bool eventsWanted() const { return eventsWanted_; }
    // Events wanted, but the client's event thread has ended: stops what is
    // left of it and starts events anew. True when it did so successfully.
    bool reviveEvents();

private:
    cimple::String name_;
    EventListener* listener_;
    ShPtr<TaskThread> taskThread_;
    // Replaced only on the task thread, under clientMutex_, so that other
    // threads may take a reference to abort a stalled request.
    std::shared_ptr<Client> client_;
    mutable std::mutex clientMutex_;
    // Runs task on the task thread while a watchdog ends any request that
    // keeps it waiting on a silent agent: what must finish in bounded time
    // (disabling, shutting down) never waits out the request limit.
    bool callBounded(TaskThread::Task& task);
    void setClient(std::shared_ptr<Client> client) {
        std::lock_guard<std::mutex> lock(clientMutex_);
        client_ = std::move(client);
    }
    bool eventsWanted_ = false;
    // A use found the agent unreachable and none has reached it since: later
    // uses probe quietly and fail at once instead of repeating the waits and
    // attach attempts (and their log lines) on every request.
    bool outage_ = false;
};

void Client::Event(SipJson& event) {
    ThreadedSwitchClient::EventListener* listener = owner_.listener();
    trace(5, "ThreadedSwitchClient(%s): Client::Event(): tsc.el=%p", owner_.name().c_str(),
          static_cast<void*>(listener));
    if (listener != nullptr) {
        Client* const outer = tDispatching;
        tDispatching = this;
        try {
            listener->onEvent(event);
        } catch (...) {
            tDispatching = outer;
            throw;
        }
        tDispatching = outer;
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

// One request on `client`: its status, and the client's last error.
unsigned runRequest(const cimple::String& name, Client& client, SipJson& message, long& error) {
    // The daemon restarted since the attach: the old request channel is
    // closed for good, so open a new one before this request.
    if (client.IsRequestChannelBroken()) client.ReattachRequestChannel();
    const unsigned result = client.Request(message, 0);
    error = static_cast<long>(client.GetLastError());
    if (result != 0) {
        trace(1, "ThreadedSwitchClient(%s): RequestTask: Request() failed: rc=0x%02X, lastError=0x%08X",
              name.c_str(), result, static_cast<unsigned>(error));
    }
    return result;
}

class RequestTask : public ClientTask {
public:
    RequestTask(ThreadedSwitchClientImpl& owner, SipJson& message) : ClientTask(owner), message_(message) {}

    long error = 0;
    unsigned result = kStatusNoService;

private:
    void run() override {
        if (!owner_.createClient(error)) {
            result = kStatusNoService;
            return;
        }
        result = runRequest(owner_.name(), *owner_.client(), message_, error);
        owner_.noteReach(result != kJsonNoChannel && result != kJsonSendFailed);
        if (result == kStatusNoService) {
            owner_.destroyClient();
            // Events must not wait for some later request to come back: a new
            // client takes them over now if the agent answers, or waits for it.
            if (owner_.eventsWanted()) {
                long ignored = 0;
                if (!owner_.createClient(ignored, ThreadedSwitchClientImpl::Reach::IfReachable))
                    owner_.keepEventsWaiting();
            }
        } else if (result == 0) {
            // The agent answers: if the event thread gave up on it meanwhile
            // (an outage longer than it waits, a failed re-registration),
            // this is the moment to bring events back.
            owner_.reviveEvents();
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
        Client* const current = owner_.client();
        if (!enable_ && owner_.eventsWanted() && (current == nullptr || current->GetAttachCount() == 0)) {
            // No attached client: it went with the agent, or only waits for
            // it to switch events on. Switching off needs no agent, and
            // waiting for one to attach would hold up a disable that must
            // always complete.
            if (current != nullptr) owner_.destroyClient();
            owner_.setEventsWanted(false);
            error = 0;
            result = true;
            return;
        }
        if (!owner_.createClient(error, ThreadedSwitchClientImpl::Reach::IfReachable)) {
            if (!enable_) {
                result = false;
                return;
            }
            // No agent now: the subscription is not refused for that. Events
            // stay wanted and start as soon as the agent is there.
            owner_.setEventsWanted(true);
            owner_.keepEventsWaiting();
            result = owner_.client() != nullptr && owner_.client()->AreEventsEnabled();
            if (result) error = 0;
            return;
        }
        Client* client = owner_.client();
        if (enable_ && owner_.reviveEvents()) {
            error = 0;
            result = true;
            return;
        }
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
    if (!callBounded(task)) {
        trace(1, "ThreadedSwitchClient(%s): DestructorTask failed", name_.c_str());
    }
    // Stops and joins the worker; the name goes with the members.
    taskThread_ = ShPtr<TaskThread>(nullptr);
}

unsigned ThreadedSwitchClientImpl::request(SipJson& message, long* error) {
    if (tDispatching != nullptr && &tDispatching->owner() == this) {
        // From inside this client's own event dispatch (see tDispatching).
        // A lost link only replaces the request channel here: dropping the
        // client would mean ending the thread this runs on, and the event
        // side recovers by itself.
        long failure = 0;
        const unsigned result = runRequest(name_, *tDispatching, message, failure);
        if (result == kStatusNoService) tDispatching->ReattachRequestChannel();
        if (error != nullptr) *error = failure;
        return result;
    }
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
    // Switching off must complete whatever the agent does; switching on
    // waits its turn like any request.
    if (enable ? taskThread_->call(task) : callBounded(task)) {
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

bool ThreadedSwitchClientImpl::createClient(long& error, Reach reach) {
    if (client_ && client_->GetAttachCount() > 0) {
        error = 0;
        return true;
    }
    if (!client_) {
        trace(5, "ThreadedSwitchClient(%s): createClient() started", name_.c_str());
        auto made = std::make_shared<Client>(*this);
        made->SetApplicationName(name_.c_str());
        setClient(std::move(made));
    }

    client_->CheckForInstalledService();
    if (outage_ || reach == Reach::IfReachable) {
        if (!client_->IsServiceRunning() || !client_->TryOpenRqbdSocket(kRqbdProbeSocket)) {
            error = CSwitchClient::kErrNoService;
            noteReach(false);
            if (client_->GetAttachCount() == 0 && !client_->AreEventsEnabled()) destroyClient();
            return false;
        }
    } else if (!client_->IsServiceRunning()) {
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
        noteReach(true);
        if (eventsWanted_ && !client_->AreEventsEnabled()) {
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
    noteReach(false);
    if (error == 0) {
        error = kSwitchClientFailure;
    }
    // A client that keeps events waiting for the agent stays; any other goes.
    if (!client_->AreEventsEnabled()) destroyClient();
    return false;
}

void ThreadedSwitchClientImpl::noteReach(bool reached) {
    if (reached == !outage_) return;
    outage_ = !reached;
    if (outage_) {
        Debug.PrintAlways(
            0,
            "ThreadedSwitchClient(%s): the agent rqbd does not answer at %s; requests fail until "
            "it does\n",
            name_.c_str(), kRqbdProbeSocket);
    } else {
        Debug.PrintAlways(0, "ThreadedSwitchClient(%s): the agent rqbd answers again\n", name_.c_str());
    }
}

void ThreadedSwitchClientImpl::keepEventsWaiting() {
    if (!client_) {
        auto made = std::make_shared<Client>(*this);
        made->SetApplicationName(name_.c_str());
        setClient(std::move(made));
    }
    if (!client_->AreEventsEnabled()) client_->EnableEvents(true, false);
}

bool ThreadedSwitchClientImpl::reviveEvents() {
    if (!client_ || !eventsWanted_ || !client_->AreEventsEnabled() || client_->IsEventThreadRunning()) {
        return false;
    }
    trace(1, "ThreadedSwitchClient(%s): event thread had ended; switching events on again", name_.c_str());
    client_->EnableEvents(false, false);
    client_->EnableEvents(true, false);
    if (!client_->AreEventsEnabled()) {
        trace(1, "ThreadedSwitchClient(%s): EnableEvents(true) failed: GetLastError()=0x%08X", name_.c_str(),
              client_->GetLastError());
        return false;
    }
    return true;
}

void ThreadedSwitchClientImpl::destroyClient() {
    if (!client_) {
        return;
    }
    trace(5, "ThreadedSwitchClient(%s): destroyClient() started", name_.c_str());
    if (client_->AreEventsEnabled()) {
        client_->EnableEvents(false, false);
    }
    if (client_->GetAttachCount() >= 1) {
        client_->Detach();
    }
    // Deleted here unless a watchdog holds it for a moment; then it goes
    // with the watchdog's reference.
    setClient(nullptr);
}

bool ThreadedSwitchClientImpl::abortStalledRequest(unsigned graceMs) const {
    std::shared_ptr<Client> client;
    {
        std::lock_guard<std::mutex> lock(clientMutex_);
        client = client_;
    }
    return client && client->AbortStalledRequest(graceMs);
}

bool ThreadedSwitchClientImpl::callBounded(TaskThread::Task& task) {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!changed.wait_for(lock, std::chrono::milliseconds(scaledMs(kWatchPeriodMs)),
                                 [&] { return done; })) {
            lock.unlock();
            abortStalledRequest(scaledMs(kStallGraceMs));
            lock.lock();
        }
    });
    const bool ran = taskThread_->call(task);
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_all();
    watchdog.join();
    return ran;
}

}  // namespace

ShPtr<ThreadedSwitchClient> newThreadedSwitchClient(const cimple::String& name,
                                                    ThreadedSwitchClient::EventListener* listener) {
    return ShPtr<ThreadedSwitchClient>(new ThreadedSwitchClientImpl(name, listener));
}

}  // namespace provider
