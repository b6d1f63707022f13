#include <fmt/format.h>
#include <fmt/ranges.h>

#include <string>

#include "commands.h"
#include "exit_codes.h"
#include "fields.h"
#include "interval.h"
#include "xrc.h"

int runInfo(const HostOptions& host, const InfoOptions& options) {
    HostSession session(host);
    if (const int code = session.open(); code != exitcode::kOk) return code;
    printProviderInfo(session, true);
    if (!options.connect) return exitcode::kOk;
    const int code = session.connect();
    if (code != exitcode::kOk) return code;
    const char* user = session.factory().getSetting(kUsernameKey);
    const char* password = session.factory().getSetting(kPasswordKey);
    printOut("Connected:        as '{}' ({}), online {}\n", user != nullptr ? user : "",
             password != nullptr && *password != '\0' ? "password set" : "no password",
             session.ability().isOnline() ? "yes" : "no");
    return exitcode::kOk;
}
