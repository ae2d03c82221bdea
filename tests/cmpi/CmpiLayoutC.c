/* The CMPI layout as a C compiler sees it: most providers and CIMOMs are
 * written in C, so our C++ view of the headers must match this one. */
#include "CmpiLayoutC.h"

#include <cmpi/cmpift.h>
#include <stddef.h>

#define CMPI_SIZE(T, n) {#T, sizeof(T)},
#define CMPI_AT(T, m, n) {#T "." #m, offsetof(T, m)},
static const struct qms_cmpi_fact facts[] = {
#include "CmpiLayout.def"
};

const struct qms_cmpi_fact* qms_cmpi_c_layout(size_t* count) {
    *count = sizeof facts / sizeof facts[0];
    return facts;
}
