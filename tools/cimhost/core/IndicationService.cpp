// The interop namespace: filters, listener destinations and subscriptions in
// memory, each change appended to the store's journal before it is
// committed, and the matching of delivered indications against the
// subscribed filters.
//
// Every instance is found through an index of its normalised keys, and a
// subscription holds its filter and destination directly, so a change costs
// the same however many registrations there are. Stored instances are never
// changed in place, so gets and listings hand them out shared: a listing
// costs a pointer per instance rather than a copy of scattered data.
//
// Locking. `changes` serialises every change from its checks to its commit,
// so that a subscription's activation, the journal record and the commit
// cannot interleave with another change; providers are called under
// `changes` only, never under `data`, since they call back into the CIMOM
// (and the sinks may be slow). `data` (shared) guards the tables: changers
// take it exclusively only to commit, readers share it only to find or copy.
// A changer reads the tables without it, since nobody else changes them.
#include "core/IndicationService.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "core/InteropStore.h"
#include "core/ListenerUrl.h"

namespace cimhost {

const char kInteropNamespace[] = "root/interop";

namespace {

const char kFilterClass[] = "CIM_IndicationFilter";
const char kDestinationClass[] = "CIM_ListenerDestination";
const char kSubscriptionClass[] = "CIM_IndicationSubscription";
const uint16_t kSubscriptionEnabled = 2;

enum class Kind { Filter = 0, Destination = 1, Subscription = 2 };

std::string localHostName() {
    char name[256];
    if (gethostname(name, sizeof name) != 0) name[0] = '\0';
    name[sizeof name - 1] = '\0';
    return name;
}

std::string textOf(const Instance& inst, const char* property) {
    const Value* v = inst.property(property);
    return v && !v->isNull() && v->type() == CMPI_string ? v->asText() : std::string();
}

// A path names a stored instance when its class is the instance's or a base
// of it and its keys are equal. Namespaces and hosts are left out: everything
// here lives in the interop namespace, and clients' references name the
// namespace they were made in (or none).
bool sameKeys(const NamedValues& a, const NamedValues& b, const ClassRepository& classes);

bool refersTo(const ObjectPath& ref, const ObjectPath& target, const ClassRepository& classes) {
    if (!sameName(ref.className, target.className) && !classes.isA(target.className, ref.className))
        return false;
    return sameKeys(ref.keys, target.keys, classes);
}

bool sameKeys(const NamedValues& a, const NamedValues& b, const ClassRepository& classes) {
    if (a.size() != b.size()) return false;
    for (const auto& key : a) {
        const Value* other = b.find(key.first);
        if (!other) return false;
        if (key.second.type() == CMPI_ref && other->type() == CMPI_ref && !key.second.isNull() &&
            !other->isNull()) {
            if (!refersTo(*key.second.asReference(), *other->asReference(), classes)) return false;
        } else if (key.second != *other) {
            return false;
        }
    }
    return true;
}

// What a lookup must match besides the normalised keys: the path's class
// and those of the references among its keys (depth first, keys in the
// order normalisedKeys sorts them), each ended by a newline. Two paths with
// equal normalised keys and equal chains name the same instance, so a
// lookup by the path the namespace handed out compares two short texts
// instead of walking the stored instance's references; anything else (a
// base class named, a class spelt in other case) is left to refersTo. Empty
// when a key is neither a string nor a reference: only refersTo compares
// those exactly.
bool appendClassChain(const ObjectPath& path, std::string* out) {
    *out += path.className;
    *out += '\n';
    std::vector<std::pair<std::string, const ObjectPath*>> refs;
    for (const auto& key : path.keys) {
        const Value& v = key.second;
        if (v.type() == CMPI_ref) {
            if (v.isNull()) continue;
            std::string name = key.first;
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            refs.emplace_back(std::move(name), v.asReference());
        } else if (v.type() != CMPI_string) {
            return false;
        }
    }
    std::sort(refs.begin(), refs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& ref : refs)
        if (!appendClassChain(*ref.second, out)) return false;
    return true;
}

std::string classChain(const ObjectPath& path) {
    std::string out;
    return appendClassChain(path, &out) ? out : std::string();
}

const ObjectPath* refOf(const Instance& subscription, const char* role) {
    const Value* v = subscription.property(role);
    return v && !v->isNull() && v->type() == CMPI_ref ? v->asReference() : nullptr;
}

// One stored instance with what the namespace derives from it.
struct Entry {
    Kind kind;
    size_t slot = 0;      // its row in its table
    std::string key;      // normalisedKeys of its path
    std::string classes;  // classChain of its path
    // Never changed while stored (a modification stores a new one), so
    // listings share it instead of copying it.
    std::shared_ptr<const Instance> instance;
    // Filters: the parsed query and where indications may come from (empty:
    // every namespace).
    std::shared_ptr<const WqlQuery> query;
    std::vector<std::string> sourceNamespaces;
    // Filters and destinations: how many subscriptions name them.
    size_t uses = 0;
    // Subscriptions: what they name.
    std::shared_ptr<Entry> filter, handler;
};

// The instances of one kind, in creation order and by key.
//
// The order is an array of rows rather than a tree of entries: a listing of
// ten thousand instances then reads one contiguous array and the instances
// it hands out, instead of a tree node, an entry and an instance's class name
// per instance, each somewhere else in memory.
class Table {
public:
    std::shared_ptr<Entry> find(const ObjectPath& path, const ClassRepository& classes) const {
        const auto it = byKey_.find(normalisedKeys(path.keys));
        if (it == byKey_.end()) return nullptr;
        const std::string chain = classChain(path);
        for (const auto& e : it->second)
            if ((!chain.empty() && chain == e->classes) || refersTo(path, e->instance->path, classes))
                return e;
        return nullptr;
    }
    void add(std::shared_ptr<Entry> e) {
        e->slot = rows_.size();
        rows_.push_back(Row{e->instance, e.get(), classIndex(e->instance->className())});
        ++live_;
        byKey_[e->key].push_back(std::move(e));
    }
    void erase(const std::shared_ptr<Entry>& e) {
        Row& row = rows_[e->slot];
        row.instance.reset();
        row.entry = nullptr;
        --live_;
        while (!rows_.empty() && !rows_.back().entry) rows_.pop_back();
        // Holes are packed out once they are half the array: a removal costs
        // the same at any size, and a listing never walks more than twice
        // what it lists.
        if (rows_.size() > kMinPacked && live_ * 2 < rows_.size()) pack();
        auto it = byKey_.find(e->key);
        if (it == byKey_.end()) return;
        auto& list = it->second;
        for (auto i = list.begin(); i != list.end(); ++i) {
            if (*i == e) {
                list.erase(i);
                break;
            }
        }
        if (list.empty()) byKey_.erase(it);
    }
    // After e.instance was replaced by one of the same class.
    void replaced(const Entry& e) { rows_[e.slot].instance = e.instance; }
    size_t size() const { return live_; }

