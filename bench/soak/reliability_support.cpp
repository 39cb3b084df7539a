#include "reliability_support.h"

#include <dirent.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include <gtest/gtest.h>

namespace brelo::test {
namespace {

long statusField(pid_t pid, const char* field) {
    std::ifstream in(pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::atol(line.c_str() + n + 1);
    return -1;
}

}  // namespace

bool longTests() {
    const char* value = std::getenv("BRELO_LONG_TESTS");
    return value && std::strcmp(value, "1") == 0;
}

size_t scaled(size_t shortN, size_t n) { return longTests() ? n : shortN; }

bool addressSanitized() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

size_t openFds(pid_t pid) {
    size_t n = 0;
    const std::string path = pid == 0 ? std::string("/proc/self/fd") : "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir))
            n += entry->d_name[0] != '.';
        closedir(dir);
        if (pid == 0)
            --n;  // the directory we just read
    }
    return n;
}

long rssKiB(pid_t pid) { return statusField(pid, "VmRSS"); }
long peakRssKiB() { return statusField(0, "VmHWM"); }

bool resetPeakRss() {
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f)
        return false;
    bool ok = std::fputs("5", f) >= 0;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

double monotonicS() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void figure(const std::string& name, const std::string& value) {
    std::cout << "FIGURE " << name << ": " << value << std::endl;
    ::testing::Test::RecordProperty(name, value);
}

}  // namespace brelo::test
