/*
 * qobl_api.h - the public C interface of libqobl: load models, build op graphs, turn them into op streams
 * on the card, and run them synchronously or asynchronously.
 *
 * Conventions of every function below:
 *  - The result is a qoblErr: 0 (qoblERR_SUCCESS) on success, else one of the qoblERR_* codes.  No function
 *    lets an exception out.  A null pointer where one is required gives qoblERR_INVALID_PARAM and an ERROR
 *    log line naming the violated condition; nothing else happens.
 *  - Log lines go through the dataset/event/log library (qobm/qobm.h) on channel 3 (qobmLC_CL).
 *  - "Current device": the calling thread's device as set with qobmSetDevice.
 *
 * Handles and ownership:
 *  - qoblModel*: made by qoblCreateModel / qoblCreateDynamicModel, freed by qoblDestroyModel (after which it
 *    must not be used).  A model must outlive every stream whose graph uses it (qoblDestroyModel
 *    refuses while such a stream exists).
 *  - qoblOpGraph*: made by qoblCreateOpGraph.  qoblDestroyOpGraph releases the graph but keeps the handle
 *    record (emptied); a second destroy of the same handle returns 0.
 *  - qoblStream*: made by qoblCreateOpStream.  qoblDestroyOpStream destroys the stream; the handle must not
 *    be passed to any function afterwards.  A stream must be destroyed before its graph.
 *  - qobeOp*: op handles of the op engine, made here but never freed by this library (qobeDestroyOp).
 *  - Datasets (qobmDataset*) passed in stay owned by the caller and must stay valid until the run using
 *    them has completed (qoblSynchronizeStream / qoblSynchronizeDevice for asynchronous runs).
 *
 * Threads: every function may be called from any thread.  One model may serve the streams of several
 * graphs on several threads at once; its calls are serialised by the library.  Graphs may be built on
 * several threads at once, also one graph (changes of graphs are serialised), but see qoblDestroyOpGraph
 * for destroying a graph while others are being connected.  A stream may be fed, waited for and destroyed
 * from different threads (each call either acts or is refused with its code).
 *
 * Calling order: create a model and set its batch size; create a graph, its input op, run-model ops, and
 * connect them; create the stream, register output ops, subscribe report callbacks, build; run; destroy the
 * stream, then the graph, then the model.
 */
#ifndef QOBL_API_H
#define QOBL_API_H

#include <stdint.h>

#include <qobe/qobe.h>
#include <qobm/qobm.h>

/* QOBL_VERSION_MAJOR, QOBL_VERSION_MINOR, QOBL_VERSION_PATCH: the version of this header. */
#include "qobl_version.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QOBL_EXPORT __attribute__((visibility("default")))
#else
#define QOBL_EXPORT
#endif

/* ---- result codes ---- */
typedef uint32_t qoblErr;

#define qoblERR_SUCCESS 0u
#define qoblERR_INVALID_PARAM 301002u        /* a required pointer or handle is null, or *model already set */
#define qoblERR_MODEL_OPERATION 301005u      /* a model operation failed (state, index, shapes, in use, ...) */
#define qoblERR_MODEL_FILE 301006u           /* a model file is missing, unreadable, empty or malformed */
#define qoblERR_CREATE_MODEL 301007u         /* the model runtime or its parameters could not be created */
#define qoblERR_INPUT_OP_EXISTS 301010u      /* the graph already has its input op */
#define qoblERR_PARENT_NOT_IN_GRAPH 301011u  /* connect: the parent op is in no graph */
#define qoblERR_NODE_EXISTS 301012u          /* the node is already in the graph */
#define qoblERR_CONNECT_OPS 301013u          /* connect: the ops cannot be connected */
#define qoblERR_CREATE_OP 301014u            /* the op engine yielded no op, or its attributes failed */
#define qoblERR_SAME_OP 301015u              /* connect: parent and child are the same op */
#define qoblERR_CHILD_HAS_PARENT 301016u     /* connect: the child is an input op or already has a parent */
#define qoblERR_GRAPH_IN_USE 301021u         /* a stream still uses the graph */
#define qoblERR_OP_NOT_IN_STREAM 301022u     /* the output op is not in the stream's graph */
#define qoblERR_STREAM_ALREADY_BUILT 301023u /* outputs must be registered before the build */
#define qoblERR_STREAM_NOT_BUILT 301024u     /* the stream has not been built */
#define qoblERR_INVALID_STREAM 301025u       /* the stream is not (or no longer) registered */
#define qoblERR_CREATE_STREAM 301030u        /* the device stream could not be created */
#define qoblERR_BUILD_STREAM 301031u         /* the stream build failed */
#define qoblERR_STREAM_INPUT 301032u         /* internal: a run's input was rejected (reported as 301034) */
#define qoblERR_STREAM_INSTRUCTION 301033u   /* internal: a run could not be prepared (reported as 301034) */
#define qoblERR_RUN_STREAM 301034u           /* a run could not be started or failed */
#define qoblERR_DESTROY_STREAM 301035u       /* the stream could not be destroyed */
#define qoblERR_RUN_PENDING 301041u          /* not a failure: input accepted, the run waits for more inputs */
#define qoblERR_STREAM_SYNC_TIMEOUT 301052u  /* qoblSynchronizeStream timed out */
#define qoblERR_DEVICE_SYNC_TIMEOUT 301053u  /* qoblSynchronizeDevice timed out */

