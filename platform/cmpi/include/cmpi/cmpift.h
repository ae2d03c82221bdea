/*
 * CMPI 2.0 function tables: the broker's services, the encapsulated data
 * types (each a handle plus a table), and the four MI tables a provider
 * library hands back from its factory functions.
 *
 * Tables are positional: a CIMOM calls the n-th pointer of a table it got
 * from us, and we call the n-th pointer of the tables it gives us. Member
 * order and signatures therefore follow the CMPI standard exactly; renaming
 * a parameter is harmless, moving a member is not. Newer CMPI levels only
 * append, so a comment at the end of a table names what 2.1 appends there.
 *
 * Conventions for every call below:
 *  - `rc`, where present, is optional: the callee fills it when non-null.
 *  - Objects a broker call returns belong to the broker and live until the
 *    MI call that got them returns, unless clone()d (then release() them).
 *  - release() ends an object's life early; clone() makes an independent copy.
 */
#pragma once

#include "cmpidt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================== */
/* Broker                                                                   */
/* ======================================================================== */

/* The broker as a provider sees it: its data and its four service tables. */
struct _CMPIBroker {
    const void* hdl;            /* broker's own data */
    const CMPIBrokerFT* bft;    /* threads, indications, client operations */
    const CMPIBrokerEncFT* eft; /* factories and miscellaneous services */
    const CMPIBrokerExtFT* xft; /* operating-system services */
    const CMPIBrokerMemFT* mft; /* memory services; null when not offered */
};

/* Thread registration, indication delivery and operations on other providers. */
struct _CMPIBrokerFT {
    unsigned int brokerCapabilities; /* CMPI_MB_* bits the broker offers */
    CMPIVersion brokerVersion;       /* CMPI level of this table, not of the product */
    const char* brokerName;          /* informal product name */

    /* Gives a context for a thread the MI is about to start; pass it to the
     * thread, which attaches with it and detaches before it ends. */
    CMPIContext* (*prepareAttachThread)(const CMPIBroker* mb, const CMPIContext* ctx);
    /* The calling thread starts using broker services with `ctx`. */
    CMPIStatus (*attachThread)(const CMPIBroker* mb, const CMPIContext* ctx);
    /* The calling thread stops using broker services; `ctx` is freed. */
    CMPIStatus (*detachThread)(const CMPIBroker* mb, const CMPIContext* ctx);

    /* Hands indication `ind`, originating in namespace `ns`, to the
     * subscribers whose filters match; success even with no subscribers. */
    CMPIStatus (*deliverIndication)(const CMPIBroker* mb, const CMPIContext* ctx, const char* ns,
                                    const CMPIInstance* ind);

    /* Paths of the instances of `op`'s class and its subclasses. */
    CMPIEnumeration* (*enumerateInstanceNames)(const CMPIBroker* mb, const CMPIContext* ctx,
                                               const CMPIObjectPath* op, CMPIStatus* rc);
    /* The instance `op` names; `properties` (null-terminated, or null for
     * all) limits the properties returned. */
    CMPIInstance* (*getInstance)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                 const char** properties, CMPIStatus* rc);
    /* Creates `inst` under `op`; returns the new instance's path. */
    CMPIObjectPath* (*createInstance)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                      const CMPIInstance* inst, CMPIStatus* rc);
    /* Replaces the properties listed (all if null) of the instance `op`. */
    CMPIStatus (*modifyInstance)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                 const CMPIInstance* inst, const char** properties);
    /* Deletes the instance `op` names. */
    CMPIStatus (*deleteInstance)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op);
    /* Instances matching `query` in language `lang`, in `op`'s namespace. */
    CMPIEnumeration* (*execQuery)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                  const char* query, const char* lang, CMPIStatus* rc);
    /* Instances of `op`'s class and its subclasses. */
    CMPIEnumeration* (*enumerateInstances)(const CMPIBroker* mb, const CMPIContext* ctx,
                                           const CMPIObjectPath* op, const char** properties, CMPIStatus* rc);
    /* Instances associated with `op`; each filter may be null. */
    CMPIEnumeration* (*associators)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                    const char* assocClass, const char* resultClass, const char* role,
                                    const char* resultRole, const char** properties, CMPIStatus* rc);
    /* Paths of the instances associated with `op`. */
    CMPIEnumeration* (*associatorNames)(const CMPIBroker* mb, const CMPIContext* ctx,
                                        const CMPIObjectPath* op, const char* assocClass,
                                        const char* resultClass, const char* role, const char* resultRole,
                                        CMPIStatus* rc);
    /* Association instances that refer to `op`. */
    CMPIEnumeration* (*references)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                   const char* resultClass, const char* role, const char** properties,
                                   CMPIStatus* rc);
    /* Paths of the association instances that refer to `op`. */
    CMPIEnumeration* (*referenceNames)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                                       const char* resultClass, const char* role, CMPIStatus* rc);
    /* Calls extrinsic method `method` on `op`; output parameters land in `out`. */
    CMPIData (*invokeMethod)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                             const char* method, const CMPIArgs* in, CMPIArgs* out, CMPIStatus* rc);
    /* Sets one property of the instance `op` (deprecated in later levels). */
    CMPIStatus (*setProperty)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                              const char* name, const CMPIValue* value, CMPIType type);
    /* Reads one property of the instance `op` (deprecated in later levels). */
    CMPIData (*getProperty)(const CMPIBroker* mb, const CMPIContext* ctx, const CMPIObjectPath* op,
                            const char* name, CMPIStatus* rc);

    /* CMPI 2.1 appends enumerateInstancesFiltered, associatorsFiltered and
     * referencesFiltered; not declared. */
};

