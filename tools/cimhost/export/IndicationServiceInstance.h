// The host's one CIM_IndicationService instance in the interop namespace: how
// an administrator reads and sets the exporter's retry settings
// (DeliveryRetryAttempts, DeliveryRetryInterval in seconds) with ordinary
// instance operations.
#pragma once

#include <string>
#include <vector>

#include "core/Value.h"

namespace cimhost {

class Exporter;

extern const char kIndicationServiceClass[];

// The instance as it stands: keys (CIM_ComputerSystem, this host's name,
// CIM_IndicationService, "cimhost"), the retry settings, and
// FilterCreationEnabled TRUE.
Instance indicationServiceInstance(const Exporter& exporter);

// GetInstance: CMPI_RC_ERR_NOT_FOUND unless `path` names the instance.
Status getIndicationService(const Exporter& exporter, const ObjectPath& path, Instance* out);

// ModifyInstance: the two retry settings change; every other property given
// must keep its value (CMPI_RC_ERR_NOT_SUPPORTED otherwise). A setting that
// is null, not an integer or out of its type's range is
// CMPI_RC_ERR_INVALID_PARAMETER and nothing changes.
Status modifyIndicationService(Exporter& exporter, const Instance& instance);

// The retry settings kept across restarts in `file` (beside the interop
// store): {"DeliveryRetryAttempts":N,"DeliveryRetryInterval":S}, written
// whole. load applies what `file` holds (nothing when it does not exist);
// an unreadable or invalid file is an error naming it, the settings as they
// were.
Status saveRetrySettings(const Exporter& exporter, const std::string& file);
Status loadRetrySettings(Exporter& exporter, const std::string& file);

}  // namespace cimhost
