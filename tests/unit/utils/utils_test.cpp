// The library's small utilities: the loop-planning LCM and the dataset readings of a run (mode, count,
// memory kinds, handles and addresses).  (Its device uploads and file reads run under every stream and model
// test.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qobl_log.h"
#include "qobl_test/log_capture.h"
#include "utils/utils.h"

using namespace zenlar::qobl;

TEST(Utils, Lcm) {
  // 0 when an argument is 0 or the result does not fit in 32 bits.
  const uint32_t lcm[][3] = {{4, 6, 12}, {6, 4, 12},       {5, 5, 5},         {1, 7, 7},          {12, 18, 36},
                             {0, 3, 0},  {3, 0, 0},        {65536, 65537, 0}, {65536, 32768, 65536}};
  for (const auto& c : lcm) EXPECT_EQ(qoblCalculateLCM(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

// Each kind of dataset a run may be given, read for a run: the memory check answers as the entries'
// memory kinds say (with the failing step's message otherwise), and a dataset that passes is read into
// the entries record with the same handles and addresses, in order, as the dataset library returns one by
// one.  The record is reused from dataset to dataset, as a submitting thread reuses its own.
TEST(Utils, DatasetReadingsOfARun) {
  const qobmDeviceInfo card{qobmDE_QOBC, 0}, host{qobmDE_CPU, 0};
  const qobmShape shape{4, {1, 3, 2, 2, 0, 0}};
  struct Entry {
    bool tensor;
    qobmDeviceInfo dev;
    uint64_t addr;
  };
  struct Case {
    const char* name;
    qobmDatasetMode mode;
    std::vector<Entry> entries;
    bool destroyed;       // the handle names a dataset destroyed before the reading
    const char* failure;  // the check's error line; null when the dataset passes
  };
  const Case cases[] = {
      {"three buffers", qobmDM_BUFFER, {{false, card, 0x1000}, {false, card, 0x2000}, {false, card, 0x3000}}, false,
       nullptr},
      {"one buffer", qobmDM_BUFFER, {{false, card, 0x4000}}, false, nullptr},
      {"two tensors", qobmDM_TENSOR, {{true, card, 0x5000}, {true, card, 0x6000}}, false, nullptr},
      {"empty buffer dataset", qobmDM_BUFFER, {}, false, nullptr},
      {"empty tensor dataset", qobmDM_TENSOR, {}, false, nullptr},
      {"host buffer after a card one", qobmDM_BUFFER, {{false, card, 0x7000}, {false, host, 0x10}}, false,
       "Find non qobmDE_QOBC memory dataset."},
      {"host tensor", qobmDM_TENSOR, {{true, host, 0x20}}, false, "Find non qobmDE_QOBC memory dataset."},
      {"destroyed dataset", qobmDM_BUFFER, {}, true, "Failed to call qobmGetDatasetMode(dt, &mode) : "},
  };
  DatasetEntries read;  // one record for every reading
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qobmDataset* ds = nullptr;
    ASSERT_EQ(qobmCreateDataset(c.mode, &ds), 0);
    std::vector<void*> handles;
    for (const Entry& e : c.entries) {
      if (e.tensor) {
        qobmTensor* t = nullptr;
        ASSERT_EQ(qobmCreateTensor(e.dev, e.addr, 48, &shape, qobmDT_FLOAT32, &t), 0);
        ASSERT_EQ(qobmAddDatasetTensor(ds, t), 0);
        handles.push_back(t);
      } else {
        qobmDataBuffer* b = nullptr;
        ASSERT_EQ(qobmCreateDataBuffer(e.dev, e.addr, 48, &b), 0);
        ASSERT_EQ(qobmAddDatasetBuffer(ds, b), 0);
        handles.push_back(b);
      }
    }
    if (c.destroyed) {
      ASSERT_EQ(qobmDestroyDataset(ds), 0);
    }

    qobltest::LogCapture log;
    const bool passed = qoblCheckDatasetMemoryType(ds, qobmDE_QOBC, &read);
    const std::vector<std::string> errors = log.take();
    std::vector<uint64_t> addrs = {0xdead, 0xbeef, 0xfeed, 0xface};  // a list holding another dataset's
    qoblGetDatasetDataAddrs(ds, addrs);
    if (c.failure != nullptr) {
      EXPECT_FALSE(passed);
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0].rfind(c.failure, 0), 0u) << errors[0];
    } else {
      EXPECT_TRUE(passed);
      EXPECT_TRUE(errors.empty());
      EXPECT_EQ(read.dataset, ds);
      EXPECT_EQ(read.mode, c.mode);
      EXPECT_EQ(read.handles, handles);
      std::vector<uint64_t> expected;
      for (const Entry& e : c.entries) expected.push_back(e.addr);
      EXPECT_EQ(read.addrs, expected);
      EXPECT_EQ(addrs, expected);
      qobmDatasetMode mode = qobmDM_TENSOR;
      uint32_t count = 99;
      EXPECT_TRUE(qoblUtilsDatasetEntries(ds, &mode, &count));
      EXPECT_EQ(mode, c.mode);
      EXPECT_EQ(count, c.entries.size());
    }
    if (c.destroyed) {
      EXPECT_TRUE(addrs.empty());
      qobmDatasetMode mode = qobmDM_BUFFER;
      uint32_t count = 0;
      EXPECT_FALSE(qoblUtilsDatasetEntries(ds, &mode, &count));
    } else if (c.failure != nullptr) {
      EXPECT_EQ(addrs.size(), c.entries.size());  // the plain address reading does not look at memory kinds
    }
    EXPECT_FALSE(qoblCheckDatasetMemoryType(nullptr, qobmDE_QOBC, &read));

    if (!c.destroyed) {
      EXPECT_EQ(qobmDestroyDataset(ds), 0);
    }
    for (size_t i = 0; i < handles.size(); ++i) {
      if (c.entries[i].tensor) {
        EXPECT_EQ(qobmDestroyTensor(static_cast<qobmTensor*>(handles[i])), 0);
      } else {
        EXPECT_EQ(qobmDestroyDataBuffer(static_cast<qobmDataBuffer*>(handles[i])), 0);
      }
    }
  }
}

