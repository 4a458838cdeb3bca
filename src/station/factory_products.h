#pragma once

#include "station/factory/odbc_connection.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
// longer than the bound. A few connections, logged in as the station starts,
// answer the products that arrive together side by side.
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

    // Asks for every serial number at once; `answered(index, answer)` is
    // called on this thread as each answer comes, so that a product starts as
    // soon as its own claim is granted; all within the bound.
    void TakeAll(const std::vector<std::string>& serials,
                 const std::function<void(std::size_t, const FactoryAnswer&)>& answered);
    // Lets go of this station's claim on a product whose upgrade failed, so
    // that it may be tried again; within the bound, or not at all.
    void Release(const std::string& serial);

    struct Link;

private:
    struct Answers;
    template <class Question>
    std::shared_ptr<Link> Launch(Question question, const std::shared_ptr<Answers>& answers, std::size_t index);
    // Hands each answer on as it comes; past the bound, the questions still
    // open are told unanswered and their connections left to them.
    void Await(const std::vector<std::shared_ptr<Link>>& asked, Answers& answers,
               const std::function<void(std::size_t, const FactoryAnswer&)>& answered);

    // The connections: enough for a fixture's products at once, few enough
    // for a factory's stations on one server.
    static constexpr std::size_t kLinks = 4;
    Settings settings_;
    std::mutex linkMutex_;  // guards links_ and next_: questions come from the watching thread and the products'
    std::vector<std::shared_ptr<Link>> links_;  // each also a question's, which may outlive this
    std::size_t next_ = 0;
};