    // Calls f(const Entry&) for each entry in creation order.
    template <class F>
    void forEach(F f) const {
        for (const Row& row : rows_)
            if (row.entry) f(*row.entry);
    }
    // Whether any instance is of `className` or a subclass.
    bool holds(const std::string& className, const ClassRepository& classes) const {
        for (const std::string& c : classes_)
            if (classes.isA(c, className)) return live_ > 0;
        return false;
    }
    // Calls f(const std::shared_ptr<const Instance>&) for each instance of
    // `className` or a subclass, in creation order.
    template <class F>
    void list(const std::string& className, const ClassRepository& classes, F f) const {
        if (live_ == 0) return;
        // A table holds a few classes: each is asked about once.
        std::vector<char> wanted(classes_.size());
        for (size_t i = 0; i < classes_.size(); ++i) wanted[i] = classes.isA(classes_[i], className);
        for (const Row& row : rows_)
            if (row.entry && wanted[row.classIndex]) f(row.instance);
    }

private:
    static const size_t kMinPacked = 64;

    struct Row {
        std::shared_ptr<const Instance> instance;  // null for a hole
        Entry* entry;                              // owned through byKey_
        uint32_t classIndex;                       // into classes_
    };

    uint32_t classIndex(const std::string& className) {
        for (size_t i = 0; i < classes_.size(); ++i)
            if (classes_[i] == className) return static_cast<uint32_t>(i);
        classes_.push_back(className);
        return static_cast<uint32_t>(classes_.size() - 1);
    }
    void pack() {
        size_t to = 0;
        for (size_t from = 0; from < rows_.size(); ++from) {
            if (!rows_[from].entry) continue;
            if (from != to) rows_[to] = std::move(rows_[from]);
            rows_[to].entry->slot = to;
            ++to;
        }
        rows_.resize(to);
    }

