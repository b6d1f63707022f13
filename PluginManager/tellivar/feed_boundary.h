// The edge between the feed client's thread and the plug-in: a read scope for
// a feed set's EnterRead/LeaveRead, and the last guard of every callback the
// feed makes into the plug-in.
//
// Threads: both are used on the feed client's thread (and on a host thread
// where a history completes inside its creation). Neither takes a lock.
#pragma once

#include <exception>

#include "PluginManager/tellivar/acelog.h"

// Holds a feed set's read lock from construction until leave() or the end of
// the scope. leave() may throw (a feed fault) and is then not repeated; the
// destructor, which may run while another exception is on its way, swallows
// a failure of its own LeaveRead.
template <typename Set>
class FeedReadScope {
public:
    explicit FeedReadScope(Set* set) : set_(set) { set_->EnterRead(); }
    ~FeedReadScope() {
        if (!entered_) return;
        try {
            set_->LeaveRead();
        } catch (...) {
        }
    }
    FeedReadScope(const FeedReadScope&) = delete;
    FeedReadScope& operator=(const FeedReadScope&) = delete;

    void leave() {
        entered_ = false;  // a throwing LeaveRead must not be answered by another
        set_->LeaveRead();
    }

private:
    Set* const set_;
    bool entered_ = true;
};

// ACE record of an exception that a callback did not handle itself.
constexpr const char kEscapedFormat[] = "%s\n";
constexpr const char kUnknownException[] = "unknown exception";

// Runs `body` so that nothing it throws goes on into the feed client's
// thread, where it would end the host's process. What escapes is logged at
// LM_ERROR with the unit's path and line; the body's own guards (scopes, lock
// guards) have been unwound by then.
template <typename Body>
void guardFeedCallback(const char* path, int line, Body&& body) noexcept {
    try {
        body();
    } catch (const char* text) {
        writeAceRecord(path, line, 0, LM_ERROR, kEscapedFormat, text != nullptr ? text : "");
    } catch (const std::exception& failure) {
        writeAceRecord(path, line, 0, LM_ERROR, kEscapedFormat, failure.what());
    } catch (...) {
        writeAceRecord(path, line, 0, LM_ERROR, kEscapedFormat, kUnknownException);
    }
}