/* ---- public types ---- */

/* Balance mode of a stream, handed to the device runtime when the stream is created. */
typedef enum qoblBalanceMode { qoblBM_ONCE = 0, qoblBM_RUN = 1 } qoblBalanceMode;

/* Status handed to a report callback (8 bytes). */
typedef struct qoblCallbackStatus {
  uint32_t errorCode;   /* 0; the normalised device error of the reported op (the run is then recycled);
                           or, for an input the library dropped before the card reported it,
                           qoblERR_RUN_STREAM (its device run could not be prepared or sent) or
                           qoblERR_DESTROY_STREAM (its stream was destroyed first) */
  uint32_t isStreamEnd; /* 1 when the reported op is the stream's end op (the input is complete), else 0 */
} qoblCallbackStatus;

/*
 * Report callback of a stream (qoblSubscribeStreamReport).  Every input accepted with 0 or
 * qoblERR_RUN_PENDING gets exactly one terminal report (isStreamEnd 1, or errorCode not 0), except the
 * input of a qoblRunStream call that returned 0 or an error (the call's result is its outcome).  Called on
 * the device runtime's reporting thread, once per application input and per subscription, for every
 * reported op of an asynchronously sent run; reports the library makes itself come on the thread of the
 * call that makes them, before it returns: a qoblRunStream call that completes a device run also holding
 * other inputs reports those, and inputs dropped by a failing call or by qoblDestroyOpStream get their error
 * report (the stream's end op, isStreamEnd 1).  Arguments:
 *   op      - the reported op (owned by the application);
 *   input   - the application's input dataset of that input (as given to qoblRunStreamAsync);
 *   output  - a dataset made for this call that describes the op's outputs for that input, in card memory;
 *             the library creates it before and destroys it (container and buffer handles, never the
 *             application's card memory) right after the callbacks of that input returned: the
 *             application must neither keep nor destroy it; the card memory of a non-leaf op's outputs is
 *             only guaranteed until the callback returns (copy out what is needed, e.g. with qobmMemcpy);
             NULL when the library could not describe the outputs (logged; the results of the end op
             are still in the output dataset given with the input);
 *   status  - valid during the call only;
 *   userCtx - the pointer given at subscription.
 * The callback must not call qoblRunStreamAsync or qoblDestroyOpStream for its own stream (both are refused,
 * with qoblERR_RUN_STREAM and qoblERR_DESTROY_STREAM).  It may create streams and destroy other streams,
 * except one that has runs on the card (refused with qoblERR_DESTROY_STREAM, nothing changed: the callback's
 * thread may be the one that delivers their reports).  For the same reason qoblSynchronizeStream does not
 * wait there for its own stream or for a stream with runs on the card, and qoblSynchronizeDevice does not
 * wait for a device with such a stream (see both).  On a device error (status->errorCode not 0) the run
 * ends there and is released at once; no end report follows for it.
 */
typedef void (*qoblStreamReportCallback)(qobeOp* op, qobmDataset* input, qobmDataset* output,
                                         qoblCallbackStatus* status, void* userCtx);

/* Opaque handles; the application holds only pointers to them. */
typedef struct qoblOpGraph qoblOpGraph;
typedef struct qoblStream qoblStream;
typedef struct qoblModel qoblModel;

/* ---- version ---- */

/* *ver receives a static text "QOBL API a.b.c.d, Commit: <id>, Built: <date>" owned by the library and
   valid for the life of the process.  major, minor, rev and bn may each be null; those not null receive
   the four version numbers (left untouched if the version does not parse).  ver must not be null.
   major, minor and rev are the library's QOBL_VERSION_MAJOR, _MINOR and _PATCH: an application compiled
   against one version can compare them with the library it runs with. */
