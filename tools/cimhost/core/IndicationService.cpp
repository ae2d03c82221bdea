// The interop namespace: filters, listener destinations and subscriptions in
// memory, mirrored to a JSON store after each change, and the matching of
// delivered indications against the subscribed filters.
//
// Locking. `data` guards the instance lists and the sinks and is only ever
// held to copy or swap them. `changes` serialises every change from its
// checks to its commit, so that a subscription's activation, the store write
// and the commit cannot interleave with another change; providers are called
// under `changes` only, never under `data`, since they call back into the
// CIMOM (and the sinks may be slow).
//
// The store. Read once at construction; a missing file is an empty store. A
// file that cannot be read as a store is left alone, the service starts
// empty and restore() reports it; the first change moves the file aside to
// "<file>.corrupt" before the new store is written, so nothing is lost by
// accident. Each change writes a temporary file beside the store and renames
// it over the store, and is committed in memory only when that succeeded.
#include "core/IndicationService.h"
#include "core/JsonValues.h"

#include <fcntl.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace cimhost {

const char kInteropNamespace[] = "root/interop";

namespace {

const char kFilterClass[] = "CIM_IndicationFilter";
const char kDestinationClass[] = "CIM_ListenerDestination";
const char kSubscriptionClass[] = "CIM_IndicationSubscription";
const uint16_t kSubscriptionEnabled = 2;
// Embedded instances and references in a store are never this deep; a
// hostile file must not recurse the decoder off the stack.
const int kMaxStoreDepth = 32;

enum class Kind { Filter, Destination, Subscription };

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

// ---- Store encoding ----------------------------------------------------------

typedef rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                          rapidjson::CrtAllocator, rapidjson::kWriteNanAndInfFlag>
    StoreWriter;

void writePath(StoreWriter& w, const ObjectPath& path);
void writeInstance(StoreWriter& w, const Instance& inst);

void writeItem(StoreWriter& w, const Value& v) {
    if (v.isNull()) {
        w.Null();
        return;
    }
    if (writeJsonInteger(w, v)) return;
    switch (v.elementType()) {
        case CMPI_real32:
        case CMPI_real64:
            w.Double(v.asReal());
            break;
        case CMPI_ref:
            writePath(w, *v.asReference());
            break;
        case CMPI_instance:
            writeInstance(w, *v.asInstance());
            break;
        default:
            w.String(v.asText().c_str(), static_cast<rapidjson::SizeType>(v.asText().size()));
            break;
    }
}

void writeValue(StoreWriter& w, const Value& v) {
    if (v.isArray() && !v.isNull()) {
        w.StartArray();
        for (const Value& item : v.items()) writeItem(w, item);
        w.EndArray();
    } else {
        writeItem(w, v);
    }
}

void writeNamed(StoreWriter& w, const NamedValues& values) {
    w.StartArray();
    for (const auto& nv : values) {
        w.StartObject();
        w.Key("name");
        w.String(nv.first.c_str(), static_cast<rapidjson::SizeType>(nv.first.size()));
        w.Key("type");
        w.Uint(nv.second.type());
        w.Key("value");
        writeValue(w, nv.second);
        w.EndObject();
    }
    w.EndArray();
}

void writePath(StoreWriter& w, const ObjectPath& path) {
    w.StartObject();
    w.Key("namespace");
    w.String(path.nameSpace.c_str(), static_cast<rapidjson::SizeType>(path.nameSpace.size()));
    w.Key("host");
    w.String(path.host.c_str(), static_cast<rapidjson::SizeType>(path.host.size()));
    w.Key("class");
    w.String(path.className.c_str(), static_cast<rapidjson::SizeType>(path.className.size()));
    w.Key("keys");
    writeNamed(w, path.keys);
    w.EndObject();
}

void writeInstance(StoreWriter& w, const Instance& inst) {
    w.StartObject();
    w.Key("path");
    writePath(w, inst.path);
    w.Key("properties");
    writeNamed(w, inst.properties);
    w.EndObject();
}

bool readPath(const rapidjson::Value& j, ObjectPath* out, int depth);
bool readInstance(const rapidjson::Value& j, Instance* out, int depth);

bool readItem(const rapidjson::Value& j, CMPIType type, Value* out, int depth) {
    if (j.IsNull()) {
        *out = Value::null(type);
        return true;
    }
    switch (type) {
        case CMPI_boolean:
            if (!j.IsBool()) return false;
            *out = Value::boolean(j.GetBool());
            return true;
        case CMPI_uint8:
        case CMPI_uint16:
        case CMPI_uint32:
        case CMPI_uint64:
        case CMPI_char16: {
            if (!j.IsUint64()) return false;
            const uint64_t u = j.GetUint64();
            const uint64_t limit = type == CMPI_uint8    ? UINT8_MAX
                                   : type == CMPI_uint16 ? UINT16_MAX
                                   : type == CMPI_char16 ? UINT16_MAX
                                   : type == CMPI_uint32 ? UINT32_MAX
                                                         : UINT64_MAX;
            if (u > limit) return false;
            *out = type == CMPI_uint8    ? Value::uint8(static_cast<uint8_t>(u))
                   : type == CMPI_uint16 ? Value::uint16(static_cast<uint16_t>(u))
                   : type == CMPI_char16 ? Value::char16(static_cast<uint16_t>(u))
                   : type == CMPI_uint32 ? Value::uint32(static_cast<uint32_t>(u))
                                         : Value::uint64(u);
            return true;
        }
        case CMPI_sint8:
        case CMPI_sint16:
        case CMPI_sint32:
        case CMPI_sint64: {
            if (!j.IsInt64()) return false;
            const int64_t s = j.GetInt64();
            const int64_t hi = type == CMPI_sint8    ? INT8_MAX
                               : type == CMPI_sint16 ? INT16_MAX
                               : type == CMPI_sint32 ? INT32_MAX
                                                     : INT64_MAX;
            if (s > hi || s < -hi - 1) return false;
            *out = type == CMPI_sint8    ? Value::sint8(static_cast<int8_t>(s))
                   : type == CMPI_sint16 ? Value::sint16(static_cast<int16_t>(s))
                   : type == CMPI_sint32 ? Value::sint32(static_cast<int32_t>(s))
                                         : Value::sint64(s);
            return true;
        }
        case CMPI_real32:
        case CMPI_real64:
            if (!j.IsNumber()) return false;
            *out = type == CMPI_real32 ? Value::real32(static_cast<float>(j.GetDouble()))
                                       : Value::real64(j.GetDouble());
            return true;
        case CMPI_string:
        case CMPI_dateTime:
            if (!j.IsString()) return false;
            *out = type == CMPI_string ? Value::string(std::string(j.GetString(), j.GetStringLength()))
                                       : Value::datetime(std::string(j.GetString(), j.GetStringLength()));
            return true;
        case CMPI_ref: {
            ObjectPath path;
            if (!readPath(j, &path, depth + 1)) return false;
            *out = Value::reference(std::move(path));
            return true;
        }
        case CMPI_instance: {
            Instance inst;
            if (!readInstance(j, &inst, depth + 1)) return false;
            *out = Value::instance(std::move(inst));
            return true;
        }
        default:
            return false;
    }
}

bool readValue(const rapidjson::Value& j, CMPIType type, Value* out, int depth) {
    if (depth > kMaxStoreDepth) return false;
    if (!(type & CMPI_ARRAY) || j.IsNull()) {
        if (type == CMPI_null) {
            if (!j.IsNull()) return false;
            *out = Value();
            return true;
        }
        return readItem(j, static_cast<CMPIType>(type & ~CMPI_ARRAY), out, depth);
    }
    if (!j.IsArray()) return false;
    const CMPIType element = static_cast<CMPIType>(type & ~CMPI_ARRAY);
    std::vector<Value> items;
    for (const auto& item : j.GetArray()) {
        Value v;
        if (!readItem(item, element, &v, depth)) return false;
        items.push_back(std::move(v));
    }
    *out = Value::array(element, std::move(items));
    return true;
}

bool readString(const rapidjson::Value& j, const char* name, std::string* out) {
    const auto it = j.FindMember(name);
    if (it == j.MemberEnd() || !it->value.IsString()) return false;
    out->assign(it->value.GetString(), it->value.GetStringLength());
    return true;
}

bool readNamed(const rapidjson::Value& j, NamedValues* out, int depth) {
    if (!j.IsArray()) return false;
    for (const auto& entry : j.GetArray()) {
        if (!entry.IsObject()) return false;
        std::string name;
        const auto type = entry.FindMember("type");
        const auto value = entry.FindMember("value");
        if (!readString(entry, "name", &name) || type == entry.MemberEnd() || !type->value.IsUint() ||
            type->value.GetUint() > 0xffff || value == entry.MemberEnd())
            return false;
        Value v;
        if (!readValue(value->value, static_cast<CMPIType>(type->value.GetUint()), &v, depth)) return false;
        out->set(name, std::move(v));
    }
    return true;
}

bool readPath(const rapidjson::Value& j, ObjectPath* out, int depth) {
    if (depth > kMaxStoreDepth || !j.IsObject()) return false;
    const auto keys = j.FindMember("keys");
    return readString(j, "namespace", &out->nameSpace) && readString(j, "host", &out->host) &&
           readString(j, "class", &out->className) && keys != j.MemberEnd() &&
           readNamed(keys->value, &out->keys, depth);
}

bool readInstance(const rapidjson::Value& j, Instance* out, int depth) {
    if (depth > kMaxStoreDepth || !j.IsObject()) return false;
    const auto path = j.FindMember("path");
    const auto props = j.FindMember("properties");
    return path != j.MemberEnd() && props != j.MemberEnd() && readPath(path->value, &out->path, depth + 1) &&
           readNamed(props->value, &out->properties, depth);
}

}  // namespace

