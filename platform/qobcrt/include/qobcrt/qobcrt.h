/*
 * qobcrt.h - the card's device runtime: device memory, streams, runs, completion reports, loaded models.
 *
 * Every call returns 0 (rtSuccess) or a runtime code in 500000..500124 and never crashes on bad input: a
 * failing call changes nothing.  Device addresses are non-zero, below 2^32, and their range tells the
 * memory kind.  Addresses and sizes are 64-bit.
 *
 * Ownership: a block from qobcrt_malloc_X is freed with qobcrt_free_X of the same kind on the same device.
 * A block freed while a run still reads or writes it stays valid until the card is done with that run.
 * The record block returned by qobcrt_get_vdsp_ops (multi_dsp_ops.ops) is a malloc() block owned by the
 * caller, who releases it with free().
 */
#ifndef QOBCRT_QOBCRT_H
#define QOBCRT_QOBCRT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- runtime codes ---- */
enum {
  rtSuccess = 0,
  rtReady = 1,
  rtErrMalloc = 500000,          /* device memory exhausted */
  rtErrInvalidDevice = 500001,   /* device index out of range */
  rtErrInvalidParam = 500002,    /* null pointer, zero size, bad flag or direction */
  rtErrInvalidAddr = 500003,     /* address not a live block of the expected kind */
  rtErrDoubleFree = 500004,      /* block already freed */
  rtErrOutOfBounds = 500005,     /* copy beyond the end of a block */
  rtErrStreamId = 500006,        /* stream id unknown or already registered */
  rtErrRunRecord = 500007,       /* malformed run: bad op record, argument array or block */
  rtErrModel = 500008,           /* no loaded model of that name or address */
  rtErrTimeout = 500009,         /* synchronous run did not finish in time */
  rtErrKernel = 500010,          /* a model kernel or op reported failure */
  rtErrNotRegistered = 500011,   /* completion function not installed for the device */
  rtErrInjected = 500100,        /* default code of an injected fault */
  rtErrOthers = 500124
};

enum { kHost2Ddr = 0, kDdr2Host = 1, kDdr2Ddr = 2 };

/* ---- records exchanged with the runtime (little-endian, packed exactly) ---- */
#pragma pack(push, 1)
typedef struct create_stream {
  uint32_t stream_id;          /* 0 */
  uint32_t vdsp_balance_mode;  /* 4 */
  uint32_t reserved;           /* 8, not read */
} create_stream;               /* 12 bytes */

typedef struct run_stream {
  uint32_t dev;                /* 0 */
  uint32_t pid;                /* 4, 0 */
  uint32_t stream_id;          /* 8 */
  uint32_t data_id;            /* 12, the run's dataset id */
  uint32_t stream_addr;        /* 16, low 32 bits of the run's stream-memory address */
  uint32_t reserved[3];        /* 20..31 */
} run_stream;                  /* 32 bytes */

typedef struct get_desc {
  uint32_t dev;                /* 0 */
  uint32_t pid;                /* 4 */
  uint32_t stream_id;          /* 8 */
  uint32_t data_id;            /* 12 */
  uint32_t stream_addr;        /* 16 */
  uint32_t context_id;         /* 20, uid of the reported op record as stored */
  uint32_t error_code;         /* 24 */
  uint32_t reserved;           /* 28 */
} get_desc;                    /* 32 bytes */

/* Completion function: called on the device's reporter thread with the device index, the report and the
   func_arg given at registration.  The get_desc is valid only during the call. */
typedef void (*qobcrt_get_output_fn)(uint32_t dev, get_desc* desc, void* func_arg);

typedef struct get_output_register {
  uint32_t dev_id;             /* 0 */
  uint32_t reserved;           /* 4 */
  void* func_arg;              /* 8 */
  qobcrt_get_output_fn func_get_output;  /* 16 */
} get_output_register;         /* 24 bytes */

typedef struct multi_dsp_ops {
  uint32_t num;                /* 0: number of pre-process op records */
  void* ops;                   /* 4: malloc() block of the records back to back; caller frees */
} multi_dsp_ops;               /* 12 bytes */
#pragma pack(pop)

/* ---- device memory (flag must be 0) ----
   Address windows: stream memory from 0x01000000, inout from 0x40000000, shared DDR from 0x80000000,
   application memory from 0xC0000000 (each below the next window); blocks are 64-byte aligned and hold
   zeros when allocated.  QOBCRT_MEMORY_MB (default 1024) bounds the bytes of all kinds on one device.
   A freed address is handed out again only late: for a block of up to 16 KiB, after at least 64 later
   frees of blocks of about its size (larger blocks sooner; blocks above 4 MiB give their range back to
   the window, handed out again next-fit).  Until then freeing it again returns rtErrDoubleFree, and
   copies to it and queries of it fail as for any address outside a live block; any other address that
   is not the start of a live block of that kind returns rtErrInvalidAddr.  Allocating, freeing, copying
   and queries take no lock shared by the whole device, and at steady state (blocks of sizes allocated
   before) no host heap memory. */
