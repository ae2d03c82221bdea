// The module's one trace object. It comes to life with the first group of
// static objects, so every later static constructor may already trace.
#include "support/CDebug.h"
#include "support/InitOrder.h"

CDebug Debug QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_TOLM_STATE)("QMS_VRXIndication");
