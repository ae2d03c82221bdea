/* The CMPI layout as a C compiler sees it: most providers and CIMOMs are
 * written in C, so our C++ view of the headers must match this one; both
 * compilers hold the headers to the same table. */
#include <cmpi/cmpift.h>
#include <stddef.h>

#if defined(__x86_64__)
#define CMPI_SIZE(T, n) _Static_assert(sizeof(T) == (n), "sizeof " #T);
#define CMPI_AT(T, m, n) _Static_assert(offsetof(T, m) == (n), "offsetof " #T "." #m);
#include "CmpiLayout.def"
#else
typedef int qms_cmpi_layout_unchecked;
#endif
