#include "core/Cimom.h"

#include <cimple/Meta.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <utility>

#include "core/Broker.h"
#include "core/IndicationService.h"
#include "core/Objects.h"
#include "core/Providers.h"
#include "export/Exporter.h"
#include "export/IndicationServiceInstance.h"

namespace cimhost {

namespace {

bool serves(const ProviderRegistration& r, MiKind kind) {
    switch (kind) {
        case MiKind::Instance:
            return r.instance;
        case MiKind::Method:
            return r.method;
        case MiKind::Association:
            return r.association;
        case MiKind::Indication:
            return r.indication;
    }
    return false;
}

bool isInterop(const std::string& ns) { return sameName(ns, kInteropNamespace); }

// The CIM_IndicationService instance is the exporter's settings; the interop
// store knows nothing of it.
bool isServiceClass(const std::string& ns, const std::string& className) {
    return isInterop(ns) && sameName(className, kIndicationServiceClass);
}

const char* orNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

// Instances and paths a provider returned carry our namespace when it left
// theirs empty.
void placeIn(const std::string& ns, ObjectPath* path) {
    if (path->nameSpace.empty()) path->nameSpace = ns;
}

// Reads one registration line; false with *why set.
bool parseRegistration(const std::string& line, ProviderRegistration* out, std::string* why) {
    std::istringstream in(line);
    std::vector<std::string> fields;
    for (std::string f; in >> f;) fields.push_back(f);
    if (fields.size() != 5) {
        *why = "expected <class> <namespace> <provider> <library> <kinds>, got " +
               std::to_string(fields.size()) + " fields";
        return false;
    }
    ProviderRegistration r;
    r.className = fields[0];
    r.nameSpace = fields[1];
    r.providerName = fields[2];
    r.library = fields[3];
    std::istringstream kinds(fields[4]);
    for (std::string k; std::getline(kinds, k, ',');) {
        if (sameName(k, "instance"))
            r.instance = true;
        else if (sameName(k, "method"))
            r.method = true;
        else if (sameName(k, "association"))
            r.association = true;
        else if (sameName(k, "indication"))
            r.indication = true;
        else {
            *why = "unknown kind \"" + k + "\"";
            return false;
        }
    }
    *out = std::move(r);
    return true;
}

}  // namespace

namespace {

ExportSettings exportSettings(const Cimom::Options& options) {
    ExportSettings settings;
    settings.http.caFile = options.exportCaFile;
    return settings;
}

}  // namespace

struct Cimom::Impl : IndicationProviders {
    Impl(Cimom* cimom, Options o)
        : options(std::move(o)),
          classes(*options.classes),
          broker(classes, cimom),
          space(broker.space()),
          providers(broker, options.libraryPath),
          exporter(std::make_shared<Exporter>(exportSettings(options))),
          service(classes, *this, options.storeFile, options.interop) {
        broker.setDeliver([this](const std::string& ns, const Instance& ind) { service.deliver(ns, ind); });
        if (!options.deliveryLog.empty())
            service.addSink(std::make_shared<JsonLinesSink>(options.deliveryLog));
        if (options.exportToListeners) service.addSink(exporter);
    }

    Options options;
    const ClassRepository& classes;
    Broker broker;
    const ObjectSpace& space;
    ProviderManager providers;

    mutable std::mutex mutex;
    std::vector<ProviderRegistration> regs;
    std::map<std::string, unsigned> subscriptions;  // active ones per provider, by provider name

    // Stopped once the providers are (shutdown), so that their last
    // indications still get the drain.
    std::shared_ptr<Exporter> exporter;

    // Last, so it goes first: nothing may deliver into a dead service.
    IndicationService service;

    std::vector<ProviderRegistration> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        return regs;
    }

    // Calls f(registration) under the lock until it answers true; f must not
    // call back into anything that takes the lock. Spares the request paths a
    // copy of every registration.
    template <class F>
    bool anyRegistration(F f) const {
        std::lock_guard<std::mutex> lock(mutex);
        for (const ProviderRegistration& r : regs)
            if (f(r)) return true;
        return false;
    }

