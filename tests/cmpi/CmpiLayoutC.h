// Bridge to CmpiLayoutC.c: the sizes and offsets the C compiler computed
// for every entry of CmpiLayout.def, in its order.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct qms_cmpi_fact {
    const char* what; /* "Type" or "Type.member" */
    size_t value;     /* sizeof or offsetof */
};

const struct qms_cmpi_fact* qms_cmpi_c_layout(size_t* count);

#ifdef __cplusplus
}
#endif
