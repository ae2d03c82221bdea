// Registrations of CIM-XML listeners. A registration is three CIMOM instances
// (handler, filter, subscription) and nothing else: listing and removal
// always start from what the CIMOM enumerates.
#include "registration/WMIRegistration.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "support/InitOrder.h"
#include "support/provider_trace.h"

namespace cimple {
namespace {

const char kModuleNamespace[] = "root/qms";
const char kInteropNamespace[] = "root/interop";

// Some CIMOMs keep subscriptions only in their interop namespace; the first
// refusal in ours moves every later call there.
String currentNamespace QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_SUBSCRIPTION_NS){kModuleNamespace};
// Guards the text itself, not the registrations: a reader copying it while
// another request reassigns it would read freed memory.
std::mutex namespaceMutex;
// A registration enumerates the names in use and then creates the next one:
// two clients registering at once would pick the same number and one of
// them would fail on a name the other took. Removals take it too, so a
// number freed by one cannot be reused under a registration in flight.
std::mutex registrationMutex;

String getNamespace() {
    std::lock_guard<std::mutex> lock(namespaceMutex);
    return currentNamespace;
}

void setNamespace(const char* name) {
    std::lock_guard<std::mutex> lock(namespaceMutex);
    currentNamespace = name;
}

String localHostName() {
    char name[256];
    if (gethostname(name, sizeof name) != 0) name[0] = '\0';
    name[sizeof name - 1] = '\0';
    return String(name);
}

int enumerateHere(const Meta_Class* metaClass, cimom::Instance_Enumerator& found) {
    Ref<Instance> model(create(metaClass));
    return cimom::enum_instances(getNamespace().c_str(), model.get(), found);
}

// Enumerates in the current namespace, then once more in the interop
// namespace. After two failures the namespace is left at the interop one for
// the caller to trace and set back.
bool enumerateWithFallback(const Meta_Class* metaClass, cimom::Instance_Enumerator& found) {
    if (enumerateHere(metaClass, found) == 0) return true;
    setNamespace(kInteropNamespace);
    return enumerateHere(metaClass, found) == 0;
}

// Largest number after the last '_' of the enumerated names, plus one. A
// number with no successor in 32 bits (another application's name may end in
// anything) is passed over: counting from it would wrap, and every later
// registration would collide on the same negative number.
template <class T>
int32_t nextNameNumber(cimom::Instance_Enumerator& found) {
    long long highest = 0;
    for (; found; found++) {
        Ref<Instance> inst = found();
        const T* named = cast<T>(inst.get());
        if (!named || named->Name.null) continue;
        const char* text = named->Name.value.c_str();
        const char* underscore = strrchr(text, '_');
        if (!underscore) continue;
        const long long n = strtoll(underscore + 1, nullptr, 10);
        if (n > highest && n < INT32_MAX) highest = n;
    }
    return static_cast<int32_t>(highest + 1);
}

String instanceName(const char* prefix, const char* tag, int32_t number) {
    String name(prefix);
    if (tag && *tag) {
        name.append("#T");
        name.append(tag);
        name.append("T#");
    }
    name.append('_');
    name.append(std::to_string(number).c_str());
    return name;
}

CIM_ListenerDestinationCIMXML* makeHandler(const char* destination, const char* tag, int32_t number) {
    CIM_ListenerDestinationCIMXML* handler = CIM_ListenerDestinationCIMXML::create(true);
    handler->Destination.set(destination);
    handler->Name.set(instanceName("QMS:Handler", tag, number));
    handler->CreationClassName.set("CIM_ListenerDestinationCIMXML");
    handler->SystemCreationClassName.set("CIM_ComputerSystem");
    handler->SystemName.set(localHostName());
    return handler;
}

CIM_IndicationFilter* makeFilter(const char* query, const char* tag, int32_t number) {
    CIM_IndicationFilter* filter = CIM_IndicationFilter::create(true);
    filter->Query.set(query);
    filter->QueryLanguage.set("WQL");
    filter->CreationClassName.set("CIM_IndicationFilter");
    filter->SystemCreationClassName.set("CIM_ComputerSystem");
    filter->SystemName.set(localHostName());
    filter->SourceNamespace.set(kModuleNamespace);
    const String sourceNamespaces[] = {kModuleNamespace};
    filter->SourceNamespaces.set(Array<String>(sourceNamespaces, 1));
    filter->Name.set(instanceName("QMS:Filter", tag, number));
    return filter;
}

CIM_IndicationSubscription* makeSubscription(const CIM_ListenerDestinationCIMXML* handler,
                                             const CIM_IndicationFilter* filter) {
    CIM_IndicationSubscription* subscription = CIM_IndicationSubscription::create(true);
    // The subscription owns what its references point to: give it copies.
    subscription->Filter = filter->clone();
    const Instance* handlerInstance = reinterpret_cast<const Instance*>(handler);
    if (is_subclass(&CIM_ListenerDestination::static_meta_class, handlerInstance->meta_class))
        subscription->Handler = reinterpret_cast<CIM_ListenerDestination*>(clone(handlerInstance));
    return subscription;
}

void repairSystemName(Property<String>& systemName, const String& hostName) {
    if (systemName.null || systemName.value.empty()) systemName.set(hostName);
}

// The CIMOM may hand the references back without SystemName; the handle must
// still read as the one given at registration.
void repairHostNames(CIM_IndicationSubscription* subscription) {
    const String hostName = localHostName();
    if (CIM_IndicationFilter* filter =
            cast<CIM_IndicationFilter>(reinterpret_cast<Instance*>(subscription->Filter)))
        repairSystemName(filter->SystemName, hostName);
    if (auto* handler =
            cast<CIM_ListenerDestinationCIMXML>(reinterpret_cast<Instance*>(subscription->Handler)))
        repairSystemName(handler->SystemName, hostName);
}

String tagOf(const String& handle) {
    const size_t open = handle.find("#T");
    const size_t close = handle.find("T#");
    if (open == String::npos || close == String::npos || close < open + 2) return String();
    return handle.substr(open + 2, close - open - 2);
}

typedef bool (*Matcher)(const String& handle, const String& wanted);

bool sameHandle(const String& handle, const String& wanted) { return handle.equal(wanted); }

bool sameTag(const String& handle, const String& wanted) {
    const String tag = tagOf(handle);
    return !tag.empty() && tag.equal(wanted);
}

// The handle of an enumerated subscription, formed from a copy whose host
// names are repaired: the instance itself keeps the path the CIMOM gave, the
// only one it will delete by. False when it is no subscription or has no path
// (`pathFailed` is traced then).
bool handleOf(const Instance* inst, String& handle, const char* pathFailed) {
    if (!cast<CIM_IndicationSubscription>(inst)) return false;
    Ref<CIM_IndicationSubscription> repaired(reinterpret_cast<CIM_IndicationSubscription*>(clone(inst)));
    repairHostNames(repaired.get());
    if (instance_to_model_path(repaired.get(), handle) != 0) {
        provider::trace(3, "%s", pathFailed);
        return false;
    }
    return true;
}

enum : int { kRemoved = 0, kFailed = 2, kNoMatch = 3 };

// Deletes every enumerated subscription whose handle matches. The trace
// texts are the caller's: `pathFailed` as it is.
int removeMatching(cimom::Instance_Enumerator& found, Matcher matches, const String& wanted,
                   const char* pathFailed) {
    int result = kNoMatch;
    for (; found; found++) {
        Ref<Instance> inst = found();
        String handle;
        if (!handleOf(inst.get(), handle, pathFailed) || !matches(handle, wanted)) continue;
        if (DeleteEvent(cast<CIM_IndicationSubscription>(inst.get()))) {
            if (result == kNoMatch) result = kRemoved;
        } else {
            result = kFailed;
        }
    }
    return result;
}

}  // namespace

