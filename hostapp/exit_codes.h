// Exit codes of tellivar-host; docs/host.md lists them for users.
#pragma once

namespace exitcode {
constexpr int kOk = 0;
constexpr int kFailure = 1;           // anything not listed below (a write that failed, ...)
constexpr int kBadArguments = 2;      // unknown command or option, bad interval, field, date, output path, ...
constexpr int kPluginNotLoaded = 3;   // dlopen/dlsym failed or init_data_interface gave null
constexpr int kNoSupplier = 4;        // the plug-in made no supplier for the request
constexpr int kHistoryTimedOut = 5;   // history not complete within --timeout
constexpr int kNotConnected = 6;      // feed client missing, logon failed, or not online within --connect-timeout
constexpr int kInterrupted = 130;     // Ctrl-C while a result was still owed
}  // namespace exitcode
