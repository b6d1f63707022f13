// The cells of tellivar-fanout-latency: which path, what load, and the
// bare-bus cell each NATS cell is compared with.
#pragma once

#include <cstddef>

#include "driver_feed.h"

namespace latency {

enum class Path { Direct, Nats, Cluster };

struct Cell {
    Path path;
    Kind kind;
    std::size_t symbols;
    double rate;
    std::size_t hosts;
    std::size_t measured;  // hosts with the plug-in; the others are load only
    // The bus alone on this path: a bare publisher instead of the gateway,
    // bare subscribers instead of the measured hosts (load-only hosts as they are).
    bool bus = false;
    // The gateway as it is, bare subscribers (reading its messages) instead of
    // the measured hosts: what the gateway adds to the bus, apart from the host.
    bool bareHosts = false;
};

inline const char* pathName(Path path) { return path == Path::Direct ? "direct" : path == Path::Nats ? "nats" : "cluster"; }

// The path column: "nats", or "nats bus" for the bare bus on one server.
inline const char* cellPathName(const Cell& cell) {
    const bool cluster = cell.path == Path::Cluster;
    if (cell.bus) return cluster ? "cluster bus" : "nats bus";
    if (cell.bareHosts) return cluster ? "cluster gateway + bare hosts" : "nats gateway + bare hosts";
    return pathName(cell.path);
}

// Whether `candidate` is the bare-bus cell that `cell`, a NATS cell through
// the gateway, is to be read against: the same path, kind, symbols, rate and hosts.
inline bool isBusOf(const Cell& candidate, const Cell& cell) {
    return candidate.bus && !cell.bus && !candidate.bareHosts && cell.path != Path::Direct && candidate.path == cell.path &&
           candidate.kind == cell.kind && candidate.symbols == cell.symbols && candidate.rate == cell.rate &&
           candidate.hosts == cell.hosts && candidate.measured == cell.measured;
}

// The bare-bus twin of a NATS cell.
inline Cell busTwin(const Cell& cell) {
    Cell twin = cell;
    twin.bus = true;
    twin.bareHosts = false;
    return twin;
}

// The NATS cell with bare subscribers in place of its measured hosts.
inline Cell bareHostTwin(const Cell& cell) {
    Cell twin = cell;
    twin.bus = false;
    twin.bareHosts = true;
    return twin;
}

}  // namespace latency
