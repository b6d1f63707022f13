#include "gateway/log_line.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace gateway {

bool isJournalStream(int fd, const char* journalStream) {
    if (journalStream == nullptr) return false;
    std::uintmax_t device = 0, inode = 0;
    char end = 0;
    if (std::sscanf(journalStream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &end) != 2) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0) return false;
    return static_cast<std::uintmax_t>(info.st_dev) == device && static_cast<std::uintmax_t>(info.st_ino) == inode;
}

std::string formatLogLine(Priority priority, const std::string& text, bool journal, const std::time_t* now) {
    std::string lead;
    if (journal) {
        lead = "<" + std::to_string(static_cast<int>(priority)) + ">";
    } else if (now == nullptr) {
        lead = "tellivar-gateway: ";
    } else {
        char stamp[32];
        std::tm utc{};
        gmtime_r(now, &utc);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
        lead = std::string(stamp) + " tellivar-gateway: ";
    }
    // Every line of a text of several carries the lead: the journal takes
    // each as an entry of its own.
    std::string line = lead;
    const std::size_t length = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
    for (char c : text.substr(0, length)) {
        line += c;
        if (c == '\n') line += lead;
    }
    return line;
}

void logLine(Priority priority, const std::string& text, bool stamped) {
    static const bool journal = isJournalStream(2, std::getenv("JOURNAL_STREAM"));
    const std::time_t now = std::time(nullptr);
    const std::string line = formatLogLine(priority, text, journal, stamped ? &now : nullptr) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace gateway
