#include "fanout_cells.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using latency::Cell;
using latency::Kind;
using latency::Path;

const Cell kNats{Path::Nats, Kind::Snapshot, 100, 10000, 10, 1};

// A NATS cell is read against the bare bus of its own path and load, never
// against another cell's bus or against a cell through the gateway.
TEST(FanoutCells, ShouldMatchANatsCellOnlyWithTheBusOfItsOwnPathAndLoad) {
    struct Case {
        const char* name;
        Cell candidate;
        bool matches;
    };
    auto bus = [](Cell cell) { return latency::busTwin(cell); };
    const Cell cluster{Path::Cluster, Kind::Snapshot, 100, 10000, 10, 1};
    const Case cases[] = {
        {"its twin", bus(kNats), true},
        {"the cell itself", kNats, false},
        {"the cluster's bus", bus(cluster), false},
        {"another kind", bus({Path::Nats, Kind::Bars, 100, 10000, 10, 1}), false},
        {"other symbols", bus({Path::Nats, Kind::Snapshot, 1000, 10000, 10, 1}), false},
        {"another rate", bus({Path::Nats, Kind::Snapshot, 100, 1000, 10, 1}), false},
        {"other hosts", bus({Path::Nats, Kind::Snapshot, 100, 10000, 1, 1}), false},
        {"all measured", bus({Path::Nats, Kind::Snapshot, 100, 10000, 10, 10}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(latency::isBusOf(c.candidate, kNats), c.matches);
    }
    // A bus cell has no bus of its own to be read against, nor has a direct one.
    EXPECT_FALSE(latency::isBusOf(bus(kNats), bus(kNats)));
    const Cell direct{Path::Direct, Kind::Snapshot, 100, 10000, 1, 1};
    EXPECT_FALSE(latency::isBusOf(bus(direct), direct));
}

TEST(FanoutCells, ShouldNameTheBusRowsApartFromTheGatewayRows) {
    EXPECT_EQ(std::string(latency::cellPathName(kNats)), "nats");
    EXPECT_EQ(std::string(latency::cellPathName(latency::busTwin(kNats))), "nats bus");
    const Cell cluster{Path::Cluster, Kind::Bars, 100, 1000, 1, 1};
    EXPECT_EQ(std::string(latency::cellPathName(latency::busTwin(cluster))), "cluster bus");
    // No comma: the name is also the CSV's first column.
    EXPECT_EQ(std::string(latency::cellPathName(latency::bareHostTwin(cluster))), "cluster gateway + bare hosts");
    // A cell with bare hosts is not a bus cell: no NATS cell is read against it.
    EXPECT_FALSE(latency::isBusOf(latency::bareHostTwin(kNats), kNats));
}

}  // namespace
