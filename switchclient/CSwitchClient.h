// CSwitchClient: the module's client of the local agent daemon rqbd.
//
// It finds the installed daemon, waits until it accepts connections, opens the
// JSON request channel and runs synchronous requests on it; attachment is
// counted. On demand it opens the event channel and runs an event thread that
// hands every pushed event to the registered handlers and to the Event() hook,
// and that survives a restart of the daemon.
//
// Failures are reported as false plus a last error (code and text, set by
// Attach); Request never fails as such but returns the transport's result as
// the command status. Nothing here throws.
//
// Threads: Attach, Detach, Request and SetApplicationName may be called from
// any thread; they are serialised by the request mutex, which Attach holds
// through its whole readiness wait (up to 600 probes one second apart).
// EnableEvents is serialised by the events mutex. Handlers and Event() run on
// the event thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "support/CCriticalSection.h"
#include "switchclient/CThread.h"
#include "switchclient/SipJson.h"

// An event handler: called on the event thread with every event pushed by the
// agent and the context it was registered with.
using TolmEventHandler = void (*)(SipJson& event, void* context);

// The request side of an agent client.
class CTolmClientRequestIf {
public:
    virtual ~CTolmClientRequestIf() = default;
    // Attaches to the daemon on this machine (server must be null or empty);
    // a further Attach only counts up. The other arguments are ignored.
    virtual bool Attach(const char* server, bool, unsigned) = 0;
    // Releases one attachment; the last one closes the request channel (and
    // stops events).
    virtual void Detach() = 0;
    // Sends message's current command and puts the reply into message;
    // returns the reply's status, or the transport's result code (also left
    // as "ST" in message). timeoutSec 0 is the default wait limit.
    virtual unsigned Request(SipJson& message, unsigned timeoutSec) = 0;
    // Asks the daemon for the server's cabinet number.
    virtual bool GetServerCabinetNumber(unsigned& cabinet) = 0;
    // The name sent in the channel handshake and shown in traces.
    virtual bool SetApplicationName(const char* name) = 0;
    virtual void SetLogonUser(const char* user, const char* password, const char* domain) = 0;
    // Only "JsonRequest" (any case) is known.
    virtual bool SetRequestMethod(const char* method) = 0;
    virtual bool GetCurrentRequestMethod(std::string& out) = 0;
    virtual unsigned GetLastError() const = 0;
    // Copies the last error text into out; returns out's text.
    virtual const char* GetLastErrorMsg(std::string& out) const = 0;
};

// The event side of an agent client.
class CTolmClientEventIf {
public:
    virtual ~CTolmClientEventIf() = default;
    // Opens the event channel and starts the event thread, or stops and
    // closes them. The second argument is ignored.
    virtual bool EnableEvents(bool enable, bool) = 0;
    // Adds handler, or replaces its context when it is registered already.
    virtual bool RegisterEventHandler(TolmEventHandler handler, void* context) = 0;
    // False when handler was not registered.
    virtual bool UnregisterEventHandler(TolmEventHandler handler) = 0;
};

class CTolmClientIf : public CTolmClientRequestIf, public CTolmClientEventIf {};

class CSwitchClient : public CTolmClientIf {
public:
    CSwitchClient();
    // Stops events and closes a request channel still open (both traced as
    // errors of the owner), then reaps the event thread.
    ~CSwitchClient() override;

    CSwitchClient(const CSwitchClient&) = delete;
    CSwitchClient& operator=(const CSwitchClient&) = delete;

    // Last-error codes set by Attach.
    enum : unsigned {
        kErrNone = 0,
        kErrNoService = 6,
        kErrPermission = 13,
        kErrRemote = 22,
        kErrNoJson = 92,
        kErrTimeout = 110,
    };

    bool Attach(const char* server, bool, unsigned) override;
    void Detach() override;
    unsigned Request(SipJson& message, unsigned timeoutSec) override;
    bool GetServerCabinetNumber(unsigned& cabinet) override;
    bool SetApplicationName(const char* name) override;
    void SetLogonUser(const char* user, const char* password, const char* domain) override;
    bool SetRequestMethod(const char* method) override;
    bool GetCurrentRequestMethod(std::string& out) override;
    unsigned GetLastError() const override;

    // True after a request whose frame could not be sent: the daemon closed
    // the request channel (it stopped or restarted since the attach), so
    // nothing more can travel on it. Cleared by the next successful attach.
    bool IsRequestChannelBroken() const { return m_RequestChannelBroken.load(); }
    // Replaces a broken request channel with a new one to the same daemon,
    // keeping the attach count and leaving the event side alone (the event
    // thread recovers from a restart by itself). True when the new channel is
    // open; otherwise the channel stays broken and the next call tries again.
    bool ReattachRequestChannel();
    const char* GetLastErrorMsg(std::string& out) const override;

