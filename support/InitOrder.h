// The order in which the library's static objects come to life when it is
// loaded (and, reversed, go at unload). Each object sits in its own source
// unit; these priorities make the order independent of link order.
#pragma once

// The TOLM shared-instance lock and the global trace object Debug.
#define QMS_INIT_PRIORITY_TOLM_STATE 1001
// The model's data lock and creation lock.
#define QMS_INIT_PRIORITY_MODEL_LOCKS 1002
// The namespace that subscriptions are made in.
#define QMS_INIT_PRIORITY_SUBSCRIPTION_NS 1003
// The provider registration records and the chain head.
#define QMS_INIT_PRIORITY_REGISTRATIONS 1004

#define QMS_INIT_PRIORITY(n) __attribute__((init_priority(n)))