/* Factories for encapsulated objects, type checks, messages and logging. */
struct _CMPIBrokerEncFT {
    CMPIVersion ftVersion; /* CMPI level of this table */

    /* A new, empty instance of the class and namespace of `op`. */
    CMPIInstance* (*newInstance)(const CMPIBroker* mb, const CMPIObjectPath* op, CMPIStatus* rc);
    /* A new path with namespace `ns` and class `cn`, no keys. */
    CMPIObjectPath* (*newObjectPath)(const CMPIBroker* mb, const char* ns, const char* cn, CMPIStatus* rc);
    /* A new, empty argument list. */
    CMPIArgs* (*newArgs)(const CMPIBroker* mb, CMPIStatus* rc);
    /* A new string holding a copy of `data`. */
    CMPIString* (*newString)(const CMPIBroker* mb, const char* data, CMPIStatus* rc);
    /* A new array of `max` null elements of element type `type`. */
    CMPIArray* (*newArray)(const CMPIBroker* mb, CMPICount max, CMPIType type, CMPIStatus* rc);
    /* The current time. */
    CMPIDateTime* (*newDateTime)(const CMPIBroker* mb, CMPIStatus* rc);
    /* A time point (microseconds since 1970-01-01 UTC) or, if `interval`, a
     * span of that many microseconds. */
    CMPIDateTime* (*newDateTimeFromBinary)(const CMPIBroker* mb, CMPIUint64 binTime, CMPIBoolean interval,
                                           CMPIStatus* rc);
    /* Parses a 25-character CIM datetime string. */
    CMPIDateTime* (*newDateTimeFromChars)(const CMPIBroker* mb, const char* datetime, CMPIStatus* rc);
    /* Compiles `query` in `lang`; `projection`, if non-null, receives the
     * selected property names. */
    CMPISelectExp* (*newSelectExp)(const CMPIBroker* mb, const char* query, const char* lang,
                                   CMPIArray** projection, CMPIStatus* rc);
    /* Whether the class `op` names is `type` or a subclass of it. */
    CMPIBoolean (*classPathIsA)(const CMPIBroker* mb, const CMPIObjectPath* op, const char* type,
                                CMPIStatus* rc);
    /* Debug text for any encapsulated object. */
    CMPIString* (*toString)(const CMPIBroker* mb, const void* object, CMPIStatus* rc);
    /* Whether `object` is of the CMPI type named `type` ("CMPIInstance", ...). */
    CMPIBoolean (*isOfType)(const CMPIBroker* mb, const void* object, const char* type, CMPIStatus* rc);
    /* The CMPI type name of `object`. */
    CMPIString* (*getType)(const CMPIBroker* mb, const void* object, CMPIStatus* rc);
    /* Message `msgId` translated, else `defMsg`; `count` pairs of (CMPIType,
     * value) follow for the $0..$9 inserts. */
    CMPIString* (*getMessage)(const CMPIBroker* mb, const char* msgId, const char* defMsg, CMPIStatus* rc,
                              CMPICount count, ...);
    /* Writes `text` (or, if null, `string`) to the broker's log at CMPISeverity
     * `severity`, tagged with component `id`. */
    CMPIStatus (*logMessage)(const CMPIBroker* mb, int severity, const char* id, const char* text,
                             const CMPIString* string);
    /* Writes a trace line at CMPILevel `level` for `component`. */
    CMPIStatus (*trace)(const CMPIBroker* mb, int level, const char* component, const char* text,
                        const CMPIString* string);
    /* A new extended error (CIM_Error) with owner, message id and message. */
    CMPIError* (*newCMPIError)(const CMPIBroker* mb, const char* owner, const char* msgID, const char* msg,
                               const CMPIErrorSeverity sev, const CMPIErrorProbableCause pc,
                               const CMPIrc cimStatusCode, CMPIStatus* rc);
    /* Opens message file `msgFile` for getMessage2(). */
    CMPIStatus (*openMessageFile)(const CMPIBroker* mb, const char* msgFile,
                                  CMPIMsgFileHandle* msgFileHandle);
    /* Closes a handle from openMessageFile(). */
    CMPIStatus (*closeMessageFile)(const CMPIBroker* mb, const CMPIMsgFileHandle msgFileHandle);
    /* getMessage() against an opened message file. */
    CMPIString* (*getMessage2)(const CMPIBroker* mb, const char* msgId, const CMPIMsgFileHandle msgFileHandle,
                               const char* defMsg, CMPIStatus* rc, CMPICount count, ...);