    bool EnableEvents(bool enable, bool) override;
    bool RegisterEventHandler(TolmEventHandler handler, void* context) override;
    // May be called from inside a handler, for itself or another handler: a
    // handler unregistered during a dispatch is not called again, not even
    // later in that same dispatch. Handlers registered during a dispatch are
    // first called for the next event. From other threads it waits until a
    // dispatch in progress has finished.
    bool UnregisterEventHandler(TolmEventHandler handler) override;

    // Called on the event thread after the handlers, for every event
    // dispatched. Empty here.
    virtual void Event(SipJson& event);

    // Whether path (a system path, resolved by provider::systemPath) exists.
    bool IsServiceInstalled(const char* path);
    // Readiness probe: whether a stream connection to path can be made (the
    // connection is closed again). After false, errno holds the failure.
    bool TryOpenRqbdSocket(const char* path);
    // Finds the installed daemon binary ("/usr/sbin/rqbd", else
    // "/usr/sbin/qmas") while none has been found yet; whether one is known.
    bool CheckForInstalledService();
    // Whether a daemon binary is known and its pid file exists.
    bool IsServiceRunning();

    // Ends the request in progress when the agent has not answered it for
    // graceMs: the caller gets a failed request, and whoever waits behind it
    // (a disable, a shutdown) goes on. May be called from any thread; true
    // when a request was ended.
    bool AbortStalledRequest(unsigned graceMs);

    // Snapshots for the owner (the threaded client) and for tests.
    unsigned GetAttachCount() const;
    bool AreEventsEnabled() const { return m_EventsEnabled.load(); }
    bool IsEventThreadRunning() const { return m_ThreadRunning.load(); }
    // The daemon binary found, as its system path; empty while none.
    std::string GetServicePath() const;

    // The event thread's entry point; self is the CSwitchClient.
    static void* Thread_EventMain(void* self);

private:
    void SetLastError(unsigned code, const char* text);
    // ReattachRequestChannel with the request mutex held.
    bool ReattachLocked();
    // One exchange of request text and reply under the request mutex, on a
    // channel found out of step or closed by the daemon replaced first;
    // `renew` replaces the channel in any case (a reply came out of step).
    int Exchange(const std::string& text, std::string& reply, unsigned timeoutSec, bool renew = false);
    // Closes the request channel; the only way its descriptor is given up.
    void CloseRequestChannel();
    bool WaitForServiceReady();
    std::string PidFilePath() const;

    void EventMain();
    // Waits for the daemon after the event channel was lost and registers
    // again; false when the event thread is to end.
    bool WaitForServiceAvailable();
    bool IsJsonServiceAvailable();
    void DispatchEvent(SipJson& event);
    // Stops the event thread and closes the event channel and the pipe; the
    // caller holds the lock that serialises it (events or request mutex).
    void DisableSequence();
    void ClosePipe();

    std::string ApplicationName() const;

    std::atomic<int> m_FdRequestChannel{-1};
    std::atomic<bool> m_RequestChannelBroken{false};
    // Guards giving up the request descriptor against AbortStalledRequest,
    // which cannot take the request mutex (the stalled request holds it).
    std::mutex m_FdMutex;
    // When the exchange in progress began (steady clock, ms); 0: none.
    std::atomic<int64_t> m_InflightSinceMs{0};
    // Owned by the event thread while it runs; the disable sequence takes it
    // over (with an exchange) once the thread has stopped or failed to.
    std::atomic<int> m_FdEventChannel{-1};
    unsigned m_AttachCount = 0;
    // The two strings are read by the event and task threads while callers
    // may set them; a lock of their own keeps those reads short and keeps
    // them out of the request mutex, which the disable sequence holds while
    // it waits for the event thread.
    mutable std::mutex m_StringsMutex;
    std::string m_ApplicationName;
    std::string m_ServicePath;
    mutable std::mutex m_RequestMutex;
    std::mutex m_EventsMutex;
    CThread m_EventThread;
    // Read end watched by the event thread, write end used to stop it. Both
    // are closed together, and written to, only under m_PipeMutex: the event
    // thread closes them when it ends by itself, and a wake-up written at that
    // moment must neither hit a pipe without reader (SIGPIPE) nor a reused
    // descriptor number.
    std::mutex m_PipeMutex;
    std::atomic<int> m_Pipe[2] = {{-1}, {-1}};
    std::atomic<bool> m_ThreadRunning{false};
    std::atomic<bool> m_EventsEnabled{false};
    std::atomic<unsigned> m_LastError{0};
    std::atomic<const char*> m_LastErrorText{"NO ERROR"};
    CCriticalSection m_HandlerLock;
    std::map<TolmEventHandler, void*> m_Handlers;
};
