#include "station/factory/product_claims.h"

namespace {

constexpr const char* kInsert =
    "INSERT INTO qeff_claim (package_sha256, serial, station, claimed_at, expires_at) VALUES (?, ?, ?, ?, ?)";
// Taken over where it is this station's or expired; one statement, so that
// of two stations taking over one expired claim only one succeeds.
constexpr const char* kTakeOver =
    "UPDATE qeff_claim SET station = ?, claimed_at = ?, expires_at = ?"
    " WHERE package_sha256 = ? AND serial = ? AND (station = ? OR expires_at < ?)";
constexpr const char* kRelease = "DELETE FROM qeff_claim WHERE package_sha256 = ? AND serial = ? AND station = ?";
constexpr const char* kHolder =
    "SELECT station, claimed_at, expires_at FROM qeff_claim WHERE package_sha256 = ? AND serial = ?";

DbResult<bool> Inserted(OdbcConnection& connection, const ProductClaim& wanted) {
    DbResult<OdbcStatement> insert = connection.Prepare(kInsert);
    if (!insert)
        return insert.Error();
    insert->BindText(1, wanted.packageSha256);
    insert->BindText(2, wanted.serial);
    insert->BindText(3, wanted.station);
    insert->BindTime(4, wanted.claimedAt);
    insert->BindTime(5, wanted.expiresAt);
    DbStatus error = insert->Execute();
    if (error && !error->Is("23"))
        return *error;
    return !error;  // class 23: held already, by this station or another
}

DbResult<bool> TakenOver(OdbcConnection& connection, const ProductClaim& wanted) {
    DbResult<OdbcStatement> update = connection.Prepare(kTakeOver);
    if (!update)
        return update.Error();
    update->BindText(1, wanted.station);
    update->BindTime(2, wanted.claimedAt);
    update->BindTime(3, wanted.expiresAt);
    update->BindText(4, wanted.packageSha256);
    update->BindText(5, wanted.serial);
    update->BindText(6, wanted.station);
    update->BindTime(7, wanted.claimedAt);
    if (DbStatus error = update->Execute())
        return *error;
    DbResult<std::int64_t> rows = update->RowsAffected();
    if (!rows)
        return rows.Error();
    return *rows == 1;
}

// The claim that stands, if any.
DbResult<std::optional<ProductClaim>> Holder(OdbcConnection& connection, const ProductClaim& wanted) {
    DbResult<OdbcStatement> query = connection.Prepare(kHolder);
    if (!query)
        return query.Error();
    query->BindText(1, wanted.packageSha256);
    query->BindText(2, wanted.serial);
    DbResult<bool> row = query->ExecuteToFirstRow();
    if (!row)
        return row.Error();
    if (!*row)
        return std::optional<ProductClaim>{};
    DbResult<std::optional<std::string>> station = query->Text(1);
    if (!station)
        return station.Error();
    DbResult<std::optional<DbTime>> claimedAt = query->Time(2);
    if (!claimedAt)
        return claimedAt.Error();
    DbResult<std::optional<DbTime>> expiresAt = query->Time(3);
    if (!expiresAt)
        return expiresAt.Error();
    return std::optional<ProductClaim>{ProductClaim{wanted.packageSha256, wanted.serial, station->value_or(""),
                                                    claimedAt->value_or(DbTime{}), expiresAt->value_or(DbTime{})}};
}

}  // namespace

DbStatus ReleaseClaim(OdbcConnection& connection, const ProductClaim& claim) {
    DbResult<OdbcStatement> release = connection.Prepare(kRelease);
    if (!release)
        return release.Error();
    release->BindText(1, claim.packageSha256);
    release->BindText(2, claim.serial);
    release->BindText(3, claim.station);
    return release->Execute();
}

DbResult<ClaimAnswer> ClaimProduct(OdbcConnection& connection, const ProductClaim& wanted) {
    // A claim released between two of these steps is asked for again, a few times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DbResult<bool> inserted = Inserted(connection, wanted);
        if (!inserted)
            return inserted.Error();
        if (*inserted)
            return ClaimAnswer{true, wanted};
        DbResult<bool> takenOver = TakenOver(connection, wanted);
        if (!takenOver)
            return takenOver.Error();
        if (*takenOver)
            return ClaimAnswer{true, wanted};
        DbResult<std::optional<ProductClaim>> holder = Holder(connection, wanted);
        if (!holder)
            return holder.Error();
        if (*holder)
            return ClaimAnswer{false, **holder};
    }
    return DbError{"factory database", "", "the claim on serial " + wanted.serial +
                                               " changed hands while it was asked for: try again"};
}
