// threads.cpp -- the thread count of the parallel stages, from KAVREX_THREADS
// and the process's affinity mask.
#include "platform/threads.h"

#include <cstdlib>

#include <sched.h>
#include <unistd.h>

namespace kvf::sys {

int usable_cpus() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

int thread_count(const char* value, int cpus) {
  if (value != nullptr && *value != '\0') {
    long n = 0;
    const char* p = value;
    while (*p >= '0' && *p <= '9' && n <= kMaxThreads) n = n * 10 + (*p++ - '0');
    // Digits beyond the cap still count as a number, however many.
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '\0' && n >= 1) return n > kMaxThreads ? kMaxThreads : static_cast<int>(n);
  }
  if (cpus < 1) return 1;
  return cpus > kMaxThreads ? kMaxThreads : cpus;
}

int thread_count() { return thread_count(std::getenv("KAVREX_THREADS"), usable_cpus()); }

}  // namespace kvf::sys
