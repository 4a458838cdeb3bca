#pragma once

#include "station/factory/odbc_connection.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

// What the factory's database says of a product that arrived.
struct FactoryAnswer {
    enum class Kind {
        Take,         // this station now holds its claim: upgrade it
        Recorded,     // upgraded with this package at `station`, says its record
        Claimed,      // `station` holds its claim: it is being upgraded there
        Unreachable,  // the database did not answer in time, or failed: `why`
    };
    Kind kind = Kind::Unreachable;
    std::string station;
    std::string why;
};

// Asks the factory's database, on the arrival's path, whether a product was
// upgraded with this package at any station, and claims it for this station
// so that no two stations upgrade it at once. Each question is bounded: one
// that takes longer is given up on (its connection is left to it, and the
// next question opens another), so a stalled database holds an arrival no
// longer than the bound.
class FactoryProducts {
public:
    struct Settings {
        std::string connection;   // ODBC connection string
        std::string station;      // this station's name
        std::string packageSha256;
        std::chrono::seconds claimExpires{300};  // a claim of a station that died is taken over after this
        std::chrono::milliseconds bound{3000};   // the longest a question may take, logging in included
    };

    explicit FactoryProducts(Settings settings);
    ~FactoryProducts();
    FactoryProducts(const FactoryProducts&) = delete;
    FactoryProducts& operator=(const FactoryProducts&) = delete;

    FactoryAnswer Take(const std::string& serial);
    // Lets go of this station's claim on a product whose upgrade failed, so
    // that it may be tried again; within the bound, or not at all.
    void Release(const std::string& serial);

    struct Link;

private:
    template <class Question>
    FactoryAnswer Ask(Question question);

    Settings settings_;
    std::mutex linkMutex_;        // guards link_: questions come from the watching thread and the products'
    std::shared_ptr<Link> link_;  // the connection; also a question's, which may outlive this
};
