// Hosts a provider module the way a CIMOM does: dlopen, the exported
// cimple_module chain, and every provider call through the provider's
// dispatch procedure. Nothing of the module is linked in; the host knows only
// the framework's record layouts and operation codes.
//
// It is the baseline the CMPI path is measured against (bench/) and the
// loader behind `cimhost inspect`; the CIMOM itself is core/Cimom.h.
#pragma once

#include <cimple/Ref.h>
#include <cimple/Registration.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cimhost {

// One loaded module. The module carries its own copy of the framework, so
// its calls back into a CIMOM (instances it creates, allow_unload) reach none
// here: they answer "no CIMOM" (-1), which the operations this host drives
// tolerate. A CIMOM that answers them is core/Cimom.h, through CMPI.
class ProviderHost {
public:
    ProviderHost();
    // Closes the module (see close()).
    ~ProviderHost();
    ProviderHost(const ProviderHost&) = delete;
    ProviderHost& operator=(const ProviderHost&) = delete;

    // Loads the module and reads its registration chain. False with error()
    // set when the library cannot be loaded or exports no cimple_module; a
    // host opens one module at a time.
    bool open(const std::string& modulePath);
    // Unloads the library. Every
    // HostedProvider made from it, and every instance it handed out (their
    // class records live in the library), must be gone by then.
    void close();

    const std::string& error() const { return error_; }
    // Head of the registration chain; null before open() or for a module
    // without providers.
    const cimple::Registration* head() const { return head_; }
    // The registration whose provider name matches (case-insensitively), or
    // null.
    const cimple::Registration* find(const char* providerName) const;
    // The first registration that serves an indication class, or null.
    const cimple::Registration* findIndicationProvider() const;

private:
    void* handle_ = nullptr;
    const cimple::Registration* head_ = nullptr;
    std::string error_;
};

// One provider object, created by its dispatch procedure and driven only
// through it. The destructor winds down whatever is still up, in the order a
// CIMOM uses: disable indications, unload, destroy.
class HostedProvider {
public:
    // Receives each delivered indication on the module's delivery thread. The
    // module keeps its reference: clone what must outlive the call.
    typedef std::function<void(const cimple::Instance*)> IndicationSink;

    // Creates the provider object (operation 1). ok() tells whether it exists.
    explicit HostedProvider(const cimple::Registration* registration);
    ~HostedProvider();
    HostedProvider(const HostedProvider&) = delete;
    HostedProvider& operator=(const HostedProvider&) = delete;

    bool ok() const { return object_ != nullptr; }
    const cimple::Registration* registration() const { return registration_; }
    const cimple::Meta_Class* metaClass() const { return registration_->meta_class; }

    // The operations, each answering the procedure's status (0 success, an
    // operation status, -1 not handled).
    int load();
    int unload();
    int enableIndications(IndicationSink sink);
    int disableIndications();
    // Enumerates the served class; out receives the instances delivered
    // before the closing call.
    int enumInstances(std::vector<cimple::Ref<cimple::Instance>>& out);

    // The instance whose keys `keys` holds; out adopts the provider's
    // reference.
    int getInstance(const cimple::Instance* keys, cimple::Ref<cimple::Instance>& out);

    // A new parameter record of the served class's method of that name
    // (case-insensitive): every parameter and the return value null. Null
    // when the class has no such method.
    cimple::Ref<cimple::Instance> methodRecord(const char* method) const;
    // Calls the method that `record` is the record of on the instance that
    // `target` names by its keys. Outputs and the return value land in
    // record; answers the method status.
    int invokeMethod(const cimple::Instance* target, cimple::Instance* record);

    // How often the module released an indication handler it was given (the
    // call without an instance).
    size_t handlerReleases() const;

private:
    static bool deliver(cimple::Instance* instance, void* context);
    int call(int operation, void* a1 = nullptr, void* a2 = nullptr, void* a3 = nullptr);

    const cimple::Registration* registration_;
    void* object_ = nullptr;
    bool loaded_ = false;
    bool enabled_ = false;
    mutable std::mutex mutex_;
    IndicationSink sink_;
    size_t releases_ = 0;
};

}  // namespace cimhost
