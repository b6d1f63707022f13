// Host logger and context that keep nothing but a count of the calls: for
// tests that must not allocate (heap counting) or do not care what is logged.
// Header-only, so tests that load the real plug-in can use them too.
#pragma once

#include <atomic>

#include "host/data.h"

class QuietLogger : public data::HostLogger {
public:
    void status(const char*, int) override { ++count; }
    void error(const char*, const char*) override { ++count; }
    void info(const char*, const char*) override { ++count; }

    std::atomic<long> count{0};
};

class QuietContext : public data::RequestContext {
public:
    data::HostLogger* logger() override { return &log; }

    QuietLogger log;
};
