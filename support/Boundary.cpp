#include "support/Boundary.h"

#include "support/provider_trace.h"

namespace provider {

BoundaryOutcome outcomeOfCurrentException(StatusMapping mapping, int failureStatus) noexcept {
    BoundaryOutcome outcome;
    outcome.failed = true;
    outcome.status = failureStatus;
    try {
        throw;
    } catch (const BaseException& e) {
        outcome.errorText = e.toString();
        const auto* info = dynamic_cast<const CimErrorExceptionInfo*>(&e);
        if (info != nullptr && mapping != nullptr) {
            outcome.status = mapping(info->getCimError());
        }
    } catch (...) {
        outcome.errorText = "catch(...)";
    }
    return outcome;
}

void traceBoundaryFailure(const char* provider, const char* operation, const cimple::String& errorText) {
    trace(1, "%s::%s(): %s", provider, operation, errorText.c_str());
}

}  // namespace provider
