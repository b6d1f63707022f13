// Host objects for the benchmarks: they answer at once and record nothing.
#pragma once

#include <cstring>
#include <vector>

#include "host/data.h"

class NullLogger : public data::HostLogger {
public:
    void status(const char*, int) override {}
    void error(const char*, const char*) override {}
    void info(const char*, const char*) override {}
};

class NullContext : public data::RequestContext {
public:
    data::HostLogger* logger() override { return &log; }
    NullLogger log;
};

class FixedNameList : public data::NameList {
public:
    unsigned int count() override { return static_cast<unsigned int>(names.size()); }
    const char* at(unsigned int index) override { return names[index]; }
    std::vector<const char*> names;  // not owned: literals or the dictionary's rows
};

// A daily request for "XYZ" with no end time unless one is set.
class FixedRequest : public data::SupplierRequest {
public:
    unsigned int intervalNumber() override { return 5; }
    int intervalType() override { return 2; }
    unsigned int intervalMultiple() override { return 1; }
    char intervalLetter() override { return 'D'; }
    const data::CalendarRecord* endTime() override { return &end; }
    int recordCount() override { return records; }
    data::NameList* fieldNames() override { return &names; }
    const char* symbol() override { return "XYZ"; }

    data::CalendarRecord end{};  // year 0: no end time in the query
    int records = 100;
    FixedNameList names;
};
