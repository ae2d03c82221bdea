// Build-wide settings of the framework library.
#pragma once

// Marks what libcimple exports; everything else in the library stays hidden.
#define CIMPLE_API __attribute__((visibility("default")))

// printf-style format checking for our own formatting helpers.
#define CIMPLE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
