#include "core/Providers.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace cimhost {

struct ProviderManager::Provider {
    std::string name;
    std::string library;
    std::string directory;

    std::mutex mutex;
    std::condition_variable idle;
    void* handle = nullptr;
    void* mi[4] = {nullptr, nullptr, nullptr, nullptr};
    int running = 0;        // calls holding a Use
    bool cleaning = false;  // cleanup() calls are out
};

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return s;
}

// The cleanup entry of any MI kind: every MI table starts with the same
// three fields and cleanup, and every MI with { hdl, ft }.
CMPIStatus cleanupMi(MiKind kind, void* mi, const CMPIContext* ctx, bool terminating) {
    CMPIStatus none{CMPI_RC_OK, nullptr};
    CMPIBoolean t = terminating ? 1 : 0;
    switch (kind) {
        case MiKind::Instance: {
            auto* m = static_cast<CMPIInstanceMI*>(mi);
            return m->ft && m->ft->cleanup ? m->ft->cleanup(m, ctx, t) : none;
        }
        case MiKind::Method: {
            auto* m = static_cast<CMPIMethodMI*>(mi);
            return m->ft && m->ft->cleanup ? m->ft->cleanup(m, ctx, t) : none;
        }
        case MiKind::Association: {
            auto* m = static_cast<CMPIAssociationMI*>(mi);
            return m->ft && m->ft->cleanup ? m->ft->cleanup(m, ctx, t) : none;
        }
        case MiKind::Indication: {
            auto* m = static_cast<CMPIIndicationMI*>(mi);
            return m->ft && m->ft->cleanup ? m->ft->cleanup(m, ctx, t) : none;
        }
    }
    return none;
}

std::string messageOf(const CMPIStatus& st) {
    std::string text;
    if (st.msg) readString(st.msg, &text);
    return text;
}

}  // namespace

const char* miKindName(MiKind kind) {
    switch (kind) {
        case MiKind::Instance:
            return "Instance";
        case MiKind::Method:
            return "Method";
        case MiKind::Association:
            return "Association";
        case MiKind::Indication:
            return "Indication";
    }
    return "";
}

ProviderManager::Use::Use(Use&& other) noexcept
    : provider_(other.provider_), mi_(other.mi_), status_(std::move(other.status_)) {
    other.provider_ = nullptr;
    other.mi_ = nullptr;
}

ProviderManager::Use& ProviderManager::Use::operator=(Use&& other) noexcept {
    if (this != &other) {
        Use gone(std::move(*this));
        provider_ = other.provider_;
        mi_ = other.mi_;
        status_ = std::move(other.status_);
        other.provider_ = nullptr;
        other.mi_ = nullptr;
    }
    return *this;
}

ProviderManager::Use::~Use() {
    if (!provider_) return;
    std::lock_guard<std::mutex> lock(provider_->mutex);
    if (--provider_->running == 0) provider_->idle.notify_all();
}

ProviderManager::ProviderManager(Broker& broker, std::vector<std::string> libraryPath)
    : broker_(broker), libraryPath_(std::move(libraryPath)) {}

ProviderManager::~ProviderManager() { shutdown(); }

void ProviderManager::add(const std::string& providerName, const std::string& library,
                          const std::string& directory) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<Provider>& slot = providers_[lower(providerName)];
    if (slot) return;
    slot.reset(new Provider);
    slot->name = providerName;
    slot->library = library;
    slot->directory = directory;
}

ProviderManager::Use ProviderManager::use(const std::string& providerName, MiKind kind) {
    Use use;
    Provider* p = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = providers_.find(lower(providerName));
        if (it != providers_.end()) p = it->second.get();
    }
    if (!p) {
        use.status_ = Status::error(CMPI_RC_ERR_FAILED, "no provider " + providerName);
        return use;
    }
    std::unique_lock<std::mutex> lock(p->mutex);
    p->idle.wait(lock, [p] { return !p->cleaning; });
    void*& mi = p->mi[static_cast<int>(kind)];
    if (!mi) {
        // The factory runs under the provider's own lock, so two first calls
        // cannot both create it; a factory must not call into its own
        // provider.
        Status s = load(*p, kind, &mi);
        if (!s.ok()) {
            use.status_ = s;
            return use;
        }
    }
    ++p->running;
    use.provider_ = p;
    use.mi_ = mi;
    return use;
}

