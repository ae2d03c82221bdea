// The agent command facade: every operation the module can ask of the agent
// daemon, each one request and one reply, plus the agent's events.
//
// The operations are declared from the command table TOLMCalls.def; the
// comment there says what a row holds. Reads answer a value with a null flag:
// null means "not available" (the request failed, the agent's status was not
// accepted, the reply had no data, or the key does not fit the operation);
// such reads never throw for those reasons. Operations may be called from any
// thread; each waits for its reply.
#pragma once

#include <cimple/cimple.h>

#include <string>
#include <vector>

#include "support/ShPtr.h"
#include "support/TOLMKey.h"
#include "tolm/LogMessage.h"
#include "tolm/TOLMEventsListener.h"

class CDataStream;
class CDataStruct;

namespace provider {

class CimSwitchClient;

// Result types of the table's rows.
using PUInt = cimple::Property<unsigned int>;
using PUChar = cimple::Property<unsigned char>;
using PBool = cimple::Property<bool>;
using PUInt64 = cimple::Property<unsigned long long>;
using PString = cimple::Property<cimple::String>;
using PDatetime = cimple::Property<cimple::Datetime>;
using PStrings = cimple::Property<cimple::Array<cimple::String>>;
using PBytes = cimple::Property<cimple::Array<unsigned char>>;

class TOLMCalls {
public:
    // Those the rest of the module relies on:
    //
    // accountCheck(): true when the caller may use the agent; otherwise
    //   throws the access-denied CimErrorException, never answers false.
    // setListener(el): stores el (null allowed, not owned) as the receiver of
    //   events; answers the previous one.
    // enableEvents(), disableEvents(): switch the agent's event delivery;
    //   true when it was switched as asked.
    // getLogMessageNrEntries(key): entries of log key.objId (0 system message
    //   log, 1 driver monitor); null for any other log.
    // getLogMessageReadChunk(key, seqNr, entries): the system message log
    //   entries from seqNr on, as many as one reply holds; entries is resized
    //   to them and their count answered. 0 with entries untouched on failure.
    //   A record that runs past the reply ends the chunk (traced): the
    //   entries before it are answered.
    // getLogMessageResolutionRead/CauseRead/ActionSummary(key, messageCode):
    //   the explanation texts of a message; null outside the system message
    //   log (key.objId != 0).
    // getDrvMonEvent...(key): fields of driver-monitor entry key.objId.
    // getIdentificationCabinetNumber(): the server's own cabinet; throws
    //   BaseException when the agent does not tell it.
    // getSystemHostName(key), getSystemTime(key) (seconds since 1970, UTC),
    //   getChassisSerialNumber(key): identity of the server in key.cabNr.
#define QMS_TOLM(family, name, Result, params, opcode, oe, oi, ca, traceStyle) virtual Result name params = 0;
#include "tolm/TOLMCalls.def"

    virtual ~TOLMCalls() = default;
};

// A new facade talking to the agent as clientName. Throws BaseException when
// its switch client cannot be made; nothing stays allocated then.
ShPtr<TOLMCalls> newTOLMCalls(const cimple::String& clientName);

// A facade whose requests go through client instead of a switch client of its
// own, so tests can put a fake agent link behind it. client does not deliver
// events to it; they reach it only through its
// ThreadedSwitchClient::EventListener side.
ShPtr<TOLMCalls> newTOLMCalls(const ShPtr<CimSwitchClient>& client);

}  // namespace provider
