// Device memory of the simulated card: layout of addresses, copies, accounting, misuse and injected faults.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qobcrt/qobcrt.h"
#include "qobcrt/qobcrt_sim.h"

namespace {

qobcrt_sim_stats stats(uint32_t dev = 0) {
  qobcrt_sim_stats s{};
  EXPECT_EQ(qobcrt_sim_get_stats(dev, &s), rtSuccess);
  return s;
}

bool sameCounts(const qobcrt_sim_stats& a, const qobcrt_sim_stats& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

using MallocFn = int (*)(uint32_t, uint32_t, uint64_t, uint64_t*);
using FreeFn = int (*)(uint32_t, uint64_t);
int mallocApp(uint32_t dev, uint32_t, uint64_t size, uint64_t* addr) { return qobcrt_malloc_app(dev, size, addr); }
const MallocFn kMalloc[4] = {qobcrt_malloc_stream, qobcrt_malloc_inout, qobcrt_malloc_ddr_share, mallocApp};
const FreeFn kFree[4] = {qobcrt_free_stream, qobcrt_free_inout, qobcrt_free_ddr_share, qobcrt_free_app};

class CardMemory : public ::testing::Test {
 protected:
  void SetUp() override { qobcrt_sim_clear_faults(); }
  void TearDown() override { qobcrt_sim_clear_faults(); }
};

TEST_F(CardMemory, AddressesAreAlignedBelow4GiBAndTellTheirKind) {
  uint64_t addr[4][3];
  for (uint32_t k = 0; k < 4; ++k) {
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(kMalloc[k](0, 0, 100 + i, &addr[k][i]), rtSuccess);
      EXPECT_NE(addr[k][i], 0u);
      EXPECT_LT(addr[k][i] + 100 + i, 1ull << 32);
      EXPECT_EQ(addr[k][i] % 64, 0u);
      uint32_t kind = 99;
      uint64_t base = 0, size = 0;
      ASSERT_EQ(qobcrt_query_block(0, addr[k][i] + 50, &kind, &base, &size), rtSuccess);
      EXPECT_EQ(kind, k);
      EXPECT_EQ(base, addr[k][i]);
      EXPECT_EQ(size, 100u + i);
    }
  }
  // The kind can be told from the address alone: every block of one kind lies above every block of the
  // previous kind, in its own window.
  for (uint32_t k = 1; k < 4; ++k)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_GT(addr[k][i], addr[k - 1][j]);
  for (uint32_t k = 0; k < 4; ++k)
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kFree[k](0, addr[k][i]), rtSuccess);
}

TEST_F(CardMemory, CopiesRoundTripInsideBlocks) {
  uint64_t a = 0, b = 0;
  ASSERT_EQ(qobcrt_malloc_stream(0, 0, 256, &a), rtSuccess);
  ASSERT_EQ(qobcrt_malloc_ddr_share(0, 0, 256, &b), rtSuccess);
  std::vector<uint8_t> in(256), out(256, 0);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 + 1);
  // Fresh blocks read as zero.
  ASSERT_EQ(qobcrt_memcpy_d2h(0, a, 256, out.data()), rtSuccess);
  EXPECT_EQ(out, std::vector<uint8_t>(256, 0));
  ASSERT_EQ(qobcrt_memcpy(0, in.data(), 200, a + 56, kHost2Ddr), rtSuccess);   // ends exactly at the end
  ASSERT_EQ(qobcrt_memcpy_d2d(0, a + 56, 200, b), rtSuccess);
  ASSERT_EQ(qobcrt_memcpy_d2h(0, b, 200, out.data()), rtSuccess);
  EXPECT_EQ(0, std::memcmp(out.data(), in.data(), 200));
  // Overlapping copy inside one block behaves like memmove.
  ASSERT_EQ(qobcrt_memcpy_d2d(0, b, 100, b + 10), rtSuccess);
  ASSERT_EQ(qobcrt_memcpy_d2h(0, b + 10, 100, out.data()), rtSuccess);
  EXPECT_EQ(0, std::memcmp(out.data(), in.data(), 100));
  EXPECT_EQ(qobcrt_free_stream(0, a), rtSuccess);
  EXPECT_EQ(qobcrt_free_ddr_share(0, b), rtSuccess);
}

