#include "core/Objects.h"

#include <cimple/Meta.h>

#include <string>

#include "core/objects/ObjectKinds.h"

namespace cimhost {

// ---- Object bookkeeping ------------------------------------------------------

namespace {

thread_local Arena* tCurrentArena = nullptr;

}  // namespace

using namespace objects;

Arena::~Arena() { clear(); }

void Arena::adopt(ObjectBase* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    object->owner = this;
    object->prev = nullptr;
    object->next = head_;
    if (head_) head_->prev = object;
    head_ = object;
    ++size_;
}

void Arena::forget(ObjectBase* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (object->owner != this) return;
    if (object->prev) object->prev->next = object->next;
    if (object->next) object->next->prev = object->prev;
    if (head_ == object) head_ = object->next;
    object->owner = nullptr;
    object->prev = object->next = nullptr;
    --size_;
}

void Arena::clear() {
    ObjectBase* list;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        list = head_;
        head_ = nullptr;
        size_ = 0;
    }
    // Deleted outside the lock: an object's children arena is another lock.
    while (list) {
        ObjectBase* next = list->next;
        list->owner = nullptr;
        delete list;
        list = next;
    }
}

size_t Arena::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_;
}

const cimple::Meta_Class* ObjectSpace::findClass(const std::string& className) const {
    {
        std::lock_guard<std::mutex> lock(foundMutex_);
        // Nearly every caller spells a class as the repository does (stored
        // instances are kept in that spelling), and an exact comparison
        // costs little beside a case-insensitive one made per instance of
        // a long enumeration.
        for (const auto& f : found_)
            if (f.first == className) return f.second;
        for (const auto& f : found_)
            if (sameName(f.first, className)) return f.second;
    }
    const cimple::Meta_Class* mc = classes.find(className);
    if (mc) {
        // Kept in the repository's spelling: one entry per class, however
        // callers spell it.
        std::lock_guard<std::mutex> lock(foundMutex_);
        bool known = false;
        for (const auto& f : found_) known = known || f.second == mc;
        if (!known) found_.emplace_back(mc->name, mc);
    }
    return mc;
}

bool ObjectSpace::isA(const std::string& derived, const std::string& base) const {
    const cimple::Meta_Class* d = findClass(derived);
    const cimple::Meta_Class* b = d ? findClass(base) : nullptr;
    return d && b && cimple::is_subclass(b, d);
}

CallScope::CallScope() : previous_(tCurrentArena) { tCurrentArena = &arena_; }

CallScope::~CallScope() { tCurrentArena = previous_; }

Arena& currentArena(ObjectSpace& space) { return tCurrentArena ? *tCurrentArena : space.pool; }

Arena* swapThreadArena(Arena* arena) {
    Arena* previous = tCurrentArena;
    tCurrentArena = arena;
    return previous;
}

// ---- Any object ------------------------------------------------------------

const char* objectTypeName(const void* object) {
    ObjectBase* b = baseOf(object);
    if (!b) return nullptr;
    switch (b->kind) {
        case Kind::String:
            return "CMPIString";
        case Kind::Array:
            return "CMPIArray";
        case Kind::DateTime:
            return "CMPIDateTime";
        case Kind::Instance:
            return "CMPIInstance";
        case Kind::ObjectPath:
            return "CMPIObjectPath";
        case Kind::Args:
            return "CMPIArgs";
        case Kind::Enumeration:
            return "CMPIEnumeration";
        case Kind::Result:
            return "CMPIResult";
        case Kind::Context:
            return "CMPIContext";
        case Kind::SelectExp:
            return "CMPISelectExp";
    }
    return nullptr;
}

namespace {

std::string describeValues(const NamedValues& values) {
    std::string out = "{";
    for (const auto& item : values) {
        if (out.size() > 1) out += ", ";
        out += item.first + "=" + item.second.toText();
    }
    return out + "}";
}

}  // namespace

std::string describeObject(const void* object) {
    ObjectBase* b = baseOf(object);
    if (!b) return std::string();
    switch (b->kind) {
        case Kind::String:
            return static_cast<StringObj*>(b)->text();
        case Kind::Array: {
            ArrayObj* a = static_cast<ArrayObj*>(b);
            return Value::array(a->elementType, a->items).toText();
        }
        case Kind::DateTime:
            return static_cast<DateTimeObj*>(b)->text;
        case Kind::Instance: {
            Instance i = snapshot(*static_cast<InstanceObj*>(b));
            return "instance of " + i.path.toText() + " " + describeValues(i.properties);
        }
        case Kind::ObjectPath:
            return static_cast<PathObj*>(b)->path().toText();
        case Kind::Args:
            return describeValues(static_cast<ArgsObj*>(b)->args);
        case Kind::Enumeration: {
            EnumObj* e = static_cast<EnumObj*>(b);
            return "enumeration of " + std::to_string(e->items.size() - e->next) + " remaining";
        }
        case Kind::Result:
            return "result of " + std::to_string(static_cast<ResultObj*>(b)->data.values.size());
        case Kind::Context:
            return describeValues(static_cast<ContextObj*>(b)->entries);
        case Kind::SelectExp:
            return static_cast<SelectObj*>(b)->query;
    }
    return std::string();
}

ObjectSpace* spaceOf(const void* object) {
    ObjectBase* b = baseOf(object);
    return b ? b->space : nullptr;
}
}  // namespace cimhost
