// Ctrl-C and SIGTERM: the handler only sets a flag that the main thread's
// event loop polls, so suppliers, interfaces and the factory are always
// deleted on the main thread, never inside a notification. A second Ctrl-C
// ends the process at once. SIGPIPE is ignored: a closed output pipe shows
// up as a failed write and ends the command cleanly.
#pragma once

void installStopHandlers();
// Ctrl-C, SIGTERM or a broken stdout: the event loop should stop.
bool stopRequested();
// Ctrl-C or SIGTERM only: a result still owed ends with exit code 130.
bool interrupted();
// Asks the event loop to stop without an interruption (stdout broke).
void requestStop();