TEST_F(CardMemory, AccountingIsExactAndLiveBlocksReturnToZero) {
  const qobcrt_sim_stats before = stats();
  uint64_t total = 0, used0 = 0, used1 = 0;
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used0), rtSuccess);
  EXPECT_EQ(total, 1024ull << 20);
  std::vector<uint64_t> blocks[4];
  for (uint32_t k = 0; k < 4; ++k) {
    for (uint64_t i = 1; i <= 5; ++i) {
      uint64_t addr = 0;
      ASSERT_EQ(kMalloc[k](0, 0, i * 1000, &addr), rtSuccess);
      blocks[k].push_back(addr);
    }
  }
  qobcrt_sim_stats mid = stats();
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used1), rtSuccess);
  EXPECT_EQ(used1 - used0, 4u * 15000u);
  for (uint32_t k = 0; k < 4; ++k) {
    EXPECT_EQ(mid.live_blocks[k] - before.live_blocks[k], 5u);
    EXPECT_EQ(mid.live_bytes[k] - before.live_bytes[k], 15000u);
    EXPECT_EQ(mid.allocs[k] - before.allocs[k], 5u);
    EXPECT_EQ(mid.frees[k], before.frees[k]);
    for (uint64_t a : blocks[k]) ASSERT_EQ(kFree[k](0, a), rtSuccess);
  }
  qobcrt_sim_stats after = stats();
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used1), rtSuccess);
  EXPECT_EQ(used1, used0);
  for (uint32_t k = 0; k < 4; ++k) {
    EXPECT_EQ(after.live_blocks[k], before.live_blocks[k]);
    EXPECT_EQ(after.live_bytes[k], before.live_bytes[k]);
    EXPECT_EQ(after.frees[k] - before.frees[k], 5u);
  }
}

