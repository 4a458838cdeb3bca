#include "station/factory/product_claims.h"

#include "station/factory/factory_schema.h"
#include "support/factory_database.h"

using namespace std::chrono;

// Faults caught: a product claimed by a second station while the first holds
// it (two stations upgrading one product), the refusal not naming the holder;
// the holder refused its own product again; an expired claim never freed.
TEST_F(FactoryDatabaseTest, ClaimsHeldByOneStationAtATime) {
    ASSERT_FALSE(EnsureFactorySchema(*db));
    const DbTime t0{sys_days{2026y / 12 / 10} + 8h};
    const auto claim = [&](const std::string& serial, const std::string& station, DbTime at) {
        return ProductClaim{std::string(64, 'b'), serial, station, at, at + 60s};
    };
    const struct {
        const char* name;
        ProductClaim second;
        bool granted;
        const char* holder;
    } rows[] = {
        {"another station while held", claim("A1", "line-2", t0 + 1s), false, "line-1"},
        {"the holder again", claim("A2", "line-1", t0 + 1s), true, "line-1"},
        {"another station once expired", claim("A3", "line-2", t0 + 61s), true, "line-2"},
    };
    OdbcConnection other = Connect();  // the second station
    for (const auto& row : rows) {
        DbResult<ClaimAnswer> first = ClaimProduct(*db, claim(row.second.serial, "line-1", t0));
        ASSERT_TRUE(first) << first.Error().Text();
        ASSERT_TRUE(first->granted) << row.name;
        DbResult<ClaimAnswer> second = ClaimProduct(other, row.second);
        ASSERT_TRUE(second) << row.name << ": " << second.Error().Text();
        EXPECT_EQ(second->granted, row.granted) << row.name;
        EXPECT_EQ(second->holder.station, row.holder) << row.name;
        EXPECT_EQ(second->holder.claimedAt, row.granted ? row.second.claimedAt : t0) << row.name;
    }
}