Status ProviderManager::load(Provider& p, MiKind kind, void** mi) {
    if (!p.handle) {
        std::string file;
        std::vector<std::string> tried;
        if (p.library.find('/') != std::string::npos) {
            file = p.library;
        } else {
            std::vector<std::string> dirs;
            if (!p.directory.empty()) dirs.push_back(p.directory);
            dirs.insert(dirs.end(), libraryPath_.begin(), libraryPath_.end());
            for (const std::string& dir : dirs) {
                std::string candidate = dir + "/lib" + p.library + ".so";
                tried.push_back(candidate);
                if (access(candidate.c_str(), F_OK) == 0) {
                    file = candidate;
                    break;
                }
            }
        }
        if (file.empty()) {
            std::string where;
            for (const std::string& t : tried) where += (where.empty() ? "" : ", ") + t;
            return Status::error(CMPI_RC_ERR_FAILED, "provider " + p.name + ": library lib" + p.library +
                                                         ".so not found (tried " + where + ")");
        }
        void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = dlerror();
            return Status::error(CMPI_RC_ERR_FAILED,
                                 "provider " + p.name + ": cannot load " + file + ": " + (why ? why : "?"));
        }
        p.handle = handle;
        std::lock_guard<std::mutex> lock(mutex_);
        loadOrder_.push_back(&p);
    }
    const std::string symbol = p.name + "_Create_" + miKindName(kind) + "MI";
    dlerror();
    void* factory = dlsym(p.handle, symbol.c_str());
    if (!factory)
        return Status::error(CMPI_RC_ERR_FAILED,
                             "provider " + p.name + ": library lib" + p.library + ".so has no " + symbol);

    CallScope scope;
    const CMPIBroker* mb = broker_.cmpi();
    const CMPIContext* ctx = broker_.newContext(std::string(), true);
    CMPIStatus st{CMPI_RC_OK, nullptr};
    void* made = nullptr;
    switch (kind) {
        case MiKind::Instance:
            made = reinterpret_cast<CMPIInstanceMI* (*)(const CMPIBroker*, const CMPIContext*, CMPIStatus*)>(
                factory)(mb, ctx, &st);
            break;
        case MiKind::Method:
            made = reinterpret_cast<CMPIMethodMI* (*)(const CMPIBroker*, const CMPIContext*, CMPIStatus*)>(
                factory)(mb, ctx, &st);
            break;
        case MiKind::Association:
            made =
                reinterpret_cast<CMPIAssociationMI* (*)(const CMPIBroker*, const CMPIContext*, CMPIStatus*)>(
                    factory)(mb, ctx, &st);
            break;
        case MiKind::Indication:
            made =
                reinterpret_cast<CMPIIndicationMI* (*)(const CMPIBroker*, const CMPIContext*, CMPIStatus*)>(
                    factory)(mb, ctx, &st);
            break;
    }
    // As OpenPegasus does, a table that comes with a failed status is no
    // table: the factory said it could not set itself up.
    if (!made || st.rc != CMPI_RC_OK) {
        std::string why = messageOf(st);
        if (made) cleanupMi(kind, made, ctx, true);
        return Status::error(CMPI_RC_ERR_FAILED, "provider " + p.name + ": " + symbol + " gave no MI" +
                                                     (why.empty() ? "" : ": " + why));
    }
    *mi = made;
    return Status();
}

void ProviderManager::count(const std::string& providerName, const char* function) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_[providerName + "." + function];
}

unsigned ProviderManager::calls(const std::string& providerFunction) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = calls_.find(providerFunction);
    return it == calls_.end() ? 0 : it->second;
}

Status ProviderManager::cleanup(Provider& p, bool terminating) {
    void* mis[4];
    {
        std::unique_lock<std::mutex> lock(p.mutex);
        p.idle.wait(lock, [&p] { return !p.cleaning; });
        if (!terminating && p.running > 0)
            return Status::error(CMPI_RC_ERR_FAILED, "provider " + p.name + " is serving calls");
        p.idle.wait(lock, [&p] { return p.running == 0; });
        p.cleaning = true;
        std::copy(p.mi, p.mi + 4, mis);
    }
    bool keep[4] = {false, false, false, false};
    Status result;
    // Indications first: their MI may still be delivering through the others.
    const MiKind order[] = {MiKind::Indication, MiKind::Association, MiKind::Method, MiKind::Instance};
    for (MiKind kind : order) {
        void* mi = mis[static_cast<int>(kind)];
        if (!mi) continue;
        count(p.name, "cleanup");
        CallScope scope;
        CMPIStatus st = cleanupMi(kind, mi, broker_.newContext(std::string(), true), terminating);
        if (terminating || st.rc == CMPI_RC_OK) continue;
        keep[static_cast<int>(kind)] = true;
        // A refusal to unload is no failure, but the caller learns of it.
        if (result.ok() || result.rc == CMPI_RC_DO_NOT_UNLOAD || result.rc == CMPI_RC_NEVER_UNLOAD)
            result = Status::error(st.rc, st.rc == CMPI_RC_DO_NOT_UNLOAD || st.rc == CMPI_RC_NEVER_UNLOAD
                                              ? p.name + " stays loaded"
                                              : messageOf(st));
    }
    std::lock_guard<std::mutex> lock(p.mutex);
    bool anyLeft = false;
    for (int k = 0; k < 4; ++k) {
        if (!keep[k]) p.mi[k] = nullptr;
        anyLeft = anyLeft || p.mi[k];
    }
    if (!anyLeft && p.handle) {
        dlclose(p.handle);
        p.handle = nullptr;
        std::lock_guard<std::mutex> managerLock(mutex_);
        loadOrder_.erase(std::remove(loadOrder_.begin(), loadOrder_.end(), &p), loadOrder_.end());
    }
    p.cleaning = false;
    p.idle.notify_all();
    return result;
}

Status ProviderManager::unload(const std::string& providerName) {
    Provider* p = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = providers_.find(lower(providerName));
        if (it != providers_.end()) p = it->second.get();
    }
    if (!p) return Status::error(CMPI_RC_ERR_NOT_FOUND, "no provider " + providerName);
    return cleanup(*p, false);
}

void ProviderManager::shutdown() {
    for (;;) {
        Provider* p;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (loadOrder_.empty()) return;
            p = loadOrder_.back();
        }
        cleanup(*p, true);
    }
}

}  // namespace cimhost
