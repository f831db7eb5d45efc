// The lock's guards, its misuse, and the map's own operations.  (Exclusion, write re-entry and the owner
// under load: the concurrency test; reading while owning the write lock: the map's re-entry test below.)
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <thread>
#include <vector>

#include "rwlock.h"

using zenlar::qobl::make_raii;
using zenlar::qobl::raii;
using zenlar::qobl::RWLock;
using zenlar::qobl::threadsafe_unordered_map;

namespace {
struct Counter {
  int acquired = 0;
  int released = 0;
  int acq() { return ++acquired; }
  int rel() { return ++released; }
};
}  // namespace

TEST(Raii, ActionsRunOnceAndCommitControlsRelease) {
  Counter c;
  {
    raii g = make_raii(c, &Counter::rel, &Counter::acq, true);
    EXPECT_EQ(c.acquired, 1);
    EXPECT_EQ(c.released, 0);
  }
  EXPECT_EQ(c.acquired, 1);
  EXPECT_EQ(c.released, 1);
  {
    raii g = make_raii(c, &Counter::rel, &Counter::acq, false);
  }
  EXPECT_EQ(c.acquired, 2);
  EXPECT_EQ(c.released, 1) << "uncommitted guard must not release";
  {
    raii g = make_raii(c, &Counter::rel, &Counter::acq, true);
    g.commit(false);
  }
  EXPECT_EQ(c.released, 1);
}

TEST(RWLockDeathTest, MisuseEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        RWLock lock(false);
        lock.writeUnlock();
      },
      "this_thread::get_id\\(\\) == this->m_write_thread_id&&WRITE_LOCK_STATUS>=m_lock_count");
  EXPECT_DEATH(
      {
        Counter c;
        raii g = make_raii<Counter>(c, nullptr, &Counter::acq);
      },
      "nullptr!=rel&&nullptr!=acq");
}

// Value-initialised entries, and the operations the map adds: copying lookup and insert-if-absent.
TEST(ThreadsafeMap, ValueInitialisationCopyingLookupAndInsertIfAbsent) {
  threadsafe_unordered_map<uint32_t, int*> ptrs;
  EXPECT_EQ(ptrs[7], nullptr);
  threadsafe_unordered_map<std::string, std::list<int>> byName;
  byName[std::string("k")].push_back(1);
  std::list<int> out;
  EXPECT_TRUE(byName.find("k", out));
  EXPECT_EQ(out, (std::list<int>{1}));
  EXPECT_FALSE(byName.find("absent", out));
  EXPECT_EQ(byName.insertIfAbsent("k", {}).size(), 1u);
  byName.clear();
  EXPECT_EQ(byName.find("k"), byName.end());
  EXPECT_EQ(byName.getLock().lockCount(), 0);
}

TEST(ThreadsafeMap, OperationsReenterTheGuardOfTheirCaller) {
  threadsafe_unordered_map<uint32_t, int> m;
  {
    raii g = m.write_guard();
    EXPECT_EQ(m.getLock().lockCount(), -1);
    m[1] = 10;
    EXPECT_NE(m.find(1), m.end());
    EXPECT_EQ(m.erase(1), 1u);
    EXPECT_EQ(m.getLock().lockCount(), -1) << "inner calls must return to the outer level";
    EXPECT_EQ(m.getLock().writeOwner(), std::this_thread::get_id());
  }
  EXPECT_EQ(m.getLock().lockCount(), 0);
  EXPECT_EQ(m.getLock().writeOwner(), RWLock::NULL_THEAD);
}