int qobcrt_get_device_count(uint32_t* count);                       /* QOBCRT_DEVICE_COUNT, default 1 */
/* total: the device's capacity; used: bytes of live blocks plus blocks freed while a run still uses them. */
int qobcrt_get_memory_info(uint32_t dev, uint64_t* total, uint64_t* used);
int qobcrt_malloc_stream(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr);
int qobcrt_free_stream(uint32_t dev, uint64_t addr);
int qobcrt_malloc_inout(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr);
int qobcrt_free_inout(uint32_t dev, uint64_t addr);
int qobcrt_malloc_ddr_share(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr);
int qobcrt_free_ddr_share(uint32_t dev, uint64_t addr);
int qobcrt_malloc_app(uint32_t dev, uint64_t size, uint64_t* addr);   /* backs qobmMalloc */
int qobcrt_free_app(uint32_t dev, uint64_t addr);
/* direction 0: host to device (the library's only use).  dst must lie inside one live block. */
int qobcrt_memcpy(uint32_t dev, const void* src, uint64_t size, uint64_t dst, uint32_t direction);
int qobcrt_memcpy_d2h(uint32_t dev, uint64_t src, uint64_t size, void* dst);
int qobcrt_memcpy_d2d(uint32_t dev, uint64_t src, uint64_t size, uint64_t dst);
/* Size of the live block that contains addr (0 when none, and base 0); kind out: 0 stream, 1 inout,
   2 ddr share, 3 app.  kind and base may be NULL; size may not. */
int qobcrt_query_block(uint32_t dev, uint64_t addr, uint32_t* kind, uint64_t* base, uint64_t* size);

/* The card's own threads (a device's engine and reporter threads) belong to that device: on them this
   returns 0 and stores the device index in dev.  On any other thread it returns rtErrInvalidDevice and
   leaves dev untouched.  qobmGetDevice consults it for a thread that never set a current device, so a
   completion function can copy outputs back with qobmMemcpy. */
int qobcrt_thread_device(uint32_t* dev);

/* ---- streams and runs ---- */
/* A stream id is registered once per device (again: rtErrStreamId) until destroyed.  Runs already queued
   for a destroyed stream still execute and report. */
int qobcrt_create_stream(uint32_t dev, create_stream* rec);
int qobcrt_destroy_stream(uint32_t dev, uint32_t stream_id);
/* Installs (or replaces) the device's completion function; rec->dev_id must equal dev. */
int qobcrt_get_output_register(uint32_t dev, get_output_register* rec);
/* Queues a run: rec->dev equal to dev, stream id registered, completion function installed
   (rtErrNotRegistered otherwise), stream_addr the start of a live stream block whose size is a multiple of
   64 (rtErrInvalidAddr / rtErrRunRecord).  The device's engine thread executes runs in submission order;
   its reporter thread calls the completion function for every op record with GET_OUTPUT_FLAG (0x10), for
   the end record, and for a failing op (non-zero error_code; the run ends there).  context_id is the uid
   as stored, end mark included; a run whose records end without an end mark is reported as failing with
   the uid of its last readable record.  Reports of one device arrive in order, one at a time. */
int qobcrt_run_stream(uint32_t dev, run_stream* rec);
/* Executes the run at stream_addr and waits up to timeout_ms (UINT32_MAX: no limit).  status receives the
   first failing op's error code (0 when every op succeeded).  Nothing is reported through the completion
   function.  On time-out (rtErrTimeout) status is untouched and the run still completes later; the memory
   it uses stays valid until then.  Must not be called from a model's run function. */
int qobcrt_run_stream_sync(uint32_t dev, uint64_t stream_addr, uint32_t timeout_ms, uint32_t* status);

/* ---- loaded models (registered through qobcrt_model.h) ----
   With several live nodes of one name on a device, the most recently registered one answers. */
int qobcrt_model_addr(uint32_t dev, const char* name, uint64_t* addr);   /* rtErrModel when none */
/* ops->num records; ops->ops a malloc() copy the caller frees with free(), NULL when num is 0. */
int qobcrt_get_vdsp_ops(uint32_t dev, const char* name, multi_dsp_ops* ops);
void QOBCRegisterDeviceAPI(void);                 /* registers the card's device interface with TVM */
int qobcrt_device_api_registered(void);           /* 1 once QOBCRegisterDeviceAPI ran */

#ifdef __cplusplus
}
#endif
#endif /* QOBCRT_QOBCRT_H */