TEST_F(CardMemory, MisuseReturnsARuntimeCodeAndChangesNothing) {
  uint32_t count = 0;
  ASSERT_EQ(qobcrt_get_device_count(&count), rtSuccess);
  uint64_t blk = 0, inout = 0, gone = 0;
  ASSERT_EQ(qobcrt_malloc_stream(0, 0, 128, &blk), rtSuccess);
  ASSERT_EQ(qobcrt_malloc_inout(0, 0, 128, &inout), rtSuccess);
  ASSERT_EQ(qobcrt_malloc_ddr_share(0, 0, 64, &gone), rtSuccess);
  ASSERT_EQ(qobcrt_free_ddr_share(0, gone), rtSuccess);
  std::vector<uint8_t> host(256, 0xab);
  const std::vector<uint8_t> zeros(128, 0);

  const qobcrt_sim_stats before = stats();
  uint64_t used_before = 0, total = 0, used = 0;
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used_before), rtSuccess);

  struct Case {
    const char* what;
    int got;
    int want;
  };
  uint64_t out = 0x1234;
  const Case cases[] = {
      {"malloc on a missing device", qobcrt_malloc_stream(count, 0, 64, &out), rtErrInvalidDevice},
      {"malloc on device 2^32-1", qobcrt_malloc_inout(0xffffffffu, 0, 64, &out), rtErrInvalidDevice},
      {"malloc with a flag", qobcrt_malloc_stream(0, 1, 64, &out), rtErrInvalidParam},
      {"malloc of zero bytes", qobcrt_malloc_ddr_share(0, 0, 0, &out), rtErrInvalidParam},
      {"malloc_app of zero bytes", qobcrt_malloc_app(0, 0, &out), rtErrInvalidParam},
      {"malloc with a null out", qobcrt_malloc_inout(0, 0, 64, nullptr), rtErrInvalidParam},
      {"malloc beyond 4 GiB", qobcrt_malloc_stream(0, 0, 1ull << 33, &out), rtErrMalloc},
      {"free of address 0", qobcrt_free_stream(0, 0), rtErrInvalidAddr},
      {"free inside a block", qobcrt_free_stream(0, blk + 64), rtErrInvalidAddr},
      {"free of inout as stream", qobcrt_free_stream(0, inout), rtErrInvalidAddr},
      {"free of stream as app", qobcrt_free_app(0, blk), rtErrInvalidAddr},
      {"free above 4 GiB", qobcrt_free_inout(0, inout + (1ull << 32)), rtErrInvalidAddr},
      {"double free", qobcrt_free_ddr_share(0, gone), rtErrDoubleFree},
      {"free on a missing device", qobcrt_free_stream(count, blk), rtErrInvalidDevice},
      {"memcpy past the end", qobcrt_memcpy(0, host.data(), 65, blk + 64, kHost2Ddr), rtErrOutOfBounds},
      {"memcpy larger than the block", qobcrt_memcpy(0, host.data(), 256, blk, kHost2Ddr), rtErrOutOfBounds},
      {"memcpy to a freed block", qobcrt_memcpy(0, host.data(), 8, gone, kHost2Ddr), rtErrInvalidAddr},
      {"memcpy to nowhere", qobcrt_memcpy(0, host.data(), 8, 0x10, kHost2Ddr), rtErrInvalidAddr},
      {"memcpy with direction 1", qobcrt_memcpy(0, host.data(), 8, blk, kDdr2Host), rtErrInvalidParam},
      {"memcpy from null", qobcrt_memcpy(0, nullptr, 8, blk, kHost2Ddr), rtErrInvalidParam},
      {"memcpy of zero bytes", qobcrt_memcpy(0, host.data(), 0, blk, kHost2Ddr), rtErrInvalidParam},
      {"memcpy on a missing device", qobcrt_memcpy(count, host.data(), 8, blk, kHost2Ddr), rtErrInvalidDevice},
      {"d2h to null", qobcrt_memcpy_d2h(0, blk, 8, nullptr), rtErrInvalidParam},
      {"d2h past the end", qobcrt_memcpy_d2h(0, blk + 100, 29, host.data()), rtErrOutOfBounds},
      {"d2d into a freed block", qobcrt_memcpy_d2d(0, blk, 8, gone), rtErrInvalidAddr},
      {"d2d past the source end", qobcrt_memcpy_d2d(0, blk + 64, 128, inout), rtErrOutOfBounds},
      {"memory info with null", qobcrt_get_memory_info(0, nullptr, &used), rtErrInvalidParam},
      {"device count with null", qobcrt_get_device_count(nullptr), rtErrInvalidParam},
      {"query with null size", qobcrt_query_block(0, blk, nullptr, nullptr, nullptr), rtErrInvalidParam},
      {"stats with null", qobcrt_sim_get_stats(0, nullptr), rtErrInvalidParam},
      {"stats of a missing device", qobcrt_sim_get_stats(count, nullptr), rtErrInvalidDevice},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(out, 0x1234u) << "a failing malloc wrote its out address";

  EXPECT_TRUE(sameCounts(stats(), before));
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used), rtSuccess);
  EXPECT_EQ(used, used_before);
  // The failed copies wrote nothing.
  std::vector<uint8_t> back(128, 1);
  ASSERT_EQ(qobcrt_memcpy_d2h(0, blk, 128, back.data()), rtSuccess);
  EXPECT_EQ(back, zeros);
  // Both blocks are still alive and can be freed once, and only once.
  EXPECT_EQ(qobcrt_free_stream(0, blk), rtSuccess);
  EXPECT_EQ(qobcrt_free_inout(0, inout), rtSuccess);
  EXPECT_EQ(qobcrt_free_stream(0, blk), rtErrDoubleFree);
  EXPECT_EQ(qobcrt_free_inout(0, inout), rtErrDoubleFree);
  uint64_t size = 7;
  ASSERT_EQ(qobcrt_query_block(0, blk, nullptr, nullptr, &size), rtSuccess);
  EXPECT_EQ(size, 0u);
}

