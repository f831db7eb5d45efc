/*
 * qobm.h - the card's dataset, event, device-context, error-text and logging library.
 *
 * Every call returns 0 on success and a non-zero code otherwise (codes below).  Calls never crash on a
 * null or foreign handle: they return QOBM_ERR_INVALID_PARAM (or QOBM_ERR_INVALID_HANDLE) and change
 * nothing.  Out-parameters are left untouched on failure.
 *
 * Ownership:
 *  - A dataset owns only its list of entries.  qobmDestroyDataset frees the container, never the buffers
 *    or tensors it holds; an entry may sit in several datasets at once (clones share entries).
 *  - A data buffer or tensor wraps memory it does not own; qobmDestroyDataBuffer / qobmDestroyTensor free
 *    the wrapper only.  The caller must not destroy an entry while a dataset that holds it is still used.
 *  - The library keeps the memory of destroyed datasets, buffers, tensors and events for later ones of
 *    their kind and hands an object's memory out again only after 16 later destroys of that kind, so that objects
 *    made and destroyed at a steady rate cost no heap allocation; a destroyed handle is refused
 *    (QOBM_ERR_INVALID_HANDLE) until then, and using it never touches freed memory.
 *  - Device memory from qobmMalloc is freed with qobmFree on the same device.
 *  - Events are freed with qobmDestroyEvent; no thread should wait on an event being destroyed (a wait that
 *    races the destroy ends with QOBM_ERR_INVALID_HANDLE).
 * Thread-safety: every call may be made from any thread; one dataset must not be modified by two threads
 * at once.
 */
#ifndef QOBM_QOBM_H
#define QOBM_QOBM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- result codes of this library (device-runtime codes 500000..500124 pass through as they are) ---- */
#define QOBM_SUCCESS 0
#define QOBM_ERR_INVALID_PARAM 100000   /* null pointer or out-of-range argument */
#define QOBM_ERR_INVALID_HANDLE 100001  /* a handle this library did not make, or already destroyed */
#define QOBM_ERR_BAD_ALLOC 100002       /* host memory exhausted */
#define QOBM_ERR_INDEX 100003           /* index beyond the dataset's entries */
#define QOBM_ERR_MODE 100004            /* buffer call on a tensor dataset or the reverse */
#define QOBM_ERR_NO_DEVICE 100005       /* the calling thread has no current device */
#define QOBM_ERR_DEVICE 100006          /* device index out of range */
#define QOBM_ERR_UNSUPPORTED 100007     /* value with no mapping (data type, ...) */
#define QOBM_ERR_EVENT_TIMEOUT 101033   /* qobmWaitEvent: time-out passed before the event was set */

typedef enum qobmDatasetMode { qobmDM_BUFFER = 0, qobmDM_TENSOR = 1 } qobmDatasetMode;
typedef enum qobmDeviceType { qobmDE_CPU = 1, qobmDE_QOBC = 14 } qobmDeviceType;
typedef enum qobmDType {
  qobmDT_UINT8 = 0, qobmDT_INT8 = 1, qobmDT_UINT16 = 2, qobmDT_INT16 = 3, qobmDT_UINT32 = 4,
  qobmDT_INT32 = 5, qobmDT_FLOAT16 = 6, qobmDT_FLOAT32 = 7, qobmDT_BFLOAT = 8, qobmDT_ANY = 99
} qobmDType;
typedef enum qobmBool { qobmFALSE = 0, qobmTRUE = 1 } qobmBool;
typedef enum qobmLogLevel {
  qobmLL_TRACE = 0, qobmLL_DEBUG = 1, qobmLL_INFO = 2, qobmLL_WARN = 3, qobmLL_ERROR = 4,
  qobmLL_ALARM = 5, qobmLL_FATAL = 6
} qobmLogLevel;
typedef enum qobmLogChannel {
  qobmLC_APP = 0, qobmLC_CM = 1, qobmLC_CE = 2, qobmLC_CL = 3, qobmLC_ME = 4, qobmLC_ML = 5,
  qobmLC_RT = 6, qobmLC_NN = 7, qobmLC_TM = 8
} qobmLogChannel;
enum { qobmMEMCPY_HOST_TO_DEVICE = 0, qobmMEMCPY_DEVICE_TO_HOST = 1, qobmMEMCPY_DEVICE_TO_DEVICE = 2 };

typedef struct qobmDeviceInfo { qobmDeviceType dev; uint32_t devIdx; } qobmDeviceInfo;  /* {type, index} */
typedef struct qobmShape { uint32_t ndims; int64_t shapes[6]; } qobmShape;
typedef struct qobmDLDataType { uint8_t code; uint8_t bits; uint16_t lanes; } qobmDLDataType;

typedef struct qobmDataset qobmDataset;
typedef struct qobmDataBuffer qobmDataBuffer;
typedef struct qobmTensor qobmTensor;
typedef struct qobmEvent qobmEvent;

