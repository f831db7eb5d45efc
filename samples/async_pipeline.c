/* async_pipeline: an asynchronous pipeline with a report callback.
 *   usage: async_pipeline MODEL_DIR     (build/models/classifier or build/models/segmenter)
 * Builds input op -> run-model op (-> memory-copy op when the model stores its outputs in a core layout),
 * runs RUNS (8) inputs with qoblRunStreamAsync at the model's largest batch size, checks every output in the
 * callback and waits with qoblSynchronizeStream.  Exits non-zero unless every output is as expected. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qobl_api.h"

#define RUNS 8
#define CHECK(call)                                            \
  do {                                                         \
    uint32_t rc_ = (uint32_t)(call);                           \
    if (rc_ != 0 && rc_ != qoblERR_RUN_PENDING) {              \
      fprintf(stderr, "%s failed: %u\n", #call, rc_);          \
      return 1;                                                \
    }                                                          \
  } while (0)

struct results {            /* shared with the callback, which runs on the card's reporting thread */
  pthread_mutex_t lock;
  const uint8_t* expected;
  size_t size;
  int good, bad;
};

static uint8_t* read_file(const char* dir, const char* name, size_t* size) {
  char path[1024];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* f = fopen(path, "rb");
  uint8_t* data = NULL;
  long n = -1;
  if (f != NULL && fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) > 0 && fseek(f, 0, SEEK_SET) == 0) {
    data = malloc((size_t)n);
    if (data != NULL && fread(data, 1, (size_t)n, f) != (size_t)n) free(data), data = NULL;
  }
  if (f != NULL) fclose(f);
  *size = data != NULL ? (size_t)n : 0;
  return data;
}

/* Called once per input for every reported op; the output dataset is valid during the call only. */
static void on_report(qobeOp* op, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* status, void* ctx) {
  struct results* r = ctx;
  qobmDataBuffer* buf = NULL;
  uint64_t addr = 0;
  uint8_t* host = malloc(r->size);
  int ok = status->errorCode == 0 && qobmGetDatasetBuffer(output, 0, &buf) == 0 &&
           qobmGetDataBufferAddr(buf, &addr) == 0 && qobmMemcpy((uint64_t)(uintptr_t)host, addr, r->size, 1) == 0 &&
           memcmp(host, r->expected, r->size) == 0;
  (void)op;
  (void)input;
  free(host);
  pthread_mutex_lock(&r->lock);
  if (status->isStreamEnd || status->errorCode != 0) ok ? ++r->good : ++r->bad;
  pthread_mutex_unlock(&r->lock);
}

static int run(const char* dir) {
  char files[4][1024];
  const char* names[4] = {"model.so", "graph.json", "params.bin", "hw.json"};
  for (int i = 0; i < 4; ++i) snprintf(files[i], sizeof files[i], "%s/%s", dir, names[i]);
  size_t in_size = 0;
  struct results r = {PTHREAD_MUTEX_INITIALIZER, NULL, 0, 0, 0};
  uint8_t* input = read_file(dir, "sample_input.bin", &in_size);
  uint8_t* expected = read_file(dir, "expected_output.bin", &r.size);
  r.expected = expected;
  if (input == NULL || expected == NULL) return fprintf(stderr, "cannot read the samples in %s\n", dir), 1;

  qoblModel* model = NULL;
  uint32_t batch = 0, outputs = 0;
  uint64_t plain = 0, aligned = 0;
  CHECK(qobmSetDevice(0));
  CHECK(qoblCreateModel(files[0], files[1], files[2], files[3], &model));
  CHECK(qoblGetModelMaxBatchSize(model, &batch));
  CHECK(qoblSetModelBatchSize(model, &batch));
  CHECK(qoblGetModelOutputCount(model, &outputs));
  CHECK(qoblGetModelOutputSizeByIndex(model, 0, &plain));
  CHECK(qoblGetModelAlignOutputSizeByIndex(model, 0, &aligned));

  qoblOpGraph* graph = NULL;
  qobeOp *ops[3] = {NULL, NULL, NULL};
  qoblStream* stream = NULL;
  uint32_t cache = 0;
  CHECK(qoblCreateOpGraph(&graph));
  CHECK(qoblCreateGraphInputOp(graph, 1, &ops[0]));
  CHECK(qoblCreateRunModelOp(model, &ops[1]));
  CHECK(qoblConnectOps(ops[0], ops[1]));
  if (aligned != plain) { /* the memory-copy op turns the card's core layout into the plain tensor */
    CHECK(qobeCreateOp(qobeOP_MEM_COPY_OP, &ops[2]));
    CHECK(qoblConnectOps(ops[1], ops[2]));
  }
  CHECK(qoblCreateOpStream(graph, qoblBM_ONCE, &stream));
  CHECK(qoblSubscribeStreamReport(stream, on_report, &r));
  CHECK(qoblBuildStream(stream));
  CHECK(qoblGetStreamCacheNumber(stream, &cache));
  printf("%u output(s), batch %u: one device run gathers %u inputs\n", outputs, batch, cache);

  /* One input block in card memory; every run gets its own input dataset and output dataset. */
  uint64_t in_addr = 0;
  qobmDataset *in_ds[RUNS], *out_ds[RUNS];
  qobmDataBuffer* in_buf[RUNS];
  qobmDeviceInfo dev = {qobmDE_QOBC, 0};
  CHECK(qobmMalloc(in_size, &in_addr));
  CHECK(qobmMemcpy(in_addr, (uint64_t)(uintptr_t)input, in_size, 0));
  for (int i = 0; i < RUNS; ++i) {
    CHECK(qobmCreateDataset(qobmDM_BUFFER, &in_ds[i]));
    CHECK(qobmCreateDataBuffer(dev, in_addr, in_size, &in_buf[i]));
    CHECK(qobmAddDatasetBuffer(in_ds[i], in_buf[i]));
    CHECK(qoblRequestOutputDataset(stream, &out_ds[i]));
  }
  for (int i = 0; i < RUNS; ++i) CHECK(qoblRunStreamAsync(stream, in_ds[i], out_ds[i])); /* 301041: gathered */
  CHECK(qoblSynchronizeStream(stream, 10000));
  printf("%d of %d outputs as expected, %d wrong\n", r.good, RUNS, r.bad);

  CHECK(qoblDestroyOpStream(stream));
  for (int i = 0; i < RUNS; ++i) {
    qobmDataBuffer* buf = NULL;
    uint64_t addr = 0;
    qobmGetDatasetBuffer(out_ds[i], 0, &buf);
    qobmGetDataBufferAddr(buf, &addr);
    qobmFree(addr);
    qobmDestroyDataBuffer(buf);
    qobmDestroyDataset(out_ds[i]);
    qobmDestroyDataBuffer(in_buf[i]);
    qobmDestroyDataset(in_ds[i]);
  }
  qobmFree(in_addr);
  CHECK(qoblDestroyOpGraph(graph));
  free(graph);
  for (int i = 0; i < 3; ++i)
    if (ops[i] != NULL) qobeDestroyOp(ops[i]);
  CHECK(qoblDestroyModel(model));
  free(input);
  free(expected);
  return r.good == RUNS && r.bad == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc != 2) return fprintf(stderr, "usage: %s MODEL_DIR\n", argv[0]), 2;
  return run(argv[1]);
}
