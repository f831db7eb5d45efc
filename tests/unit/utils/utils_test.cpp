// The library's utilities: device uploads, file reading, dataset cloning and memory-kind checks, LCM.
#include <gtest/gtest.h>

#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobm/qobm.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "qobl_test/card_stats.h"
#include "qobl_test/log_capture.h"
#include "utils/utils.h"

using namespace zenlar::qobl;

namespace {

using qobltest::LogCapture;

uint64_t liveStreamBlocks() { return qobltest::liveBlocks().stream; }

std::string tempPath(const char* name) {
  return std::string(::testing::TempDir()) + name + "_" + std::to_string(getpid());
}

}  // namespace

// The block is a stream block rounded up to 16 bytes holding the requested bytes.
TEST(Utils, CopyDataToDeviceRoundsTheBlockAndCopiesTheRequestedBytes) {
  const uint64_t before = liveStreamBlocks();
  const unsigned char cfg[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (uint32_t bytes : {13u, 16u}) {
    LogCapture log(qobmLL_DEBUG);
    const uint64_t addr = qoblCopyDataToDevice(cfg, 0, bytes);
    ASSERT_NE(addr, 0u);
    uint32_t kind = 99;
    uint64_t base = 0, size = 0;
    ASSERT_EQ(qobcrt_query_block(0, addr, &kind, &base, &size), 0);
    EXPECT_EQ((std::vector<uint64_t>{QOBCRT_SIM_STREAM, addr, 16}), (std::vector<uint64_t>{kind, base, size}));
    unsigned char back[16] = {};
    ASSERT_EQ(qobcrt_memcpy_d2h(0, addr, bytes, back), 0);
    EXPECT_EQ(std::memcmp(back, cfg, bytes), 0);
    const auto lines = log.takeLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, static_cast<uint32_t>(qobmLL_DEBUG));
    EXPECT_NE(lines[0].text.find("Malloc stream memory for input configure in DDR."), std::string::npos);
    EXPECT_NE(lines[0].text.find("size = 16.\n "), std::string::npos) << lines[0].text;
    EXPECT_EQ(qobcrt_free_stream(0, addr), 0);
  }
  EXPECT_EQ(liveStreamBlocks(), before);
}

TEST(Utils, CopyDataToDeviceFailuresLeaveNoBlock) {
  LogCapture log(qobmLL_WARN);
  const unsigned char cfg[8] = {};
  const uint64_t before = liveStreamBlocks();

  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_malloc_stream", 1, rtErrMalloc), 0);
  EXPECT_EQ(qoblCopyDataToDevice(cfg, 0, 8), 0u);
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_memcpy", 1, rtErrInjected), 0);
  EXPECT_EQ(qoblCopyDataToDevice(cfg, 0, 8), 0u);
  qobcrt_sim_clear_faults();
  EXPECT_EQ(liveStreamBlocks(), before) << "the block allocated before the failed copy must be released";

  EXPECT_EQ(qoblCopyDataToDevice(cfg, 7, 8), 0u) << "no such device";
  const auto lines = log.takeLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text,
            "[qobl]: failed to malloc stream memory for input configure in DDR. Error code is [500000].\n ");
  EXPECT_EQ(lines[1].text, "Failed to copy input config from host to device. Error code is [500100].\n ");
  EXPECT_EQ(lines[0].function, "qoblCopyDataToDevice");
  EXPECT_EQ(lines[0].level, static_cast<uint32_t>(qobmLL_ERROR));
  EXPECT_EQ(lines[2].text.rfind("[qobl]: failed to malloc stream memory", 0), 0u);
}

TEST(Utils, ReadFileChar) {
  LogCapture log(qobmLL_WARN);
  const std::string text = tempPath("five.txt");
  const std::string empty = tempPath("empty.bin");
  { std::ofstream(text, std::ios::binary).write("ab\0de", 5); }
  { std::ofstream(empty, std::ios::binary); }

  for (bool terminate : {true, false}) {
    char* buf = nullptr;
    ASSERT_EQ(qoblUtilsReadFileChar(text.c_str(), &buf, terminate), 5u);
    EXPECT_EQ(std::memcmp(buf, "ab\0de", 5), 0);
    EXPECT_TRUE(!terminate || buf[5] == '\0');
    delete[] buf;
  }

  char sentinel = 'x';
  char* buf = &sentinel;
  EXPECT_EQ(qoblUtilsReadFileChar(empty.c_str(), &buf, true), 0u);
  EXPECT_EQ(buf, &sentinel) << "an empty file allocates nothing";
  EXPECT_TRUE(log.takeLines().empty()) << "an empty file is not an error of the reader";

  const std::string missing = tempPath("missing.json");
  EXPECT_EQ(qoblUtilsReadFileChar(missing.c_str(), &buf, true), 0u);
  EXPECT_EQ(buf, &sentinel);
  const auto lines = log.takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "failed to open " + missing + " \n");
  std::remove(text.c_str());
  std::remove(empty.c_str());
}