    void add(const ProviderRegistration& r, const std::string& directory) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            regs.push_back(r);
        }
        providers.add(r.providerName, r.library, directory);
    }

    Status checkClass(const std::string& ns, const std::string& className) const {
        if (ns.empty()) return Status::error(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace given");
        bool known = isInterop(ns) || anyRegistration([&](const ProviderRegistration& r) {
                         return sameName(r.nameSpace, ns);
                     });
        if (!known) return Status::error(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
        if (!space.findClass(className))
            return Status::error(CMPI_RC_ERR_INVALID_CLASS, "no class " + className);
        return Status();
    }

    // The registration for the class itself, else for its nearest ancestor.
    bool pick(const std::string& ns, const std::string& className, MiKind kind, ProviderRegistration* out,
              Status* why) const {
        *why = checkClass(ns, className);
        if (!why->ok()) return false;
        std::vector<ProviderRegistration> candidates;
        bool exact = anyRegistration([&](const ProviderRegistration& r) {
            if (!serves(r, kind) || !sameName(r.nameSpace, ns)) return false;
            if (sameName(r.className, className)) {
                *out = r;
                return true;
            }
            if (space.isA(className, r.className)) candidates.push_back(r);
            return false;
        });
        if (exact) return true;
        for (const ProviderRegistration& c : candidates) {
            bool nearest = true;
            for (const ProviderRegistration& other : candidates)
                nearest = nearest && classes.isA(c.className, other.className);
            if (nearest) {
                *out = c;
                return true;
            }
        }
        *why = Status::error(CMPI_RC_ERR_NOT_SUPPORTED, std::string("no ") + miKindName(kind) +
                                                            " provider for " + className + " in " + ns);
        return false;
    }

    // One MI call on the calling thread, with a fresh context and result,
    // everything the call made freed when it returns. `f(mi, ctx, result)`
    // makes the call; what the provider put into the result lands in *data.
    template <class MI, class F>
    Status call(const std::string& provider, MiKind kind, const char* function, const std::string& ns, F f,
                ResultData* data = nullptr) {
        ProviderManager::Use use = providers.use(provider, kind);
        if (!use) return use.status();
        providers.count(provider, function);
        CallScope scope;
        CMPIContext* ctx = broker.newContext(ns, true);
        CMPIResult* result = newCmpiResult(broker.space());
        MI* mi = static_cast<MI*>(use.mi());
        if (!mi->ft) return Status::error(CMPI_RC_ERR_FAILED, provider + ": MI without function table");
        CMPIStatus st = f(mi, ctx, result);
        if (st.rc != CMPI_RC_OK) {
            std::string message;
            if (st.msg) readString(st.msg, &message);
            if (message.empty()) message = provider + "." + function + " failed";
            return Status::error(st.rc, message);
        }
        if (data) *data = takeResultData(result);
        return Status();
    }

    static CMPIStatus notSupported() { return CMPIStatus{CMPI_RC_ERR_NOT_SUPPORTED, nullptr}; }

    CMPIObjectPath* cmpiPath(const ObjectPath& p) { return newCmpiObjectPath(broker.space(), p); }

    // ---- Instances --------------------------------------------------------------

    // The instance registrations in `ns` for `className` and its subclasses,
    // in the repository's order of their classes (registration order within
    // one class), each with the class's own spelling.
    std::vector<std::pair<std::string, ProviderRegistration>> instanceProviders(
        const std::string& ns, const std::string& className) const {
        std::vector<std::pair<std::string, ProviderRegistration>> found;
        const cimple::Meta_Class* base = space.findClass(className);
        if (!base) return found;
        anyRegistration([&](const ProviderRegistration& r) {
            if (!r.instance || !sameName(r.nameSpace, ns)) return false;
            const cimple::Meta_Class* mc = space.findClass(r.className);
            if (mc && !(mc->flags & cimple::CIMPLE_FLAG_METHOD) && cimple::is_subclass(base, mc))
                found.emplace_back(mc->name, r);
            return false;
        });
        if (found.size() > 1) {
            // Rare (several providers under one class): order them as the
            // repository lists their classes.
            std::vector<std::string> order = classes.subclassesOf(className);
            auto rank = [&](const std::string& cls) {
                return std::find(order.begin(), order.end(), cls) - order.begin();
            };
            std::stable_sort(found.begin(), found.end(),
                             [&](const auto& a, const auto& b) { return rank(a.first) < rank(b.first); });
        }
        return found;
    }

    Status enumerate(const std::string& ns, const std::string& className, bool names,
                     std::vector<Value>* out) {
        Status s = checkClass(ns, className);
        if (!s.ok()) return s;
        std::vector<std::pair<std::string, ProviderRegistration>> providers =
            instanceProviders(ns, className);
        for (const auto& entry : providers) {
            const ProviderRegistration& r = entry.second;
            ObjectPath op;
            op.nameSpace = ns;
            op.className = entry.first;
            ResultData data;
            s = names ? call<CMPIInstanceMI>(
                            r.providerName, MiKind::Instance, "enumerateInstanceNames", ns,
                            [&](CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* res) {
                                return mi->ft->enumerateInstanceNames
                                           ? mi->ft->enumerateInstanceNames(mi, ctx, res, cmpiPath(op))
                                           : notSupported();
                            },
                            &data)
                      : call<CMPIInstanceMI>(
                            r.providerName, MiKind::Instance, "enumerateInstances", ns,
                            [&](CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* res) {
                                return mi->ft->enumerateInstances
                                           ? mi->ft->enumerateInstances(mi, ctx, res, cmpiPath(op), nullptr)
                                           : notSupported();
                            },
                            &data);
            if (!s.ok()) return s;
            if (out->empty()) {
                *out = std::move(data.values);
            } else {
                out->insert(out->end(), std::make_move_iterator(data.values.begin()),
                            std::make_move_iterator(data.values.end()));
            }
        }
        if (providers.empty())
            return Status::error(CMPI_RC_ERR_NOT_SUPPORTED,
                                 "no Instance provider for " + className + " in " + ns);
        return Status();
    }

    Status createInstance(const Instance& instance, ObjectPath* created) {
        const std::string& ns = instance.path.nameSpace;
        if (isServiceClass(ns, instance.path.className))
            return Status::error(CMPI_RC_ERR_NOT_SUPPORTED, "the indication service is the host's own");
        if (isInterop(ns)) return service.createInstance(instance, created);
        ProviderRegistration r;
        Status s;
        if (!pick(ns, instance.className(), MiKind::Instance, &r, &s)) return s;
        ResultData data;
        ObjectPath path;
        s = call<CMPIInstanceMI>(
            r.providerName, MiKind::Instance, "createInstance", ns,
            [&](CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* res) {
                if (!mi->ft->createInstance) return notSupported();
                CMPIInstance* ci = newCmpiInstance(broker.space(), instance);
                Instance keyed;
                readInstance(ci, &keyed);
                path = keyed.path;
                return mi->ft->createInstance(mi, ctx, res, cmpiPath(path), ci);
            },
            &data);
        if (!s.ok()) return s;
        for (const Value& v : data.values)
            if (v.type() == CMPI_ref && v.asReference()) {
                path = *v.asReference();
                break;
            }
        placeIn(ns, &path);
        if (created) *created = path;
        return Status();
    }

    Status instanceOp(const ObjectPath& path, const char* function, const Instance* instance) {
        ProviderRegistration r;
        Status s;
        if (!pick(path.nameSpace, path.className, MiKind::Instance, &r, &s)) return s;
        return call<CMPIInstanceMI>(r.providerName, MiKind::Instance, function, path.nameSpace,
                                    [&](CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* res) {
                                        if (instance) {
                                            if (!mi->ft->modifyInstance) return notSupported();
                                            CMPIInstance* ci = newCmpiInstance(broker.space(), *instance);
                                            return mi->ft->modifyInstance(mi, ctx, res, cmpiPath(path), ci,
                                                                          nullptr);
                                        }
                                        if (!mi->ft->deleteInstance) return notSupported();
                                        return mi->ft->deleteInstance(mi, ctx, res, cmpiPath(path));
                                    });
    }

    // ---- Associations -------------------------------------------------------------

    // Every association provider of `path`'s namespace whose class is
    // `assocClass` (or any association class when empty) is asked in turn.
    template <class F>
    Status associationOp(const ObjectPath& path, const std::string& assocClass, const char* function, F f,
                         std::vector<Value>* out) {
        if (isInterop(path.nameSpace))
            return Status::error(CMPI_RC_ERR_NOT_SUPPORTED, "no associations in " + path.nameSpace);
        Status s = checkClass(path.nameSpace, path.className);
        if (!s.ok()) return s;
        if (!assocClass.empty() && !classes.exists(assocClass))
            return Status::error(CMPI_RC_ERR_INVALID_CLASS, "no class " + assocClass);
        bool served = false;
        for (const ProviderRegistration& r : snapshot()) {
            if (!r.association || !sameName(r.nameSpace, path.nameSpace)) continue;
            if (!assocClass.empty() && !classes.isA(r.className, assocClass)) continue;
            served = true;
            ResultData data;
            s = call<CMPIAssociationMI>(
                r.providerName, MiKind::Association, function, path.nameSpace,
                [&](CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* res) {
                    return f(mi, ctx, res, cmpiPath(path));
                },
                &data);
            if (!s.ok()) return s;
            out->insert(out->end(), data.values.begin(), data.values.end());
        }
        if (!served)
            return Status::error(CMPI_RC_ERR_NOT_SUPPORTED, "no Association provider in " + path.nameSpace);
        return Status();
    }

    // ---- Indications -----------------------------------------------------------------

    std::vector<ProviderRegistration> indicationProviders(const FilterInfo& filter) const {
        std::vector<ProviderRegistration> out;
        for (const ProviderRegistration& r : snapshot()) {
            if (!r.indication) continue;
            if (!filter.sourceNamespace.empty() && !sameName(r.nameSpace, filter.sourceNamespace)) continue;
            if (classes.isA(r.className, filter.className) || classes.isA(filter.className, r.className))
                out.push_back(r);
        }
        return out;
    }

    // One filter call on a provider's indication MI, with the compiled
    // filter, the class of its FROM clause and that class's path.
    template <class F>
    Status filterCall(const ProviderRegistration& r, const FilterInfo& filter, const char* function, F f) {
        return call<CMPIIndicationMI>(
            r.providerName, MiKind::Indication, function, r.nameSpace,
            [&](CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPIResult*) {
                CMPISelectExp* se = newCmpiSelectExp(broker.space(), filter.query, filter.language);
                ObjectPath classPath;
                classPath.nameSpace = r.nameSpace;
                classPath.className = filter.className;
                return f(mi, ctx, se, filter.className.c_str(), cmpiPath(classPath));
            });
    }

    Status switchIndications(const std::string& provider, const std::string& ns, bool enable) {
        const char* function = enable ? "enableIndications" : "disableIndications";
        return call<CMPIIndicationMI>(provider, MiKind::Indication, function, ns,
                                      [&](CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPIResult*) {
                                          auto fn =
                                              enable ? mi->ft->enableIndications : mi->ft->disableIndications;
                                          return fn ? fn(mi, ctx) : CMPIStatus{CMPI_RC_OK, nullptr};
                                      });
    }

    // Counts a provider's active subscriptions; returns the count before.
    unsigned adjust(const std::string& provider, int delta) {
        std::lock_guard<std::mutex> lock(mutex);
        unsigned& n = subscriptions[provider];
        unsigned before = n;
        if (delta > 0)
            ++n;
        else if (n > 0)
            --n;
        return before;
    }

    Status deactivateOne(const ProviderRegistration& r, const FilterInfo& filter, bool last) {
        Status s = filterCall(r, filter, "deActivateFilter",
                              [&](CMPIIndicationMI* mi, const CMPIContext* ctx, CMPISelectExp* se,
                                  const char* cn, CMPIObjectPath* cp) {
                                  return mi->ft->deActivateFilter
                                             ? mi->ft->deActivateFilter(mi, ctx, se, cn, cp, last)
                                             : CMPIStatus{CMPI_RC_OK, nullptr};
                              });
        if (adjust(r.providerName, -1) == 1) {
            Status d = switchIndications(r.providerName, r.nameSpace, false);
            if (s.ok()) s = d;
        }
        return s;
    }

    Status activate(const FilterInfo& filter, bool first) override {
        std::vector<ProviderRegistration> done;
        for (const ProviderRegistration& r : indicationProviders(filter)) {
            Status s = filterCall(r, filter, "authorizeFilter",
                                  [&](CMPIIndicationMI* mi, const CMPIContext* ctx, CMPISelectExp* se,
                                      const char* cn, CMPIObjectPath* cp) {
                                      return mi->ft->authorizeFilter
                                                 ? mi->ft->authorizeFilter(mi, ctx, se, cn, cp, "cimhost")
                                                 : CMPIStatus{CMPI_RC_OK, nullptr};
                                  });
            if (s.ok())
                s = filterCall(r, filter, "activateFilter",
                               [&](CMPIIndicationMI* mi, const CMPIContext* ctx, CMPISelectExp* se,
                                   const char* cn, CMPIObjectPath* cp) {
                                   return mi->ft->activateFilter
                                              ? mi->ft->activateFilter(mi, ctx, se, cn, cp, first)
                                              : notSupported();
                               });
            if (s.ok() && adjust(r.providerName, +1) == 0) {
                s = switchIndications(r.providerName, r.nameSpace, true);
                if (!s.ok()) adjust(r.providerName, -1);
            }
            if (!s.ok()) {
                // The subscription is refused as a whole: who already took it
                // lets go again.
                for (auto it = done.rbegin(); it != done.rend(); ++it) deactivateOne(*it, filter, first);
                return s;
            }
            done.push_back(r);
        }
        return Status();
    }

    Status deactivate(const FilterInfo& filter, bool last) override {
        Status result;
        for (const ProviderRegistration& r : indicationProviders(filter)) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (subscriptions[r.providerName] == 0) continue;
            }
            Status s = deactivateOne(r, filter, last);
            if (result.ok()) result = s;
        }
        return result;
    }

    void shutdown() {
        std::map<std::string, std::string> enabled;  // provider -> a namespace of it
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const ProviderRegistration& r : regs)
                if (r.indication && subscriptions[r.providerName] > 0) enabled[r.providerName] = r.nameSpace;
            subscriptions.clear();
        }
        for (const auto& p : enabled) switchIndications(p.first, p.second, false);
        providers.shutdown();
        exporter->stop();
    }
};