CIM_ListenerDestinationCIMXML* CreateXMLConsumerClass(const char* destination, const char* tag) {
    if (!destination) return nullptr;
    cimom::Instance_Enumerator found;
    if (!enumerateWithFallback(&CIM_ListenerDestinationCIMXML::static_meta_class, found)) {
        provider::trace(3, "CreateXMLConsumerClass(%s): enum_instances failed", kInteropNamespace);
        setNamespace(kModuleNamespace);
        return nullptr;
    }
    CIM_ListenerDestinationCIMXML* handler =
        makeHandler(destination, tag, nextNameNumber<CIM_ListenerDestinationCIMXML>(found));
    if (cimom::create_instance(getNamespace().c_str(), handler) != 0) {
        unref(handler);
        return nullptr;
    }
    return handler;
}

CIM_IndicationFilter* CreateFilterClass(const char* query, const char* tag) {
    if (!query) return nullptr;
    cimom::Instance_Enumerator found;
    if (enumerateHere(&CIM_IndicationFilter::static_meta_class, found) != 0) return nullptr;
    CIM_IndicationFilter* filter = makeFilter(query, tag, nextNameNumber<CIM_IndicationFilter>(found));
    if (cimom::create_instance(getNamespace().c_str(), filter) != 0) {
        unref(filter);
        return nullptr;
    }
    return filter;
}

