// Running work under the identity of the thread that asked for it.
//
// A task thread takes a ThreadToken on the requesting thread and builds an
// ImpersonateGuard from it on the worker, so the work would run as the
// requester. On this platform the worker already runs with the process's
// identity, which is the requester's: the token is empty and the guard
// changes nothing. Call sites keep the pair so that the identity hand-over
// stays visible where a platform needs it.
#pragma once

namespace provider {

// The identity of the thread that constructed it (nothing on this platform).
class ThreadToken {
public:
    ThreadToken() = default;
};

// For its lifetime the current thread would act with the token's identity.
class ImpersonateGuard {
public:
    ImpersonateGuard();
    explicit ImpersonateGuard(ThreadToken& token);
    ~ImpersonateGuard();

    ImpersonateGuard(const ImpersonateGuard&) = delete;
    ImpersonateGuard& operator=(const ImpersonateGuard&) = delete;

private:
    // Whether an identity was taken on, and the one to go back to; never set
    // on this platform.
    [[maybe_unused]] bool impersonating_;
    [[maybe_unused]] void* previous_;
};

}  // namespace provider
