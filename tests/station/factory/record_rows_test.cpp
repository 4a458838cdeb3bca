#include "station/factory/record_rows.h"

#include "station/factory/factory_schema.h"
#include "support/factory_database.h"

#include <ostream>

using namespace std::chrono;

// A row as a failure shows it.
void PrintTo(const RecordRow& row, std::ostream* out) {
    *out << row.station << " " << row.run << " " << row.lineNumber << " at "
         << row.recordedAt.time_since_epoch().count() << " ms, serial " << testing::PrintToString(row.serial)
         << ", " << row.outcome.value_or("-") << ": " << testing::PrintToString(row.line);
}

class RecordRowsTest : public FactoryDatabaseTest {
protected:
    void SetUp() override {
        FactoryDatabaseTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_FALSE(EnsureFactorySchema(*db));
    }

    RecordRow Row(std::int64_t number, std::string line) const {
        return RecordRow{"line-3", "run-1", number, DbTime{sys_days{2026y / 12 / 10} + 9h + 41min + 7s + 123ms},
                         "00A7", std::string(64, 'a'), "upgraded", std::move(line)};
    }
};

// Faults caught: the line stored as text (a NUL ends it, bytes that are no
// UTF-8 are refused or changed), a long line cut at a buffer's end, a
// character beyond U+FFFF or NULL serial mangled, the time's milliseconds lost.
TEST_F(RecordRowsTest, RowsComeBackAsWritten) {
    std::vector<RecordRow> rows = {
        Row(1, R"({"message":"\"<b>&amp;</b>'; DROP TABLE qeff_record;--","serial":"00A7"})"),
        Row(2, std::string("before\0after", 12)),
        Row(3, "not UTF-8: \xFF\xFE \xC0\xAF \xED\xA0\x80 cut \xF0\x9F"),
        Row(4, "four bytes: \xF0\x9F\x98\x80 \xF0\x9D\x84\x9E"),
        Row(5, std::string(20000, 'x') + "end"),
    };
    rows[3].serial = "\xF0\x9F\x98\x80-7";  // a serial read from a product is any Unicode
    rows[4].serial.reset();                  // a start line: no product
    rows[4].outcome.reset();
    DbResult<RecordRowWriter> writer = RecordRowWriter::Prepare(*db);
    ASSERT_TRUE(writer) << writer.Error().Text();
    for (const RecordRow& row : rows) {
        DbResult<RowStored> stored = writer->Store(row);
        ASSERT_TRUE(stored) << stored.Error().Text();
        EXPECT_EQ(*stored, RowStored::Now);
    }
    OdbcConnection reader = Connect();
    DbResult<std::vector<RecordRow>> back = RecordRowsOfRun(reader, "line-3", "run-1");
    ASSERT_TRUE(back) << back.Error().Text();
    EXPECT_EQ(*back, rows);
}

// Fault caught: a line sent again after a crash stored twice, or its key's
// unique violation taken for a failure that stops the feed.
TEST_F(RecordRowsTest, RowSentTwiceStoredOnce) {
    DbResult<RecordRowWriter> writer = RecordRowWriter::Prepare(*db);
    ASSERT_TRUE(writer);
    const RowStored expected[] = {RowStored::Now, RowStored::Already, RowStored::Now};
    const RecordRow sent[] = {Row(1, "first"), Row(1, "first"), Row(2, "second")};
    for (int i = 0; i < 3; ++i) {
        DbResult<RowStored> stored = writer->Store(sent[i]);
        ASSERT_TRUE(stored) << i << ": " << stored.Error().Text();
        EXPECT_EQ(*stored, expected[i]) << i;
    }
    DbResult<std::vector<RecordRow>> back = RecordRowsOfRun(*db, "line-3", "run-1");
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, (std::vector<RecordRow>{sent[0], sent[2]}));
}

// Faults caught: a product seen running its new firmware ("verified") not
// taken for upgraded, so another station upgrades it again; a failed one, or
// one of another package, taken for upgraded.
TEST_F(RecordRowsTest, AStationThatUpgradedIsOneWhoseProductSucceeded) {
    DbResult<RecordRowWriter> writer = RecordRowWriter::Prepare(*db);
    ASSERT_TRUE(writer);
    const struct {
        const char* serial;
        const char* outcome;
        bool upgraded;
    } rows[] = {{"U1", "upgraded", true}, {"U2", "verified", true}, {"U3", "refused the firmware", false},
                {"U4", "not verified", false}};
    std::int64_t number = 0;
    for (const auto& row : rows) {
        RecordRow stored = Row(++number, "{}");
        stored.serial = row.serial;
        stored.outcome = row.outcome;
        ASSERT_TRUE(writer->Store(stored));
    }
    for (const auto& row : rows) {
        DbResult<std::optional<std::string>> by = StationThatUpgraded(*db, row.serial, std::string(64, 'a'));
        ASSERT_TRUE(by) << by.Error().Text();
        EXPECT_EQ(by->has_value(), row.upgraded) << row.outcome;
        DbResult<std::optional<std::string>> other = StationThatUpgraded(*db, row.serial, std::string(64, 'c'));
        EXPECT_FALSE(other && other->has_value()) << row.outcome << ", another package";
    }
}