namespace {
// A dataset of three host tensors or buffers over `host`, released on scope exit.
struct HostDataset {
  qobmDataset* ds = nullptr;
  std::vector<qobmTensor*> tensors;
  std::vector<qobmDataBuffer*> buffers;
  HostDataset(qobmDatasetMode mode, std::vector<uint64_t>& addrs, float* host) {
    EXPECT_EQ(qobmCreateDataset(mode, &ds), 0);
    const qobmDeviceInfo cpu{qobmDE_CPU, 0};
    qobmShape shape{1, {4}};
    for (int i = 0; i < 3; ++i) {
      const uint64_t addr = reinterpret_cast<uint64_t>(host + 4 * i);
      addrs.push_back(addr);
      if (mode == qobmDM_TENSOR) {
        qobmTensor* t = nullptr;
        EXPECT_EQ(qobmCreateTensor(cpu, addr, 16, &shape, qobmDT_FLOAT32, &t), 0);
        tensors.push_back(t);
        EXPECT_EQ(qobmAddDatasetTensor(ds, t), 0);
      } else {
        qobmDataBuffer* b = nullptr;
        EXPECT_EQ(qobmCreateDataBuffer(cpu, addr, 16, &b), 0);
        buffers.push_back(b);
        EXPECT_EQ(qobmAddDatasetBuffer(ds, b), 0);
      }
    }
  }
  ~HostDataset() {
    qobmDestroyDataset(ds);
    for (auto* t : tensors) qobmDestroyTensor(t);
    for (auto* b : buffers) qobmDestroyDataBuffer(b);
  }
};
}  // namespace

TEST(Utils, CloneSharesEntriesInOrderAndAddressesFollowThem) {
  float host[12] = {};
  for (qobmDatasetMode mode : {qobmDM_TENSOR, qobmDM_BUFFER}) {
    std::vector<uint64_t> addrs;
    HostDataset src(mode, addrs, host);
    qobmDataset* clone = qoblCloneDataset(src.ds);
    ASSERT_NE(clone, nullptr);
    ASSERT_NE(clone, src.ds);
    qobmDatasetMode cloneMode = static_cast<qobmDatasetMode>(7);
    ASSERT_EQ(qobmGetDatasetMode(clone, &cloneMode), 0);
    EXPECT_EQ(cloneMode, mode);
    std::vector<void*> entries, want;
    uint32_t count = 0;
    const bool tensors = mode == qobmDM_TENSOR;
    ASSERT_EQ(tensors ? qobmGetDatasetTensorCount(clone, &count) : qobmGetDatasetBufferCount(clone, &count), 0);
    for (uint32_t i = 0; i < count; ++i) {
      qobmTensor* t = nullptr;
      qobmDataBuffer* b = nullptr;
      ASSERT_EQ(tensors ? qobmGetDatasetTensor(clone, i, &t) : qobmGetDatasetBuffer(clone, i, &b), 0);
      entries.push_back(tensors ? static_cast<void*>(t) : static_cast<void*>(b));
      want.push_back(tensors ? static_cast<void*>(src.tensors[i]) : static_cast<void*>(src.buffers[i]));
    }
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(entries, want);
    EXPECT_EQ(qoblGetDatasetDataAddrs(clone), addrs);
    EXPECT_EQ(qoblGetDatasetDataAddrs(src.ds), addrs);
    EXPECT_EQ(qobmDestroyDataset(clone), 0);
  }
  EXPECT_EQ(qoblCloneDataset(nullptr), nullptr);
  EXPECT_TRUE(qoblGetDatasetDataAddrs(nullptr).empty());
}