    /* CMPI 2.1 appends newPropertyList, newStringCP and newEnumerationFilter;
     * not declared. */
};

/* Operating-system services, POSIX in meaning, for portable providers. */
struct _CMPIBrokerExtFT {
    CMPIVersion ftVersion; /* CMPI level of this table */

    /* The platform's file name for library `filename` (malloc'd; caller frees). */
    char* (*resolveFileName)(const char* filename);
    /* Starts `start(parm)` in a new thread, detached if `detached` != 0. */
    CMPI_THREAD_TYPE (*newThread)(CMPIThreadFunc start, void* parm, int detached);
    /* Waits for `thread`; its return value goes to *retval. 0 on success. */
    int (*joinThread)(CMPI_THREAD_TYPE thread, CMPI_THREAD_RETURN* retval);
    /* Ends the calling thread with `return_code`; does not return. */
    int (*exitThread)(CMPI_THREAD_RETURN return_code);
    /* Asks `thread` to cancel. 0 on success. */
    int (*cancelThread)(CMPI_THREAD_TYPE thread);
    /* Sleeps for `msec` milliseconds. */
    int (*threadSleep)(CMPIUint32 msec);
    /* Runs `init` once per process for the flag `*once` (initially 0). */
    int (*threadOnce)(int* once, CMPIThreadOnceFunc init);
    /* A new thread-local key; `cleanup` runs on a thread's value at its exit. */
    int (*createThreadKey)(CMPI_THREAD_KEY_TYPE* key, CMPIThreadKeyCleanupFunc cleanup);
    /* Deletes a thread-local key. */
    int (*destroyThreadKey)(CMPI_THREAD_KEY_TYPE key);
    /* The calling thread's value for `key`, or null. */
    void* (*getThreadSpecific)(CMPI_THREAD_KEY_TYPE key);
    /* Sets the calling thread's value for `key`. */
    int (*setThreadSpecific)(CMPI_THREAD_KEY_TYPE key, void* value);
    /* A new mutex; `opt` is 0. */
    CMPI_MUTEX_TYPE (*newMutex)(int opt);
    void (*destroyMutex)(CMPI_MUTEX_TYPE mutex);
    void (*lockMutex)(CMPI_MUTEX_TYPE mutex);
    void (*unlockMutex)(CMPI_MUTEX_TYPE mutex);
    /* A new condition variable; `opt` is 0. */
    CMPI_COND_TYPE (*newCondition)(int opt);
    void (*destroyCondition)(CMPI_COND_TYPE cond);
    /* Waits on `cond` with `mutex` held. */
    int (*condWait)(CMPI_COND_TYPE cond, CMPI_MUTEX_TYPE mutex);
    /* condWait() until the absolute time `wait`. */
    int (*timedCondWait)(CMPI_COND_TYPE cond, CMPI_MUTEX_TYPE mutex, struct timespec* wait);
    /* Wakes one waiter of `cond`. */
    int (*signalCondition)(CMPI_COND_TYPE cond);
};

/* Memory services (CMPI_MB_Supports_MemEnhancements). */
struct _CMPIBrokerMemFT {
    const CMPIVersion ftVersion; /* CMPI level of this table */

    /* Starts a region: objects made after it go at the matching release(). */
    CMPIGcStat* (*mark)(const CMPIBroker* mb, CMPIStatus* rc);
    /* Frees every object made since `gc` was marked. */
    CMPIStatus (*release)(const CMPIBroker* mb, const CMPIGcStat* gc);
    /* malloc/calloc/realloc/strdup/free from the broker's heap. */
    void* (*cmpiMalloc)(const CMPIBroker* mb, size_t size);
    void* (*cmpiCalloc)(const CMPIBroker* mb, size_t nElems, size_t sizeElem);
    void* (*cmpiRealloc)(const CMPIBroker* mb, void* ptr, size_t size);
    char* (*cmpiStrDup)(const CMPIBroker* mb, const char* str);
    void (*cmpiFree)(const CMPIBroker* mb, void* ptr);
    /* Frees one broker-made object now, with what it contains. */
    void (*freeInstance)(const CMPIBroker* mb, CMPIInstance* inst);
    void (*freeObjectPath)(const CMPIBroker* mb, CMPIObjectPath* obj);
    void (*freeArgs)(const CMPIBroker* mb, CMPIArgs* args);
    void (*freeString)(const CMPIBroker* mb, CMPIString* str);
    void (*freeArray)(const CMPIBroker* mb, CMPIArray* array);
    void (*freeDateTime)(const CMPIBroker* mb, CMPIDateTime* date);
    void (*freeSelectExp)(const CMPIBroker* mb, CMPISelectExp* se);