QOBL_EXPORT qoblErr qoblGetVersion(const char** ver, uint32_t* major, uint32_t* minor, uint32_t* rev,
                                   uint32_t* bn);

/* ---- models ---- */

/* Loads a compiled model from its library, graph JSON, parameter blob and (optional, may be null) hardware
   configuration file, on the current device.  *model must be null on entry; on success it receives a new
   handle owned by the caller (free with qoblDestroyModel), on failure it stays null.  The path strings are
   read during the call only; each must name a regular file (a directory is refused with
   qoblERR_MODEL_FILE).  Returns 0, qoblERR_INVALID_PARAM, qoblERR_MODEL_FILE, qoblERR_CREATE_MODEL, or the
   code of qobmGetDevice when no current device is set.  With qoblERR_CREATE_MODEL the model runtime's own
   code and text (which names, e.g., a bad hardware-configuration key) are logged at ERROR. */
QOBL_EXPORT qoblErr qoblCreateModel(const char* modLib, const char* modGraph, const char* modParam,
                                    const char* hwConfig, qoblModel** model);

/* Loads a dynamic-shape model from a suite configuration JSON file and an optional (may be null) hardware
   configuration.  Ownership and results as qoblCreateModel; a "module_num" below 0 or above the number of
   members the file holds is refused with qoblERR_MODEL_FILE before any member is read. */
QOBL_EXPORT qoblErr qoblCreateDynamicModel(const char* modSuitesConfig, const char* hwConfig, qoblModel** model);

/* Releases the model and frees the handle; the handle must not be used afterwards (a second destroy of the
   same handle is not allowed).  While a stream whose graph has a run-model op of the model exists, the
   call is refused (qoblERR_MODEL_OPERATION, logged) and changes nothing: destroy the stream first.  A
   graph that still holds run-model ops of a destroyed model must not be given to qoblCreateOpStream. */
QOBL_EXPORT qoblErr qoblDestroyModel(qoblModel* model);

/* *batchSize is in and out: the requested batch size, clamped to the model's maximum and written back.
   Loads (or reloads) the model on the device.  A requested batch size of 0 is refused
   (qoblERR_MODEL_OPERATION) and leaves the model as it was. */
QOBL_EXPORT qoblErr qoblSetModelBatchSize(qoblModel* model, uint32_t* batchSize);
QOBL_EXPORT qoblErr qoblGetModelBatchSize(qoblModel* model, uint32_t* batchSize);
QOBL_EXPORT qoblErr qoblGetModelMaxBatchSize(qoblModel* model, uint32_t* batchSize);

/* Dynamic models only: `count` shapes, one per model input in input order; read during the call only.
   Streams that run the model meanwhile are not disturbed: each device run loads the model for its own
   stream's input shapes (those its input op declares) before it is prepared, also when the model is shared
   by streams of different shapes on different threads. */
QOBL_EXPORT qoblErr qoblSetDynamicModelInputShape(qoblModel* model, qobmShape* shapes, uint32_t count);
/* Largest batch size for the given shapes, or for the current shapes when count is 0 or shapes is null. */
QOBL_EXPORT qoblErr qoblGetDynamicModelMaxBatchSize(qoblModel* model, qobmShape* shapes, uint32_t count,
                                                    uint32_t* batchSize);

/* Queries of a loaded model; every out-pointer is required and written only on success. */
QOBL_EXPORT qoblErr qoblGetModelInputCount(qoblModel* model, uint32_t* inCount);
QOBL_EXPORT qoblErr qoblGetModelOutputCount(qoblModel* model, uint32_t* outCount);
QOBL_EXPORT qoblErr qoblGetModelInputShapeByIndex(qoblModel* model, int32_t index, qobmShape* shape);
QOBL_EXPORT qoblErr qoblGetModelOutputShapeByIndex(qoblModel* model, int32_t index, qobmShape* shape);
QOBL_EXPORT qoblErr qoblGetModelOutputDataTypeByIndex(qoblModel* model, int32_t index, qobmDType* dType);
/* Byte size of one output (product of extents times element bytes). */
QOBL_EXPORT qoblErr qoblGetModelOutputSizeByIndex(qoblModel* model, int32_t index, uint64_t* size);
/* Byte size of one output in the card's aligned core layout. */
QOBL_EXPORT qoblErr qoblGetModelAlignOutputSizeByIndex(qoblModel* model, int32_t index, uint64_t* size);

/* ---- op graphs ---- */

