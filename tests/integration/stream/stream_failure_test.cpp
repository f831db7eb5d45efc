// Failures of the stream API: handle and state checks, refused runs, stale reports, refused model and graph
// calls.  After each failure the stream still runs and nothing stays allocated.
#include <thread>

#include "qobl_api_impl.h"
#include "stream.h"
#include "stream_callback_manager.h"
#include "stream_test_util.h"

using namespace streamtest;

namespace {

// Each test leaves the card as it found it.
class StreamFailureTest : public qobltest::LiveBlocksTest {};

// (Null pointers and emptied handles: the API frame test; forged and destroyed handles: the interleaving
// test's handle race and the stale-handle test below.)
TEST_F(StreamFailureTest, HandleAndStateChecks) {
  Pipeline p(Pipeline::Options().unbuilt());
  Pipeline other;
  uint32_t n = 0;
  qobmDataset* ds = nullptr;
  EXPECT_EQ(qoblERR_STREAM_NOT_BUILT, qoblRequestOutputDataset(p.stream(), &ds));
  EXPECT_EQ(qoblERR_STREAM_NOT_BUILT, qoblGetStreamCacheNumber(p.stream(), &n));
  EXPECT_EQ(qoblERR_OP_NOT_IN_STREAM, qoblRegisterGetOutput(p.stream(), other.runOp()));
  qobeOp* ops[] = {p.inputOp(), other.runOp(), p.runOp()};
  EXPECT_EQ(qoblERR_OP_NOT_IN_STREAM, qoblRegisterGetOutputs(p.stream(), ops, 3));
  EXPECT_EQ(0u, qoblRegisterGetOutputs(p.stream(), ops, 0));
  ASSERT_EQ(0u, qoblBuildStream(p.stream()));
  EXPECT_EQ(qoblERR_BUILD_STREAM, qoblBuildStream(p.stream()));
  EXPECT_EQ(qoblERR_STREAM_ALREADY_BUILT, qoblRegisterGetOutput(p.stream(), p.runOp()));
  EXPECT_EQ(qoblERR_INVALID_PARAM, qoblSubscribeStreamReport(p.stream(), nullptr, nullptr));
}

// A destroyed stream's handle is refused by every call, and its stream id is no longer registered on the
// card.
TEST_F(StreamFailureTest, DestroyedStreamIsRefusedAndUnregisteredFromTheCard) {
  Pipeline p;
  qoblStream* stale = p.stream();
  const uint32_t id = p.stream()->ptr_->id();
  p.destroyStream();
  EXPECT_EQ(rtErrStreamId, qobcrt_destroy_stream(0, id));
  CardDataset in(p.input());
  qobmDataset* ds = nullptr;
  uint32_t n = 0;
  EXPECT_EQ(qoblERR_DESTROY_STREAM, qoblDestroyOpStream(stale));
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblRequestOutputDataset(stale, &ds));
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblRunStreamAsync(stale, in.get(), in.get()));
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblRunStream(stale, in.get(), in.get(), 0));
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblGetStreamCacheNumber(stale, &n));
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblSynchronizeStream(stale, 0));
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblSubscribeStreamReport(stale, &recordReport, nullptr));
  // The id is free for the card to register again.
  create_stream rec{};
  rec.stream_id = id;
  EXPECT_EQ(0, qobcrt_create_stream(0, &rec));
  EXPECT_EQ(0, qobcrt_destroy_stream(0, id));
}

TEST_F(StreamFailureTest, RefusedRunsChangeNothing) {
  Pipeline p;
  CardDataset in(p.input());
  Output out(p.stream());
  LogCapture log(qobmLL_INFO);
  // A thread without the stream's device as its current device.
  qoblErr rc = 0;
  std::thread t([&] { rc = qoblRunStreamAsync(p.stream(), in.get(), out.get()); });
  t.join();
  EXPECT_EQ(qoblERR_RUN_STREAM, rc);
  EXPECT_TRUE(log.has("Failed to run stream because current context mismatch with stream's device id. \n"));

  // Output in host memory.
  std::vector<char> host(64);
  qobmDataset* hostDs = nullptr;
  qobmDataBuffer* hostBuf = nullptr;
  ASSERT_EQ(0, qobmCreateDataset(qobmDM_BUFFER, &hostDs));
  ASSERT_EQ(0, qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_CPU, 0}, reinterpret_cast<uint64_t>(host.data()),
                                    host.size(), &hostBuf));
  ASSERT_EQ(0, qobmAddDatasetBuffer(hostDs, hostBuf));
  EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(p.stream(), in.get(), hostDs));
  EXPECT_TRUE(log.has("Failed to run stream because output dataset's memory is not device memory.\n"));
  qobmDestroyDataBuffer(hostBuf);
  qobmDestroyDataset(hostDs);

  // Too few output buffers (an empty card dataset), asynchronously and synchronously.
  qobmDataset* empty = nullptr;
  ASSERT_EQ(0, qobmCreateDataset(qobmDM_BUFFER, &empty));
  EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(p.stream(), in.get(), empty));
  EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStream(p.stream(), in.get(), empty, 1000));
  qobmDestroyDataset(empty);

  // None of them was counted: nothing to wait for, and the stream still runs.
  EXPECT_EQ(0u, qoblSynchronizeStream(p.stream(), 0));
  ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), in.get(), out.get()));
  EXPECT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  EXPECT_EQ(p.expected(), readBuffer(out.get(), 0));
}

