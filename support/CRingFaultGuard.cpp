#include "support/CRingFaultGuard.h"

#include <signal.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

namespace {

// One watched ring. The handler may run on any thread at any moment, also
// while another thread changes a slot, so every field is atomic and a slot is
// read under a sequence count that is odd while a change is under way; the
// handler skips a slot that changes while it reads. That never skips the ring
// that faulted: its owner faults while holding the ring's lock, and changes
// the ring's slot only under that lock and never while it touches the ring.
struct Slot {
    std::atomic<unsigned> sequence{0};
    std::atomic<uintptr_t> start{0};
    std::atomic<size_t> size{0};
    std::atomic<std::atomic<bool>*> lost{nullptr};
    bool used = false;  // under watchMutex
};

// Rings alive at once: one per trace object; a process has one, tests a few.
constexpr int kSlots = 16;

// All constant-initialised: a trace object made by a static constructor may
// watch its ring before any dynamic initialisation here could have run.
Slot slots[kSlots];
std::mutex watchMutex;
unsigned watched = 0;    // under watchMutex
bool installed = false;  // under watchMutex: our handler may be reached
struct sigaction saved;  // the handler found at installation
// Published once saved is complete, for the handler on other threads.
std::atomic<const struct sigaction*> previous{nullptr};

// The sequence count changes by read-modify-writes rather than around
// fences, which the thread sanitizer cannot follow: their acquire and release
// halves keep the field accesses between them, on both sides.
void setSlot(Slot& slot, uintptr_t start, size_t size, std::atomic<bool>* lost) {
    slot.sequence.fetch_add(1, std::memory_order_acq_rel);
    slot.start.store(start, std::memory_order_relaxed);
    slot.size.store(size, std::memory_order_relaxed);
    slot.lost.store(lost, std::memory_order_relaxed);
    slot.sequence.fetch_add(1, std::memory_order_release);
}

// Replaces the watched ring holding address with anonymous memory. Only
// async-signal-safe calls: mmap is a plain system call.
bool standIn(uintptr_t address) {
    for (Slot& slot : slots) {
        const unsigned before = slot.sequence.load(std::memory_order_acquire);
        if ((before & 1u) != 0) continue;
        const uintptr_t start = slot.start.load(std::memory_order_relaxed);
        const size_t size = slot.size.load(std::memory_order_relaxed);
        std::atomic<bool>* const lost = slot.lost.load(std::memory_order_relaxed);
        if (slot.sequence.fetch_add(0, std::memory_order_acq_rel) != before) continue;
        if (start == 0 || lost == nullptr || address < start || address - start >= size) continue;
        // The whole ring at once, so the rest of the interrupted entry (and
        // anything else written before the owner notices) cannot fault again.
        // No swap reserved: the memory is thrown away at the next entry.
        const int savedErrno = errno;
        void* const mapped = mmap(reinterpret_cast<void*>(start), size, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
        errno = savedErrno;
        if (mapped == MAP_FAILED) return false;
        lost->store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

// A SIGBUS that is not ours, handled as if we had never been installed.
void passOn(int signal, siginfo_t* info, void* context) {
    // A fault carries a positive code; kill(), raise() and sigqueue() do not.
    const bool sent = info == nullptr || info->si_code <= 0;
    const struct sigaction* const before = previous.load(std::memory_order_acquire);
    if (before != nullptr) {
        if ((before->sa_flags & SA_SIGINFO) != 0) {
            if (before->sa_sigaction != nullptr) {
                before->sa_sigaction(signal, info, context);
                return;
            }
        } else if (before->sa_handler == SIG_IGN) {
            // Only a sent signal can be ignored; the kernel forces a fault.
            if (sent) return;
        } else if (before->sa_handler != SIG_DFL) {
            before->sa_handler(signal);
            return;
        }
    }
    // The default action: a fault repeats as soon as this returns and then
    // ends the process with a core dump that shows where it happened; a sent
    // signal stays blocked until this returns and is delivered then.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    if (sent) raise(signal);
}

void onBusError(int signal, siginfo_t* info, void* context) {
    if (info != nullptr && info->si_code > 0 && standIn(reinterpret_cast<uintptr_t>(info->si_addr))) return;
    passOn(signal, info, context);
}

bool ours(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == onBusError;
}

// Under watchMutex.
bool install() {
    if (installed) return true;
    struct sigaction current;
    if (sigaction(SIGBUS, nullptr, &current) != 0) return false;
    // Looked up before ours goes in, so a SIGBUS on another thread in between
    // still finds the handler it would have had.
    saved = current;
    previous.store(&saved, std::memory_order_release);
    struct sigaction action = {};
    action.sa_sigaction = onBusError;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    if (sigaction(SIGBUS, &action, nullptr) != 0) return false;
    installed = true;
    return true;
}

// Under watchMutex. A handler installed after ours may pass faults on to
// ours, so ours stays (and keeps passing on) unless it is still the one in
// place.
void uninstall() {
    struct sigaction current;
    if (!installed || sigaction(SIGBUS, nullptr, &current) != 0 || !ours(current)) return;
    if (sigaction(SIGBUS, &saved, nullptr) == 0) installed = false;
}

}  // namespace

bool CRingFaultGuard::Watch(void* start, size_t size, std::atomic<bool>* lost) {
    Unwatch();
    if (start == nullptr || size == 0 || lost == nullptr) return false;
    std::lock_guard<std::mutex> hold(watchMutex);
    int free = 0;
    while (free < kSlots && slots[free].used) ++free;
    if (free == kSlots || !install()) return false;
    slots[free].used = true;
    setSlot(slots[free], reinterpret_cast<uintptr_t>(start), size, lost);
    ++watched;
    m_Slot = free;
    return true;
}

void CRingFaultGuard::Unwatch() {
    if (m_Slot < 0) return;
    std::lock_guard<std::mutex> hold(watchMutex);
    setSlot(slots[m_Slot], 0, 0, nullptr);
    slots[m_Slot].used = false;
    m_Slot = -1;
    if (--watched == 0) uninstall();
}