// ---- State -----------------------------------------------------------------

struct IndicationService::State {
    struct Filter {
        std::shared_ptr<const Instance> instance;
        std::shared_ptr<const WqlQuery> query;
        std::vector<std::string> sourceNamespaces;  // empty: every namespace
    };
    // Everything the namespace holds. Never changed once published: a
    // change copies it, and readers keep the copy they took for as long as
    // they need it, without the lock.
    struct Data {
        std::vector<Filter> filters;
        std::vector<std::shared_ptr<const Instance>> destinations;
        std::vector<std::shared_ptr<const Instance>> subscriptions;
        // Per subscription, the index of its filter and of its destination.
        std::vector<std::pair<size_t, size_t>> links;
    };

    State(const ClassRepository& c, IndicationProviders& p, std::string file)
        : classes(c), providers(p), storeFile(std::move(file)) {}

    const ClassRepository& classes;
    IndicationProviders& providers;
    const std::string storeFile;

    mutable std::mutex data;
    std::shared_ptr<const Data> current = std::make_shared<Data>();
    std::vector<std::shared_ptr<DeliverySink>> sinks;

    std::mutex changes;
    std::atomic<std::thread::id> changer{};
    Status loadStatus;
    bool storeCorrupt = false;

    // ---- helpers used under `changes` or on copies ----