    /* CMPI 2.1 appends freeChars; not declared. */
};

/* ======================================================================== */
/* Encapsulated data types: each is { implementation data, function table } */
/* ======================================================================== */

struct _CMPIContext {
    const void* hdl;
    const CMPIContextFT* ft;
};

/* Named entries describing the invocation (see the CMPIInitNameSpace, ...
 * names in cmpidt.h). */
struct _CMPIContextFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIContext* ctx);
    CMPIContext* (*clone)(const CMPIContext* ctx, CMPIStatus* rc);
    /* The entry called `name`; CMPI_RC_ERR_NO_SUCH_PROPERTY if absent. */
    CMPIData (*getEntry)(const CMPIContext* ctx, const char* name, CMPIStatus* rc);
    /* The `index`-th entry; its name goes to *name when non-null. */
    CMPIData (*getEntryAt)(const CMPIContext* ctx, CMPICount index, CMPIString** name, CMPIStatus* rc);
    CMPICount (*getEntryCount)(const CMPIContext* ctx, CMPIStatus* rc);
    /* Adds or replaces entry `name`. */
    CMPIStatus (*addEntry)(const CMPIContext* ctx, const char* name, const CMPIValue* value,
                           const CMPIType type);
};

struct _CMPIResult {
    const void* hdl;
    const CMPIResultFT* ft;
};

/* Where an MI puts what an operation produces. */
struct _CMPIResultFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIResult* rslt);
    CMPIResult* (*clone)(const CMPIResult* rslt, CMPIStatus* rc);
    /* One value (a method's return value, for instance). */
    CMPIStatus (*returnData)(const CMPIResult* rslt, const CMPIValue* value, const CMPIType type);
    /* One instance; the broker copies it. */
    CMPIStatus (*returnInstance)(const CMPIResult* rslt, const CMPIInstance* inst);
    /* One instance path; the broker copies it. */
    CMPIStatus (*returnObjectPath)(const CMPIResult* rslt, const CMPIObjectPath* ref);
    /* No more results follow. */
    CMPIStatus (*returnDone)(const CMPIResult* rslt);
    /* One extended error, reported with the operation's failure status. */
    CMPIStatus (*returnError)(const CMPIResult* rslt, const CMPIError* er);
};

struct _CMPIString {
    const void* hdl;
    const CMPIStringFT* ft;
};

struct _CMPIStringFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIString* st);
    CMPIString* (*clone)(const CMPIString* st, CMPIStatus* rc);
    /* The UTF-8 text; valid as long as the string. */
    const char* (*getCharPtr)(const CMPIString* st, CMPIStatus* rc);

    /* CMPI 2.1 appends newCharsCP; not declared. */
};

struct _CMPIArray {
    const void* hdl;
    const CMPIArrayFT* ft;
};

struct _CMPIArrayFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIArray* ar);
    CMPIArray* (*clone)(const CMPIArray* ar, CMPIStatus* rc);
    CMPICount (*getSize)(const CMPIArray* ar, CMPIStatus* rc);
    /* The element type, without CMPI_ARRAY. */
    CMPIType (*getSimpleType)(const CMPIArray* ar, CMPIStatus* rc);
    /* Element `index`; CMPI_RC_ERR_NO_SUCH_PROPERTY past the end. */
    CMPIData (*getElementAt)(const CMPIArray* ar, CMPICount index, CMPIStatus* rc);
    /* Sets element `index`; `type` must be the element type. */
    CMPIStatus (*setElementAt)(const CMPIArray* ar, CMPICount index, const CMPIValue* value, CMPIType type);
};

struct _CMPIEnumeration {
    const void* hdl;
    const CMPIEnumerationFT* ft;
};

/* A forward-only sequence of results from a broker client call. */
struct _CMPIEnumerationFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIEnumeration* en);
    CMPIEnumeration* (*clone)(const CMPIEnumeration* en, CMPIStatus* rc);
    /* The next element; CMPI_RC_NO_MORE_ELEMENTS at the end. */
    CMPIData (*getNext)(const CMPIEnumeration* en, CMPIStatus* rc);
    CMPIBoolean (*hasNext)(const CMPIEnumeration* en, CMPIStatus* rc);
    /* The remaining elements as an array. */
    CMPIArray* (*toArray)(const CMPIEnumeration* en, CMPIStatus* rc);
};