CIM_IndicationSubscription* CreateSubscription(CIM_ListenerDestinationCIMXML* handler,
                                               CIM_IndicationFilter* filter) {
    if (!handler || !filter) return nullptr;
    CIM_IndicationSubscription* subscription = makeSubscription(handler, filter);
    if (cimom::create_instance(getNamespace().c_str(), subscription) != 0) {
        unref(subscription);
        return nullptr;
    }
    return subscription;
}

bool RegisterEvent(const char* destination, const char* query, const char*, const char* tag, String& handle) {
    std::lock_guard<std::mutex> serial(registrationMutex);
    // A failure halfway leaves what was already created in the CIMOM: the
    // client sees the failure and the pieces show up in no listing.
    Ref<CIM_ListenerDestinationCIMXML> handler(CreateXMLConsumerClass(destination, tag));
    if (!handler) return false;
    Ref<CIM_IndicationFilter> filter(CreateFilterClass(query, tag));
    if (!filter) return false;
    Ref<CIM_IndicationSubscription> subscription(CreateSubscription(handler.get(), filter.get()));
    if (!subscription) return false;
    return instance_to_model_path(subscription.get(), handle) == 0;
}

bool DeleteEvent(CIM_IndicationSubscription* subscription) {
    if (!subscription) return false;
    if (cimom::delete_instance(getNamespace().c_str(), subscription) != 0) {
        setNamespace(kInteropNamespace);
        if (cimom::delete_instance(kInteropNamespace, subscription) != 0) {
            setNamespace(kModuleNamespace);
            provider::trace(3, "DeleteEvent: delete_instance Subscription failed (%s)", kModuleNamespace);
            return false;
        }
    }
    if (cimom::delete_instance(getNamespace().c_str(),
                               reinterpret_cast<const Instance*>(subscription->Handler)) != 0) {
        provider::trace(3, "DeleteEvent: delete_instance Handler failed (%s)", getNamespace().c_str());
        return false;
    }
    if (cimom::delete_instance(getNamespace().c_str(), subscription->Filter) != 0) {
        provider::trace(3, "DeleteEvent: delete_instance Filter failed (%s)", getNamespace().c_str());
        return false;
    }
    return true;
}

int UnRegisterEvent(String handle) {
    std::lock_guard<std::mutex> serial(registrationMutex);
    cimom::Instance_Enumerator found;
    if (!enumerateWithFallback(&CIM_IndicationSubscription::static_meta_class, found)) {
        provider::trace(3, "UnRegisterEvent: enum_instances failed (%s)", kInteropNamespace);
        setNamespace(kModuleNamespace);
        return kFailed;
    }
    return removeMatching(found, sameHandle, handle, "UnRegisterEvent: instance_to_model_path() failed");
}

int UnRegisterEventByTag(String tag) {
    std::lock_guard<std::mutex> serial(registrationMutex);
    cimom::Instance_Enumerator found;
    if (!enumerateWithFallback(&CIM_IndicationSubscription::static_meta_class, found)) {
        provider::trace(3, "UnRegisterEventByTag(%s): enum_instances failed (%s)", tag.c_str(),
                        kInteropNamespace);
        setNamespace(kModuleNamespace);
        return kFailed;
    }
    return removeMatching(found, sameTag, tag, "UnRegisterEventByTag: instance_to_model_path() failed");
}

bool EnumSubscriptions(Array<String>& handles, Array<String>& tags) {
    cimom::Instance_Enumerator found;
    if (!enumerateWithFallback(&CIM_IndicationSubscription::static_meta_class, found)) {
        provider::trace(3, "EnumSubscriptions: enum_instances failed (%s)", kInteropNamespace);
        setNamespace(kModuleNamespace);
        return false;
    }
    for (; found; found++) {
        Ref<Instance> inst = found();
        String handle;
        if (!handleOf(inst.get(), handle, "EnumSubscriptions: instance_to_model_path() failed")) continue;
        tags.append(tagOf(handle));
        handles.append(handle);
    }
    return true;
}

bool TagListsAsGiven(const char* tag) {
    if (!tag || !*tag) return true;
    // The listing reads the tag out of the handle text, where the names sit
    // inside quoted references: form that text as a registration would.
    Ref<CIM_ListenerDestinationCIMXML> handler(makeHandler("", tag, 1));
    Ref<CIM_IndicationFilter> filter(makeFilter("", tag, 1));
    Ref<CIM_IndicationSubscription> subscription(makeSubscription(handler.get(), filter.get()));
    String handle;
    return instance_to_model_path(subscription.get(), handle) == 0 && tagOf(handle).equal(tag);
}

}  // namespace cimple
