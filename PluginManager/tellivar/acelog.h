// Writes one record through ACE's logging singleton: the caller's last error
// number, then `conditional_set` with the source path, line and status, then
// `log` with the priority and printf-style format. Every unit logs through
// this one function so the four steps stay in one place.
#pragma once

#include <ace/Log_Msg.h>
#include <ace/Log_Priority.h>

// Status marking a record written in an exception handler of the provider core.
constexpr int kAceErrorStatus = -1;

template <typename... Args>
inline void writeAceRecord(const char* path, int line, int status, ACE_Log_Priority priority,
                           const char* format, Args... args) {
    const int lastError = ACE_Log_Msg::last_error_adapter();
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->conditional_set(path, line, status, lastError);
    log->log(priority, format, args...);
}

// True when a record of `priority` would reach ACE's output now. A record
// whose priority is masked out has no effect at all (`log` drops it and forgets
// what `conditional_set` gave it), so a hot path may skip writing it, and the
// evaluation of its arguments, when this is false.
inline bool aceRecordWanted(ACE_Log_Priority priority) {
    return ACE_Log_Msg::instance()->log_priority_enabled(priority) != 0;
}
