// Building one QMS_VRXLogEntryArrived for the current event of a RAID event
// text. Used only by the model, which supplies the server's identity.
#pragma once

#include <cimple/cimple.h>

#include "model/RaidEventParser.h"
#include "schema/Classes.h"

namespace provider {

// A new indication, owned by the caller, for the parser's current event.
// Members that are absent or do not read leave their properties null and are
// traced at level 1; so is an event whose source element the parser's adapter
// table cannot name. Throws BaseException "Invalid Raid Json Event" when the
// current event is not valid, before anything is allocated.
cimple::Ref<cimple::QMS_VRXLogEntryArrived> createRaidEventIndication(
    const RaidEventParser& parser, const cimple::QMS_VRXComputerSystem& computerSystem,
    const cimple::Property<cimple::String>& hostAddress);

}  // namespace provider
