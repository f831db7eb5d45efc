/* sync_classify: one synchronous classification with libqobl.
 *   usage: sync_classify MODEL_DIR     (e.g. build/models/classifier)
 * Loads the model, builds the pipeline input op -> run-model op, runs the sample input once with
 * qoblRunStream, prints the scores and exits non-zero unless they equal expected_output.bin. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qobl_api.h"

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
    return 1;
  }

  /* The model, loaded on device 0 with batch size 1. */
  qoblModel* model = NULL;
  uint32_t batch = 1;
  CHECK(qobmSetDevice(0));
  CHECK(qoblCreateModel(lib, graph_json, params, hw, &model));
  CHECK(qoblSetModelBatchSize(model, &batch));

  /* The graph: one input op feeding one run-model op; then a stream made from it. */
  qoblOpGraph* graph = NULL;
  qobeOp *input_op = NULL, *model_op = NULL;
  qoblStream* stream = NULL;
  CHECK(qoblCreateOpGraph(&graph));
  CHECK(qoblCreateGraphInputOp(graph, 1, &input_op));
  CHECK(qoblCreateRunModelOp(model, &model_op));
  CHECK(qoblConnectOps(input_op, model_op));
  CHECK(qoblCreateOpStream(graph, qoblBM_ONCE, &stream));
  CHECK(qoblBuildStream(stream));

  /* The input in card memory, wrapped in a dataset; the output dataset comes from the stream. */
  uint64_t in_addr = 0;
  qobmDataset *in_ds = NULL, *out_ds = NULL;
  qobmDataBuffer* in_buf = NULL;
  qobmDeviceInfo dev = {qobmDE_QOBC, 0};
  CHECK(qobmMalloc(in_size, &in_addr));
  CHECK(qobmMemcpy(in_addr, (uint64_t)(uintptr_t)input, in_size, 0));
  CHECK(qobmCreateDataset(qobmDM_BUFFER, &in_ds));
  CHECK(qobmCreateDataBuffer(dev, in_addr, in_size, &in_buf));
  CHECK(qobmAddDatasetBuffer(in_ds, in_buf));
  CHECK(qoblRequestOutputDataset(stream, &out_ds));

  /* One synchronous run; then the scores are copied back from the card. */
  CHECK(qoblRunStream(stream, in_ds, out_ds, 10000));
  qobmDataBuffer* out_buf = NULL;
  uint64_t out_addr = 0;
  float* scores = malloc(exp_size);
  CHECK(qobmGetDatasetBuffer(out_ds, 0, &out_buf));
  CHECK(qobmGetDataBufferAddr(out_buf, &out_addr));
  CHECK(qobmMemcpy((uint64_t)(uintptr_t)scores, out_addr, exp_size, 1));
  size_t best = 0;
  for (size_t i = 0; i < exp_size / sizeof(float); ++i) {
    printf("class %zu: %f\n", i, scores[i]);
    if (scores[i] > scores[best]) best = i;
  }
  const int ok = memcmp(scores, expected, exp_size) == 0;
  printf("predicted class %zu; %s\n", best, ok ? "matches expected_output.bin" : "DIFFERS from expected_output.bin");

  /* Teardown: stream, datasets and their card memory, graph, ops, model. */
  CHECK(qoblDestroyOpStream(stream));
  qobmFree(out_addr);
  qobmDestroyDataBuffer(out_buf);
  qobmDestroyDataset(out_ds);
  qobmDestroyDataBuffer(in_buf);
  qobmDestroyDataset(in_ds);
  qobmFree(in_addr);
  CHECK(qoblDestroyOpGraph(graph));
  free(graph);
  qobeDestroyOp(input_op);
  qobeDestroyOp(model_op);
  CHECK(qoblDestroyModel(model));
  free(scores);
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
