#pragma once

#include "station/factory/db_result.h"
#include "station/factory/odbc_connection.h"

#include <string>

// A station's hold on one product (the package's SHA-256 and the product's
// serial number) while it upgrades it: a row of qeff_claim.
struct ProductClaim {
    std::string packageSha256;
    std::string serial;
    std::string station;
    DbTime claimedAt;
    DbTime expiresAt;
};

struct ClaimAnswer {
    bool granted = false;
    ProductClaim holder;  // the claim as it now stands: ours when granted, the other station's when not
};

// The statements of products' claims, prepared once on a connection, so that
// a claim is its round trips alone: a statement prepared for each question
// costs the server several times what running it does.
class ClaimStatements {
public:
    static DbResult<ClaimStatements> Prepare(OdbcConnection& connection);

    // As ClaimProduct and ReleaseClaim.
    DbResult<ClaimAnswer> Claim(const ProductClaim& wanted);
    DbStatus Release(const ProductClaim& claim);

private:
    ClaimStatements(OdbcStatement insert, OdbcStatement takeOver, OdbcStatement release, OdbcStatement holder)
        : insert_(std::move(insert)), takeOver_(std::move(takeOver)), release_(std::move(release)),
          holder_(std::move(holder)) {}

    OdbcStatement insert_, takeOver_, release_, holder_;
};

// Claims the product for `wanted.station`. Granted when no station holds it,
// when this station does already (renewed), or when the holder's claim
// expired before `wanted.claimedAt`; refused, naming the holder, otherwise.
// The database's unique key decides between two stations asking at once.
DbResult<ClaimAnswer> ClaimProduct(OdbcConnection& connection, const ProductClaim& wanted);

// Lets go of the claim where `claim.station` holds it, so that the product
// may be tried again (by any station); nothing where another holds it.
DbStatus ReleaseClaim(OdbcConnection& connection, const ProductClaim& claim);