    Kind kindOf(const std::string& className, bool* known) const {
        *known = true;
        if (classes.isA(className, kFilterClass)) return Kind::Filter;
        if (classes.isA(className, kDestinationClass)) return Kind::Destination;
        if (classes.isA(className, kSubscriptionClass)) return Kind::Subscription;
        *known = false;
        return Kind::Filter;
    }

    Filter filterOf(std::shared_ptr<const Instance> inst, Status* status) const {
        Filter f;
        const std::string language = textOf(*inst, "QueryLanguage");
        if (!language.empty() && !sameName(language, "WQL")) {
            *status = Status::error(CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED,
                                    "query language " + language + " is not supported");
            return f;
        }
        std::string error;
        f.query = WqlQuery::parse(textOf(*inst, "Query"), &error);
        if (!f.query) {
            *status = Status::error(CMPI_RC_ERR_INVALID_QUERY, "Query: " + error);
            return f;
        }
        if (!classes.exists(f.query->className())) {
            *status = Status::error(CMPI_RC_ERR_INVALID_CLASS,
                                    "Query selects from unknown class " + f.query->className());
            return f;
        }
        const std::string single = textOf(*inst, "SourceNamespace");
        if (!single.empty()) f.sourceNamespaces.push_back(single);
        if (const Value* many = inst->property("SourceNamespaces")) {
            if (many->isArray() && !many->isNull())
                for (const Value& item : many->items())
                    if (!item.isNull() && !item.asText().empty()) f.sourceNamespaces.push_back(item.asText());
        }
        f.instance = std::move(inst);
        return f;
    }