    std::vector<Row> rows_;
    size_t live_ = 0;
    // The class names of the rows; only ever grows, and by a class at a time.
    std::vector<std::string> classes_;
    std::unordered_map<std::string, std::vector<std::shared_ptr<Entry>>> byKey_;
};

const char* kindName(Kind kind) {
    return kind == Kind::Filter        ? "filters"
           : kind == Kind::Destination ? "listener destinations"
                                       : "subscriptions";
}

}  // namespace

// ---- State -----------------------------------------------------------------

struct IndicationService::State {
    State(const ClassRepository& c, IndicationProviders& p, std::string file, InteropOptions o)
        : classes(c), providers(p), options(std::move(o)) {
        if (!file.empty()) {
            InteropStore::Options so;
            so.sync = options.syncWrites;
            so.startFresh = options.startFresh;
            store.reset(new InteropStore(std::move(file), so));
        }
    }

    const ClassRepository& classes;
    IndicationProviders& providers;
    const InteropOptions options;
    std::unique_ptr<InteropStore> store;

    mutable std::shared_mutex data;
    Table tables[3];

    mutable std::mutex sinksMutex;
    std::vector<std::shared_ptr<DeliverySink>> sinks;

    std::mutex changes;
    std::atomic<std::thread::id> changer{};
    // Not OK: the store could not be read and every change is refused.
    Status loadStatus;

    Table& table(Kind kind) { return tables[static_cast<int>(kind)]; }
    const Table& table(Kind kind) const { return tables[static_cast<int>(kind)]; }

    Kind kindOf(const std::string& className, bool* known) const {
        *known = true;
        if (classes.isA(className, kFilterClass)) return Kind::Filter;
        if (classes.isA(className, kDestinationClass)) return Kind::Destination;
        if (classes.isA(className, kSubscriptionClass)) return Kind::Subscription;
        *known = false;
        return Kind::Filter;
    }

    std::shared_ptr<Entry> entryOf(Kind kind, std::shared_ptr<const Instance> inst) {
        auto e = std::make_shared<Entry>();
        e->kind = kind;
        e->key = normalisedKeys(inst->path.keys);
        e->classes = classChain(inst->path);
        e->instance = std::move(inst);
        return e;
    }

    // Parses the filter's query into `e`.
    Status compileFilter(Entry& e) const {
        const Instance& inst = *e.instance;
        const std::string language = textOf(inst, "QueryLanguage");
        if (!language.empty() && !sameName(language, "WQL"))
            return Status::error(CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED,
                                 "query language " + language + " is not supported");
        std::string error;
        std::shared_ptr<const WqlQuery> query = WqlQuery::parse(textOf(inst, "Query"), &error);
        if (!query) return Status::error(CMPI_RC_ERR_INVALID_QUERY, "Query: " + error);
        if (!classes.exists(query->className()))
            return Status::error(CMPI_RC_ERR_INVALID_CLASS,
                                 "Query selects from unknown class " + query->className());
        std::vector<std::string> sources;
        const std::string single = textOf(inst, "SourceNamespace");
        if (!single.empty()) sources.push_back(single);
        if (const Value* many = inst.property("SourceNamespaces")) {
            if (many->isArray() && !many->isNull())
                for (const Value& item : many->items())
                    if (!item.isNull() && !item.asText().empty()) sources.push_back(item.asText());
        }
        e.query = std::move(query);
        e.sourceNamespaces = std::move(sources);
        return Status();
    }