/* Creates an empty graph into *graph.  When *graph is already non-null nothing is created and 0 is
   returned.  The handle record is owned by the caller and is never freed by qoblDestroyOpGraph; it is
   allocated with malloc, so the caller may free() it once the graph is destroyed. */
QOBL_EXPORT qoblErr qoblCreateOpGraph(qoblOpGraph** graph);

/* Releases the graph (its nodes and edges, not the op-engine ops) and empties the handle.  Fails with
   qoblERR_GRAPH_IN_USE while a stream made from it exists.  Ops of every graph can no longer be used as
   parents in qoblConnectOps afterwards, also those of graphs other threads are building at that moment
   (their connects fail with qoblERR_PARENT_NOT_IN_GRAPH): an application that builds graphs on several
   threads finishes connecting them before it destroys any graph. */
QOBL_EXPORT qoblErr qoblDestroyOpGraph(qoblOpGraph* graph);

/* Creates the graph's single input op into *op; inputCnt inputs per run.  The op belongs to the
   application and is not freed by this library.  A handle that names no live graph (emptied by
   qoblDestroyOpGraph, or not made by qoblCreateOpGraph) is refused with qoblERR_INVALID_PARAM. */
QOBL_EXPORT qoblErr qoblCreateGraphInputOp(qoblOpGraph* graph, uint32_t inputCnt, qobeOp** op);

/* Creates a run-model op bound to the model into *op (not yet in a graph; connect it as a child).  The
   model's batch size must be set first: a later change of the batch size does not reach ops already
   connected, whose streams' runs then fail (qoblERR_RUN_STREAM, or a device error in the reports).  A
   model handle without a model (ptr_ null) is refused with qoblERR_INVALID_PARAM. */
QOBL_EXPORT qoblErr qoblCreateRunModelOp(qoblModel* model, qobeOp** op);

/* Adds `child` below `parent`, which must already be in a graph.  A child has exactly one parent; below a
   run-model op only memory-copy ops may be connected.  A loop plan in which one device run would hold more
   than 4096 runs of an op is refused (qoblERR_CONNECT_OPS).  A connect that fails after placing the child
   leaves it in the graph (it cannot be connected again: qoblERR_CHILD_HAS_PARENT), and a stream of that
   graph is refused at qoblBuildStream (qoblERR_BUILD_STREAM). */
QOBL_EXPORT qoblErr qoblConnectOps(qobeOp* parent, qobeOp* child);

/* ---- streams ---- */

/* Creates a stream for the graph on the current device into *stream.  The graph stays owned by the
   caller and must outlive the stream.  The handle is released by qoblDestroyOpStream. */
QOBL_EXPORT qoblErr qoblCreateOpStream(qoblOpGraph* graph, qoblBalanceMode mode, qoblStream** stream);

/* Destroys the stream.  Inputs still gathering for a run that was never sent get an error report
   (qoblERR_DESTROY_STREAM); runs already handed to the card are waited for (up to 10 s) and their reports
   delivered, and inputs of a run not reported in that time get an error report (qoblERR_DESTROY_STREAM):
   when the call returns every accepted input has had its terminal report, and no report callback of the
   stream runs any more.  From a report callback, a stream with runs on the card cannot be waited for: the
   call is refused (qoblERR_DESTROY_STREAM) and changes nothing.  The handle must not be used afterwards:
   its record now belongs to the library (do not free it); a destroyed or unknown handle is recognised
   without being read (until 1024 more streams have been destroyed): qoblDestroyOpStream returns
   qoblERR_DESTROY_STREAM and the other stream functions qoblERR_INVALID_STREAM. */
QOBL_EXPORT qoblErr qoblDestroyOpStream(qoblStream* stream);

/* Validates the graph, orders its ops and prepares the stream for runs.  A run-model op without children
   whose model stores an output in a core layout that differs from the plain tensor is refused
   (qoblERR_BUILD_STREAM, the reason logged) unless the op carries the bool attribute "keep_core_layout" = 1:
   then its outputs are the card's aligned bytes (qoblGetModelAlignOutputSizeByIndex).  A run-model op whose
   model was loaded on another card than the stream's is refused as well (qoblERR_BUILD_STREAM, logged): a
   card runs only the models loaded on it. */
QOBL_EXPORT qoblErr qoblBuildStream(qoblStream* stream);

/* Marks an op of the stream's graph whose outputs the application wants reported (before the build). */
QOBL_EXPORT qoblErr qoblRegisterGetOutput(qoblStream* stream, qobeOp* op);
/* The same for the first opCount ops of `ops`; stops at the first failure and returns its code (the ops
   before it stay registered). */