Cimom::Cimom(Options options) : impl_(new Impl(this, std::move(options))) {}

Cimom::~Cimom() { impl_->shutdown(); }

bool Cimom::loadRegistrations(const std::string& file, std::string* error) {
    std::ifstream in(file);
    if (!in) {
        if (error) *error = file + ": cannot read";
        return false;
    }
    std::string directory = ".";
    size_t slash = file.rfind('/');
    if (slash != std::string::npos) directory = slash == 0 ? "/" : file.substr(0, slash);
    std::vector<ProviderRegistration> read;
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        ProviderRegistration r;
        std::string why;
        if (!parseRegistration(line, &r, &why)) {
            if (error) *error = file + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        read.push_back(std::move(r));
    }
    for (const ProviderRegistration& r : read) impl_->add(r, directory);
    return true;
}

void Cimom::addRegistration(const ProviderRegistration& registration) {
    impl_->add(registration, std::string());
}

std::vector<ProviderRegistration> Cimom::registrations() const { return impl_->snapshot(); }

Exporter* Cimom::exporter() { return impl_->exporter.get(); }

// Beside the interop store: the retry settings an administrator set.
std::string Cimom::retrySettingsFile() const {
    return impl_->options.storeFile.empty() ? std::string() : impl_->options.storeFile + ".settings";
}

