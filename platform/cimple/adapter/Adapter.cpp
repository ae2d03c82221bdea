// libcimplecmpiadap: builds a provider's CMPI function table from its
// registration. The CMPI translation itself needs the CMPI ABI declarations,
// which this tree does not have yet; until then no table can be built, so the
// adapter answers failure and leaves the result null. A CIMOM that asks gets
// "no such interface", never a half-working table.
#include <cimple/cmpi_adapter.h>

extern "C" int cimple_cmpi_adapter(int magic, void* static_block, const cimple::Registration* registration,
                                   const void* broker, const void* context, const char* provider_name, int kind,
                                   void** result) {
    (void)magic;
    (void)static_block;
    (void)registration;
    (void)broker;
    (void)context;
    (void)provider_name;
    (void)kind;
    if (result) *result = nullptr;
    return -1;
}