    FilterInfo infoOf(const Entry& f) const {
        FilterInfo info;
        info.filter = f.instance->path;
        info.query = textOf(*f.instance, "Query");
        info.language = textOf(*f.instance, "QueryLanguage");
        if (info.language.empty()) info.language = "WQL";
        info.sourceNamespace = f.sourceNamespaces.empty() ? std::string() : f.sourceNamespaces.front();
        info.className = classes.canonicalName(f.query->className());
        return info;
    }

    // Under `changes`, with `data` held exclusively.
    void link(const std::shared_ptr<Entry>& e, bool adding) {
        if (e->kind != Kind::Subscription) return;
        if (adding) {
            ++e->filter->uses;
            ++e->handler->uses;
        } else {
            --e->filter->uses;
            --e->handler->uses;
        }
    }

    // Under `changes`, after a committed change: the journal is folded into
    // a new snapshot once it has grown past a few snapshots' worth, so the
    // cost is spread over the changes that grew it.
    void compactIfDue() {
        if (!store || !store->compactionDue()) return;
        std::vector<std::shared_ptr<const Instance>> live;
        for (const Table& t : tables) t.forEach([&](const Entry& e) { live.push_back(e.instance); });
        // A failure leaves the journal as it was, still whole; the next
        // change tries again.
        store->compact(live);
    }

    // Reads the store into the tables; a problem found leaves them empty.
    void load() {
        if (!store) return;
        std::vector<std::shared_ptr<Instance>> found;
        loadStatus = store->open(&found);
        if (!loadStatus.ok()) return;
        const std::string problem = build(found);
        if (problem.empty()) return;
        for (Table& t : tables) t = Table();
        loadStatus = store->damage(store->file(), problem);
    }

    std::string build(const std::vector<std::shared_ptr<Instance>>& found) {
        for (const auto& inst : found) {
            bool known = false;
            const Kind kind = kindOf(inst->className(), &known);
            if (!known) return "instance of unserved class " + inst->className();
            auto e = entryOf(kind, inst);
            if (kind == Kind::Filter) {
                const Status st = compileFilter(*e);
                if (!st.ok()) return "filter " + inst->path.toText() + ": " + st.message;
            } else if (kind == Kind::Subscription) {
                const ObjectPath* f = refOf(*inst, "Filter");
                const ObjectPath* h = refOf(*inst, "Handler");
                e->filter = f ? table(Kind::Filter).find(*f, classes) : nullptr;
                e->handler = h ? table(Kind::Destination).find(*h, classes) : nullptr;
                if (!e->filter || !e->handler)
                    return "subscription " + inst->path.toText() + " names no stored filter or destination";
            }
            if (table(kind).find(inst->path, classes)) return inst->path.toText() + " is stored twice";
            link(e, true);
            table(kind).add(std::move(e));
        }
        return std::string();
    }
};

namespace {

// Marks the thread that holds the change lock, so that a provider that
// changes the interop namespace from within its activation is refused
// instead of deadlocking on it.
class ChangeLock {
public:
    explicit ChangeLock(IndicationService::State& s) : s_(s) {
        if (s_.changer.load() == std::this_thread::get_id()) return;
        lock_ = std::unique_lock<std::mutex>(s_.changes);
        s_.changer.store(std::this_thread::get_id());
    }
    ~ChangeLock() {
        if (lock_.owns_lock()) s_.changer.store(std::thread::id());
    }
    // A status to return instead of changing anything, or OK.
    Status refusal() const {
        if (!lock_.owns_lock())
            return Status::error(CMPI_RC_ERR_FAILED,
                                 "the interop namespace cannot be changed from a provider's activation");
        return s_.loadStatus.ok() ? Status() : s_.loadStatus;
    }

private:
    IndicationService::State& s_;
    std::unique_lock<std::mutex> lock_;
};

// Properties must be the class's, with its types; keys are strings. Texts
// and arrays within the limits.
Status checkProperties(const Instance& inst, const ClassRepository& classes, const InteropOptions& options) {
    for (const auto& p : inst.properties) {
        CMPIType declared;
        if (!classes.featureType(inst.className(), p.first, &declared))
            return Status::error(CMPI_RC_ERR_INVALID_PARAMETER,
                                 "class " + inst.className() + " has no property " + p.first);
        const CMPIType given = p.second.type();
        if (given != declared && given != CMPI_null)
            return Status::error(CMPI_RC_ERR_TYPE_MISMATCH, "property " + p.first + " has the wrong type");
        const Value& v = p.second;
        if (v.isNull()) continue;
        if (v.isArray() && v.items().size() > options.maxArrayItems)
            return Status::error(
                CMPI_RC_ERR_INVALID_PARAMETER,
                "property " + p.first + " has more than " + std::to_string(options.maxArrayItems) + " items");
        const auto tooLong = [&](const Value& item) {
            return item.elementType() == CMPI_string && !item.isNull() &&
                   item.asText().size() > options.maxTextBytes;
        };
        bool over = !v.isArray() && tooLong(v);
        if (v.isArray())
            for (const Value& item : v.items()) over = over || tooLong(item);
        if (over)
            return Status::error(
                CMPI_RC_ERR_INVALID_PARAMETER,
                "property " + p.first + " is longer than " + std::to_string(options.maxTextBytes) + " bytes");
    }
    return Status();
}

Status checkDestination(const Instance& inst, const InteropOptions& options) {
    const std::string url = textOf(inst, "Destination");
    if (url.empty()) return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "Destination is missing");
    const std::string problem = listenerUrlProblem(url, options.allowedListenerHosts);
    if (!problem.empty())
        return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "Destination refused: " + problem);
    return Status();
}

}  // namespace

