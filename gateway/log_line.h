// The gateway program's log lines, on stderr. On a terminal (or a file) each
// line carries its own UTC time and the program's name; under systemd, whose
// journal stamps and names every line itself, a line carries instead its
// priority as a "<N>" prefix (sd-daemon's convention: 3 error, 4 warning,
// 6 information), which the journal reads and strips.
//
// Threads: any; a line is written with one call.
#pragma once

#include <ctime>
#include <string>

namespace gateway {

enum class Priority { Error = 3, Warning = 4, Info = 6 };

// True when `fd` is the stream the journal gave this process: JOURNAL_STREAM
// ("DEVICE:INODE", set by systemd) names the file `fd` is open on. A child
// that inherited the variable but writes elsewhere (a terminal) gets false.
bool isJournalStream(int fd, const char* journalStream);

// The line as written, without its last newline; each line of a text of
// several gets the lead. `now` null: a terminal's line
// without a time (the program's errors before it runs, as they always were).
std::string formatLogLine(Priority priority, const std::string& text, bool journal, const std::time_t* now);

// Writes a line to stderr, in the journal's form when stderr is the journal
// (decided once, at the first line); on a terminal with the time when `stamped`.
void logLine(Priority priority, const std::string& text, bool stamped = true);

}  // namespace gateway