Status Cimom::restoreSubscriptions() {
    // The settings first: the restored subscriptions deliver with them.
    const Status settings =
        retrySettingsFile().empty() ? Status() : loadRetrySettings(*impl_->exporter, retrySettingsFile());
    const Status restored = impl_->service.restore();
    return restored.ok() ? settings : restored;
}

Status Cimom::getInstance(const ObjectPath& path, Instance* out) {
    if (isServiceClass(path.nameSpace, path.className))
        return getIndicationService(*impl_->exporter, path, out);
    if (isInterop(path.nameSpace)) return impl_->service.getInstance(path, out);
    ProviderRegistration r;
    Status s;
    if (!impl_->pick(path.nameSpace, path.className, MiKind::Instance, &r, &s)) return s;
    ResultData data;
    s = impl_->call<CMPIInstanceMI>(
        r.providerName, MiKind::Instance, "getInstance", path.nameSpace,
        [&](CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* res) {
            return mi->ft->getInstance ? mi->ft->getInstance(mi, ctx, res, impl_->cmpiPath(path), nullptr)
                                       : Impl::notSupported();
        },
        &data);
    if (!s.ok()) return s;
    for (Value& v : data.values)
        if (v.type() == CMPI_instance && v.asInstance()) {
            *out = v.takeInstance();
            placeIn(path.nameSpace, &out->path);
            return Status();
        }
    return Status::error(CMPI_RC_ERR_NOT_FOUND, "no instance " + path.toText());
}