struct _CMPIInstance {
    const void* hdl;
    const CMPIInstanceFT* ft;
};

struct _CMPIInstanceFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIInstance* inst);
    CMPIInstance* (*clone)(const CMPIInstance* inst, CMPIStatus* rc);
    /* Property `name`; CMPI_RC_ERR_NO_SUCH_PROPERTY if the class lacks it. */
    CMPIData (*getProperty)(const CMPIInstance* inst, const char* name, CMPIStatus* rc);
    CMPIData (*getPropertyAt)(const CMPIInstance* inst, CMPICount index, CMPIString** name, CMPIStatus* rc);
    CMPICount (*getPropertyCount)(const CMPIInstance* inst, CMPIStatus* rc);
    /* Adds or replaces property `name`; ignored if filtered out. */
    CMPIStatus (*setProperty)(const CMPIInstance* inst, const char* name, const CMPIValue* value,
                              const CMPIType type);
    /* A new path from the instance's namespace, class and key properties. */
    CMPIObjectPath* (*getObjectPath)(const CMPIInstance* inst, CMPIStatus* rc);
    /* Later setProperty() calls keep only `propertyList` (null: all);
     * `keys` is ignored. */
    CMPIStatus (*setPropertyFilter)(const CMPIInstance* inst, const char** propertyList, const char** keys);
    /* Replaces namespace, class and keys from `op`. */
    CMPIStatus (*setObjectPath)(const CMPIInstance* inst, const CMPIObjectPath* op);
    /* setProperty() that also records the class the property comes from. */
    CMPIStatus (*setPropertyWithOrigin)(const CMPIInstance* inst, const char* name, const CMPIValue* value,
                                        const CMPIType type, const char* origin);
};

struct _CMPIObjectPath {
    const void* hdl;
    const CMPIObjectPathFT* ft;
};

struct _CMPIObjectPathFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIObjectPath* op);
    CMPIObjectPath* (*clone)(const CMPIObjectPath* op, CMPIStatus* rc);
    CMPIStatus (*setNameSpace)(const CMPIObjectPath* op, const char* ns);
    CMPIString* (*getNameSpace)(const CMPIObjectPath* op, CMPIStatus* rc);
    CMPIStatus (*setHostname)(const CMPIObjectPath* op, const char* hn);
    CMPIString* (*getHostname)(const CMPIObjectPath* op, CMPIStatus* rc);
    CMPIStatus (*setClassName)(const CMPIObjectPath* op, const char* cn);
    CMPIString* (*getClassName)(const CMPIObjectPath* op, CMPIStatus* rc);
    /* Adds or replaces key binding `name`. */
    CMPIStatus (*addKey)(const CMPIObjectPath* op, const char* name, const CMPIValue* value,
                         const CMPIType type);
    /* Key `name`; state has CMPI_keyValue. */
    CMPIData (*getKey)(const CMPIObjectPath* op, const char* name, CMPIStatus* rc);
    CMPIData (*getKeyAt)(const CMPIObjectPath* op, CMPICount index, CMPIString** name, CMPIStatus* rc);
    CMPICount (*getKeyCount)(const CMPIObjectPath* op, CMPIStatus* rc);
    /* Copies namespace and class name from `src`. */
    CMPIStatus (*setNameSpaceFromObjectPath)(const CMPIObjectPath* op, const CMPIObjectPath* src);
    /* Copies host, namespace and class name from `src`. */
    CMPIStatus (*setHostAndNameSpaceFromObjectPath)(const CMPIObjectPath* op, const CMPIObjectPath* src);
    /* Qualifier lookups (Basic Qualifier capability). */
    CMPIData (*getClassQualifier)(const CMPIObjectPath* op, const char* qName, CMPIStatus* rc);
    CMPIData (*getPropertyQualifier)(const CMPIObjectPath* op, const char* pName, const char* qName,
                                     CMPIStatus* rc);
    CMPIData (*getMethodQualifier)(const CMPIObjectPath* op, const char* methodName, const char* qName,
                                   CMPIStatus* rc);
    CMPIData (*getParameterQualifier)(const CMPIObjectPath* op, const char* mName, const char* pName,
                                      const char* qName, CMPIStatus* rc);
    /* The path as WBEM URI-like text. */
    CMPIString* (*toString)(const CMPIObjectPath* op, CMPIStatus* rc);
};

struct _CMPIArgs {
    const void* hdl;
    const CMPIArgsFT* ft;
};

/* Method parameters, in or out, by name. */
struct _CMPIArgsFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIArgs* as);
    CMPIArgs* (*clone)(const CMPIArgs* as, CMPIStatus* rc);
    CMPIStatus (*addArg)(const CMPIArgs* as, const char* name, const CMPIValue* value, const CMPIType type);
    CMPIData (*getArg)(const CMPIArgs* as, const char* name, CMPIStatus* rc);
    CMPIData (*getArgAt)(const CMPIArgs* as, CMPICount index, CMPIString** name, CMPIStatus* rc);
    CMPICount (*getArgCount)(const CMPIArgs* as, CMPIStatus* rc);
};