    FilterInfo infoOf(const Filter& f) const {
        FilterInfo info;
        info.filter = f.instance->path;
        info.query = textOf(*f.instance, "Query");
        info.language = textOf(*f.instance, "QueryLanguage");
        if (info.language.empty()) info.language = "WQL";
        info.sourceNamespace = f.sourceNamespaces.empty() ? std::string() : f.sourceNamespaces.front();
        info.className = classes.canonicalName(f.query->className());
        return info;
    }

    static const ObjectPath* refOf(const Instance& subscription, const char* role) {
        const Value* v = subscription.property(role);
        return v && !v->isNull() && v->type() == CMPI_ref ? v->asReference() : nullptr;
    }

    size_t subscriptionsNaming(const Data& d, const ObjectPath& target, const char* role) const {
        size_t n = 0;
        for (const auto& s : d.subscriptions) {
            const ObjectPath* ref = refOf(*s, role);
            if (ref && refersTo(*ref, target, classes)) ++n;
        }
        return n;
    }

    int findFilter(const Data& d, const ObjectPath& path) const {
        for (size_t i = 0; i < d.filters.size(); ++i)
            if (refersTo(path, d.filters[i].instance->path, classes)) return static_cast<int>(i);
        return -1;
    }
    static int findIn(const std::vector<std::shared_ptr<const Instance>>& list, const ObjectPath& path,
                      const ClassRepository& classes) {
        for (size_t i = 0; i < list.size(); ++i)
            if (refersTo(path, list[i]->path, classes)) return static_cast<int>(i);
        return -1;
    }

    std::shared_ptr<const Data> snapshot() const {
        std::lock_guard<std::mutex> lock(data);
        return current;
    }

    // False when a subscription names no stored filter or destination.
    bool link(Data& d) const {
        d.links.clear();
        for (const auto& sub : d.subscriptions) {
            const ObjectPath* f = refOf(*sub, "Filter");
            const ObjectPath* h = refOf(*sub, "Handler");
            const int fi = f ? findFilter(d, *f) : -1;
            const int hi = h ? findIn(d.destinations, *h, classes) : -1;
            if (fi < 0 || hi < 0) return false;
            d.links.emplace_back(static_cast<size_t>(fi), static_cast<size_t>(hi));
        }
        return true;
    }

    void commit(Data next) {
        link(next);
        auto published = std::make_shared<const Data>(std::move(next));
        std::lock_guard<std::mutex> lock(data);
        current = std::move(published);
    }

    // ---- the store ----

    std::string encode(const Data& d) const {
        rapidjson::StringBuffer buffer;
        StoreWriter w(buffer);
        w.StartObject();
        w.Key("version");
        w.Uint(1);
        w.Key("instances");
        w.StartArray();
        for (const auto& f : d.filters) writeInstance(w, *f.instance);
        for (const auto& i : d.destinations) writeInstance(w, *i);
        for (const auto& i : d.subscriptions) writeInstance(w, *i);
        w.EndArray();
        w.EndObject();
        return std::string(buffer.GetString(), buffer.GetSize());
    }

