// The bridge that turns a provider's Registration into a CMPI function table.
// Implemented by libcimplecmpiadap, not by libcimple.
#pragma once

#include "cimple/Registration.h"

extern "C" {

// Builds the CMPI function table of interface `kind` ('I' instance, 'M'
// method, 'A' association, 'N' indication) for the provider of `registration`
// and stores it in *result. `magic` is the caller's interface version (0x43);
// `static_block` is the provider's own zero-initialised 2048-byte state block,
// the same for all its kinds. `broker` and `context` are the CMPI broker and
// context the CIMOM passed to the factory. The block must be aligned for any
// object (alignof(std::max_align_t)); a misaligned one is refused. 0 on
// success.
__attribute__((visibility("default"))) int cimple_cmpi_adapter(int magic, void* static_block,
                                                               const cimple::Registration* registration,
                                                               const void* broker, const void* context,
                                                               const char* provider_name, int kind,
                                                               void** result);

// Fills the status a CMPI factory hands back to its CIMOM: `status` is the
// factory's CMPIStatus* argument (null is allowed and ignored), `mi` what the
// factory returns. OK for a table; otherwise CMPI_RC_ERR_FAILED with a
// message, made through `broker`, naming the provider and interface kind.
__attribute__((visibility("default"))) void cimple_cmpi_factory_status(void* status, const void* broker,
                                                                       const char* provider_name, int kind,
                                                                       const void* mi);
}
