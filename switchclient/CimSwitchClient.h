// CimSwitchClient: the threaded switch client as the TOLM facade holds it,
// with the CIM side's account check added. Requests and event switching are
// passed on unchanged; events are passed on to the facade's listener.
#pragma once

#include <cimple/cimple.h>

#include "support/ShPtr.h"
#include "switchclient/ThreadedSwitchClient.h"

namespace provider {

class CimSwitchClient : public ThreadedSwitchClient {
public:
    // Whether the caller may use the agent. True exactly when the agent
    // answers the cabinet-number query with data: every caller counts as an
    // administrator. The account configuration (check flag, user group) is
    // read and traced only; a failure to read it does not change the answer.
    virtual bool accountCheck() = 0;
};

// name and listener as for newThreadedSwitchClient. Throws BaseException when
// the task thread cannot be started.
ShPtr<CimSwitchClient> newCimSwitchClient(const cimple::String& name,
                                          ThreadedSwitchClient::EventListener* listener);

}  // namespace provider