    Status save(const Data& d) {
        if (storeFile.empty()) return Status();
        if (storeCorrupt) {
            const std::string aside = storeFile + ".corrupt";
            if (rename(storeFile.c_str(), aside.c_str()) != 0 && errno != ENOENT)
                return Status::error(CMPI_RC_ERR_FAILED, "cannot move the unreadable store " + storeFile +
                                                             " aside: " + strerror(errno));
            storeCorrupt = false;
        }
        const std::string text = encode(d);
        std::string temp = storeFile + ".XXXXXX";
        const int fd = mkstemp(&temp[0]);
        if (fd < 0)
            return Status::error(CMPI_RC_ERR_FAILED, "cannot write " + storeFile + ": " + strerror(errno));
        size_t done = 0;
        int err = 0;
        while (done < text.size()) {
            const ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                err = errno ? errno : EIO;
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (!err && fsync(fd) != 0) err = errno;
        if (close(fd) != 0 && !err) err = errno;
        if (!err && rename(temp.c_str(), storeFile.c_str()) != 0) err = errno;
        if (err) {
            unlink(temp.c_str());
            return Status::error(CMPI_RC_ERR_FAILED, "cannot write " + storeFile + ": " + strerror(err));
        }
        return Status();
    }

    void load() {
        if (storeFile.empty()) return;
        std::ifstream in(storeFile, std::ios::binary);
        if (!in) {
            if (errno != ENOENT) fail("cannot read it: " + std::string(strerror(errno)));
            return;
        }
        std::stringstream text;
        text << in.rdbuf();
        const std::string s = text.str();
        rapidjson::Document doc;
        doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag>(s.c_str(), s.size());
        if (doc.HasParseError()) {
            fail(std::string(rapidjson::GetParseError_En(doc.GetParseError())) + " at offset " +
                 std::to_string(doc.GetErrorOffset()));
            return;
        }
        if (!doc.IsObject() || !doc.HasMember("instances") || !doc["instances"].IsArray()) {
            fail("no instance list");
            return;
        }
        const auto list = doc.FindMember("instances");
        Data d;
        for (const auto& entry : list->value.GetArray()) {
            auto inst = std::make_shared<Instance>();
            if (!readInstance(entry, inst.get(), 0)) {
                fail("malformed instance");
                return;
            }
            bool known = false;
            const Kind kind = kindOf(inst->className(), &known);
            if (!known) {
                fail("instance of unserved class " + inst->className());
                return;
            }
            if (kind == Kind::Filter) {
                Status st;
                Filter f = filterOf(inst, &st);
                if (!st.ok()) {
                    fail("filter " + inst->path.toText() + ": " + st.message);
                    return;
                }
                d.filters.push_back(std::move(f));
            } else if (kind == Kind::Destination) {
                d.destinations.push_back(inst);
            } else {
                d.subscriptions.push_back(inst);
            }
        }
        if (!link(d)) {
            fail("a subscription names no stored filter or destination");
            return;
        }
        current = std::make_shared<const Data>(std::move(d));
    }

    void fail(const std::string& why) {
        storeCorrupt = true;
        loadStatus = Status::error(CMPI_RC_ERR_FAILED, "store " + storeFile + " left unread: " + why);
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
    bool reentered() const { return !lock_.owns_lock(); }

private:
    IndicationService::State& s_;
    std::unique_lock<std::mutex> lock_;
};

Status reentry() {
    return Status::error(CMPI_RC_ERR_FAILED,
                         "the interop namespace cannot be changed from a provider's activation");
}

// Properties must be the class's, with its types; keys are strings.
Status checkProperties(const Instance& inst, const ClassRepository& classes) {
    for (const auto& p : inst.properties) {
        CMPIType declared;
        if (!classes.featureType(inst.className(), p.first, &declared))
            return Status::error(CMPI_RC_ERR_INVALID_PARAMETER,
                                 "class " + inst.className() + " has no property " + p.first);
        const CMPIType given = p.second.type();
        if (given != declared && given != CMPI_null)
            return Status::error(CMPI_RC_ERR_TYPE_MISMATCH, "property " + p.first + " has the wrong type");
    }
    return Status();
}

}  // namespace

// ---- Operations --------------------------------------------------------------

IndicationService::IndicationService(const ClassRepository& classes, IndicationProviders& providers,
                                     std::string storeFile)
    : state_(new State(classes, providers, std::move(storeFile))) {
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
    Status st = checkProperties(inst, s.classes);
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

    ChangeLock lock(s);
    if (lock.reentered()) return reentry();
    State::Data next = *s.snapshot();

    if (kind == Kind::Subscription) {
        const ObjectPath* filterRef = State::refOf(inst, "Filter");
        const ObjectPath* handlerRef = State::refOf(inst, "Handler");
        const int f = filterRef ? s.findFilter(next, *filterRef) : -1;
        const int h = handlerRef ? State::findIn(next.destinations, *handlerRef, s.classes) : -1;
        if (f < 0) return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "Filter names no stored filter");
        if (h < 0) return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "Handler names no stored destination");
        // Kept as the stored instances' own paths, so later lookups by
        // either spelling find them.
        inst.properties.set("Filter", Value::reference(next.filters[f].instance->path));
        inst.properties.set("Handler", Value::reference(next.destinations[h]->path));
    }
    for (const std::string& key : s.classes.keys(className))
        inst.path.keys.set(key, *inst.properties.find(key));

    bool exists = false;
    if (kind == Kind::Filter) exists = s.findFilter(next, inst.path) >= 0;
    if (kind == Kind::Destination) exists = State::findIn(next.destinations, inst.path, s.classes) >= 0;
    if (kind == Kind::Subscription) exists = State::findIn(next.subscriptions, inst.path, s.classes) >= 0;
    if (exists) return Status::error(CMPI_RC_ERR_ALREADY_EXISTS, inst.path.toText() + " already exists");

    auto stored = std::make_shared<const Instance>(inst);
    if (kind == Kind::Filter) {
        State::Filter f = s.filterOf(stored, &st);
        if (!st.ok()) return st;
        next.filters.push_back(std::move(f));
    } else if (kind == Kind::Destination) {
        const std::string url = textOf(inst, "Destination");
        if (url.empty()) return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "Destination is missing");
        next.destinations.push_back(stored);
    } else {
        const State::Filter& filter = next.filters[s.findFilter(next, *State::refOf(inst, "Filter"))];
        const FilterInfo info = s.infoOf(filter);
        const bool first = s.subscriptionsNaming(next, filter.instance->path, "Filter") == 0;
        st = s.providers.activate(info, first);
        if (!st.ok()) return st;
        next.subscriptions.push_back(stored);
        Status saved = s.save(next);
        if (!saved.ok()) {
            s.providers.deactivate(info, first);
            return saved;
        }
        s.commit(std::move(next));
        if (created) *created = inst.path;
        return Status();
    }
    st = s.save(next);
    if (!st.ok()) return st;
    s.commit(std::move(next));
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
    if (lock.reentered()) return reentry();
    State::Data next = *s.snapshot();
    const std::string text = path.toText();
    if (kind == Kind::Filter || kind == Kind::Destination) {
        const int i = kind == Kind::Filter ? s.findFilter(next, path)
                                           : State::findIn(next.destinations, path, s.classes);
        if (i < 0) return Status::error(CMPI_RC_ERR_NOT_FOUND, text + " not found");
        const ObjectPath& target =
            kind == Kind::Filter ? next.filters[i].instance->path : next.destinations[i]->path;
        if (s.subscriptionsNaming(next, target, kind == Kind::Filter ? "Filter" : "Handler") > 0)
            return Status::error(CMPI_RC_ERR_FAILED, text + " is still named by a subscription");
        if (kind == Kind::Filter)
            next.filters.erase(next.filters.begin() + i);
        else
            next.destinations.erase(next.destinations.begin() + i);
        Status st = s.save(next);
        if (st.ok()) s.commit(std::move(next));
        return st;
    }
    const int i = State::findIn(next.subscriptions, path, s.classes);
    if (i < 0) return Status::error(CMPI_RC_ERR_NOT_FOUND, text + " not found");
    const std::shared_ptr<const Instance> gone = next.subscriptions[i];
    next.subscriptions.erase(next.subscriptions.begin() + i);
    const int f = s.findFilter(next, *State::refOf(*gone, "Filter"));
    Status st = s.save(next);
    if (!st.ok()) return st;
    FilterInfo info;
    bool last = false;
    if (f >= 0) {
        info = s.infoOf(next.filters[f]);
        last = s.subscriptionsNaming(next, next.filters[f].instance->path, "Filter") == 0;
    }
    s.commit(std::move(next));
    // Gone whatever the providers answer: the client asked for it gone, and
    // failing here would make it retry a deletion that already happened.
    if (f >= 0) s.providers.deactivate(info, last);
    return Status();
}

