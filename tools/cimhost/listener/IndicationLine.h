// An indication as one line a person reads, for `cimhost listen` and
// `cimhost watch`: when it happened, how bad it is, what it is, what it says
// and where it comes from. The full instance stays available to those who
// ask for it; the line carries what an operator scans a console for.
#pragma once

#include <string>

#include "listener/InstanceXml.h"

namespace cimhost {
namespace listener {

// "TIME  SEVERITY  CLASS  MESSAGE  [SOURCE]" with
//   TIME      EventTime (else IndicationTime) as 2024-06-01 10:10:00+01:00;
//             a datetime that is no timestamp as sent; "-" when neither is set
//   SEVERITY  PerceivedSeverity in words ("minor", "critical", OtherSeverity
//             for "other"), padded to one width; "-" when null
//   MESSAGE   Message with each %1, %2, ... replaced by that element of
//             MessageArguments (a number beyond them stays as written);
//             "(no message)" and the arguments when Message is null
//   SOURCE    EventID (else AlertingManagedElement) and "on" HostAddress
//             (else SystemName), each left out when null
// Control characters in any text are shown escaped (\n, \x1b), so that one
// indication stays one line whatever its sender put in it.
std::string indicationLine(const Instance& indication);

}  // namespace listener
}  // namespace cimhost
