/* sync_classify: one synchronous run of a model with libqobl.
 *   usage: sync_classify MODEL_DIR     (e.g. build/models/classifier, or build/models/pair: two inputs)
 * Loads the model, builds the pipeline input op -> run-model op (-> memory-copy op when the model stores an
 * output in a core layout), runs the sample input once with qoblRunStream and exits non-zero unless every
 * output equals its part of expected_output.bin.  sample_input.bin holds the model's inputs one after the
 * other in input order (float32), expected_output.bin its outputs in output order; each input gets its own
 * buffer in the input dataset, each output its own in the output dataset.  For a model with one output the
 * predicted class (the largest value) is printed, with every score when there are at most 32. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qobl_api.h"

#define MAX_TENSORS 8

/* Reads a whole file into a malloc'ed buffer (the caller frees it); NULL on failure. */
static uint8_t* read_file(const char* dir, const char* name, size_t* size) {
  char path[1024];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* f = fopen(path, "rb");
  if (f == NULL) return NULL;
  fseek(f, 0, SEEK_END);
  long n = ftell(f);
  fseek(f, 0, SEEK_SET);
  uint8_t* data = n > 0 ? malloc((size_t)n) : NULL;
  if (data != NULL && fread(data, 1, (size_t)n, f) != (size_t)n) {
    free(data);
    data = NULL;
  }
  fclose(f);
  *size = data != NULL ? (size_t)n : 0;
  return data;
}

/* Every failing call jumps to the teardown at the end of classify(), which releases whatever was made up
   to that point: the pattern to copy, as a program that keeps running must not lose card memory or
   library objects on an error. */