Status Cimom::enumerateInstances(const std::string& nameSpace, const std::string& className,
                                 std::vector<Instance>* out) {
    if (isServiceClass(nameSpace, className)) {
        out->push_back(indicationServiceInstance(*impl_->exporter));
        return Status();
    }
    if (isInterop(nameSpace)) return impl_->service.enumerateInstances(className, out);
    std::vector<Value> values;
    Status s = impl_->enumerate(nameSpace, className, false, &values);
    out->reserve(out->size() + values.size());
    for (Value& v : values)
        if (v.type() == CMPI_instance && v.asInstance()) {
            out->push_back(v.takeInstance());
            placeIn(nameSpace, &out->back().path);
        }
    return s;
}

Status Cimom::getInstanceShared(const ObjectPath& path, std::shared_ptr<const Instance>* out) {
    if (isInterop(path.nameSpace) && !isServiceClass(path.nameSpace, path.className))
        return impl_->service.getInstanceShared(path, out);
    Instance found;
    Status s = getInstance(path, &found);
    if (s.ok()) *out = std::make_shared<Instance>(std::move(found));
    return s;
}

Status Cimom::enumerateInstancesShared(const std::string& nameSpace, const std::string& className,
                                       std::vector<std::shared_ptr<const Instance>>* out) {
    if (isInterop(nameSpace) && !isServiceClass(nameSpace, className))
        return impl_->service.enumerateInstancesShared(className, out);
    std::vector<Instance> found;
    Status s = enumerateInstances(nameSpace, className, &found);
    out->reserve(out->size() + found.size());
    for (Instance& i : found) out->push_back(std::make_shared<Instance>(std::move(i)));
    return s;
}

