// The tools' pipeline layer on the simulated card (two cards, see CMakeLists.txt): streams on two cards at
// once, failures that still complete every input, and the data-type texts the tools share.  Host inputs
// submitted one by one (submitHost, flush) are qobl-serve's path, checked by serve_scheduler_test and the
// server's end-to-end tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include <qobcrt/qobcrt_sim.h>

#include "qobl_tools/card_memory.h"
#include "qobl_tools/library.h"
#include "qobl_tools/model_dir.h"
#include "qobl_tools/pipeline.h"
#include "qobl_tools/stream.h"
#include "tool_test_util.h"

namespace {

using namespace zenlar::qobltools;

// The classifier loaded on `device` with input,model, and its sample.
struct Loaded {
  ModelDir dir;
  Sample sample;
  Pipeline p;
  explicit Loaded(uint32_t device, uint32_t batch = 0) {
    EXPECT_EQ("", openModelDir(tooltest::modelDir("classifier"), &dir));
    EXPECT_EQ("", findSample(dir, "", true, &sample));
    LoadOptions lo;
    lo.device = device;
    lo.batch = batch;
    EXPECT_EQ("", p.load(dir, lo));
    EXPECT_EQ("", p.build({Stage::kInput, Stage::kModel}));
  }
};

// Completions gathered from the card's reporting thread.
struct Seen {
  std::mutex mu;
  std::map<uint64_t, Outcome> byTag;
  std::map<uint64_t, std::vector<uint8_t>> output;
  CompletionFn fn(const TensorInfo& out) {
    return [this, out](const Outcome& oc) {
      std::vector<uint8_t> host;
      const std::string err = oc.error == 0 ? readOutput(oc.output, 0, out, &host) : "";
      std::lock_guard<std::mutex> g(mu);
      EXPECT_EQ("", err);
      EXPECT_TRUE(byTag.emplace(oc.tag, oc).second) << "two completions for tag " << oc.tag;
      output[oc.tag] = host;
    };
  }
};

TEST(PipelineLayerTest, StreamsOnTwoCardsRunAtOnce) {
  qobcrt_sim_stats before[2], after[2];
  for (uint32_t d = 0; d < 2; ++d) ASSERT_EQ(0, qobcrt_sim_get_stats(d, &before[d]));
  {
    std::unique_ptr<Loaded> cards[2] = {std::unique_ptr<Loaded>(new Loaded(0, 2)),
                                        std::unique_ptr<Loaded>(new Loaded(1, 2))};
    Seen seen;
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    // Two streams per card, each fed from its own thread.
    for (uint32_t t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        Loaded& m = *cards[t % 2];
        DeviceInputs in;
        std::unique_ptr<Stream> s;
        EXPECT_EQ("", in.create(m.p));
        EXPECT_EQ("", in.upload(m.sample.input.data(), m.sample.input.size()));
        EXPECT_EQ("", Stream::create(m.p, StreamOptions(), &s));
        EXPECT_EQ(m.p.device(), in.device());
        for (uint64_t k = 0; k < 16; ++k) {
          std::string why;
          const SubmitResult r = s->submit(in, t * 100 + k, seen.fn(m.p.info().outputs[0]), &why);
          if (r == SubmitResult::kFailed || r == SubmitResult::kNoSlot) ++refused;
        }
        EXPECT_EQ("", s->synchronize());
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, refused.load());
    std::lock_guard<std::mutex> g(seen.mu);
    ASSERT_EQ(64u, seen.byTag.size());
    for (auto& kv : seen.byTag) {
      EXPECT_EQ(0u, kv.second.error) << kv.first << ": " << kv.second.why;
      EXPECT_EQ(cards[0]->sample.expected, seen.output[kv.first]) << kv.first;
    }
  }
  // 32 inputs per card in device runs of 2; nothing left on either card.
  for (uint32_t d = 0; d < 2; ++d) {
    ASSERT_EQ(0, qobcrt_sim_get_stats(d, &after[d]));
    EXPECT_EQ(16u, after[d].runs_completed - before[d].runs_completed) << "card " << d;
  }
  EXPECT_EQ(0u, cardLiveBytes(2));
}

TEST(PipelineLayerTest, FailedAndUnsentInputsStillComplete) {
  installLogSink("pipeline_layer_test");
  {
    Loaded m(0);
    Seen seen;
    const TensorInfo out = m.p.info().outputs[0];
    DeviceInputs in;
    ASSERT_EQ("", in.create(m.p));
    ASSERT_EQ("", in.upload(m.sample.input.data(), m.sample.input.size()));
    std::unique_ptr<Stream> s;
    ASSERT_EQ("", Stream::create(m.p, StreamOptions(), &s));
    std::string why;
    // The card fails the run-model op of the first device run: all four inputs carry its error and name.
    ASSERT_EQ(0, qobcrt_sim_fail_op(m.p.leaf().uid, 500010));
    for (uint64_t tag = 0; tag < 4; ++tag) s->submit(in, tag, seen.fn(out), &why);
    // Two inputs of a device run that never fills: synchronize() sends them with two fillers.
    for (uint64_t tag = 4; tag < 6; ++tag) EXPECT_EQ(SubmitResult::kPending, s->submit(in, tag, seen.fn(out), &why));
    EXPECT_EQ("", s->synchronize());
    qobcrt_sim_clear_faults();
    std::lock_guard<std::mutex> g(seen.mu);
    ASSERT_EQ(6u, seen.byTag.size());
    for (uint64_t tag = 0; tag < 4; ++tag) {
      EXPECT_NE(0u, seen.byTag[tag].error);
      EXPECT_NE(std::string::npos, seen.byTag[tag].why.find("op " + m.p.leaf().name + " reported error"))
          << seen.byTag[tag].why;
    }
    for (uint64_t tag = 4; tag < 6; ++tag) {
      EXPECT_EQ(0u, seen.byTag[tag].error) << seen.byTag[tag].why;
      EXPECT_EQ(m.sample.expected, seen.output[tag]);
    }
  }
  EXPECT_EQ(0u, cardLiveBytes(2));
}

// Data-type texts both ways, and texts that are none (qobl-info prints them, qobl-model-gen reads them).
TEST(PipelineLayerTest, DataTypeTexts) {
  for (const char* t : {"float32", "uint8", "int8x4", "float16", "bfloat16", "bool"}) {
    DType d;
    ASSERT_TRUE(parseDType(t, &d)) << t;
    EXPECT_EQ(t, dtypeText(d));
  }
  EXPECT_EQ(4u, dtypeBytes(DType{0, 8, 4}));
  for (const char* t : {"", "float", "float32x", "complex64", "int8x0", "uint8 "}) {
    DType d;
    EXPECT_FALSE(parseDType(t, &d)) << t;
  }
}

}  // namespace
