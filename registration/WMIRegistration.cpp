// The namespace that subscriptions live in, and the subscription functions.
// Registering, listing and removing listeners comes with the registration
// service; until then every call reports failure (null, false or 2) and
// touches nothing in the CIMOM.
#include "registration/WMIRegistration.h"

#include "support/InitOrder.h"
#include "support/provider_trace.h"

namespace cimple {
namespace {

String currentNamespace QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_SUBSCRIPTION_NS){"root/qms"};

void notAvailable(const char* what) {
    provider::trace(3, "%s: subscriptions are not available in this build (%s)", what, currentNamespace.c_str());
}

}  // namespace

CIM_ListenerDestinationCIMXML* CreateXMLConsumerClass(const char*, const char*) {
    notAvailable("CreateXMLConsumerClass");
    return nullptr;
}

CIM_IndicationFilter* CreateFilterClass(const char*, const char*) {
    notAvailable("CreateFilterClass");
    return nullptr;
}

CIM_IndicationSubscription* CreateSubscription(CIM_ListenerDestinationCIMXML*, CIM_IndicationFilter*) {
    notAvailable("CreateSubscription");
    return nullptr;
}

bool RegisterEvent(const char*, const char*, const char*, const char*, String&) {
    notAvailable("RegisterEvent");
    return false;
}

bool DeleteEvent(CIM_IndicationSubscription*) {
    notAvailable("DeleteEvent");
    return false;
}

int UnRegisterEvent(String) {
    notAvailable("UnRegisterEvent");
    return 2;
}

int UnRegisterEventByTag(String) {
    notAvailable("UnRegisterEventByTag");
    return 2;
}

bool EnumSubscriptions(Array<String>&, Array<String>&) {
    notAvailable("EnumSubscriptions");
    return false;
}

}  // namespace cimple