#define CHECK(call)                                                                \
  do {                                                                             \
    uint32_t rc_ = (uint32_t)(call);                                               \
    if (rc_ != 0) {                                                                \
      fprintf(stderr, "%s failed: %u\n", #call, rc_);                              \
      goto teardown;                                                               \
    }                                                                              \
  } while (0)

/* Bytes of one float32 tensor of the given shape. */
static uint64_t float_bytes(const qobmShape* shape) {
  uint64_t n = 4;
  for (uint32_t d = 0; d < shape->ndims; ++d) n *= (uint64_t)shape->shapes[d];
  return n;
}

/* Releases an output dataset from qoblRequestOutputDataset: the card memory of each buffer, the buffers,
   then the dataset itself. */
static void release_output_dataset(qobmDataset* ds) {
  uint32_t count = 0;
  if (qobmGetDatasetBufferCount(ds, &count) == 0) {
    for (uint32_t o = 0; o < count; ++o) {
      qobmDataBuffer* buf = NULL;
      uint64_t addr = 0;
      if (qobmGetDatasetBuffer(ds, o, &buf) != 0) continue;
      if (qobmGetDataBufferAddr(buf, &addr) == 0) qobmFree(addr);
      qobmDestroyDataBuffer(buf);
    }
  }
  qobmDestroyDataset(ds);
}

static int classify(const char* dir) {
  /* Everything the run takes, released at teardown in the reverse order of making. */
  int status = 1;
  uint8_t *input = NULL, *expected = NULL, *results = NULL;
  qoblModel* model = NULL;
  qoblOpGraph* graph = NULL;
  qobeOp *input_op = NULL, *model_op = NULL, *copy_op = NULL;
  qoblStream* stream = NULL;
  qobmDataset *in_ds = NULL, *out_ds = NULL;
  uint64_t in_addr[MAX_TENSORS];
  qobmDataBuffer* in_buf[MAX_TENSORS] = {NULL};
  uint32_t in_blocks = 0; /* in_addr[0 .. in_blocks) hold card memory */

  char lib[1024], graph_json[1024], params[1024], hw[1024];
  snprintf(lib, sizeof lib, "%s/model.so", dir);
  snprintf(graph_json, sizeof graph_json, "%s/graph.json", dir);
  snprintf(params, sizeof params, "%s/params.bin", dir);
  snprintf(hw, sizeof hw, "%s/hw.json", dir);
  size_t in_size = 0, exp_size = 0;
  input = read_file(dir, "sample_input.bin", &in_size);
  expected = read_file(dir, "expected_output.bin", &exp_size);
  if (input == NULL || expected == NULL) {
    fprintf(stderr, "cannot read the samples in %s\n", dir);
    goto teardown;
  }

  /* The model, loaded on device 0 with batch size 1. */
  uint32_t batch = 1;
  CHECK(qobmSetDevice(0));
  CHECK(qoblCreateModel(lib, graph_json, params, hw, &model));
  CHECK(qoblSetModelBatchSize(model, &batch));

  /* The model's inputs and outputs: where each starts in the sample files and how large it is. */
  uint32_t inputs = 0, outputs = 0;
  uint64_t in_bytes[MAX_TENSORS], out_bytes[MAX_TENSORS], in_total = 0, out_total = 0;
  int core_layout = 0;
  CHECK(qoblGetModelInputCount(model, &inputs));
  CHECK(qoblGetModelOutputCount(model, &outputs));
  if (inputs == 0 || inputs > MAX_TENSORS || outputs == 0 || outputs > MAX_TENSORS) {
    fprintf(stderr, "%u input(s) and %u output(s): this sample handles 1 to %d of each\n", inputs, outputs,
            MAX_TENSORS);
    goto teardown;
  }
  for (uint32_t i = 0; i < inputs; ++i) {
    qobmShape shape;
    CHECK(qoblGetModelInputShapeByIndex(model, (int32_t)i, &shape));
    in_bytes[i] = float_bytes(&shape);
    in_total += in_bytes[i];
  }
  for (uint32_t o = 0; o < outputs; ++o) {
    uint64_t aligned = 0;
    CHECK(qoblGetModelOutputSizeByIndex(model, (int32_t)o, &out_bytes[o]));
    CHECK(qoblGetModelAlignOutputSizeByIndex(model, (int32_t)o, &aligned));
    out_total += out_bytes[o];
    if (aligned != out_bytes[o]) core_layout = 1;
  }
  if (in_total != in_size || out_total != exp_size) {
    fprintf(stderr, "the samples do not fit the model: sample_input.bin has %zu bytes, its %u input(s) take %llu; "
            "expected_output.bin has %zu bytes, its %u output(s) take %llu\n", in_size, inputs,
            (unsigned long long)in_total, exp_size, outputs, (unsigned long long)out_total);
    goto teardown;
  }

  /* The graph: one input op taking all the model's inputs, feeding one run-model op (and a memory-copy op
     that turns a core layout into the plain tensors); then a stream made from it. */
  CHECK(qoblCreateOpGraph(&graph));
  CHECK(qoblCreateGraphInputOp(graph, inputs, &input_op));
  CHECK(qoblCreateRunModelOp(model, &model_op));
  CHECK(qoblConnectOps(input_op, model_op));
  if (core_layout) {
    CHECK(qobeCreateOp(qobeOP_MEM_COPY_OP, &copy_op));
    CHECK(qoblConnectOps(model_op, copy_op));
  }
  CHECK(qoblCreateOpStream(graph, qoblBM_ONCE, &stream));
  CHECK(qoblBuildStream(stream));

  /* The inputs in card memory, one block and one buffer each, in input order in one dataset; the output
     dataset comes from the stream. */
  qobmDeviceInfo dev = {qobmDE_QOBC, 0};
  CHECK(qobmCreateDataset(qobmDM_BUFFER, &in_ds));
  for (size_t i = 0, at = 0; i < inputs; at += (size_t)in_bytes[i], ++i) {
    CHECK(qobmMalloc(in_bytes[i], &in_addr[i]));
    in_blocks = (uint32_t)i + 1;
    CHECK(qobmMemcpy(in_addr[i], (uint64_t)(uintptr_t)(input + at), in_bytes[i], qobmMEMCPY_HOST_TO_DEVICE));
    CHECK(qobmCreateDataBuffer(dev, in_addr[i], in_bytes[i], &in_buf[i]));
    CHECK(qobmAddDatasetBuffer(in_ds, in_buf[i]));
  }
  CHECK(qoblRequestOutputDataset(stream, &out_ds));

  /* One synchronous run; then each output is copied back from the card and compared with its part of the
     expected outputs. */
  CHECK(qoblRunStream(stream, in_ds, out_ds, 10000));
  results = malloc(out_total);
  if (results == NULL) {
    fprintf(stderr, "out of memory\n");
    goto teardown;
  }
  int ok = 1;
  for (size_t o = 0, at = 0; o < outputs; at += (size_t)out_bytes[o], ++o) {
    qobmDataBuffer* out_buf = NULL;
    uint64_t out_addr = 0;
    CHECK(qobmGetDatasetBuffer(out_ds, (uint32_t)o, &out_buf));
    CHECK(qobmGetDataBufferAddr(out_buf, &out_addr));
    CHECK(qobmMemcpy((uint64_t)(uintptr_t)(results + at), out_addr, out_bytes[o], qobmMEMCPY_DEVICE_TO_HOST));
    const int same = memcmp(results + at, expected + at, out_bytes[o]) == 0;
    if (outputs > 1)
      printf("output %zu (%llu bytes): %s\n", o, (unsigned long long)out_bytes[o], same ? "as expected" : "DIFFERS");
    ok = ok && same;
  }
  if (outputs == 1) {
    const float* scores = (const float*)(void*)results;
    const size_t classes = out_total / sizeof(float);
    size_t best = 0;
    for (size_t i = 0; i < classes; ++i) {
      if (classes <= 32) printf("class %zu: %f\n", i, scores[i]);
      if (scores[i] > scores[best]) best = i;
    }
    printf("predicted class %zu; ", best);
  } else {
    printf("%u inputs, %u outputs; ", inputs, outputs);
  }
  printf("%s\n", ok ? "matches expected_output.bin" : "DIFFERS from expected_output.bin");
  status = ok ? 0 : 1;

teardown:
  /* The stream first: it uses the datasets, the graph and the model.  Should it refuse to go, they stay
     as they are (releasing what a stream still uses is worse than keeping it). */
  if (stream != NULL && qoblDestroyOpStream(stream) != 0) {
    fprintf(stderr, "qoblDestroyOpStream failed: the stream's datasets, graph and model are kept\n");
    free(results);
    free(input);
    free(expected);
    return 1;
  }
  if (out_ds != NULL) release_output_dataset(out_ds);
  for (uint32_t i = 0; i < MAX_TENSORS; ++i)
    if (in_buf[i] != NULL) qobmDestroyDataBuffer(in_buf[i]);
  for (uint32_t i = 0; i < in_blocks; ++i) qobmFree(in_addr[i]);
  if (in_ds != NULL) qobmDestroyDataset(in_ds);
  /* The graph's handle record is the caller's: free() it once the graph is destroyed.  The ops belong to
     the application too. */
  if (graph != NULL && qoblDestroyOpGraph(graph) == 0) free(graph);
  if (input_op != NULL) qobeDestroyOp(input_op);
  if (model_op != NULL) qobeDestroyOp(model_op);
  if (copy_op != NULL) qobeDestroyOp(copy_op);
  if (model != NULL && qoblDestroyModel(model) != 0) {
    fprintf(stderr, "qoblDestroyModel failed\n");
    status = 1;
  }
  free(results);
  free(input);
  free(expected);
  return status;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s MODEL_DIR\n", argv[0]);
    return 2;
  }
  return classify(argv[1]);
}