/* ---- datasets ---- */
int qobmCreateDataset(qobmDatasetMode mode, qobmDataset** dataset);
int qobmDestroyDataset(qobmDataset* dataset);             /* the container only */
int qobmGetDatasetMode(qobmDataset* dataset, qobmDatasetMode* mode);
int qobmGetDatasetBufferCount(qobmDataset* dataset, uint32_t* count);
int qobmGetDatasetTensorCount(qobmDataset* dataset, uint32_t* count);
int qobmGetDatasetBuffer(qobmDataset* dataset, uint32_t index, qobmDataBuffer** buffer);
int qobmGetDatasetTensor(qobmDataset* dataset, uint32_t index, qobmTensor** tensor);
int qobmAddDatasetBuffer(qobmDataset* dataset, qobmDataBuffer* buffer);   /* shared, not copied */
int qobmAddDatasetTensor(qobmDataset* dataset, qobmTensor* tensor);       /* shared, not copied */

/* ---- data buffers: wrap existing memory (host or card) ---- */
int qobmCreateDataBuffer(qobmDeviceInfo dev, uint64_t addr, uint64_t size, qobmDataBuffer** buffer);
int qobmDestroyDataBuffer(qobmDataBuffer* buffer);
int qobmGetDataBufferAddr(qobmDataBuffer* buffer, uint64_t* addr);
int qobmGetDataBufferSize(qobmDataBuffer* buffer, uint64_t* size);
int qobmGetDataBufferDeviceInfo(qobmDataBuffer* buffer, qobmDeviceInfo* info);

/* ---- tensors: a buffer with a shape and an element type ---- */
int qobmCreateTensor(qobmDeviceInfo dev, uint64_t addr, uint64_t size, const qobmShape* shape, qobmDType dtype,
                     qobmTensor** tensor);
int qobmDestroyTensor(qobmTensor* tensor);
int qobmGetTensorDataHandle(qobmTensor* tensor, uint64_t* addr);
int qobmGetTensorSize(qobmTensor* tensor, uint64_t* size);
int qobmGetTensorShape(qobmTensor* tensor, qobmShape* shape);
int qobmGetTensorDataType(qobmTensor* tensor, qobmDType* dtype);
int qobmGetTensorDeviceInfo(qobmTensor* tensor, qobmDeviceInfo* info);

/* ---- current device and the card's application memory ---- */
int qobmSetDevice(uint32_t dev);
int qobmGetDevice(uint32_t* dev);                        /* non-zero when the thread never set one */
int qobmMalloc(uint64_t size, uint64_t* addr);           /* application memory on the current device */
int qobmFree(uint64_t addr);
int qobmMemcpy(uint64_t dst, uint64_t src, uint64_t size, uint32_t kind);
    /* kind: 0 host to device, 1 device to host, 2 device to device; host pointers cast to uint64_t */

/* ---- events (flag 1: a manual event; set wakes every waiter, a wait consumes the signal) ---- */
int qobmCreateEvent(uint32_t flag, qobmEvent** event);
int qobmSetEvent(qobmEvent* event);
int qobmWaitEvent(qobmEvent* event, uint32_t timeout_ms);    /* 0 when signalled, 101033 on time-out;
                                                                UINT32_MAX waits without limit */
int qobmDestroyEvent(qobmEvent* event);

/* ---- error texts and conversions ---- */
int qobmGetErrDesc(uint32_t code, char* text, uint32_t size);   /* always NUL-terminates when size > 0 */
int qobmNormalizeErrorCode(uint32_t rtCode, uint32_t* code);
int qobmFloat16ToFloat32(uint16_t half, float* out);
int qobmDLDataTypeToDataType(qobmDLDataType dl, qobmDType* dtype);

/* ---- logging ---- */
typedef void (*qobmLogSink)(uint32_t channel, uint32_t level, const char* function, const char* file,
                            uint32_t line, const char* text, void* user);   /* text is fully formatted */
int qobmSetLogSink(qobmLogSink sink, void* user);        /* NULL restores the stderr sink */
int qobmSetLogLevel(uint32_t level);                     /* lines below the level are dropped */
int qobmGetLogLevel(uint32_t* level);                    /* the threshold in force */
int qobmLogLevelEnabled(uint32_t channel, uint32_t level, qobmBool* enabled);
int qobmLogMessage(uint32_t channel, uint32_t level, const char* function, const char* file, uint32_t line,
                   const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 6, 7)))
#endif
    ;

/* qobmMalloc, qobmFree and qobmMemcpy act on the calling thread's current device. The card's reporter
   thread of device d has d as its current device, so report callbacks can copy outputs back.
   qobmSetLogLevel overrides QOBM_LOG_LEVEL (default WARN). The sink receives exactly the formatted message
   and the bare function name the caller gave. */

#ifdef __cplusplus
}
#endif
#endif /* QOBM_QOBM_H */
