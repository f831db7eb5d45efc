/* Compiled as C: the public header must be valid C, and its types usable from C. */
#include <stddef.h>

#include "qobl_api.h"

_Static_assert(sizeof(qoblErr) == 4, "qoblErr is 32-bit");
_Static_assert(sizeof(qoblBalanceMode) == 4, "qoblBalanceMode is 32-bit");
_Static_assert(sizeof(qoblCallbackStatus) == 8, "qoblCallbackStatus is two u32");
_Static_assert(offsetof(qoblCallbackStatus, isStreamEnd) == 4, "isStreamEnd at offset 4");

static void report(qobeOp* op, qobmDataset* in, qobmDataset* out, qoblCallbackStatus* st, void* ctx) {
  (void)op; (void)in; (void)out; (void)st; (void)ctx;
}

/* Calls qoblGetVersion from C; returns its result and passes the text and numbers out. */
qoblErr c_get_version(const char** ver, uint32_t numbers[4]) {
  return qoblGetVersion(ver, &numbers[0], &numbers[1], &numbers[2], &numbers[3]);
}

/* Takes the address of every exported function, so a missing definition fails the link. */
int c_exported_function_count(void) {
  const void* fns[] = {
      (const void*)qoblGetVersion, (const void*)qoblCreateModel, (const void*)qoblCreateDynamicModel,
      (const void*)qoblDestroyModel, (const void*)qoblSetModelBatchSize, (const void*)qoblGetModelBatchSize,
      (const void*)qoblGetModelMaxBatchSize, (const void*)qoblSetDynamicModelInputShape,
      (const void*)qoblGetDynamicModelMaxBatchSize, (const void*)qoblGetModelInputCount,
      (const void*)qoblGetModelOutputCount, (const void*)qoblGetModelInputShapeByIndex,
      (const void*)qoblGetModelOutputShapeByIndex, (const void*)qoblGetModelOutputDataTypeByIndex,
      (const void*)qoblGetModelOutputSizeByIndex, (const void*)qoblGetModelAlignOutputSizeByIndex,
      (const void*)qoblCreateOpGraph, (const void*)qoblDestroyOpGraph, (const void*)qoblCreateGraphInputOp,
      (const void*)qoblCreateRunModelOp, (const void*)qoblConnectOps, (const void*)qoblCreateOpStream,
      (const void*)qoblDestroyOpStream, (const void*)qoblBuildStream, (const void*)qoblRegisterGetOutput,
      (const void*)qoblRegisterGetOutputs, (const void*)qoblRequestOutputDataset, (const void*)qoblRunStream,
      (const void*)qoblRunStreamAsync, (const void*)qoblGetStreamCacheNumber,
      (const void*)qoblSubscribeStreamReport, (const void*)qoblSynchronizeStream,
      (const void*)qoblSynchronizeDevice};
  qoblStreamReportCallback cb = report;
  int n = 0;
  for (size_t i = 0; i < sizeof(fns) / sizeof(fns[0]); ++i) n += fns[i] != NULL;
  return cb != NULL ? n : -1;
}
