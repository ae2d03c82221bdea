// The provider manager: opens provider libraries on first use, creates each
// provider's MI of each kind once through its exported factory, counts MI
// entries, and cleans providers up (on request, or for good at shut-down).
#pragma once

#include <cmpi/cmpift.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Broker.h"
#include "core/Value.h"

namespace cimhost {

enum class MiKind { Instance = 0, Method = 1, Association = 2, Indication = 3 };
// "Instance", "Method", "Association", "Indication": the factory's infix.
const char* miKindName(MiKind kind);

class ProviderManager {
public:
    // Libraries are searched in the registration's directory, then in
    // `libraryPath`.
    ProviderManager(Broker& broker, std::vector<std::string> libraryPath);
    // Shuts down what is still loaded.
    ~ProviderManager();
    ProviderManager(const ProviderManager&) = delete;
    ProviderManager& operator=(const ProviderManager&) = delete;

    // Makes a provider known. The first registration of a provider name
    // decides its library; `directory` is where its registration file was.
    void add(const std::string& providerName, const std::string& library, const std::string& directory);

    struct Provider;

    // The right to call one MI: while it lives, the provider is not cleaned
    // up. Empty (false) with status() set when the MI could not be had.
    class Use {
    public:
        Use() = default;
        Use(Use&& other) noexcept;
        Use& operator=(Use&& other) noexcept;
        ~Use();
        explicit operator bool() const { return mi_ != nullptr; }
        void* mi() const { return mi_; }
        const Status& status() const { return status_; }

    private:
        friend class ProviderManager;
        Provider* provider_ = nullptr;
        void* mi_ = nullptr;
        Status status_;
    };

    // The provider's MI of `kind`, loading its library and calling its
    // factory the first time. A missing library, factory or MI gives
    // CMPI_RC_ERR_FAILED with the reason, and is tried again on the next use.
    Use use(const std::string& providerName, MiKind kind);

    // Counts one entry into `function` of a provider's MI.
    void count(const std::string& providerName, const char* function);
    unsigned calls(const std::string& providerFunction) const;

    // Asks every MI of the provider to clean up (terminating false). An MI
    // that answers CMPI_RC_DO_NOT_UNLOAD or CMPI_RC_NEVER_UNLOAD stays, and
    // with it the library; the others are dropped (made again on next use).
    // CMPI_RC_ERR_FAILED while calls are running; the MIs' own failures are
    // reported (those MIs stay).
    Status unload(const std::string& providerName);
    // Terminating clean-up of every provider, most recently loaded first,
    // then the libraries are closed. Waits for running calls. Idempotent.
    void shutdown();

private:
    Status load(Provider& p, MiKind kind, void** mi);
    Status cleanup(Provider& p, bool terminating);

    Broker& broker_;
    std::vector<std::string> libraryPath_;
    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<Provider>> providers_;  // by lower-case name
    std::vector<Provider*> loadOrder_;
    std::map<std::string, unsigned> calls_;
};

}  // namespace cimhost