// ---- Operations --------------------------------------------------------------

IndicationService::IndicationService(const ClassRepository& classes, IndicationProviders& providers,
                                     std::string storeFile, InteropOptions options)
    : state_(new State(classes, providers, std::move(storeFile), std::move(options))) {
    state_->load();
}

IndicationService::~IndicationService() = default;

Status IndicationService::createInstance(const Instance& given, ObjectPath* created) {
    State& s = *state_;
    bool known = false;
    const std::string className = s.classes.canonicalName(given.className());
    const Kind kind = s.kindOf(className, &known);
    if (className.empty() || !known)
        return Status::error(CMPI_RC_ERR_INVALID_CLASS, "class " + given.className() + " is not served in " +
                                                            std::string(kInteropNamespace));
    Instance inst;
    inst.path.nameSpace = kInteropNamespace;
    inst.path.className = className;
    inst.properties = given.properties;
    // Keys given only in the path count as given.
    for (const auto& key : given.path.keys)
        if (!inst.properties.find(key.first)) inst.properties.set(key.first, key.second);
    Status st = checkProperties(inst, s.classes, s.options);
    if (!st.ok()) return st;

    for (const std::string& key : s.classes.keys(className)) {
        const Value* v = inst.properties.find(key);
        if (kind != Kind::Subscription && (!v || v->isNull())) {
            if (sameName(key, "SystemCreationClassName"))
                inst.properties.set(key, Value::string("CIM_ComputerSystem"));
            else if (sameName(key, "SystemName"))
                inst.properties.set(key, Value::string(localHostName()));
            else if (sameName(key, "CreationClassName"))
                inst.properties.set(key, Value::string(className));
            v = inst.properties.find(key);
        }
        if (!v || v->isNull() || (v->type() == CMPI_string && v->asText().empty()))
            return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "key " + key + " is missing");
    }
    if (kind == Kind::Destination) {
        st = checkDestination(inst, s.options);
        if (!st.ok()) return st;
    }

    ChangeLock lock(s);
    st = lock.refusal();
    if (!st.ok()) return st;
    Table& table = s.table(kind);
    std::shared_ptr<Entry> filter, handler;
    if (kind == Kind::Subscription) {
        const ObjectPath* filterRef = refOf(inst, "Filter");
        const ObjectPath* handlerRef = refOf(inst, "Handler");
        filter = filterRef ? s.table(Kind::Filter).find(*filterRef, s.classes) : nullptr;
        handler = handlerRef ? s.table(Kind::Destination).find(*handlerRef, s.classes) : nullptr;
        if (!filter) return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "Filter names no stored filter");
        if (!handler)
            return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "Handler names no stored destination");
        // Kept as the stored instances' own paths, so later lookups by
        // either spelling find them.
        inst.properties.set("Filter", Value::reference(filter->instance->path));
        inst.properties.set("Handler", Value::reference(handler->instance->path));
    }
    for (const std::string& key : s.classes.keys(className))
        inst.path.keys.set(key, *inst.properties.find(key));
    if (table.find(inst.path, s.classes))
        return Status::error(CMPI_RC_ERR_ALREADY_EXISTS, inst.path.toText() + " already exists");
    const size_t limit = kind == Kind::Filter        ? s.options.maxFilters
                         : kind == Kind::Destination ? s.options.maxDestinations
                                                     : s.options.maxSubscriptions;
    if (table.size() >= limit)
        return Status::error(CMPI_RC_ERR_FAILED, std::string("the interop namespace holds its limit of ") +
                                                     std::to_string(limit) + " " + kindName(kind));

    // Made mutable and held const: see enumerateInstancesShared.
    auto e = s.entryOf(kind, std::make_shared<Instance>(inst));
    FilterInfo info;
    bool first = false;
    if (kind == Kind::Filter) {
        st = s.compileFilter(*e);
        if (!st.ok()) return st;
    } else if (kind == Kind::Subscription) {
        e->filter = filter;
        e->handler = handler;
        info = s.infoOf(*filter);
        first = filter->uses == 0;
    }
    if (s.store) {
        st = s.store->put(inst);
        if (!st.ok()) return st;
    }
    {
        std::unique_lock<std::shared_mutex> write(s.data);
        s.link(e, true);
        table.add(e);
    }
    // A subscription is matched against before its provider is switched on:
    // a provider delivers from the moment it is enabled, and an event
    // arriving before the subscription could be found would be lost.
    if (kind == Kind::Subscription) {
        st = s.providers.activate(info, first);
        if (!st.ok()) {
            {
                std::unique_lock<std::shared_mutex> write(s.data);
                s.link(e, false);
                table.erase(e);
            }
            if (s.store) s.store->remove(inst.path);
            return st;
        }
    }
    s.compactIfDue();
    if (created) *created = inst.path;
    return Status();
}