// A failing dataset call is logged with the call written as the caller makes it: the clone's own names,
// and for an entry copied out of a run's output dataset, that dataset and its offset.
TEST(Utils, FailedDatasetCallsNameTheirArguments) {
  qobmDataset* gone = nullptr;
  ASSERT_EQ(qobmCreateDataset(qobmDM_BUFFER, &gone), 0);
  ASSERT_EQ(qobmDestroyDataset(gone), 0);
  qobmDataset* empty = nullptr;
  ASSERT_EQ(qobmCreateDataset(qobmDM_TENSOR, &empty), 0);
  qobmDataset* into = nullptr;
  ASSERT_EQ(qobmCreateDataset(qobmDM_TENSOR, &into), 0);

  struct Case {
    const char* name;
    bool (*fails)(qobmDataset* gone, qobmDataset* empty, qobmDataset* into);
    const char* line;
  };
  const Case cases[] = {
      {"clone of a destroyed dataset",
       [](qobmDataset* g, qobmDataset*, qobmDataset*) { return qoblCloneDataset(g) == nullptr; },
       "Failed to call qobmGetDatasetMode(dt, &mode) : "},
      {"entries of a destroyed dataset",
       [](qobmDataset* g, qobmDataset*, qobmDataset*) {
         qobmDatasetMode mode = qobmDM_BUFFER;
         uint32_t count = 0;
         return !qoblUtilsDatasetEntries(g, &mode, &count);
       },
       "Failed to call qobmGetDatasetMode(dt, &mode) : "},
      {"an output entry past the end",
       [](qobmDataset*, qobmDataset* e, qobmDataset* in) {
         return !qoblUtilsCopyDatasetEntry(e, 2, qobmDM_TENSOR, in, "outputDataset", "offset + j");
       },
       "Failed to call qobmGetDatasetTensor(outputDataset, offset + j, &tensor) : "},
      {"a clone's entry past the end",
       [](qobmDataset*, qobmDataset* e, qobmDataset* in) {
         return !qoblUtilsCopyDatasetEntry(e, 0, qobmDM_BUFFER, in, "dt", "i");
       },
       "Failed to call qobmGetDatasetBuffer(dt, i, &buffer) : "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qobltest::LogCapture log;
    EXPECT_TRUE(c.fails(gone, empty, into));
    const std::vector<std::string> errors = log.take();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(c.line, 0), 0u) << errors[0];
  }
  EXPECT_EQ(qobmDestroyDataset(empty), 0);
  EXPECT_EQ(qobmDestroyDataset(into), 0);
}

// The log checks answer as the platform log does: under a reading, whatever order the levels are asked in
// (a reading keeps the answers it had), and after a pause in which the level changed (a report callback
// may change it), at once with the new level.
TEST(Utils, LogChecksFollowThePlatformLog) {
  uint32_t before = 0;
  ASSERT_EQ(qobmGetLogLevel(&before), 0);
  const uint32_t orders[][7] = {{0, 1, 2, 3, 4, 5, 6}, {6, 5, 4, 3, 2, 1, 0}, {3, 0, 6, 1, 5, 2, 4}};
  for (uint32_t t = 0; t <= 6; ++t) {
    for (const auto& order : orders) {
      ASSERT_EQ(qobmSetLogLevel(t), 0);
      const uint32_t later = 6 - t;
      for (uint32_t l : order) EXPECT_EQ(qoblLogWanted(l), l >= t) << "no reading, threshold " << t << " level " << l;
      const LogLevelReading reading;
      for (uint32_t l : order) EXPECT_EQ(qoblLogWanted(l), l >= t) << "threshold " << t << " level " << l;
      {
        const LogLevelReading::Pause callback;
        ASSERT_EQ(qobmSetLogLevel(later), 0);
        EXPECT_EQ(qoblLogWanted(t), t >= later);
      }
      for (uint32_t l : order) EXPECT_EQ(qoblLogWanted(l), l >= later) << "after the pause, level " << l;
    }
  }
  EXPECT_EQ(qobmSetLogLevel(before), 0);
}
