// Exit codes of tellivar-host; docs/host.md lists them for users.
#pragma once

namespace exitcode {
constexpr int kOk = 0;
constexpr int kFailure = 1;           // anything not listed below (a file that cannot be written, ...)
constexpr int kBadArguments = 2;      // unknown command or option, bad interval, field, date, ...
constexpr int kPluginNotLoaded = 3;   // dlopen/dlsym failed or init_data_interface gave null
constexpr int kSymbolRejected = 4;    // the plug-in returned no supplier for the request
constexpr int kHistoryTimedOut = 5;   // history not complete within --timeout
constexpr int kNotConnected = 6;      // feed client missing, or not online within --connect-timeout
constexpr int kInterrupted = 130;     // Ctrl-C while a result was still owed
}  // namespace exitcode
