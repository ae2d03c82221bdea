#include "support/provider_imprs.h"

namespace provider {

ImpersonateGuard::ImpersonateGuard() : impersonating_(false), previous_(nullptr) {}

ImpersonateGuard::ImpersonateGuard(ThreadToken&) : impersonating_(false), previous_(nullptr) {}

ImpersonateGuard::~ImpersonateGuard() = default;

}  // namespace provider
