// Captures every record written through ACE's logging singleton, from any
// thread, for the capture's lifetime. Each record keeps the source path and
// line given to `conditional_set`, the status, the priority and the text.
//
// ACE's msg_callback is per thread and would miss the feed thread's records,
// so the capture installs a process-wide backend with the CUSTOM flag. Only
// one capture may be alive at a time.
#pragma once

#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Priority.h>

#include <mutex>
#include <string>
#include <vector>

struct AceRecord {
    std::string path;
    int line = 0;
    int status = 0;
    unsigned long priority = 0;
    std::string text;

    bool operator==(const AceRecord& other) const {
        return path == other.path && line == other.line && status == other.status && priority == other.priority &&
               text == other.text;
    }
};

class AceLogCapture : public ACE_Log_Msg_Backend {
public:
    AceLogCapture();
    ~AceLogCapture() override;
    AceLogCapture(const AceLogCapture&) = delete;
    AceLogCapture& operator=(const AceLogCapture&) = delete;

    std::vector<AceRecord> records() const;
    std::vector<std::string> texts() const;
    void clear();

    int open(const ACE_TCHAR*) override { return 0; }
    int reset() override { return 0; }
    int close() override { return 0; }
    ssize_t log(ACE_Log_Record& record) override;

private:
    mutable std::mutex mutex_;  // guards records_
    std::vector<AceRecord> records_;
    ACE_Log_Msg_Backend* previous_;
    unsigned long previousFlags_;
};

// For gtest failure messages.
std::ostream& operator<<(std::ostream& out, const AceRecord& record);