TEST(Utils, CheckDatasetMemoryType) {
  ASSERT_EQ(qobmSetDevice(0), 0);
  LogCapture log(qobmLL_WARN);
  uint64_t cardAddr = 0;
  ASSERT_EQ(qobmMalloc(64, &cardAddr), 0);
  float host[16] = {};
  const qobmDeviceInfo card{qobmDE_QOBC, 0};
  const qobmDeviceInfo cpu{qobmDE_CPU, 0};
  qobmDataBuffer* cardBuf = nullptr;
  qobmDataBuffer* hostBuf = nullptr;
  ASSERT_EQ(qobmCreateDataBuffer(card, cardAddr, 64, &cardBuf), 0);
  ASSERT_EQ(qobmCreateDataBuffer(cpu, reinterpret_cast<uint64_t>(host), 64, &hostBuf), 0);
  qobmShape shape{1, {16}};
  qobmTensor* hostTensor = nullptr;
  ASSERT_EQ(qobmCreateTensor(cpu, reinterpret_cast<uint64_t>(host), 64, &shape, qobmDT_FLOAT32, &hostTensor), 0);

  qobmDataset* empty = nullptr;
  qobmDataset* cardOnly = nullptr;
  qobmDataset* mixed = nullptr;
  qobmDataset* tensors = nullptr;
  ASSERT_EQ(qobmCreateDataset(qobmDM_BUFFER, &empty), 0);
  ASSERT_EQ(qobmCreateDataset(qobmDM_BUFFER, &cardOnly), 0);
  ASSERT_EQ(qobmCreateDataset(qobmDM_BUFFER, &mixed), 0);
  ASSERT_EQ(qobmCreateDataset(qobmDM_TENSOR, &tensors), 0);
  qobmAddDatasetBuffer(cardOnly, cardBuf);
  qobmAddDatasetBuffer(mixed, cardBuf);
  qobmAddDatasetBuffer(mixed, hostBuf);
  qobmAddDatasetTensor(tensors, hostTensor);

  EXPECT_TRUE(qoblCheckDatasetMemoryType(empty, qobmDE_QOBC));
  EXPECT_TRUE(qoblCheckDatasetMemoryType(cardOnly, qobmDE_QOBC));
  EXPECT_TRUE(qoblCheckDatasetMemoryType(tensors, qobmDE_CPU));
  EXPECT_FALSE(qoblCheckDatasetMemoryType(nullptr, qobmDE_QOBC));
  EXPECT_TRUE(log.takeLines().empty());

  EXPECT_FALSE(qoblCheckDatasetMemoryType(mixed, qobmDE_QOBC));  // fails at the second entry
  EXPECT_FALSE(qoblCheckDatasetMemoryType(cardOnly, qobmDE_CPU));
  EXPECT_FALSE(qoblCheckDatasetMemoryType(tensors, qobmDE_QOBC));
  const auto lines = log.takeLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "Find non qobmDE_QOBC memory dataset.");
  EXPECT_EQ(lines[1].text, "Find non qobmDE_CPU memory dataset.");
  EXPECT_EQ(lines[2].text, "Find non qobmDE_QOBC memory dataset.");
  EXPECT_EQ(lines[0].level, static_cast<uint32_t>(qobmLL_ERROR));
  EXPECT_EQ(lines[0].function, "qoblCheckDatasetMemoryType");

  // A handle the dataset library does not know: its failure text is passed on.
  EXPECT_FALSE(qoblCheckDatasetMemoryType(reinterpret_cast<qobmDataset*>(host), qobmDE_QOBC));
  const auto bad = log.takeLines();
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].text.rfind("Failed to call qobmGetDatasetMode(", 0), 0u) << bad[0].text;

  for (auto* d : {empty, cardOnly, mixed, tensors}) qobmDestroyDataset(d);
  qobmDestroyDataBuffer(cardBuf);
  qobmDestroyDataBuffer(hostBuf);
  qobmDestroyTensor(hostTensor);
  EXPECT_EQ(qobmFree(cardAddr), 0);
}

TEST(Utils, LcmSafeCopyAndLogLevel) {
  // 0 when an argument is 0 or the result does not fit in 32 bits.
  const uint32_t lcm[][3] = {{4, 6, 12}, {6, 4, 12},       {5, 5, 5},         {1, 7, 7},          {12, 18, 36},
                             {0, 3, 0},  {3, 0, 0},        {65536, 65537, 0}, {65536, 32768, 65536}};
  for (const auto& c : lcm) EXPECT_EQ(qoblCalculateLCM(c[0], c[1]), c[2]) << c[0] << " " << c[1];

  // Copies at most size - 1 characters and always terminates, never writing past `size`.
  const std::pair<size_t, const char*> copies[] = {{4, "abc"}, {6, "abcde"}, {8, "abcdef"}, {1, ""}};
  for (const auto& c : copies) {
    char dst[9];
    std::memset(dst, '#', sizeof(dst));
    qoblUtilsSafeCopyString("abcdef", 6, dst, c.first);
    EXPECT_STREQ(dst, c.second);
    EXPECT_EQ(dst[c.first], '#') << "wrote past " << c.first;
  }

  ASSERT_EQ(qobmSetLogLevel(qobmLL_WARN), 0);
  EXPECT_TRUE(qoblUtilsIsLogLevelEnabled(qobmLL_ERROR));
  EXPECT_TRUE(qoblUtilsIsLogLevelEnabled(qobmLL_WARN));
  EXPECT_FALSE(qoblUtilsIsLogLevelEnabled(qobmLL_DEBUG));
  ASSERT_EQ(qobmSetLogLevel(qobmLL_TRACE), 0);
  EXPECT_TRUE(qoblUtilsIsLogLevelEnabled(qobmLL_TRACE));
  ASSERT_EQ(qobmSetLogLevel(qobmLL_WARN), 0);
}
