#pragma once

// Stations fed to a real PostgreSQL database through ODBC, with the simulated
// products: the fixtures the record feed's tests share, on Linux and under
// Wine alike.

#include "station/factory/product_claims.h"
#include "station/factory/record_rows.h"
#include "station/record_rows_of_file.h"
#include "support/factory_database.h"
#include "support/simulated_station.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>

// One station, named line-3, recording to a file that feeds the test's database.
class RecordFeedTest : public FactoryDatabaseTest, protected SimulatedStation {
protected:
    using Kind = StationEvent::Kind;

    void SetUp() override {
        FactoryDatabaseTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        options.record = record;
        options.recordDb = Route(connectionString);
        options.station = "line-3";
        options.recordDbTimings.timeouts = {std::chrono::seconds(2), std::chrono::seconds(2), std::chrono::seconds(2)};
        options.recordDbTimings.firstRetry = std::chrono::milliseconds(100);
        options.recordDbTimings.lastRetry = std::chrono::milliseconds(300);
        options.recordDbTimings.beatEvery = std::chrono::milliseconds(200);
    }
    // The connection string the stations reach the database by.
    virtual std::string Route(const std::string& connection) { return connection; }

    // The record file's lines as the rows the database should hold.
    std::vector<RecordRow> FileRows() const {
        std::ifstream in(record, std::ios::binary);
        RecordRowsOfFile rows(options.station);
        std::vector<RecordRow> made;
        for (std::string line; std::getline(in, line);)
            made.push_back(rows.Next(line));
        return made;
    }
    // Every row the database holds, run by run as the file has them.
    std::vector<RecordRow> StoredRows() {
        std::vector<RecordRow> stored;
        std::set<std::string> runs;
        for (const RecordRow& row : FileRows()) {
            if (!runs.insert(row.run).second)
                continue;
            DbResult<std::vector<RecordRow>> of = RecordRowsOfRun(*db, row.station, row.run);
            EXPECT_TRUE(of) << of.Error().Text();
            if (of)
                stored.insert(stored.end(), of->begin(), of->end());
        }
        return stored;
    }
    // -1 before the station made the tables.
    std::int64_t RowsInAll() {
        DbResult<OdbcStatement> count = db->Prepare("SELECT COUNT(*) FROM qeff_record");
        if (!count || count->Execute() || !*count->Fetch())
            return -1;
        return count->Integer(1)->value_or(-1);
    }
    // Plugs in products one after another, each upgraded before the next.
    void Upgrade(std::initializer_list<const char*> serials) {
        for (const char* serial : serials) {
            const std::size_t done = events.Of(Kind::Done).size();
            plugged.push_back(hid.Attach(Product(serial, std::string("usb-") + serial)));
            ASSERT_TRUE(events.WaitFor(Kind::Done, done + 1)) << serial;
        }
    }
    // Waits until the feed tells `state` with at least `waiting` lines waiting.
    bool WaitForState(const std::string& state, std::uint64_t waiting) {
        return events.WaitUntil([&](const RecordedEvents::Events& all) {
            return std::any_of(all.begin(), all.end(), [&](const StationEvent& e) {
                return e.kind == Kind::RecordDb && e.text == state && e.recordDbWaiting >= waiting;
            });
        });
    }
    // Waits until the database holds every line written so far.
    bool WaitAllStored() {
        return Within(std::chrono::seconds(10),
                      [&] { return RowsInAll() == static_cast<std::int64_t>(FileRows().size()); });
    }
    // Waits until the database holds every line of the file (or 10 s), then compares.
    void ExpectEveryLineOnce() {
        Within(std::chrono::seconds(10), [&] { return RowsInAll() >= static_cast<std::int64_t>(FileRows().size()); });
        EXPECT_EQ(StoredRows(), FileRows());
        EXPECT_EQ(RowsInAll(), static_cast<std::int64_t>(FileRows().size())) << "no line stored twice";
    }

    std::string record = Utf8(file.folder / "record.jsonl");
    // The station stopped, its products unplugged, and another started on its record.
    void StartAgain() {
        for (const std::size_t product : plugged)
            hid.Detach(product);
        plugged.clear();
        station.reset();
        ASSERT_TRUE(Start());
    }

    std::vector<std::size_t> plugged;
};

// Each product once across the factory's stations: a second station, line-4,
// over its own simulated products, with the same package and database.
class FactoryClaimsTest : public RecordFeedTest {
protected:
    void SetUp() override {
        RecordFeedTest::SetUp();
        options.skipRecorded = true;
        other.options = options;
        other.options.station = "line-4";
        other.options.record = Utf8(other.file.folder / "record.jsonl");
    }
    std::int64_t ClaimsOf(const std::string& serial) {
        DbResult<OdbcStatement> count = db->Prepare("SELECT COUNT(*) FROM qeff_claim WHERE serial = ?");
        EXPECT_TRUE(count);
        count->BindText(1, serial);
        EXPECT_FALSE(count->Execute());
        EXPECT_TRUE(*count->Fetch());
        return count->Integer(1)->value_or(-1);
    }
    std::size_t Told(RecordedEvents& of, Kind kind, const std::string& serial, const std::string& station = "") {
        std::size_t n = 0;
        for (const StationEvent& e : of.Of(kind))
            n += e.product.identity.serial == serial && (station.empty() || e.text == station);
        return n;
    }

    SimulatedStation other;
};
