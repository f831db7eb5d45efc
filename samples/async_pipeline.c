/* async_pipeline: an asynchronous pipeline with a report callback.
 *   usage: async_pipeline MODEL_DIR     (build/models/classifier, build/models/segmenter or build/models/pair)
 * Builds input op -> run-model op (-> memory-copy op when the model stores an output in a core layout),
 * runs RUNS (8) inputs with qoblRunStreamAsync at the model's largest batch size, checks every output in the
 * callback and waits with qoblSynchronizeStream.  Exits non-zero unless every output is as expected.
 * sample_input.bin holds the model's inputs one after the other in input order (float32), each of which
 * goes into its own buffer of an input dataset; expected_output.bin holds the outputs in output order. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qobl_api.h"

#define RUNS 8
#define MAX_TENSORS 8
/* Every failing call jumps to the teardown at the end of run(), which releases whatever was made up to
   that point: the pattern to copy, as a program that keeps running must not lose card memory or library
   objects on an error.  qoblERR_RUN_PENDING is not a failure: the input waits to be gathered into a
   device run with others. */
#define CHECK(call)                                            \
  do {                                                         \
    uint32_t rc_ = (uint32_t)(call);                           \
    if (rc_ != 0 && rc_ != qoblERR_RUN_PENDING) {              \
      fprintf(stderr, "%s failed: %u\n", #call, rc_);          \
      goto teardown;                                           \
    }                                                          \
  } while (0)

struct results {            /* shared with the callback, which runs on the card's reporting thread */
  pthread_mutex_t lock;
  const uint8_t* expected;  /* every output, one after the other */
  size_t size;              /* of expected */
  uint32_t outputs;
  uint64_t out_bytes[MAX_TENSORS];
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

/* Whether each output buffer of the dataset holds its part of the expected outputs. */
static int outputs_as_expected(struct results* r, qobmDataset* output) {
  uint32_t count = 0;
  if (output == NULL || qobmGetDatasetBufferCount(output, &count) != 0 || count != r->outputs) return 0;
  uint8_t* host = malloc(r->size);
  int ok = host != NULL;
  size_t at = 0;
  for (uint32_t o = 0; ok && o < r->outputs; at += (size_t)r->out_bytes[o], ++o) {
    qobmDataBuffer* buf = NULL;
    uint64_t addr = 0;
    ok = qobmGetDatasetBuffer(output, o, &buf) == 0 && qobmGetDataBufferAddr(buf, &addr) == 0 &&
         qobmMemcpy((uint64_t)(uintptr_t)(host + at), addr, r->out_bytes[o], qobmMEMCPY_DEVICE_TO_HOST) == 0 &&
         memcmp(host + at, r->expected + at, r->out_bytes[o]) == 0;
  }
  free(host);
  return ok;
}

/* Called once per input for every reported op; the output dataset is valid during the call only. */
static void on_report(qobeOp* op, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* status, void* ctx) {
  struct results* r = ctx;
  const int ok = status->errorCode == 0 && outputs_as_expected(r, output);
  (void)op;
  (void)input;
  pthread_mutex_lock(&r->lock);
  if (status->isStreamEnd || status->errorCode != 0) ok ? ++r->good : ++r->bad;
  pthread_mutex_unlock(&r->lock);
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

static int run(const char* dir) {
  /* Everything the runs take, released at teardown in the reverse order of making. */
  int status = 1;
  struct results r;
  memset(&r, 0, sizeof r);
  pthread_mutex_init(&r.lock, NULL);
  uint8_t *input = NULL, *expected = NULL;
  qoblModel* model = NULL;
  qoblOpGraph* graph = NULL;
  qobeOp* ops[3] = {NULL, NULL, NULL};
  qoblStream* stream = NULL;
  uint64_t in_addr[MAX_TENSORS];
  uint32_t in_blocks = 0; /* in_addr[0 .. in_blocks) hold card memory */
  qobmDataset *in_ds[RUNS] = {NULL}, *out_ds[RUNS] = {NULL};
  qobmDataBuffer* in_buf[RUNS][MAX_TENSORS];
  memset(in_buf, 0, sizeof in_buf);

  char files[4][1024];
  const char* names[4] = {"model.so", "graph.json", "params.bin", "hw.json"};
  for (int i = 0; i < 4; ++i) snprintf(files[i], sizeof files[i], "%s/%s", dir, names[i]);
  size_t in_size = 0;
  input = read_file(dir, "sample_input.bin", &in_size);
  expected = read_file(dir, "expected_output.bin", &r.size);
  r.expected = expected;
  if (input == NULL || expected == NULL) {
    fprintf(stderr, "cannot read the samples in %s\n", dir);
    goto teardown;
  }

  uint32_t batch = 0, inputs = 0;
  uint64_t in_bytes[MAX_TENSORS], in_total = 0, out_total = 0;
  int core_layout = 0;
  CHECK(qobmSetDevice(0));
  CHECK(qoblCreateModel(files[0], files[1], files[2], files[3], &model));
  CHECK(qoblGetModelMaxBatchSize(model, &batch));
  CHECK(qoblSetModelBatchSize(model, &batch));
  CHECK(qoblGetModelInputCount(model, &inputs));
  CHECK(qoblGetModelOutputCount(model, &r.outputs));
  if (inputs == 0 || inputs > MAX_TENSORS || r.outputs == 0 || r.outputs > MAX_TENSORS) {
    fprintf(stderr, "%u input(s), %u output(s): 1 to %d of each\n", inputs, r.outputs, MAX_TENSORS);
    goto teardown;
  }
  for (uint32_t i = 0; i < inputs; ++i) { /* the shapes of one item: float32 tensors */
    qobmShape shape;
    CHECK(qoblGetModelInputShapeByIndex(model, (int32_t)i, &shape));
    in_bytes[i] = 4;
    for (uint32_t d = 0; d < shape.ndims; ++d) in_bytes[i] *= (uint64_t)shape.shapes[d];
    in_total += in_bytes[i];
  }
  for (uint32_t o = 0; o < r.outputs; ++o) {
    uint64_t aligned = 0;
    CHECK(qoblGetModelOutputSizeByIndex(model, (int32_t)o, &r.out_bytes[o]));
    CHECK(qoblGetModelAlignOutputSizeByIndex(model, (int32_t)o, &aligned));
    out_total += r.out_bytes[o];
    if (aligned != r.out_bytes[o]) core_layout = 1;
  }
  if (in_total != in_size || out_total != r.size) {
    fprintf(stderr, "the samples do not fit the model: %zu input bytes for %llu, %zu output bytes for %llu\n",
            in_size, (unsigned long long)in_total, r.size, (unsigned long long)out_total);
    goto teardown;
  }

  uint32_t cache = 0;
  CHECK(qoblCreateOpGraph(&graph));
  CHECK(qoblCreateGraphInputOp(graph, inputs, &ops[0]));
  CHECK(qoblCreateRunModelOp(model, &ops[1]));
  CHECK(qoblConnectOps(ops[0], ops[1]));
  if (core_layout) { /* the memory-copy op turns the card's core layout into the plain tensors */
    CHECK(qobeCreateOp(qobeOP_MEM_COPY_OP, &ops[2]));
    CHECK(qoblConnectOps(ops[1], ops[2]));
  }
  CHECK(qoblCreateOpStream(graph, qoblBM_ONCE, &stream));
  CHECK(qoblSubscribeStreamReport(stream, on_report, &r));
  CHECK(qoblBuildStream(stream));
  CHECK(qoblGetStreamCacheNumber(stream, &cache));
  printf("%u input(s), %u output(s), batch %u: one device run gathers %u inputs\n", inputs, r.outputs, batch,
         cache);

  /* One card block per model input, shared by every run; every run gets its own input dataset (one buffer
     per model input, in input order) and output dataset. */
  qobmDeviceInfo dev = {qobmDE_QOBC, 0};
  for (size_t i = 0, at = 0; i < inputs; at += (size_t)in_bytes[i], ++i) {
    CHECK(qobmMalloc(in_bytes[i], &in_addr[i]));
    in_blocks = (uint32_t)i + 1;
    CHECK(qobmMemcpy(in_addr[i], (uint64_t)(uintptr_t)(input + at), in_bytes[i], qobmMEMCPY_HOST_TO_DEVICE));
  }
  for (int k = 0; k < RUNS; ++k) {
    CHECK(qobmCreateDataset(qobmDM_BUFFER, &in_ds[k]));
    for (uint32_t i = 0; i < inputs; ++i) {
      CHECK(qobmCreateDataBuffer(dev, in_addr[i], in_bytes[i], &in_buf[k][i]));
      CHECK(qobmAddDatasetBuffer(in_ds[k], in_buf[k][i]));
    }
    CHECK(qoblRequestOutputDataset(stream, &out_ds[k]));
  }
  for (int k = 0; k < RUNS; ++k) CHECK(qoblRunStreamAsync(stream, in_ds[k], out_ds[k])); /* 301041: gathered */
  CHECK(qoblSynchronizeStream(stream, 10000));
  printf("%d of %d outputs as expected, %d wrong\n", r.good, RUNS, r.bad);
  status = r.good == RUNS && r.bad == 0 ? 0 : 1;

teardown:
  /* The stream first: destroying it waits for the runs on the card and reports inputs still gathering, so
     that afterwards no callback reads the datasets or the results.  Should it refuse to go, everything it
     may still use stays as it is (releasing what a run still uses is worse than keeping it). */
  if (stream != NULL && qoblDestroyOpStream(stream) != 0) {
    fprintf(stderr, "qoblDestroyOpStream failed: the stream's datasets, graph and model are kept\n");
    free(input);
    return 1;
  }
  for (int k = 0; k < RUNS; ++k) {
    if (out_ds[k] != NULL) release_output_dataset(out_ds[k]);
    for (uint32_t i = 0; i < MAX_TENSORS; ++i)
      if (in_buf[k][i] != NULL) qobmDestroyDataBuffer(in_buf[k][i]);
    if (in_ds[k] != NULL) qobmDestroyDataset(in_ds[k]);
  }
  for (uint32_t i = 0; i < in_blocks; ++i) qobmFree(in_addr[i]);
  /* The graph's handle record is the caller's: free() it once the graph is destroyed.  The ops belong to
     the application too. */
  if (graph != NULL && qoblDestroyOpGraph(graph) == 0) free(graph);
  for (int i = 0; i < 3; ++i)
    if (ops[i] != NULL) qobeDestroyOp(ops[i]);
  if (model != NULL && qoblDestroyModel(model) != 0) {
    fprintf(stderr, "qoblDestroyModel failed\n");
    status = 1;
  }
  pthread_mutex_destroy(&r.lock);
  free(input);
  free(expected);
  return status;
}

int main(int argc, char** argv) {
  if (argc != 2) return fprintf(stderr, "usage: %s MODEL_DIR\n", argv[0]), 2;
  return run(argv[1]);
}
