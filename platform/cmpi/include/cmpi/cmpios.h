/*
 * Operating-system glue for the CMPI declarations: the handle types the
 * broker's thread services pass around, and the linkage a management
 * instrumentation library needs for its factory functions.
 *
 * Only Linux with GCC or Clang is targeted. On that platform the broker
 * hands threads, mutexes and conditions over as opaque pointers, a thread
 * key is an unsigned int, and thread functions use the default calling
 * convention.
 */
#pragma once

#include <stddef.h> /* size_t, used by the memory services */

/* Handle of a thread started through the broker's thread services. */
#define CMPI_THREAD_TYPE void*
/* What a thread function returns (and joinThread hands back). */
#define CMPI_THREAD_RETURN void*
/* Calling convention of a thread function; empty on Linux. */
#define CMPI_THREAD_CDECL
/* Key of a thread-local slot; pthread_key_t is an unsigned int on Linux. */
#define CMPI_THREAD_KEY_TYPE unsigned int
/* Handle of a broker-made mutex. */
#define CMPI_MUTEX_TYPE void*
/* Handle of a broker-made condition variable. */
#define CMPI_COND_TYPE void*

/* Symbols a CIMOM looks up with dlsym must stay visible even when the rest
 * of the library is built with hidden visibility. */
#define CMPI_EXPORT __attribute__((visibility("default")))
#define CMPI_IMPORT __attribute__((visibility("default")))

/* The linkage of every factory function (<name>_Create_<kind>MI): unmangled
 * and exported, so the CIMOM finds it by its plain name. */
#ifdef __cplusplus
#define CMPI_EXTERN_C extern "C" CMPI_EXPORT
#else
#define CMPI_EXTERN_C CMPI_EXPORT
#endif

/* timedCondWait takes a deadline; only its address crosses the interface. */
struct timespec;
