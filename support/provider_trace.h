// provider::trace, the one entry through which module code writes diagnostics.
//
// Levels: 1 failures, 3 subscription failures, 5 flow (entry into provider
// operations, construction, thread start and stop).
#pragma once

namespace provider {

// Formats into a stack buffer of 1024 bytes (at most 1023 of text; longer
// output is cut) and, when the global trace object Debug is active, hands the
// text to it as "\nQMS_VRX             : <text>". Safe to call from any thread.
void trace(unsigned level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// An observer of every trace line, installed by ScopedTraceSink. It sees the
// formatted text (the same at most 1023 bytes, without the prefix) whether or
// not Debug is active. It is called on the tracing thread, from any number of
// threads at once, so it does its own locking.
using TraceSink = void (*)(unsigned level, const char* text, void* context);

// Installs a sink for its lifetime and restores the previous one (or none)
// when it goes; once the destructor has returned the sink is not called any
// more. Meant for tests. With neither a sink nor Debug active a trace
// formats nothing.
class ScopedTraceSink {
public:
    ScopedTraceSink(TraceSink sink, void* context);
    ~ScopedTraceSink();

    ScopedTraceSink(const ScopedTraceSink&) = delete;
    ScopedTraceSink& operator=(const ScopedTraceSink&) = delete;

private:
    friend void trace(unsigned, const char*, ...);

    TraceSink sink_;
    void* context_;
    const ScopedTraceSink* previous_;
};

}  // namespace provider