struct _CMPIDateTime {
    const void* hdl;
    const CMPIDateTimeFT* ft;
};

struct _CMPIDateTimeFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIDateTime* dt);
    CMPIDateTime* (*clone)(const CMPIDateTime* dt, CMPIStatus* rc);
    /* Microseconds since 1970-01-01 UTC, or of the span for an interval. */
    CMPIUint64 (*getBinaryFormat)(const CMPIDateTime* dt, CMPIStatus* rc);
    /* The 25-character CIM datetime text. */
    CMPIString* (*getStringFormat)(const CMPIDateTime* dt, CMPIStatus* rc);
    CMPIBoolean (*isInterval)(const CMPIDateTime* dt, CMPIStatus* rc);
};

struct _CMPIError {
    const void* hdl;
    const CMPIErrorFT* ft;
};

/* An extended error: the properties of a CIM_Error instance. */
struct _CMPIErrorFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIError* er);
    CMPIError* (*clone)(const CMPIError* er, CMPIStatus* rc);
    CMPIErrorType (*getErrorType)(const CMPIError* er, CMPIStatus* rc);
    CMPIString* (*getOtherErrorType)(const CMPIError* er, CMPIStatus* rc);
    CMPIString* (*getOwningEntity)(const CMPIError* er, CMPIStatus* rc);
    CMPIString* (*getMessageID)(const CMPIError* er, CMPIStatus* rc);
    CMPIString* (*getMessage)(const CMPIError* er, CMPIStatus* rc);
    CMPIErrorSeverity (*getPerceivedSeverity)(const CMPIError* er, CMPIStatus* rc);
    CMPIErrorProbableCause (*getProbableCause)(const CMPIError* er, CMPIStatus* rc);
    CMPIString* (*getProbableCauseDescription)(const CMPIError* er, CMPIStatus* rc);
    CMPIArray* (*getRecommendedActions)(const CMPIError* er, CMPIStatus* rc);
    CMPIString* (*getErrorSource)(const CMPIError* er, CMPIStatus* rc);
    CMPIErrorSrcFormat (*getErrorSourceFormat)(const CMPIError* er, CMPIStatus* rc);
    CMPIString* (*getOtherErrorSourceFormat)(const CMPIError* er, CMPIStatus* rc);
    CMPIrc (*getCIMStatusCode)(const CMPIError* er, CMPIStatus* rc);
    CMPIString* (*getCIMStatusCodeDescription)(const CMPIError* er, CMPIStatus* rc);
    CMPIArray* (*getMessageArguments)(const CMPIError* er, CMPIStatus* rc);
    CMPIStatus (*setErrorType)(const CMPIError* er, const CMPIErrorType et);
    CMPIStatus (*setOtherErrorType)(const CMPIError* er, const char* ot);
    CMPIStatus (*setProbableCauseDescription)(const CMPIError* er, const char* pcd);
    CMPIStatus (*setRecommendedActions)(const CMPIError* er, const CMPIArray* ra);
    CMPIStatus (*setErrorSource)(const CMPIError* er, const char* es);
    CMPIStatus (*setErrorSourceFormat)(const CMPIError* er, const CMPIErrorSrcFormat esf);
    CMPIStatus (*setOtherErrorSourceFormat)(const CMPIError* er, const char* oesf);
    CMPIStatus (*setCIMStatusCodeDescription)(const CMPIError* er, const char* cd);
    CMPIStatus (*setMessageArguments)(const CMPIError* er, const CMPIArray* values);
};

/* ---- Parsed queries (what an indication MI receives as its filter) ------ */

struct _CMPISelectExp {
    const void* hdl;
    const CMPISelectExpFT* ft;
};

struct _CMPISelectExpFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPISelectExp* se);
    CMPISelectExp* (*clone)(const CMPISelectExp* se, CMPIStatus* rc);
    /* Whether `inst` satisfies the query's WHERE clause. */
    CMPIBoolean (*evaluate)(const CMPISelectExp* se, const CMPIInstance* inst, CMPIStatus* rc);
    /* The query text. */
    CMPIString* (*getString)(const CMPISelectExp* se, CMPIStatus* rc);
    /* The condition as a disjunction of conjunctions. */
    CMPISelectCond* (*getDOC)(const CMPISelectExp* se, CMPIStatus* rc);
    /* The condition as a conjunction of disjunctions. */
    CMPISelectCond* (*getCOD)(const CMPISelectExp* se, CMPIStatus* rc);
    /* evaluate() with property values supplied by `accessor(name, parm)`. */
    CMPIBoolean (*evaluateUsingAccessor)(const CMPISelectExp* se, CMPIAccessor* accessor, void* parm,
                                         CMPIStatus* rc);
};