Status IndicationService::getInstance(const ObjectPath& path, Instance* out) const {
    const State& s = *state_;
    bool known = false;
    if (!s.classes.exists(path.className))
        return Status::error(CMPI_RC_ERR_INVALID_CLASS, "unknown class " + path.className);
    const Kind kind = s.kindOf(path.className, &known);
    if (!known) return Status::error(CMPI_RC_ERR_INVALID_CLASS, "class " + path.className + " is not served");
    const auto snap = s.snapshot();
    const State::Data& d = *snap;
    int i = -1;
    std::shared_ptr<const Instance> found;
    if (kind == Kind::Filter && (i = s.findFilter(d, path)) >= 0) found = d.filters[i].instance;
    if (kind == Kind::Destination && (i = State::findIn(d.destinations, path, s.classes)) >= 0)
        found = d.destinations[i];
    if (kind == Kind::Subscription && (i = State::findIn(d.subscriptions, path, s.classes)) >= 0)
        found = d.subscriptions[i];
    if (!found) return Status::error(CMPI_RC_ERR_NOT_FOUND, path.toText() + " not found");
    if (out) *out = *found;
    return Status();
}

Status IndicationService::enumerateInstances(const std::string& className, std::vector<Instance>* out) const {
    const State& s = *state_;
    if (!s.classes.exists(className))
        return Status::error(CMPI_RC_ERR_INVALID_CLASS, "unknown class " + className);
    const auto snap = s.snapshot();
    const State::Data& d = *snap;
    auto add = [&](const Instance& inst) {
        if (s.classes.isA(inst.className(), className) && out) out->push_back(inst);
    };
    for (const auto& f : d.filters) add(*f.instance);
    for (const auto& i : d.destinations) add(*i);
    for (const auto& i : d.subscriptions) add(*i);
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
    Status st = checkProperties(given, s.classes);
    if (!st.ok()) return st;

    ChangeLock lock(s);
    if (lock.reentered()) return reentry();
    State::Data next = *s.snapshot();
    std::shared_ptr<const Instance>* slot = nullptr;
    int i = -1;
    if (kind == Kind::Filter && (i = s.findFilter(next, given.path)) >= 0) slot = &next.filters[i].instance;
    if (kind == Kind::Destination && (i = State::findIn(next.destinations, given.path, s.classes)) >= 0)
        slot = &next.destinations[i];
    if (kind == Kind::Subscription && (i = State::findIn(next.subscriptions, given.path, s.classes)) >= 0)
        slot = &next.subscriptions[i];
    if (!slot) return Status::error(CMPI_RC_ERR_NOT_FOUND, given.path.toText() + " not found");

    auto changed = std::make_shared<Instance>(**slot);
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
    if (kind == Kind::Filter) {
        // The providers were activated for the old query: a filter in use
        // keeps what selects its indications.
        for (const char* q : {"Query", "QueryLanguage", "SourceNamespace", "SourceNamespaces"}) {
            const Value* before = (*slot)->property(q);
            const Value* after = changed->property(q);
            const bool same = (!before && !after) || (before && after && *before == *after);
            if (!same && s.subscriptionsNaming(next, changed->path, "Filter") > 0)
                return Status::error(CMPI_RC_ERR_FAILED,
                                     std::string(q) + " of a filter in use cannot change");
        }
        State::Filter f = s.filterOf(changed, &st);
        if (!st.ok()) return st;
        next.filters[i] = std::move(f);
    } else {
        if (kind == Kind::Destination && textOf(*changed, "Destination").empty())
            return Status::error(CMPI_RC_ERR_INVALID_PARAMETER, "Destination is missing");
        *slot = changed;
    }
    st = s.save(next);
    if (st.ok()) s.commit(std::move(next));
    return st;
}

