#pragma once

// Small things the fault, hostile-input and leak tests share.

#include <cstddef>
#include <string>

#include <sys/types.h>

namespace brelo::test {

// Long runs (minutes: long outages, 10,000 uploads or restarts) only with BRELO_LONG_TESTS=1
// in the environment; the default run uses short versions of the same tests.
bool longTests();
// n in a long run, otherwise shortN.
size_t scaled(size_t shortN, size_t n);

// Built with AddressSanitizer: its allocator keeps freed memory in quarantine, so resident
// memory says nothing about leaks there (LeakSanitizer checks them at exit instead).
bool addressSanitized();

// Open file descriptors of a process (this one when pid is 0).
size_t openFds(pid_t pid = 0);
// Resident memory in KiB (VmRSS), and the peak since the last resetPeakRss (VmHWM).
long rssKiB(pid_t pid = 0);
long peakRssKiB();
// False when the kernel does not let us reset the peak.
bool resetPeakRss();

// Seconds on CLOCK_MONOTONIC.
double monotonicS();

// A figure for tests/README.md: printed as "FIGURE name: value" and kept as a test property.
void figure(const std::string& name, const std::string& value);

}  // namespace brelo::test
