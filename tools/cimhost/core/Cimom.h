// The embedded CIMOM: loads CMPI providers named in a registration file,
// serves their classes, answers their up-calls through a broker, keeps the
// interop namespace and runs the indication service.
//
// Every operation may be called from several threads at once. Each call into
// a provider runs on the calling thread, with a fresh context and with the
// encapsulated objects made during the call released when it returns, as a
// CIMOM request thread does it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "core/IndicationService.h"
#include "core/Value.h"

namespace cimhost {

class Broker;
class DeliverySink;
class Exporter;

// One line of a registration file. The file has one registration per line:
//   <class> <namespace> <provider> <library> <kinds>
// kinds is any of "instance", "method", "association", "indication" joined
// by commas. '#' starts a comment; blank lines are ignored. `library` is
// looked up as lib<library>.so in the file's directory and the host's
// library path, or used as is when it contains a '/'.
struct ProviderRegistration {
    std::string className;
    std::string nameSpace;
    std::string providerName;
    std::string library;
    bool instance = false;
    bool method = false;
    bool association = false;
    bool indication = false;
};

class Cimom {
public:
    struct Options {
        // Where the interop namespace keeps its filters, destinations and
        // subscriptions across restarts; empty keeps them in memory only.
        std::string storeFile;
        // What the interop namespace accepts (counts, sizes, listener hosts)
        // and how its store is written and recovered.
        InteropOptions interop;
        // Where indications delivered to any destination are appended as
        // JSON lines; empty for none.
        std::string deliveryLog;
        // Directories searched for provider libraries after the
        // registration file's own.
        std::vector<std::string> libraryPath;
        // Whether indications for CIM_ListenerDestinationCIMXML destinations
        // are posted to their listeners over HTTP.
        bool exportToListeners = true;
        // Trusted certificates (PEM) for https listeners; empty: the system's.
        std::string exportCaFile;
        const ClassRepository* classes = &ClassRepository::builtin();
    };

    explicit Cimom(Options options);
    // Disables indications, cleans up every provider (terminating) and
    // unloads their libraries.
    ~Cimom();
    Cimom(const Cimom&) = delete;
    Cimom& operator=(const Cimom&) = delete;

    // Reads a registration file; false with *error set (file, line, reason)
    // for an unreadable file or a malformed line; nothing of a bad file is
    // registered. Libraries are opened on first use, not here.
    bool loadRegistrations(const std::string& file, std::string* error);
    void addRegistration(const ProviderRegistration& registration);
    std::vector<ProviderRegistration> registrations() const;

    // Re-creates the subscriptions of the store (activating their
    // providers), after taking back the retry settings kept beside it (set
    // through CIM_IndicationService). Call once after the registrations are
    // in.
    Status restoreSubscriptions();

    // Client operations. Namespaces are compared case-insensitively;
    // "root/interop" is served by the host itself, the others by the
    // registered providers. Unknown namespace: CMPI_RC_ERR_INVALID_NAMESPACE;
    // unknown class: CMPI_RC_ERR_INVALID_CLASS; a class without a provider
    // for the operation: CMPI_RC_ERR_NOT_SUPPORTED; a provider library that
    // cannot be loaded or lacks its factory: CMPI_RC_ERR_FAILED with the
    // reason (the other providers keep serving).
    Status getInstance(const ObjectPath& path, Instance* out);
    // The class and its subclasses, each served by its own provider.
    Status enumerateInstances(const std::string& nameSpace, const std::string& className,
                              std::vector<Instance>* out);
    // The same with the instances shared instead of copied where the host
    // keeps them itself (the interop namespace: see
    // IndicationService::enumerateInstancesShared); what the broker hands to
    // providers.
    Status getInstanceShared(const ObjectPath& path, std::shared_ptr<const Instance>* out);
    Status enumerateInstancesShared(const std::string& nameSpace, const std::string& className,
                                    std::vector<std::shared_ptr<const Instance>>* out);
    Status enumerateInstanceNames(const std::string& nameSpace, const std::string& className,
                                  std::vector<ObjectPath>* out);
    Status createInstance(const Instance& instance, ObjectPath* created);
    Status modifyInstance(const Instance& instance);
    Status deleteInstance(const ObjectPath& path);
    // `in` and `out` are the method's parameters by name; *returnValue the
    // method's return value.
    Status invokeMethod(const ObjectPath& path, const std::string& method, const NamedValues& in,
                        NamedValues* out, Value* returnValue);
    Status associators(const ObjectPath& path, const std::string& assocClass, const std::string& resultClass,
                       const std::string& role, const std::string& resultRole, std::vector<Instance>* out);
    Status associatorNames(const ObjectPath& path, const std::string& assocClass,
                           const std::string& resultClass, const std::string& role,
                           const std::string& resultRole, std::vector<ObjectPath>* out);
    Status references(const ObjectPath& path, const std::string& resultClass, const std::string& role,
                      std::vector<Instance>* out);
    Status referenceNames(const ObjectPath& path, const std::string& resultClass, const std::string& role,
                          std::vector<ObjectPath>* out);

    // Every indication that matches a subscription goes to every sink with
    // the subscription's destination. Sinks are called on the thread that
    // delivered the indication and must not block for long.
    void addSink(std::shared_ptr<DeliverySink> sink);
    void removeSink(const std::shared_ptr<DeliverySink>& sink);

    const ClassRepository& classes() const;

    // What posts indications to CIM-XML listeners (its counters, its retry
    // settings, which root/interop also serves as the CIM_IndicationService
    // instance); never null, and idle when Options::exportToListeners is off.
    // It lives as long as the Cimom; the destructor lets its queues drain for
    // a few seconds and drops what is left (see Exporter::stop).
    Exporter* exporter();

    // The broker every provider of this host is given; tests and tools make
    // CMPI objects and contexts through it.
    Broker& broker();
    // Asks the provider's MIs to clean up without terminating, as a CIMOM
    // does for an idle provider: MIs answering CMPI_RC_DO_NOT_UNLOAD stay
    // loaded (and that is the answer); the library closes when none is left.
    // For tests.
    Status unloadProvider(const std::string& providerName);

    // How often each provider's MI functions were entered, for tests:
    // "<provider>.<function>", e.g. "QMS_X_Provider.enableIndications".
    unsigned calls(const std::string& providerFunction) const;

    struct Impl;

private:
    std::string retrySettingsFile() const;
    std::unique_ptr<Impl> impl_;
};

}  // namespace cimhost