// (A device error or a failed runtime call on the run path fails the inputs of that device run with one
// report each and leaks nothing: the fault sweep; the stream runs on afterwards: the Python error tests.)
// A late report of a recycled run (a data id no run of the stream holds) is logged and counted as stale,
// not as a completion, and leaves nothing waiting.
TEST_F(StreamFailureTest, LateReportOfARecycledRunIsStale) {
  Pipeline p(Pipeline::Options().withMemCopy());
  Recorder rec;
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &rec.sub));
  zenlar::qobl::IOpStream* stream = p.stream()->ptr_;
  {
    LogCapture log(qobmLL_INFO);
    get_desc late{};
    late.stream_id = stream->id();
    late.data_id = 5;
    late.context_id = p.opUid(p.copyOp()) | 0x80000000u;
    EXPECT_EQ(0, zenlar::qobl::sdkGetOutputs(0, &late, nullptr));
    EXPECT_EQ(1u, stream->staleReports());
    EXPECT_TRUE(log.hasPrefix("Failed to process output because not find corresponding op argument."));
  }
  EXPECT_EQ(0u, stream->waitHandleCount());
  EXPECT_TRUE(rec.snapshot().empty());  // the application is not told of it
  CardDataset in(p.input());
  Output out(p.stream());
  ASSERT_EQ(0u, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
  EXPECT_EQ(p.expected(), readBuffer(out.get(), 0));
}

// Refused model and graph calls change nothing that later calls rely on.  A batch size of 0 is refused and
// the model keeps its batch size, and so the stream its cache number.  A connect that fails (the model was
// not loaded yet) keeps its child in the graph, as the connect contract says, but a stream of that graph is
// then refused at build instead of accepting runs that can never be served.
TEST_F(StreamFailureTest, RefusedModelAndGraphCallsChangeNothing) {
  Pipeline p(Pipeline::Options().withBatch(4));
  uint32_t batch = 0;
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetModelBatchSize(p.model(), &batch));
  ASSERT_EQ(0u, qoblGetModelBatchSize(p.model(), &batch));
  EXPECT_EQ(4u, batch);
  EXPECT_EQ(4u, p.cacheNumber());

  // A model whose batch size is not set yet: the connect fails and the graph cannot be built.
  qoblModel* fresh = nullptr;
  const std::string dir = "classifier";
  ASSERT_EQ(0u, qoblCreateModel(modelFile(dir, "model.so").c_str(), modelFile(dir, "graph.json").c_str(),
                                modelFile(dir, "params.bin").c_str(), nullptr, &fresh));
  {
    HandGraph g;
    qobeOp* run = g.runModelOp(fresh);
    EXPECT_EQ(qoblERR_CONNECT_OPS, qoblConnectOps(g.input(), run));
    batch = 1;
    ASSERT_EQ(0u, qoblSetModelBatchSize(fresh, &batch));
    EXPECT_EQ(qoblERR_CHILD_HAS_PARENT, qoblConnectOps(g.input(), run));
    LogCapture log(qobmLL_INFO);
    EXPECT_EQ(qoblERR_BUILD_STREAM, qoblBuildStream(g.stream()));
    EXPECT_TRUE(log.hasPrefix("Fail to validate op graph because op "));
  }
  EXPECT_EQ(0u, qoblDestroyModel(fresh));
}

// A model whose stream still exists is not destroyed: the stream would run it (or a run in flight report
// through it) after it is gone.  The refusal changes nothing: the run in flight and a later one deliver the
// reference output.  Once no stream of any graph uses it (a second graph's stream included), it goes.
TEST_F(StreamFailureTest, ModelOfALiveStreamIsNotDestroyed) {
  Pipeline p;
  Recorder rec;
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &rec.sub));
  const Inputs io(p, 2);
  HandGraph second;
  ASSERT_EQ(0u, qoblConnectOps(second.input(), second.runModelOp(p.model())));
  ASSERT_NE(nullptr, second.stream());
  {
    SlowCard slow(50000);
    ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(0), io.out(0)));
    LogCapture log(qobmLL_ERROR);
    EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblDestroyModel(p.model()));
    EXPECT_TRUE(log.hasPrefix("Failed to destroy the model: stream "));
  }
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  EXPECT_EQ(p.expected(), rec.output(io.in(0)));
  EXPECT_EQ(0u, qoblRunStream(p.stream(), io.in(1), io.out(1), 10000));
  EXPECT_EQ(p.expected(), readBuffer(io.out(1), 0));
  p.destroyStream();
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblDestroyModel(p.model()));  // the second graph's stream
  // The pipeline destroys the model after the second graph's stream is gone.
}

// An input op declaring more tensors per input than any device run can gather is refused when it is
// connected, at once (the plan is never walked tensor by tensor), and its graph cannot be built.
TEST_F(StreamFailureTest, InputCountBeyondAnyPlanIsRefusedAtConnect) {
  Pipeline p;
  for (uint32_t count : {UINT32_MAX, 1u << 20}) {
    SCOPED_TRACE(count);
    HandGraph g(count);
    qobeOp* run = g.runModelOp(p.model());
    {
      LogCapture log(qobmLL_INFO);
      EXPECT_EQ(qoblERR_CONNECT_OPS, qoblConnectOps(g.input(), run));
      EXPECT_TRUE(log.hasPrefix("Cannot plan loop counts: "));
    }
    EXPECT_EQ(qoblERR_BUILD_STREAM, qoblBuildStream(g.stream()));
  }
}

}  // namespace
