// The reply subjects of a NATS feed client, part of the wire contract: the
// gateway answers to them and reads who asked from them.
//
// A client's inbox is "_INBOX_<user>.<client id as 16 hex digits>": the
// server's permissions give each user its own prefix alone ("_INBOX_<user>.>"),
// and the gateway counts quotas per inbox and per user. Under it:
//   <inbox>.i.<set id>      the image answering a quote Subscribe
//   <inbox>.s.<set id>      the window answering a stream Subscribe
//   <inbox>.h.<history id>  a history's chunks, its end, or its refusal
//   <inbox>.hello           the heartbeat answering a hello
// Messages the gateway does not answer (Unsubscribe, Lease, Leave) carry the
// bare inbox as their reply subject, so that the gateway can check the client
// id in their body against it. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace wire {

// "_INBOX_<user>.<16 hex digits>"; characters of `user` other than A-Z a-z
// 0-9 '-' become '_'; an empty user gives "_INBOX.<16 hex digits>".
std::string inboxFor(const std::string& user, std::uint64_t client);

enum class ReplyKind { Image, Window, History };
// "<inbox>.i.<id>", "<inbox>.s.<id>" or "<inbox>.h.<id>" (id in decimal).
std::string replySubject(const std::string& inbox, ReplyKind kind, std::uint64_t id);
// "<inbox>.hello".
std::string helloReply(const std::string& inbox);
// True when `subject` is a reply of `kind` under `inbox`; `id` receives its id.
bool parseReply(const std::string& subject, const std::string& inbox, ReplyKind kind, std::uint64_t* id);

// The inbox part of a reply subject: its first two tokens (the whole subject
// when it has one token). A request's requester, whatever the subject's form.
std::string inboxOf(const std::string& reply);
// The user part of an inbox or reply: its first token ("_INBOX_<user>").
std::string userOf(const std::string& reply);
// The client id a reply subject names: "_INBOX<...>.<16 hex digits>", ended
// there or followed by '.'; 0 when the subject has no such form.
std::uint64_t clientOf(const std::string& reply);

}  // namespace wire
