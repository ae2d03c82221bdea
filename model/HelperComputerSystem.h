// What identifies the managed server to every instance the model makes: the
// agent key of the local cabinet and a keys-only computer-system instance.
// The model reads both once, when it is made, and keeps them.
#pragma once

#include <cimple/cimple.h>

#include "schema/Classes.h"
#include "support/TOLMKey.h"
#include "tolm/TOLMCalls.h"

namespace provider {

// {local cabinet number, 0, 0}. Throws what getIdentificationCabinetNumber()
// throws when the agent cannot tell the cabinet number.
TOLMKey createCSKey(TOLMCalls& tolm);

// A new QMS_VRXComputerSystem, owned by the caller, with only its two keys
// set: Name (the local chassis serial number; empty is accepted) and
// CreationClassName. Throws BaseException "createComputerSystemKeys():
// QMS_VRXComputerSystem.Name is NULL" when the agent gives no serial number,
// and passes on what the facade throws; nothing stays allocated then.
cimple::Ref<cimple::QMS_VRXComputerSystem> createComputerSystemKeys(TOLMCalls& tolm);

}  // namespace provider
