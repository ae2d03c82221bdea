// The provider boundary: where an exception from module code becomes the
// status of a framework operation and one trace line. Every provider operation
// that can fail, and every model event handler, goes through here, so the
// catch chain and the trace text exist once.
//
//   int QMS_X_Provider::get_instance(...) {
//       return provider::runAtBoundary("QMS_X_Provider", "get_instance",
//                                      provider::toGetInstanceStatus, 64, [&] {
//           auto model = provider::getModel();
//           cimple::Auto_Mutex lock(model->recursiveMutex());
//           ...
//           return 0;
//       });
//   }
//
// Locks taken inside the work must be scoped (RAII) to it: the exception
// unwinds out of the work, releasing them, before the boundary looks at it and
// traces, so the trace never runs under the operation's locks.
#pragma once

#include <cimple/cimple.h>

#include <type_traits>
#include <utility>

#include "support/provider_utils.h"

namespace provider {

// Maps an exception's CimError to an operation's status; see provider_utils.h.
using StatusMapping = int (*)(CimError);

// What became of one guarded piece of work.
struct BoundaryOutcome {
    // The work's status; after a failure the mapped or failure status.
    int status = 0;
    // Whether the work threw.
    bool failed = false;
    // The exception's toString(), or "catch(...)"; empty when the work did not
    // throw.
    cimple::String errorText;
};

// To be called only inside a catch handler: classifies the exception in
// flight. A BaseException that is also a CimErrorExceptionInfo gives
// mapping(getCimError()) when mapping is set; every other exception, and every
// exception when mapping is null, gives failureStatus.
BoundaryOutcome outcomeOfCurrentException(StatusMapping mapping, int failureStatus) noexcept;

// Runs work() and catches whatever it throws. work returns the status (any
// type convertible to int) or nothing, which counts as status 0. Nothing is
// traced: for callers that write their own closing line (the model's event
// handlers trace even when nothing failed).
template <class Work>
BoundaryOutcome runGuarded(StatusMapping mapping, int failureStatus, Work&& work) noexcept {
    BoundaryOutcome outcome;
    try {
        if constexpr (std::is_void<decltype(std::forward<Work>(work)())>::value) {
            std::forward<Work>(work)();
        } else {
            outcome.status = static_cast<int>(std::forward<Work>(work)());
        }
    } catch (...) {
        return outcomeOfCurrentException(mapping, failureStatus);
    }
    return outcome;
}

// Writes the boundary's one trace line at level 1,
// "<provider>::<operation>(): <errorText>".
void traceBoundaryFailure(const char* provider, const char* operation, const cimple::String& errorText);

// The boundary of one provider operation: runs work() as runGuarded does and,
// when it threw, writes the one level-1 trace "<provider>::<operation>(): %s"
// with the error text. Returns the status. Nothing escapes.
//
// mapping may be null for operations whose every failure has one outcome
// (SendTestIndication: return value 1 whatever the error).
template <class Work>
int runAtBoundary(const char* provider, const char* operation, StatusMapping mapping, int failureStatus,
                  Work&& work) noexcept {
    BoundaryOutcome outcome = runGuarded(mapping, failureStatus, std::forward<Work>(work));
    if (outcome.failed) {
        traceBoundaryFailure(provider, operation, outcome.errorText);
    }
    return outcome.status;
}

}  // namespace provider