struct _CMPISelectCond {
    const void* hdl;
    const CMPISelectCondFT* ft;
};

struct _CMPISelectCondFT {
    const CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPISelectCond* sc);
    CMPISelectCond* (*clone)(const CMPISelectCond* sc, CMPIStatus* rc);
    /* Number of sub-conditions; *type gets 0 (DOC) or 1 (COD) when non-null. */
    CMPICount (*getCountAndType)(const CMPISelectCond* sc, int* type, CMPIStatus* rc);
    CMPISubCond* (*getSubCondAt)(const CMPISelectCond* sc, CMPICount index, CMPIStatus* rc);
};

struct _CMPISubCond {
    const void* hdl;
    const CMPISubCondFT* ft;
};

struct _CMPISubCondFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPISubCond* sc);
    CMPISubCond* (*clone)(const CMPISubCond* sc, CMPIStatus* rc);
    CMPICount (*getCount)(const CMPISubCond* sc, CMPIStatus* rc);
    CMPIPredicate* (*getPredicateAt)(const CMPISubCond* sc, CMPICount index, CMPIStatus* rc);
    /* The predicate on property `name`. */
    CMPIPredicate* (*getPredicate)(const CMPISubCond* sc, const char* name, CMPIStatus* rc);
};

struct _CMPIPredicate {
    const void* hdl;
    const CMPIPredicateFT* ft;
};

struct _CMPIPredicateFT {
    CMPIVersion ftVersion;
    CMPIStatus (*release)(CMPIPredicate* pr);
    CMPIPredicate* (*clone)(const CMPIPredicate* pr, CMPIStatus* rc);
    /* Operand type, operator and both sides; each output may be null. */
    CMPIStatus (*getData)(const CMPIPredicate* pr, CMPIType* type, CMPIPredOp* op, CMPIString** lhs,
                          CMPIString** rhs);
    CMPIBoolean (*evaluateUsingAccessor)(const CMPIPredicate* pr, CMPIAccessor* accessor, void* parm,
                                         CMPIStatus* rc);
};

/* ======================================================================== */
/* MI tables: what a provider's <name>_Create_<kind>MI factory returns      */
/* ======================================================================== */
/*
 * Every MI call gets the MI handle first and the invocation context second,
 * and reports through its CMPIStatus return. cleanup() is called before the
 * library is unloaded: `terminating` true means the broker is shutting down
 * and the MI must let go; otherwise it may answer CMPI_RC_DO_NOT_UNLOAD or
 * CMPI_RC_NEVER_UNLOAD to stay loaded. `properties` is a null-terminated
 * list of property names to return, or null for all.
 */

struct _CMPIInstanceMI {
    const void* hdl; /* the MI's own data */
    const CMPIInstanceMIFT* ft;
};

struct _CMPIInstanceMIFT {
    CMPIVersion ftVersion; /* CMPI level the MI was built for */
    CMPIVersion miVersion; /* the MI's own version */
    const char* miName;    /* the provider name it was created for */

    CMPIStatus (*cleanup)(CMPIInstanceMI* mi, const CMPIContext* ctx, CMPIBoolean terminating);
    /* Returns the path of every instance of `op`'s class. */
    CMPIStatus (*enumerateInstanceNames)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                         const CMPIObjectPath* op);
    /* Returns every instance of `op`'s class. */
    CMPIStatus (*enumerateInstances)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                     const CMPIObjectPath* op, const char** properties);
    /* Returns the one instance `op` names, or CMPI_RC_ERR_NOT_FOUND. */
    CMPIStatus (*getInstance)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                              const CMPIObjectPath* op, const char** properties);
    /* Creates `inst` and returns its path. */
    CMPIStatus (*createInstance)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                 const CMPIObjectPath* op, const CMPIInstance* inst);
    /* Replaces the listed properties (all if null) of instance `op`. */
    CMPIStatus (*modifyInstance)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                 const CMPIObjectPath* op, const CMPIInstance* inst, const char** properties);
    /* Deletes instance `op`. */
    CMPIStatus (*deleteInstance)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                 const CMPIObjectPath* op);
    /* Returns the instances matching `query` in `lang`. */
    CMPIStatus (*execQuery)(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                            const CMPIObjectPath* op, const char* query, const char* lang);

    /* CMPI 2.1 appends enumerateInstancesFiltered; not declared. */
};

struct _CMPIAssociationMI {
    const void* hdl;
    const CMPIAssociationMIFT* ft;
};

/* Traversal from source instance `op`; each filter argument may be null. */
struct _CMPIAssociationMIFT {
    CMPIVersion ftVersion;
    const CMPIVersion miVersion;
    const char* miName;

