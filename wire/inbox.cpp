#include "wire/inbox.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace wire {
namespace {

constexpr char kInboxPrefix[] = "_INBOX";
constexpr std::size_t kClientDigits = 16;

const char* marker(ReplyKind kind) {
    switch (kind) {
        case ReplyKind::Image:
            return ".i.";
        case ReplyKind::Window:
            return ".s.";
        case ReplyKind::History:
            return ".h.";
    }
    return ".?.";
}

}  // namespace

std::string inboxFor(const std::string& user, std::uint64_t client) {
    std::string inbox = kInboxPrefix;
    if (!user.empty()) inbox += '_';
    for (const char c : user) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        inbox += plain ? c : '_';
    }
    char id[24];
    std::snprintf(id, sizeof id, ".%016" PRIx64, client);
    return inbox + id;
}

std::string replySubject(const std::string& inbox, ReplyKind kind, std::uint64_t id) {
    return inbox + marker(kind) + std::to_string(id);
}

std::string helloReply(const std::string& inbox) { return inbox + ".hello"; }

bool parseReply(const std::string& subject, const std::string& inbox, ReplyKind kind, std::uint64_t* id) {
    const std::string prefix = inbox + marker(kind);
    if (subject.size() <= prefix.size() || subject.compare(0, prefix.size(), prefix) != 0) return false;
    const char* digits = subject.c_str() + prefix.size();
    if (*digits < '0' || *digits > '9') return false;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(digits, &end, 10);
    if (end == nullptr || *end != '\0') return false;
    *id = value;
    return true;
}

std::string inboxOf(const std::string& reply) {
    const std::size_t first = reply.find('.');
    if (first == std::string::npos) return reply;
    return reply.substr(0, reply.find('.', first + 1));
}

std::string userOf(const std::string& reply) { return reply.substr(0, reply.find('.')); }

std::uint64_t clientOf(const std::string& reply) {
    const std::size_t dot = reply.find('.');
    const std::size_t end = dot + 1 + kClientDigits;
    if (reply.compare(0, sizeof kInboxPrefix - 1, kInboxPrefix) != 0 || dot == std::string::npos ||
        reply.size() < end || (reply.size() > end && reply[end] != '.'))
        return 0;
    std::uint64_t client = 0;
    for (std::size_t i = dot + 1; i < end; ++i) {
        const char c = reply[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return 0;
        client = client << 4 | static_cast<std::uint64_t>(digit);
    }
    return client;
}

}  // namespace wire
