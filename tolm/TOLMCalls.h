// The agent command facade: every operation the module asks of the agent.
//
// This is the part of the interface that the model and the shared instance
// use; the agent operations themselves join it with the agent link.
#pragma once

#include <cimple/String.h>

#include "support/ShPtr.h"

namespace provider {

class TOLMEventsListener;

class TOLMCalls {
public:
    virtual ~TOLMCalls() = default;

    // Stores el (null allowed) as the receiver of agent events; returns the
    // previous one.
    virtual TOLMEventsListener* setListener(TOLMEventsListener* el) = 0;
    // Switch the agent's event delivery on or off; true when it was switched.
    virtual bool enableEvents() = 0;
    virtual bool disableEvents() = 0;
    // True when the requesting user may use the agent; throws otherwise.
    virtual bool accountCheck() = 0;
};

// A new facade talking to the agent as clientName. Throws BaseException when
// it cannot be made; nothing stays allocated then.
ShPtr<TOLMCalls> newTOLMCalls(const cimple::String& clientName);

}  // namespace provider