Status IndicationService::deleteInstance(const ObjectPath& path) {
    State& s = *state_;
    bool known = false;
    if (!s.classes.exists(path.className))
        return Status::error(CMPI_RC_ERR_INVALID_CLASS, "unknown class " + path.className);
    const Kind kind = s.kindOf(path.className, &known);
    if (!known) return Status::error(CMPI_RC_ERR_INVALID_CLASS, "class " + path.className + " is not served");

    ChangeLock lock(s);
    Status st = lock.refusal();
    if (!st.ok()) return st;
    Table& table = s.table(kind);
    const std::shared_ptr<Entry> e = table.find(path, s.classes);
    if (!e) return Status::error(CMPI_RC_ERR_NOT_FOUND, path.toText() + " not found");
    if (e->uses > 0)
        return Status::error(CMPI_RC_ERR_FAILED, path.toText() + " is still named by a subscription");
    if (s.store) {
        st = s.store->remove(e->instance->path);
        if (!st.ok()) return st;
    }
    {
        std::unique_lock<std::shared_mutex> write(s.data);
        s.link(e, false);
        table.erase(e);
    }
    s.compactIfDue();
    // Gone whatever the providers answer: the client asked for it gone, and
    // failing here would make it retry a deletion that already happened.
    if (kind == Kind::Subscription) s.providers.deactivate(s.infoOf(*e->filter), e->filter->uses == 0);
    return Status();
}

