/*
 * qobcrt_model.h - how the card graph runtime hands a loaded model node to the card.
 *
 * The graph runtime (libtvm_runtime) registers one node per selected module node ("set_batch_size") and
 * unregisters it when the module node is freed.  The run engine executes run-model ops through the node.
 * qobcrt copies the descriptor and its arrays; `self` stays owned by the graph runtime and must stay valid
 * until qobcrt_unregister_model returns (unregistering waits for runs that are executing the node).
 */
#ifndef QOBCRT_QOBCRT_MODEL_H
#define QOBCRT_QOBCRT_MODEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QOBCRT_MODEL_MAX_IO 16

typedef struct qobcrt_model_desc {
  const char* name;            /* module node name, also the name for qobcrt_model_addr / get_vdsp_ops */
  uint32_t batch_size;         /* batch positions per loop */
  uint32_t num_inputs;         /* inputs per batch item */
  uint32_t num_outputs;        /* outputs per batch item */
  uint64_t input_bytes[QOBCRT_MODEL_MAX_IO];        /* bytes of each input of one batch item */
  uint64_t output_bytes[QOBCRT_MODEL_MAX_IO];       /* real (plain) bytes of each output */
  uint64_t align_output_bytes[QOBCRT_MODEL_MAX_IO]; /* bytes each output occupies in its core layout
                                                       (0: same as output_bytes; never less) */
  const void* vdsp_ops;        /* pre-process op records back to back (copied), may be null */
  uint64_t vdsp_ops_size;      /* bytes at vdsp_ops */
  uint32_t vdsp_ops_num;       /* number of records */
  /* Runs one batch item: inputs[i] holds input_bytes[i] bytes, outputs[o] receives align_output_bytes[o]
     bytes in the core layout.  Returns 0 or a non-zero code, with a text in err (err_size bytes).
     Calling convention: called on the device's engine thread, one call per (loop, batch position) of a
     run-model op, in order, never concurrently for one device (different devices may call the same node
     at once if it is registered on both).  inputs and outputs point straight into card memory (host
     memory, no particular alignment) and are valid only during the call; the function must not keep
     them, must not call qobcrt_run_stream_sync or qobcrt_unregister_model.  A non-zero result makes the
     op fail with rtErrKernel and ends the run; err is kept for qobcrt_sim_last_error. */
  int (*run)(void* self, const void* const* inputs, void* const* outputs, char* err, size_t err_size);
  void* self;
} qobcrt_model_desc;

/* Checks the descriptor (name, run, batch_size >= 1, counts <= QOBCRT_MODEL_MAX_IO, vdsp_ops_num records
   of which each `len` (u32 at offset 4) is at least 24 and which fill vdsp_ops_size exactly) and returns
   the node's device address (non-zero, 64-byte aligned, below the stream memory window). */
int qobcrt_register_model(uint32_t dev, const qobcrt_model_desc* desc, uint64_t* addr);
/* Removes the node.  Runs that reach it from now on fail with rtErrModel; waits for a run executing it.
   Called on a device's engine thread (from a model's run function) it returns rtErrOthers and changes
   nothing. */
int qobcrt_unregister_model(uint32_t dev, uint64_t addr);

#ifdef __cplusplus
}
#endif
#endif /* QOBCRT_QOBCRT_MODEL_H */
