#include "station/factory/factory_schema.h"

#include "support/factory_database.h"

namespace {

// The number in the statement's only row and column.
std::int64_t Count(OdbcConnection& connection, const std::string& sql) {
    DbResult<OdbcStatement> query = connection.Prepare(sql);
    if (!query || query->Execute() || !*query->Fetch())
        return -1;
    return query->Integer(1)->value_or(-1);
}

}  // namespace

// Fault caught: a statement of the built-in SQL lost (a ';' not ending it,
// a comment swallowing the next line), or one dialect's file missing one.
TEST(FactorySchema, BothDialectsMakeEveryTable) {
    for (SqlDialect dialect : {SqlDialect::PostgreSql, SqlDialect::SqlServer}) {
        std::string tables;
        for (const std::string& statement : SchemaStatements(dialect)) {
            EXPECT_TRUE(statement.starts_with("CREATE ") || statement.starts_with("INSERT ")) << statement;
            if (statement.starts_with("CREATE TABLE "))
                tables += statement.substr(13, statement.find(' ', 13) - 13) + " ";
        }
        EXPECT_EQ(tables, "qeff_schema qeff_record qeff_claim qeff_heartbeat ");
        EXPECT_EQ(SchemaStatements(dialect).back(), "INSERT INTO qeff_schema (version) VALUES (1)");
    }
    EXPECT_EQ(DialectOf("Microsoft SQL Server"), SqlDialect::SqlServer);
    EXPECT_EQ(DialectOf("SQLite"), std::nullopt);
}

// Faults caught: the tables not made on an empty database, or made again (and
// failing, or the version's row doubled) on the next station's connect.
TEST_F(FactoryDatabaseTest, SchemaMadeOnceAndAcceptedAfter) {
    ASSERT_EQ(DialectOf(db->DbmsName()), SqlDialect::PostgreSql) << db->DbmsName();
    DbStatus error = EnsureFactorySchema(*db);
    ASSERT_FALSE(error) << error->Text();
    OdbcConnection next = Connect();
    error = EnsureFactorySchema(next);
    ASSERT_FALSE(error) << error->Text();
    EXPECT_EQ(Count(next, "SELECT COUNT(*) FROM qeff_schema"), 1);
    for (const char* table : {"qeff_record", "qeff_claim", "qeff_heartbeat"})
        EXPECT_EQ(Count(next, std::string("SELECT COUNT(*) FROM ") + table), 0) << table;
}

// Fault caught: a station writing into tables of another version than its
// own, which it does not know, instead of saying what to do.
TEST_F(FactoryDatabaseTest, SchemaOfAnotherVersionRefused) {
    ASSERT_FALSE(EnsureFactorySchema(*db));
    const struct {
        std::int64_t version;
        const char* told;
    } rows[] = {
        {2, "factory database: its tables are of schema version 2, newer than this qefftool's (1): "
            "update qefftool on this station"},
        {0, "factory database: its tables are of schema version 0, which this qefftool does not know "
            "(it writes version 1): ask whoever set the database up"},
    };
    for (const auto& row : rows) {
        DbResult<OdbcStatement> update = db->Prepare("UPDATE qeff_schema SET version = ?");
        ASSERT_TRUE(update);
        update->BindInteger(1, row.version);
        ASSERT_FALSE(update->Execute());
        OdbcConnection next = Connect();
        DbStatus error = EnsureFactorySchema(next);
        ASSERT_TRUE(error) << row.version;
        EXPECT_EQ(error->Text(), row.told);
    }
}
