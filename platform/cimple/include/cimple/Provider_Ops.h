// Operation codes of Provider_Proc and the statuses that operations return.
#pragma once

namespace cimple {

// The arguments each operation takes are listed beside it (a0..a7).
enum Provider_Operation : int {
    OPERATION_GET_META_CLASS = 0,          // a0: const Meta_Class** out
    OPERATION_CREATE_PROVIDER = 1,         // a0: void** out, the new provider
    OPERATION_DESTROY_PROVIDER = 2,        // a0: provider
    OPERATION_LOAD = 3,                    // a0: provider
    OPERATION_UNLOAD = 4,                  // a0: provider
    OPERATION_GET_INSTANCE = 5,            // a0: provider, a1: keys, a2: Instance** out
    OPERATION_ENUM_INSTANCES = 6,          // a0: provider, a1: model, a2/a3: handler proc/data
    OPERATION_CREATE_INSTANCE = 7,         // a0: provider, a1: instance
    OPERATION_DELETE_INSTANCE = 8,         // a0: provider, a1: keys
    OPERATION_MODIFY_INSTANCE = 9,         // a0: provider, a1, a2: the two request instances
    OPERATION_INVOKE_METHOD = 10,          // a0: provider, a1: target keys, a2: method record
    OPERATION_ENABLE_INDICATIONS = 11,     // a0: provider, a1/a2: indication proc/data
    OPERATION_DISABLE_INDICATIONS = 12,    // a0: provider
    OPERATION_GET_REPOSITORY = 13,         // a0: const Meta_Repository** out
    OPERATION_ENUM_ASSOCIATOR_NAMES = 14,  // a0: provider, a1: source, a2: result class, a3: role,
                                           // a4: result role, a5/a6: handler proc/data; a null
                                           // source is an object of a class outside the schema
    OPERATION_ENUM_REFERENCES = 15,        // a0: provider, a1: source, a2: model, a3: role,
                                           // a4/a5: handler proc/data
    OPERATION_ENUM_ASSOCIATORS = 16,       // as OPERATION_ENUM_ASSOCIATOR_NAMES
};

// 0 is success for every operation; the others belong to one operation each.
enum Provider_Status : int {
    STATUS_OK = 0,

    LOAD_OK = 0,
    LOAD_FAILED = 30,

    UNLOAD_OK = 0,
    UNLOAD_FAILED = 40,

    GET_INSTANCE_OK = 0,
    GET_INSTANCE_NOT_FOUND = 60,
    GET_INSTANCE_UNSUPPORTED = 61,
    GET_INSTANCE_INVALID_PARAMETER = 62,
    GET_INSTANCE_ACCESS_DENIED = 63,
    GET_INSTANCE_FAILED = 64,

    ENUM_INSTANCES_OK = 0,
    ENUM_INSTANCES_FAILED = 70,
    ENUM_INSTANCES_ACCESS_DENIED = 71,

    CREATE_INSTANCE_OK = 0,
    CREATE_INSTANCE_UNSUPPORTED = 81,

    DELETE_INSTANCE_OK = 0,
    DELETE_INSTANCE_NOT_FOUND = 90,
    DELETE_INSTANCE_UNSUPPORTED = 91,
    DELETE_INSTANCE_ACCESS_DENIED = 92,
    DELETE_INSTANCE_FAILED = 93,

    MODIFY_INSTANCE_OK = 0,
    MODIFY_INSTANCE_NOT_FOUND = 100,
    MODIFY_INSTANCE_UNSUPPORTED = 101,
    MODIFY_INSTANCE_INVALID_PARAMETER = 102,
    MODIFY_INSTANCE_ACCESS_DENIED = 103,
    MODIFY_INSTANCE_FAILED = 104,

    ENUM_ASSOCIATOR_NAMES_OK = 0,
    ENUM_ASSOCIATOR_NAMES_UNSUPPORTED = 111,

    ENUM_REFERENCES_OK = 0,
    ENUM_REFERENCES_UNSUPPORTED = 121,

    INVOKE_METHOD_OK = 0,
    INVOKE_METHOD_FAILED = 130,
    INVOKE_METHOD_UNSUPPORTED = 131,
    INVOKE_METHOD_ACCESS_DENIED = 132,

    ENABLE_INDICATIONS_OK = 0,
    ENABLE_INDICATIONS_FAILED = 140,

    DISABLE_INDICATIONS_OK = 0,
    DISABLE_INDICATIONS_FAILED = 150,

    ENUM_ASSOCIATORS_OK = 0,
    ENUM_ASSOCIATORS_UNSUPPORTED = 171,
};

}  // namespace cimple