Status Cimom::enumerateInstanceNames(const std::string& nameSpace, const std::string& className,
                                     std::vector<ObjectPath>* out) {
    if (isServiceClass(nameSpace, className)) {
        out->push_back(indicationServiceInstance(*impl_->exporter).path);
        return Status();
    }
    if (isInterop(nameSpace)) {
        std::vector<std::shared_ptr<const Instance>> instances;
        Status s = impl_->service.enumerateInstancesShared(className, &instances);
        out->reserve(out->size() + instances.size());
        for (const auto& i : instances) out->push_back(i->path);
        return s;
    }
    std::vector<Value> values;
    Status s = impl_->enumerate(nameSpace, className, true, &values);
    out->reserve(out->size() + values.size());
    for (Value& v : values)
        if (v.type() == CMPI_ref && v.asReference()) {
            out->push_back(v.takeReference());
            placeIn(nameSpace, &out->back());
        }
    return s;
}

Status Cimom::createInstance(const Instance& instance, ObjectPath* created) {
    return impl_->createInstance(instance, created);
}

Status Cimom::modifyInstance(const Instance& instance) {
    if (isServiceClass(instance.path.nameSpace, instance.path.className)) {
        Exporter& exporter = *impl_->exporter;
        const unsigned attempts = exporter.retryAttempts();
        const std::chrono::milliseconds interval = exporter.retryInterval();
        Status s = modifyIndicationService(exporter, instance);
        // A change the client is told about is kept; one that cannot be is
        // not made.
        if (s.ok() && !retrySettingsFile().empty()) {
            s = saveRetrySettings(exporter, retrySettingsFile());
            if (!s.ok()) exporter.setRetry(attempts, interval);
        }
        return s;
    }
    if (isInterop(instance.path.nameSpace)) return impl_->service.modifyInstance(instance);
    return impl_->instanceOp(instance.path, "modifyInstance", &instance);
}

Status Cimom::deleteInstance(const ObjectPath& path) {
    if (isServiceClass(path.nameSpace, path.className))
        return Status::error(CMPI_RC_ERR_NOT_SUPPORTED, "the indication service is the host's own");
    if (isInterop(path.nameSpace)) return impl_->service.deleteInstance(path);
    return impl_->instanceOp(path, "deleteInstance", nullptr);
}

