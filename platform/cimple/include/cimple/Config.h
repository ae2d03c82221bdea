// Build-wide settings of the framework library.
#pragma once

// printf-style format checking for our own formatting helpers.
#define CIMPLE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
