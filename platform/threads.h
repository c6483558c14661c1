// threads.h -- how many threads the tool's parallel work runs on: the
// loading of a dump's segments and the rendering of a dump's records both
// ask here, so that one setting (KAVREX_THREADS) and one count of CPUs
// decide both.
#pragma once

namespace kvf::sys {

// Most threads any parallel stage runs on.
inline constexpr int kMaxThreads = 32;

// The CPUs this process may run on (its affinity mask); the online count
// when the mask cannot be read; at least 1.
int usable_cpus();

// The value of KAVREX_THREADS when it is a whole decimal number from 1 up
// (larger than kMaxThreads counts as kMaxThreads); otherwise, when it is
// unset or anything else (empty, 0, signed, not a number, with anything
// after the digits), it is ignored and every usable CPU takes part, up to
// kMaxThreads.
int thread_count();
// The same rule for `value` (nullptr: unset) on a process that may run on
// `cpus` CPUs (0 or less: unknown, taken as 1).
int thread_count(const char* value, int cpus);

}  // namespace kvf::sys
