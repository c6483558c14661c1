// The thread count of the load and the render: KAVREX_THREADS when it is a
// whole number from 1, else the CPUs of the process's affinity mask, capped.
#include <gtest/gtest.h>

#include <cstdlib>

#include <sched.h>

#include "platform/threads.h"

namespace {

namespace sys = kvf::sys;

TEST(Threads, CountFromTheSettingAndTheCpus) {
  struct Row {
    const char* value;
    int cpus;
    int threads;
  };
  const Row rows[] = {
      {nullptr, 2, 2},  // unset: every usable CPU
      {nullptr, 0, 1},  // the count unknown
      {nullptr, 200, sys::kMaxThreads},
      {"1", 8, 1},
      {"3", 2, 3},  // more than the CPUs, as asked
      {"32", 2, 32},
      {"33", 2, sys::kMaxThreads},
      {"007", 2, 7},
      {"99999999999999999999999", 2, sys::kMaxThreads},
      // Anything but a whole number from 1 is ignored.
      {"", 4, 4},
      {"0", 4, 4},
      {"-2", 4, 4},  // no digit first
      {"2x", 4, 4},  // not digits to the end
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << (r.value ? r.value : "(unset)") << " on " << r.cpus << " CPUs");
    EXPECT_EQ(sys::thread_count(r.value, r.cpus), r.threads);
  }
}

// The CPUs counted are those the process may run on, not those online.
TEST(Threads, CpusFollowTheAffinityMask) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(sys::usable_cpus(), CPU_COUNT(&all));
  int first = 0;
  while (!CPU_ISSET(first, &all)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  unsetenv("KAVREX_THREADS");
  EXPECT_EQ(sys::usable_cpus(), 1);
  EXPECT_EQ(sys::thread_count(), 1);
  setenv("KAVREX_THREADS", "3", 1);
  EXPECT_EQ(sys::thread_count(), 3);
  unsetenv("KAVREX_THREADS");
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}

}  // namespace