Status Cimom::invokeMethod(const ObjectPath& path, const std::string& method, const NamedValues& in,
                           NamedValues* out, Value* returnValue) {
    if (isInterop(path.nameSpace))
        return Status::error(CMPI_RC_ERR_NOT_SUPPORTED, "no methods in " + path.nameSpace);
    ProviderRegistration r;
    Status s;
    if (!impl_->pick(path.nameSpace, path.className, MiKind::Method, &r, &s)) return s;
    ResultData data;
    NamedValues outArgs;
    s = impl_->call<CMPIMethodMI>(
        r.providerName, MiKind::Method, "invokeMethod", path.nameSpace,
        [&](CMPIMethodMI* mi, const CMPIContext* ctx, const CMPIResult* res) {
            if (!mi->ft->invokeMethod) return Impl::notSupported();
            CMPIArgs* inArgs = newCmpiArgs(impl_->broker.space(), in);
            CMPIArgs* outCmpi = newCmpiArgs(impl_->broker.space(), NamedValues());
            CMPIStatus st =
                mi->ft->invokeMethod(mi, ctx, res, impl_->cmpiPath(path), method.c_str(), inArgs, outCmpi);
            readArgs(outCmpi, &outArgs);
            return st;
        },
        &data);
    if (!s.ok()) return s;
    if (out) *out = std::move(outArgs);
    if (returnValue) *returnValue = data.values.empty() ? Value() : std::move(data.values.front());
    return Status();
}

Status Cimom::associators(const ObjectPath& path, const std::string& assocClass,
                          const std::string& resultClass, const std::string& role,
                          const std::string& resultRole, std::vector<Instance>* out) {
    std::vector<Value> values;
    Status s = impl_->associationOp(
        path, assocClass, "associators",
        [&](CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* res, CMPIObjectPath* op) {
            return mi->ft->associators
                       ? mi->ft->associators(mi, ctx, res, op, orNull(assocClass), orNull(resultClass),
                                             orNull(role), orNull(resultRole), nullptr)
                       : Impl::notSupported();
        },
        &values);
    for (const Value& v : values)
        if (v.type() == CMPI_instance && v.asInstance()) out->push_back(*v.asInstance());
    return s;
}

Status Cimom::associatorNames(const ObjectPath& path, const std::string& assocClass,
                              const std::string& resultClass, const std::string& role,
                              const std::string& resultRole, std::vector<ObjectPath>* out) {
    std::vector<Value> values;
    Status s = impl_->associationOp(
        path, assocClass, "associatorNames",
        [&](CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* res, CMPIObjectPath* op) {
            return mi->ft->associatorNames
                       ? mi->ft->associatorNames(mi, ctx, res, op, orNull(assocClass), orNull(resultClass),
                                                 orNull(role), orNull(resultRole))
                       : Impl::notSupported();
        },
        &values);
    for (const Value& v : values)
        if (v.type() == CMPI_ref && v.asReference()) out->push_back(*v.asReference());
    return s;
}

Status Cimom::references(const ObjectPath& path, const std::string& resultClass, const std::string& role,
                         std::vector<Instance>* out) {
    std::vector<Value> values;
    Status s = impl_->associationOp(
        path, resultClass, "references",
        [&](CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* res, CMPIObjectPath* op) {
            return mi->ft->references
                       ? mi->ft->references(mi, ctx, res, op, orNull(resultClass), orNull(role), nullptr)
                       : Impl::notSupported();
        },
        &values);
    for (const Value& v : values)
        if (v.type() == CMPI_instance && v.asInstance()) out->push_back(*v.asInstance());
    return s;
}

Status Cimom::referenceNames(const ObjectPath& path, const std::string& resultClass, const std::string& role,
                             std::vector<ObjectPath>* out) {
    std::vector<Value> values;
    Status s = impl_->associationOp(
        path, resultClass, "referenceNames",
        [&](CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* res, CMPIObjectPath* op) {
            return mi->ft->referenceNames
                       ? mi->ft->referenceNames(mi, ctx, res, op, orNull(resultClass), orNull(role))
                       : Impl::notSupported();
        },
        &values);
    for (const Value& v : values)
        if (v.type() == CMPI_ref && v.asReference()) out->push_back(*v.asReference());
    return s;
}

void Cimom::addSink(std::shared_ptr<DeliverySink> sink) { impl_->service.addSink(std::move(sink)); }

void Cimom::removeSink(const std::shared_ptr<DeliverySink>& sink) { impl_->service.removeSink(sink); }

const ClassRepository& Cimom::classes() const { return impl_->classes; }

Broker& Cimom::broker() { return impl_->broker; }

Status Cimom::unloadProvider(const std::string& providerName) {
    return impl_->providers.unload(providerName);
}

unsigned Cimom::calls(const std::string& providerFunction) const {
    return impl_->providers.calls(providerFunction);
}

}  // namespace cimhost