TEST_F(CardMemory, InjectedFaultHitsExactlyTheNamedNthCall) {
  const qobcrt_sim_stats before = stats();
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_malloc_stream", 3, 500077), rtSuccess);
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_memcpy", 1, 0), rtSuccess);   // 0: the default injected code
  uint64_t a[4] = {};
  ASSERT_EQ(qobcrt_malloc_stream(0, 0, 64, &a[0]), rtSuccess);
  ASSERT_EQ(qobcrt_malloc_inout(0, 0, 64, &a[1]), rtSuccess);          // other names do not count
  // A misused call still counts as a call of its name.
  EXPECT_EQ(qobcrt_malloc_stream(0, 0, 0, &a[2]), rtErrInvalidParam);
  uint64_t untouched = 42;
  EXPECT_EQ(qobcrt_malloc_stream(0, 0, 64, &untouched), 500077);
  EXPECT_EQ(untouched, 42u);
  ASSERT_EQ(qobcrt_malloc_stream(0, 0, 64, &a[2]), rtSuccess);         // spent after it fired
  const uint8_t byte = 9;
  EXPECT_EQ(qobcrt_memcpy(0, &byte, 1, a[0], kHost2Ddr), rtErrInjected);
  uint8_t back = 1;
  ASSERT_EQ(qobcrt_memcpy_d2h(0, a[0], 1, &back), rtSuccess);
  EXPECT_EQ(back, 0) << "an injected fault must do nothing";
  EXPECT_EQ(qobcrt_memcpy(0, &byte, 1, a[0], kHost2Ddr), rtSuccess);

  // A failing free leaves the block alive; the retry frees it.
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_free_stream", 1, 500123), rtSuccess);
  EXPECT_EQ(qobcrt_free_stream(0, a[0]), 500123);
  EXPECT_EQ(qobcrt_free_stream(0, a[0]), rtSuccess);

  // Faults of several names and several faults of one name coexist; clearing drops them all.
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_free_inout", 1, 500101), rtSuccess);
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_free_stream", 1, 500102), rtSuccess);
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_free_stream", 2, 500103), rtSuccess);
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_get_device_count", 1, 500104), rtSuccess);
  EXPECT_EQ(qobcrt_free_stream(0, a[2]), 500102);
  EXPECT_EQ(qobcrt_free_stream(0, a[2]), 500103);
  uint32_t count = 0;
  EXPECT_EQ(qobcrt_get_device_count(&count), 500104);
  ASSERT_EQ(qobcrt_sim_clear_faults(), rtSuccess);
  EXPECT_EQ(qobcrt_free_inout(0, a[1]), rtSuccess);
  EXPECT_EQ(qobcrt_free_stream(0, a[2]), rtSuccess);

  EXPECT_EQ(qobcrt_sim_fail_call("qobcrt_no_such_call", 1, 1), rtErrInvalidParam);
  EXPECT_EQ(qobcrt_sim_fail_call(nullptr, 1, 1), rtErrInvalidParam);
  EXPECT_EQ(qobcrt_sim_fail_call("qobcrt_memcpy", 0, 1), rtErrInvalidParam);
  const qobcrt_sim_stats after = stats();
  EXPECT_EQ(after.allocs[0] - before.allocs[0], 2u);
  EXPECT_EQ(after.frees[0] - before.frees[0], 2u);
  EXPECT_EQ(after.live_blocks[0], before.live_blocks[0]);
  EXPECT_EQ(after.live_blocks[1], before.live_blocks[1]);
}

TEST_F(CardMemory, FreedAddressesAreNotReusedAtOnce) {
  // A stale address keeps failing as a double free while other blocks come and go.
  uint64_t first = 0;
  ASSERT_EQ(qobcrt_malloc_app(0, 4096, &first), rtSuccess);
  ASSERT_EQ(qobcrt_free_app(0, first), rtSuccess);
  std::vector<uint64_t> later;
  for (int i = 0; i < 50; ++i) {
    uint64_t a = 0;
    ASSERT_EQ(qobcrt_malloc_app(0, 4096, &a), rtSuccess);
    EXPECT_NE(a, first);
    later.push_back(a);
  }
  EXPECT_EQ(qobcrt_free_app(0, first), rtErrDoubleFree);
  for (uint64_t a : later) ASSERT_EQ(qobcrt_free_app(0, a), rtSuccess);
}

}  // namespace