    CMPIStatus (*cleanup)(CMPIAssociationMI* mi, const CMPIContext* ctx, CMPIBoolean terminating);
    /* Returns the instances associated with `op`. */
    CMPIStatus (*associators)(CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                              const CMPIObjectPath* op, const char* assocClass, const char* resultClass,
                              const char* role, const char* resultRole, const char** properties);
    /* Returns the paths of the instances associated with `op`. */
    CMPIStatus (*associatorNames)(CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                  const CMPIObjectPath* op, const char* assocClass, const char* resultClass,
                                  const char* role, const char* resultRole);
    /* Returns the association instances referring to `op`. */
    CMPIStatus (*references)(CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                             const CMPIObjectPath* op, const char* resultClass, const char* role,
                             const char** properties);
    /* Returns the paths of the association instances referring to `op`. */
    CMPIStatus (*referenceNames)(CMPIAssociationMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                 const CMPIObjectPath* op, const char* resultClass, const char* role);

    /* CMPI 2.1 appends associatorsFiltered and referencesFiltered; not
     * declared. */
};

struct _CMPIMethodMI {
    const void* hdl;
    const CMPIMethodMIFT* ft;
};

struct _CMPIMethodMIFT {
    CMPIVersion ftVersion;
    CMPIVersion miVersion;
    const char* miName;

    CMPIStatus (*cleanup)(CMPIMethodMI* mi, const CMPIContext* ctx, CMPIBoolean terminating);
    /* Runs `method` on `op` (an instance or, for static methods, a class):
     * the return value goes to `rslt` via returnData(), output parameters
     * to `out`. */
    CMPIStatus (*invokeMethod)(CMPIMethodMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                               const CMPIObjectPath* op, const char* method, const CMPIArgs* in,
                               CMPIArgs* out);
};

/* Property MIs are deprecated; the table is declared so a broker's probe
 * for one can be answered (and for completeness of the layout). */
struct _CMPIPropertyMI {
    const void* hdl;
    const CMPIPropertyMIFT* ft;
};

struct _CMPIPropertyMIFT {
    CMPIVersion ftVersion;
    CMPIVersion miVersion;
    const char* miName;

    CMPIStatus (*cleanup)(CMPIPropertyMI* mi, const CMPIContext* ctx, CMPIBoolean terminating);
    CMPIStatus (*setProperty)(CMPIPropertyMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                              const CMPIObjectPath* op, const char* name, const CMPIData data);
    CMPIStatus (*getProperty)(CMPIPropertyMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                              const CMPIObjectPath* op, const char* name);
    CMPIStatus (*setPropertyWithOrigin)(CMPIPropertyMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                        const CMPIObjectPath* op, const char* name, const CMPIData data,
                                        const char* origin);
};

struct _CMPIIndicationMI {
    const void* hdl;
    const CMPIIndicationMIFT* ft;
};

/* Subscription life cycle: `filter` is the subscription's compiled query,
 * `className` the class of its FROM clause, `classPath` that class (only
 * the namespace for process indications). */
struct _CMPIIndicationMIFT {
    CMPIVersion ftVersion;
    CMPIVersion miVersion;
    const char* miName;

    CMPIStatus (*cleanup)(CMPIIndicationMI* mi, const CMPIContext* ctx, CMPIBoolean terminating);
    /* May a subscription with this filter, owned by `owner`, be created? */
    CMPIStatus (*authorizeFilter)(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* filter,
                                  const char* className, const CMPIObjectPath* classPath, const char* owner);
    /* OK asks the broker to poll the class's instances instead of the MI
     * delivering indications itself. */
    CMPIStatus (*mustPoll)(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* filter,
                           const char* className, const CMPIObjectPath* classPath);
    /* A subscription with this filter became active; `firstActivation` is
     * true for the first one on `className`. */
    CMPIStatus (*activateFilter)(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* filter,
                                 const char* className, const CMPIObjectPath* classPath,
                                 CMPIBoolean firstActivation);
    /* A subscription went away; `lastActivation` is true for the last one. */
    CMPIStatus (*deActivateFilter)(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* filter,
                                   const char* className, const CMPIObjectPath* classPath,
                                   CMPIBoolean lastActivation);
    /* The broker is ready to take indications from now on. */
    CMPIStatus (*enableIndications)(CMPIIndicationMI* mi, const CMPIContext* ctx);
    /* The broker takes no indications until enabled again. */
    CMPIStatus (*disableIndications)(CMPIIndicationMI* mi, const CMPIContext* ctx);

    /* CMPI 2.1 appends authorizeFilterCollection, activateFilterCollection
     * and deActivateFilterCollection; not declared. */
};

#ifdef __cplusplus
}
#endif
