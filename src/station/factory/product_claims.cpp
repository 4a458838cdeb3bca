#include "station/factory/product_claims.h"

#include <vector>

namespace {

constexpr const char* kInsertClaim =
    "INSERT INTO qeff_claim (package_sha256, serial, station, claimed_at, expires_at) VALUES (?, ?, ?, ?, ?)";
// Taken over where it is this station's or expired; one statement, so that
// of two stations taking over one expired claim only one succeeds.
constexpr const char* kTakeOver =
    "UPDATE qeff_claim SET station = ?, claimed_at = ?, expires_at = ?"
    " WHERE package_sha256 = ? AND serial = ? AND (station = ? OR expires_at < ?)";
constexpr const char* kRelease = "DELETE FROM qeff_claim WHERE package_sha256 = ? AND serial = ? AND station = ?";
constexpr const char* kHolder =
    "SELECT station, claimed_at, expires_at FROM qeff_claim WHERE package_sha256 = ? AND serial = ?";

DbResult<bool> Inserted(OdbcStatement& insert, const ProductClaim& wanted) {
    insert.BindText(1, wanted.packageSha256);
    insert.BindText(2, wanted.serial);
    insert.BindText(3, wanted.station);
    insert.BindTime(4, wanted.claimedAt);
    insert.BindTime(5, wanted.expiresAt);
    DbStatus error = insert.Execute();
    if (error && !error->Is("23"))
        return *error;
    return !error;  // class 23: held already, by this station or another
}

DbResult<bool> TakenOver(OdbcStatement& update, const ProductClaim& wanted) {
    update.BindText(1, wanted.station);
    update.BindTime(2, wanted.claimedAt);
    update.BindTime(3, wanted.expiresAt);
    update.BindText(4, wanted.packageSha256);
    update.BindText(5, wanted.serial);
    update.BindText(6, wanted.station);
    update.BindTime(7, wanted.claimedAt);
    if (DbStatus error = update.Execute())
        return *error;
    DbResult<std::int64_t> rows = update.RowsAffected();
    if (!rows)
        return rows.Error();
    return *rows == 1;
}

// The claim that stands, if any.
DbResult<std::optional<ProductClaim>> Holder(OdbcStatement& query, const ProductClaim& wanted) {
    query.BindText(1, wanted.packageSha256);
    query.BindText(2, wanted.serial);
    struct Closed {  // however it returns
        OdbcStatement& query;
        ~Closed() { query.CloseRows(); }
    } closed{query};
    DbResult<bool> row = query.ExecuteToFirstRow();
    if (!row)
        return row.Error();
    if (!*row)
        return std::optional<ProductClaim>{};
    DbResult<std::optional<std::string>> station = query.Text(1);
    if (!station)
        return station.Error();
    DbResult<std::optional<DbTime>> claimedAt = query.Time(2);
    if (!claimedAt)
        return claimedAt.Error();
    DbResult<std::optional<DbTime>> expiresAt = query.Time(3);
    if (!expiresAt)
        return expiresAt.Error();
    return std::optional<ProductClaim>{ProductClaim{wanted.packageSha256, wanted.serial, station->value_or(""),
                                                    claimedAt->value_or(DbTime{}), expiresAt->value_or(DbTime{})}};
}

}  // namespace

DbResult<ClaimStatements> ClaimStatements::Prepare(OdbcConnection& connection) {
    std::vector<OdbcStatement> made;
    for (const char* sql : {kInsertClaim, kTakeOver, kRelease, kHolder}) {
        DbResult<OdbcStatement> statement = connection.Prepare(sql);
        if (!statement)
            return statement.Error();
        made.push_back(std::move(*statement));
    }
    return ClaimStatements(std::move(made[0]), std::move(made[1]), std::move(made[2]), std::move(made[3]));
}

DbStatus ClaimStatements::Release(const ProductClaim& claim) {
    release_.BindText(1, claim.packageSha256);
    release_.BindText(2, claim.serial);
    release_.BindText(3, claim.station);
    return release_.Execute();
}

DbResult<ClaimAnswer> ClaimStatements::Claim(const ProductClaim& wanted) {
    // A claim released between two of these steps is asked for again, a few times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DbResult<bool> inserted = Inserted(insert_, wanted);
        if (!inserted)
            return inserted.Error();
        if (*inserted)
            return ClaimAnswer{true, wanted};
        DbResult<bool> takenOver = TakenOver(takeOver_, wanted);
        if (!takenOver)
            return takenOver.Error();
        if (*takenOver)
            return ClaimAnswer{true, wanted};
        DbResult<std::optional<ProductClaim>> holder = Holder(holder_, wanted);
        if (!holder)
            return holder.Error();
        if (*holder)
            return ClaimAnswer{false, **holder};
    }
    return DbError{"factory database", "", "the claim on serial " + wanted.serial +
                                               " changed hands while it was asked for: try again"};
}

DbStatus ReleaseClaim(OdbcConnection& connection, const ProductClaim& claim) {
    DbResult<ClaimStatements> statements = ClaimStatements::Prepare(connection);
    if (!statements)
        return statements.Error();
    return statements->Release(claim);
}

DbResult<ClaimAnswer> ClaimProduct(OdbcConnection& connection, const ProductClaim& wanted) {
    DbResult<ClaimStatements> statements = ClaimStatements::Prepare(connection);
    if (!statements)
        return statements.Error();
    return statements->Claim(wanted);
}
