/* The flat interface of OpcDAKrelta.dll, as the host sees it.
 * Every function returns a krelta2_status: 0 success, 1 failure, 2 invalid argument,
 * 4 caller's buffer too small (krelta2_stringCopy only). Handles are opaque. */
#ifndef KRELTA2_H
#define KRELTA2_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t krelta2_status;

typedef struct krelta2_connection_t* krelta2_connection;
typedef struct krelta2_node_t* krelta2_node;
typedef struct krelta2_tag_t* krelta2_tag;
typedef struct krelta2_string_t* krelta2_string;
typedef struct krelta2_vector_t* krelta2_vector;

enum {
  KRELTA2_OK = 0,
  KRELTA2_FAILED = 1,
  KRELTA2_INVALID_ARGUMENT = 2,
  KRELTA2_BUFFER_TOO_SMALL = 4
};

/* Slot kinds reported by krelta2_vectorGetType. */
enum { KRELTA2_KIND_NULL = 0, KRELTA2_KIND_TEXT = 1, KRELTA2_KIND_NUMBER = 2 };

#if defined(KRELTA2_BUILDING_DLL)
#define KRELTA2_API
#else
#define KRELTA2_API
#endif

/* The list of exports, expanded by the host's loader and by tests:
 * KRELTA2_EXPORT(name, return, (parameters)). */
#define KRELTA2_EXPORTS(X)                                                                         \
  X(krelta2_initialize, (void))                                                                    \
  X(krelta2_uninitialize, (void))                                                                  \
  X(krelta2_getIdentity, (krelta2_string * identity))                                              \
  X(krelta2_updateConfiguration, (const char* connectionString, krelta2_string* result))           \
  X(krelta2_connectionOpen, (const char* connectionString, krelta2_connection* connection))        \
  X(krelta2_connectionClose, (krelta2_connection connection))                                      \
  X(krelta2_connectionGetCurrentTime, (krelta2_connection connection, uint32_t * time))            \
  X(krelta2_connectionGetNumNodes, (krelta2_connection connection, uint32_t * count))              \
  X(krelta2_connectionGetNode, (krelta2_connection connection, uint32_t index, krelta2_node * node)) \
  X(krelta2_nodeGetName, (krelta2_node node, krelta2_string * name))                               \
  X(krelta2_nodeGetNumNodes, (krelta2_node node, uint32_t * count))                                \
  X(krelta2_nodeGetNode, (krelta2_node node, uint32_t index, krelta2_node * child))                \
  X(krelta2_nodeGetNumTags, (krelta2_node node, uint32_t * count))                                 \
  X(krelta2_nodeGetTag, (krelta2_node node, uint32_t index, krelta2_tag * tag))                    \
  X(krelta2_nodeGetActiveBatches,                                                                  \
    (krelta2_node node, int32_t startTime, int32_t endTime, krelta2_vector * batches))             \
  X(krelta2_nodeGetBatchTimes, (krelta2_node node, const char* batchId, int32_t time,              \
                                uint32_t* startTime, uint32_t* endTime))                           \
  X(krelta2_tagGetName, (krelta2_tag tag, krelta2_string * name))                                  \
  X(krelta2_tagGetUpdateTime, (krelta2_tag tag, uint32_t * time))                                  \
  X(krelta2_stringCreate, (const char* text, krelta2_string* string))                              \
  X(krelta2_stringCopy, (krelta2_string string, char* buffer, uint32_t* length))                   \
  X(krelta2_stringFree, (krelta2_string string))                                                   \
  X(krelta2_vectorCreate, (uint32_t length, krelta2_vector * vector))                              \
  X(krelta2_vectorFree, (krelta2_vector vector))                                                   \
  X(krelta2_vectorGetLength, (krelta2_vector vector, uint32_t * length))                           \
  X(krelta2_vectorGetType, (krelta2_vector vector, uint32_t index, uint32_t * kind))               \
  X(krelta2_vectorGetFloat, (krelta2_vector vector, uint32_t index, float* value))                 \
  X(krelta2_vectorGetString, (krelta2_vector vector, uint32_t index, krelta2_string * string))     \
  X(krelta2_vectorSetFloat, (krelta2_vector vector, uint32_t index, float value))                  \
  X(krelta2_vectorSetString, (krelta2_vector vector, uint32_t index, const char* text))            \
  X(krelta2_vectorSetNull, (krelta2_vector vector, uint32_t index))                                \
  X(krelta2_connectionReadCurrentData, (krelta2_connection connection, const krelta2_tag* tags,    \
                                        uint32_t count, krelta2_vector* values))                   \
  X(krelta2_connectionReadHistoricalData, (krelta2_connection connection, const krelta2_tag* tags, \
                                           uint32_t count, uint32_t time, krelta2_vector* values)) \
  X(krelta2_connectionReadHistoricalDataEx,                                                        \
    (krelta2_connection connection, const krelta2_tag* tags, uint32_t count, int32_t startTime,    \
     int32_t step, uint32_t steps, krelta2_vector* values))                                        \
  X(krelta2_connectionReadBatchData, (krelta2_connection connection, const krelta2_tag* tags,      \
                                      uint32_t count, const char* batchId, krelta2_vector* values)) \
  X(krelta2_connectionReadBatchDataEx,                                                             \
    (krelta2_connection connection, const krelta2_tag* tags, uint32_t count, const char* batchId,  \
     int32_t time, krelta2_vector* values))                                                        \
  X(krelta2_connectionWriteHistoricalData, (krelta2_connection connection,                         \
                                            const krelta2_tag* tags, uint32_t count, uint32_t time, \
                                            krelta2_vector values))                                \
  X(krelta2_connectionWriteHistoricalDataEx,                                                       \
    (krelta2_connection connection, const krelta2_tag* tags, uint32_t count, int32_t startTime,    \
     int32_t step, uint32_t steps, const krelta2_vector* values))                                  \
  X(krelta2_connectionWriteBatchData, (krelta2_connection connection, const krelta2_tag* tags,     \
                                       uint32_t count, const char* batchId, krelta2_vector values)) \
  X(krelta2_connectionWriteBatchDataEx,                                                            \
    (krelta2_connection connection, const krelta2_tag* tags, uint32_t count, const char* batchId,  \
     int32_t time, krelta2_vector values))

#define KRELTA2_DECLARE(name, params) KRELTA2_API krelta2_status name params;
KRELTA2_EXPORTS(KRELTA2_DECLARE)
#undef KRELTA2_DECLARE

/* Pointer types for hosts that load the library with LoadLibrary/GetProcAddress. */
#define KRELTA2_POINTER_TYPE(name, params) typedef krelta2_status(*name##_fn) params;
KRELTA2_EXPORTS(KRELTA2_POINTER_TYPE)
#undef KRELTA2_POINTER_TYPE

#ifdef __cplusplus
}
#endif

#endif