Status IndicationService::getInstanceShared(const ObjectPath& path,
                                            std::shared_ptr<const Instance>* out) const {
    const State& s = *state_;
    bool known = false;
    if (!s.classes.exists(path.className))
        return Status::error(CMPI_RC_ERR_INVALID_CLASS, "unknown class " + path.className);
    const Kind kind = s.kindOf(path.className, &known);
    if (!known) return Status::error(CMPI_RC_ERR_INVALID_CLASS, "class " + path.className + " is not served");
    std::shared_ptr<const Instance> found;
    {
        std::shared_lock<std::shared_mutex> read(s.data);
        const std::shared_ptr<Entry> e = s.table(kind).find(path, s.classes);
        if (e) found = e->instance;
    }
    if (!found) return Status::error(CMPI_RC_ERR_NOT_FOUND, path.toText() + " not found");
    if (out) *out = std::move(found);
    return Status();
}

Status IndicationService::getInstance(const ObjectPath& path, Instance* out) const {
    std::shared_ptr<const Instance> found;
    Status st = getInstanceShared(path, &found);
    if (st.ok() && out) *out = *found;
    return st;
}

Status IndicationService::enumerateInstancesShared(const std::string& className,
                                                   std::vector<std::shared_ptr<const Instance>>* out) const {
    const State& s = *state_;
    if (!s.classes.exists(className))
        return Status::error(CMPI_RC_ERR_INVALID_CLASS, "unknown class " + className);
    if (!out) return Status();
    std::shared_lock<std::shared_mutex> read(s.data);
    size_t most = out->size();
    for (const Table& t : s.tables)
        if (t.holds(className, s.classes)) most += t.size();
    out->reserve(most);
    for (const Table& t : s.tables)
        t.list(className, s.classes, [&](const std::shared_ptr<const Instance>& i) { out->push_back(i); });
    return Status();
}

Status IndicationService::enumerateInstances(const std::string& className, std::vector<Instance>* out) const {
    const State& s = *state_;
    if (!s.classes.exists(className))
        return Status::error(CMPI_RC_ERR_INVALID_CLASS, "unknown class " + className);
    if (!out) return Status();
    // Copied straight out under the shared lock: holding each instance once
    // more by pointer first costs more than the copy itself in a large
    // namespace (every reference count is another cache line).
    std::shared_lock<std::shared_mutex> read(s.data);
    for (const Table& t : s.tables)
        t.list(className, s.classes, [&](const std::shared_ptr<const Instance>& i) { out->push_back(*i); });
    return Status();
}

Status IndicationService::modifyInstance(const Instance& given) {
    State& s = *state_;
    bool known = false;
    if (!s.classes.exists(given.className()))
        return Status::error(CMPI_RC_ERR_INVALID_CLASS, "unknown class " + given.className());
    const Kind kind = s.kindOf(given.className(), &known);
    if (!known)
        return Status::error(CMPI_RC_ERR_INVALID_CLASS, "class " + given.className() + " is not served");
    Status st = checkProperties(given, s.classes, s.options);
    if (!st.ok()) return st;

    ChangeLock lock(s);
    st = lock.refusal();
    if (!st.ok()) return st;
    const std::shared_ptr<Entry> e = s.table(kind).find(given.path, s.classes);
    if (!e) return Status::error(CMPI_RC_ERR_NOT_FOUND, given.path.toText() + " not found");

    auto changed = std::make_shared<Instance>(*e->instance);
    const std::vector<std::string> keys = s.classes.keys(changed->className());
    for (const auto& p : given.properties) {
        bool isKey = false;
        for (const auto& k : keys) isKey = isKey || sameName(k, p.first);
        if (isKey) {
            const Value* old = changed->properties.find(p.first);
            if (!old || *old != p.second)
                if (p.second.type() != CMPI_ref)
                    return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "key " + p.first + " cannot change");
            continue;
        }
        changed->properties.set(p.first, p.second);
    }
    Entry next = *e;
    next.instance = changed;
    if (kind == Kind::Filter) {
        // The providers were activated for the old query: a filter in use
        // keeps what selects its indications.
        for (const char* q : {"Query", "QueryLanguage", "SourceNamespace", "SourceNamespaces"}) {
            const Value* before = e->instance->property(q);
            const Value* after = changed->property(q);
            const bool same = (!before && !after) || (before && after && *before == *after);
            if (!same && e->uses > 0)
                return Status::error(CMPI_RC_ERR_FAILED,
                                     std::string(q) + " of a filter in use cannot change");
        }
        st = s.compileFilter(next);
        if (!st.ok()) return st;
    } else if (kind == Kind::Destination) {
        st = checkDestination(*changed, s.options);
        if (!st.ok()) return st;
    }
    if (s.store) {
        st = s.store->put(*changed);
        if (!st.ok()) return st;
    }
    {
        std::unique_lock<std::shared_mutex> write(s.data);
        e->instance = std::move(next.instance);
        s.table(kind).replaced(*e);
        e->query = std::move(next.query);
        e->sourceNamespaces = std::move(next.sourceNamespaces);
    }
    s.compactIfDue();
    return Status();
}