QOBL_EXPORT qoblErr qoblRegisterGetOutputs(qoblStream* stream, qobeOp** ops, uint32_t opCount);

/* Makes a new buffer-mode dataset into *output with one card-memory buffer per output of the stream's leaf
   ops, for a built stream.  The caller owns the dataset, its buffers and their card memory (qobmFree for
   the memory, qobmDestroyDataBuffer for each buffer, qobmDestroyDataset for the container). */
QOBL_EXPORT qoblErr qoblRequestOutputDataset(qoblStream* stream, qobmDataset** output);

/* Runs the stream on the current device (the stream's device) and waits up to `timeout` milliseconds
   (UINT32_MAX: no limit).  input and output stay owned by the caller.  qoblERR_RUN_PENDING means the input
   was accepted and the run waits for further inputs (it is then reported like an asynchronous input).  The
   other inputs of the device run this call completes are reported before it returns.  When the time-out
   passes first the call returns qoblERR_RUN_STREAM (logged), but the card still finishes the run later and
   writes its outputs into `output` then; the device runtime keeps the memory of that run valid until it
   is done.  For a dynamic model,
   an input whose shapes differ from those of the inputs gathered for the run is refused
   (qoblERR_RUN_STREAM) and changes nothing. */
QOBL_EXPORT qoblErr qoblRunStream(qoblStream* stream, qobmDataset* input, qobmDataset* output,
                                  uint32_t timeout);

/* Starts a run and returns.  The output dataset must lie in card memory.  Both datasets stay owned by the
   caller and must remain valid until the run has completed (see qoblSynchronizeStream).  Results are
   delivered to the subscribed report callbacks.  qoblERR_RUN_PENDING: accepted, waiting for more inputs.
   When a run cannot be prepared or handed to the card (qoblERR_RUN_STREAM), the inputs gathered for it
   before this one get an error report (qoblERR_RUN_STREAM) from this call and are no longer waited for by
   qoblSynchronizeStream.  For a dynamic model, an input whose shapes differ from those of the inputs
   gathered for the run is refused (qoblERR_RUN_STREAM) and changes nothing. */
QOBL_EXPORT qoblErr qoblRunStreamAsync(qoblStream* stream, qobmDataset* input, qobmDataset* output);

/* Writes the stream's cache number (inputs gathered per device run) to *num; qoblERR_STREAM_NOT_BUILT
   before the build. */
QOBL_EXPORT qoblErr qoblGetStreamCacheNumber(qoblStream* stream, uint32_t* num);

/* Adds a report callback with its user context (kept as given, never dereferenced by the library).  The
   same pair subscribed twice is called twice.  May be called before or after the build, also from a report
   callback (the new callback is called from the next report on).  A null callback: qoblERR_INVALID_PARAM. */
QOBL_EXPORT qoblErr qoblSubscribeStreamReport(qoblStream* stream, qoblStreamReportCallback callback,
                                              void* userCtx);

/* ---- synchronisation ---- */

/* Waits up to `timeout` milliseconds until every asynchronous input of the stream has completed.  While it
   waits, new asynchronous runs on the stream are refused.  qoblERR_STREAM_SYNC_TIMEOUT on time-out.
   From a report callback, inputs that could only complete after the callback returns are not waited for:
   when the stream is the callback's own, or has runs on the card (whose reports the callback's thread may
   be the one to deliver), the call returns at once, 0 when no input is outstanding, else
   qoblERR_STREAM_SYNC_TIMEOUT (logged); a wait for another stream ends the same way as soon as one of its
   runs is sent to the card. */
QOBL_EXPORT qoblErr qoblSynchronizeStream(qoblStream* stream, uint32_t timeout);

/* Waits for every stream device devId has when the call starts; `timeout` milliseconds bound the whole
   wait (UINT32_MAX: no limit).  Meanwhile qoblCreateOpStream and qoblDestroyOpStream for the device wait
   for it when called from application threads; from report callbacks they go ahead.
   qoblERR_DEVICE_SYNC_TIMEOUT when it expired; the streams accept runs again afterwards.  From a report
   callback each stream is waited for as by qoblSynchronizeStream from there: a stream that cannot be
   waited for ends the call at once with qoblERR_DEVICE_SYNC_TIMEOUT. */
QOBL_EXPORT qoblErr qoblSynchronizeDevice(uint32_t devId, uint32_t timeout);

#ifdef __cplusplus
}
#endif
#endif /* QOBL_API_H */
