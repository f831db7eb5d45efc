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

#define CHECK(call)                                                                \
  do {                                                                             \
    uint32_t rc_ = (uint32_t)(call);                                               \
    if (rc_ != 0) {                                                                \
      fprintf(stderr, "%s failed: %u\n", #call, rc_);                              \
      return 1;                                                                    \
    }                                                                              \
  } while (0)

/* Bytes of one float32 tensor of the given shape. */
static uint64_t float_bytes(const qobmShape* shape) {
  uint64_t n = 4;
  for (uint32_t d = 0; d < shape->ndims; ++d) n *= (uint64_t)shape->shapes[d];
  return n;
}

static int classify(const char* dir) {
  char lib[1024], graph_json[1024], params[1024], hw[1024];
  snprintf(lib, sizeof lib, "%s/model.so", dir);
  snprintf(graph_json, sizeof graph_json, "%s/graph.json", dir);
  snprintf(params, sizeof params, "%s/params.bin", dir);
  snprintf(hw, sizeof hw, "%s/hw.json", dir);
  size_t in_size = 0, exp_size = 0;
  uint8_t* input = read_file(dir, "sample_input.bin", &in_size);
  uint8_t* expected = read_file(dir, "expected_output.bin", &exp_size);
  if (input == NULL || expected == NULL) {
    fprintf(stderr, "cannot read the samples in %s\n", dir);
    free(input);
    free(expected);
    return 1;
  }

  /* The model, loaded on device 0 with batch size 1. */
  qoblModel* model = NULL;
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
    qoblDestroyModel(model);
    free(input);
    free(expected);
    return 1;
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
    qoblDestroyModel(model);
    free(input);
    free(expected);
    return 1;
  }

  /* The graph: one input op taking all the model's inputs, feeding one run-model op (and a memory-copy op
     that turns a core layout into the plain tensors); then a stream made from it. */
  qoblOpGraph* graph = NULL;
  qobeOp *input_op = NULL, *model_op = NULL, *copy_op = NULL;
  qoblStream* stream = NULL;
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
  uint64_t in_addr[MAX_TENSORS];
  qobmDataBuffer* in_buf[MAX_TENSORS];
  qobmDataset *in_ds = NULL, *out_ds = NULL;
  qobmDeviceInfo dev = {qobmDE_QOBC, 0};
  CHECK(qobmCreateDataset(qobmDM_BUFFER, &in_ds));
  for (size_t i = 0, at = 0; i < inputs; at += (size_t)in_bytes[i], ++i) {
    CHECK(qobmMalloc(in_bytes[i], &in_addr[i]));
    CHECK(qobmMemcpy(in_addr[i], (uint64_t)(uintptr_t)(input + at), in_bytes[i], qobmMEMCPY_HOST_TO_DEVICE));
    CHECK(qobmCreateDataBuffer(dev, in_addr[i], in_bytes[i], &in_buf[i]));
    CHECK(qobmAddDatasetBuffer(in_ds, in_buf[i]));
  }
  CHECK(qoblRequestOutputDataset(stream, &out_ds));

  /* One synchronous run; then each output is copied back from the card and compared with its part of the
     expected outputs. */
  CHECK(qoblRunStream(stream, in_ds, out_ds, 10000));
  uint8_t* results = malloc(out_total);
  int ok = results != NULL;
  for (size_t o = 0, at = 0; results != NULL && o < outputs; at += (size_t)out_bytes[o], ++o) {
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
  if (outputs == 1 && results != NULL) {
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

  /* Teardown: stream, datasets and their card memory, graph, ops, model. */
  CHECK(qoblDestroyOpStream(stream));
  for (uint32_t o = 0; o < outputs; ++o) {
    qobmDataBuffer* out_buf = NULL;
    uint64_t out_addr = 0;
    CHECK(qobmGetDatasetBuffer(out_ds, o, &out_buf));
    CHECK(qobmGetDataBufferAddr(out_buf, &out_addr));
    qobmFree(out_addr);
    qobmDestroyDataBuffer(out_buf);
  }
  qobmDestroyDataset(out_ds);
  for (uint32_t i = 0; i < inputs; ++i) {
    qobmDestroyDataBuffer(in_buf[i]);
    qobmFree(in_addr[i]);
  }
  qobmDestroyDataset(in_ds);
  CHECK(qoblDestroyOpGraph(graph));
  free(graph);
  qobeDestroyOp(input_op);
  qobeDestroyOp(model_op);
  if (copy_op != NULL) qobeDestroyOp(copy_op);
  CHECK(qoblDestroyModel(model));
  free(results);
  free(input);
  free(expected);
  return ok ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s MODEL_DIR\n", argv[0]);
    return 2;
  }
  return classify(argv[1]);
}