Status IndicationService::restore() {
    State& s = *state_;
    ChangeLock lock(s);
    Status result = lock.refusal();
    if (!result.ok()) return result;
    result = s.loadStatus;
    std::unordered_set<const Entry*> seen;
    s.table(Kind::Subscription).forEach([&](const Entry& sub) {
        const Entry& filter = *sub.filter;
        const bool first = seen.insert(&filter).second;
        const Status st = s.providers.activate(s.infoOf(filter), first);
        if (!st.ok()) {
            if (result.ok()) result.rc = st.rc;
            if (!result.message.empty()) result.message += "; ";
            result.message += sub.instance->path.toText() + ": " + st.message;
        }
    });
    return result;
}

// Set once, by the constructor: no lock, so a provider may ask from its
// activation.
Status IndicationService::storeStatus() const { return state_->loadStatus; }

void IndicationService::deliver(const std::string& nameSpace, const Instance& indication) {
    const State& s = *state_;
    std::vector<std::shared_ptr<DeliverySink>> sinks;
    {
        std::lock_guard<std::mutex> lock(s.sinksMutex);
        if (s.sinks.empty()) return;
        sinks = s.sinks;
    }
    // What matched, copied out so that the sinks run without the lock.
    std::vector<std::pair<std::shared_ptr<const Instance>, std::shared_ptr<const Instance>>> matched;
    {
        std::shared_lock<std::shared_mutex> read(s.data);
        s.table(Kind::Subscription).forEach([&](const Entry& sub) {
            const Value* state = sub.instance->property("SubscriptionState");
            if (state && !state->isNull() && state->asUnsigned() != kSubscriptionEnabled) return;
            const Entry& filter = *sub.filter;
            bool fromHere = filter.sourceNamespaces.empty();
            for (const auto& ns : filter.sourceNamespaces) fromHere = fromHere || sameName(ns, nameSpace);
            if (!fromHere || !filter.query->matches(indication, s.classes)) return;
            matched.emplace_back(sub.handler->instance, sub.instance);
        });
    }
    for (const auto& m : matched) {
        for (const auto& sink : sinks) {
            try {
                sink->deliver(*m.first, m.second->path, indication);
            } catch (...) {
                // One listener's failure is no other listener's business.
            }
        }
    }
}

void IndicationService::addSink(std::shared_ptr<DeliverySink> sink) {
    if (!sink) return;
    std::lock_guard<std::mutex> lock(state_->sinksMutex);
    state_->sinks.push_back(std::move(sink));
}

void IndicationService::removeSink(const std::shared_ptr<DeliverySink>& sink) {
    std::lock_guard<std::mutex> lock(state_->sinksMutex);
    auto& sinks = state_->sinks;
    for (auto it = sinks.begin(); it != sinks.end(); ++it) {
        if (*it == sink) {
            sinks.erase(it);
            return;
        }
    }
}

}  // namespace cimhost
