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
  uint64_t align_output_bytes[QOBCRT_MODEL_MAX_IO]; /* bytes each output occupies in its core layout */
  const void* vdsp_ops;        /* pre-process op records back to back (copied), may be null */
  uint64_t vdsp_ops_size;      /* bytes at vdsp_ops */
  uint32_t vdsp_ops_num;       /* number of records */
  /* Runs one batch item: inputs[i] holds input_bytes[i] bytes, outputs[o] receives align_output_bytes[o]
     bytes in the core layout.  Returns 0 or a non-zero code, with a text in err (err_size bytes). */
  int (*run)(void* self, const void* const* inputs, void* const* outputs, char* err, size_t err_size);
  void* self;
} qobcrt_model_desc;

int qobcrt_register_model(uint32_t dev, const qobcrt_model_desc* desc, uint64_t* addr);
int qobcrt_unregister_model(uint32_t dev, uint64_t addr);

#ifdef __cplusplus
}
#endif
#endif /* QOBCRT_QOBCRT_MODEL_H */