Status IndicationService::restore() {
    State& s = *state_;
    ChangeLock lock(s);
    if (lock.reentered()) return reentry();
    const auto snap = s.snapshot();
    const State::Data& d = *snap;
    Status result = s.loadStatus;
    std::vector<const Instance*> seen;
    for (const auto& sub : d.subscriptions) {
        const int f = s.findFilter(d, *State::refOf(*sub, "Filter"));
        if (f < 0) continue;
        const Instance* filter = d.filters[f].instance.get();
        bool first = true;
        for (const Instance* p : seen) first = first && p != filter;
        if (first) seen.push_back(filter);
        const Status st = s.providers.activate(s.infoOf(d.filters[f]), first);
        if (!st.ok()) {
            if (result.ok()) result.rc = st.rc;
            if (!result.message.empty()) result.message += "; ";
            result.message += sub->path.toText() + ": " + st.message;
        }
    }
    return result;
}

void IndicationService::deliver(const std::string& nameSpace, const Instance& indication) {
    const State& s = *state_;
    std::shared_ptr<const State::Data> d;
    std::vector<std::shared_ptr<DeliverySink>> sinks;
    {
        std::lock_guard<std::mutex> lock(s.data);
        if (s.sinks.empty()) return;
        sinks = s.sinks;
        d = s.current;
    }
    for (size_t i = 0; i < d->links.size(); ++i) {
        const Instance& sub = *d->subscriptions[i];
        const Value* state = sub.property("SubscriptionState");
        if (state && !state->isNull() && state->asUnsigned() != kSubscriptionEnabled) continue;
        const State::Filter& filter = d->filters[d->links[i].first];
        bool fromHere = filter.sourceNamespaces.empty();
        for (const auto& ns : filter.sourceNamespaces) fromHere = fromHere || sameName(ns, nameSpace);
        if (!fromHere || !filter.query->matches(indication, s.classes)) continue;
        const Instance& destination = *d->destinations[d->links[i].second];
        for (const auto& sink : sinks) {
            try {
                sink->deliver(destination, sub.path, indication);
            } catch (...) {
                // One listener's failure is no other listener's business.
            }
        }
    }
}

void IndicationService::addSink(std::shared_ptr<DeliverySink> sink) {
    if (!sink) return;
    std::lock_guard<std::mutex> lock(state_->data);
    state_->sinks.push_back(std::move(sink));
}

void IndicationService::removeSink(const std::shared_ptr<DeliverySink>& sink) {
    std::lock_guard<std::mutex> lock(state_->data);
    auto& sinks = state_->sinks;
    for (auto it = sinks.begin(); it != sinks.end(); ++it) {
        if (*it == sink) {
            sinks.erase(it);
            return;
        }
    }
}

}  // namespace cimhost
