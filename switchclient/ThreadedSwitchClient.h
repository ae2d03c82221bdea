// ThreadedSwitchClient: the agent client through which the module works.
//
// It owns one task thread and, created on first use, a CSwitchClient. Every
// request, every switch of events and the destruction of that client run as
// tasks on the task thread, so the request channel is only ever used by that
// one thread, whatever thread asked. A request that finds the daemon gone
// (status 6) drops the client; the next request builds and attaches a new one
// and, when events were enabled, enables them again without being asked.
//
// Events travel the other way, on the client's event thread, to the
// listener given at creation.
#pragma once

#include <cimple/cimple.h>

#include "support/ShPtr.h"

class SipJson;

namespace provider {

class ThreadedSwitchClient {
public:
    // Receives every event the agent pushes, on the switch client's event
    // thread. It must not release the last reference to the client that
    // delivers to it: that would stop and reap the delivering thread.
    class EventListener {
    public:
        // Does nothing.
        virtual void onEvent(SipJson& event);
        virtual ~EventListener();
    };

    // Runs message as a request on the task thread and puts the reply into
    // it. Returns the reply's status; 6 when no client could be attached or
    // the task could not run. error (may be null) receives 0, 0x80004005 for
    // a generic failure, or the switch client's last error.
    virtual unsigned request(SipJson& message, long* error) = 0;
    // Switches the agent's events on or off. False, with error 0x80004005,
    // when they already were in that state or the task could not run; false
    // with the client's last error when switching failed.
    virtual bool enableEvents(bool enable, long* error) = 0;
    // Destroys the client on the task thread, then stops the task thread.
    // Must not run on the client's event thread (see EventListener).
    virtual ~ThreadedSwitchClient();
};

// The generic failure written through the error arguments.
constexpr long kSwitchClientFailure = 0x80004005L;

// name: the client name sent to the agent and shown in traces. listener: not
// owned, may be null, must outlive the client. Throws BaseException when the
// task thread cannot be started.
ShPtr<ThreadedSwitchClient> newThreadedSwitchClient(const cimple::String& name,
                                                    ThreadedSwitchClient::EventListener* listener);

}  // namespace provider
