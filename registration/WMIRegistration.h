// Subscriptions of CIM-XML listeners, kept as the CIMOM's own filter,
// listener-destination and subscription instances; the module keeps no list.
#pragma once

#include <cimple/cimple.h>

#include "schema/Classes.h"

namespace cimple {

CIM_ListenerDestinationCIMXML* CreateXMLConsumerClass(const char* destination, const char* tag);
CIM_IndicationFilter* CreateFilterClass(const char* query, const char* tag);
CIM_IndicationSubscription* CreateSubscription(CIM_ListenerDestinationCIMXML* handler,
                                               CIM_IndicationFilter* filter);

// Handler, filter, then subscription; on success handle is the subscription's
// object path.
bool RegisterEvent(const char* destination, const char* query, const char* queryLanguage, const char* tag,
                   String& handle);
bool DeleteEvent(CIM_IndicationSubscription* subscription);

// 0 removed, 2 failed, 3 nothing matched.
int UnRegisterEvent(String handle);
int UnRegisterEventByTag(String tag);

bool EnumSubscriptions(Array<String>& handles, Array<String>& tags);

// True when a registration made with `tag` lists that very tag again. Marker
// pairs inside a tag cut it short and quotes or backslashes come back escaped,
// so such a tag could be neither recognised nor removed by what is listed.
bool TagListsAsGiven(const char* tag);

}  // namespace cimple
