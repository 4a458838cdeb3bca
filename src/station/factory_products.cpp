#include "station/factory_products.h"

#include "station/factory/factory_schema.h"
#include "station/factory/product_claims.h"
#include "station/factory/record_rows.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

using Answer = FactoryAnswer::Kind;

// One connection, used by one question at a time.
struct FactoryProducts::Link {
    std::mutex mutex;
    std::optional<OdbcConnection> db;
};

namespace {

// A question's answer, handed from its thread to the one waiting for it.
struct Pending {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<FactoryAnswer> answer;
};

FactoryAnswer Failed(const DbError& error) { return {Answer::Unreachable, "", error.Text()}; }

}  // namespace

FactoryProducts::FactoryProducts(Settings settings)
    : settings_(std::move(settings)), link_(std::make_shared<Link>()) {}

FactoryProducts::~FactoryProducts() = default;

template <class Question>
FactoryAnswer FactoryProducts::Ask(Question question) {
    auto pending = std::make_shared<Pending>();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(settings_.bound);
    const OdbcTimeouts timeouts{std::max(seconds, std::chrono::seconds(1)), std::max(seconds, std::chrono::seconds(1)),
                                std::max(seconds, std::chrono::seconds(1))};
    // On a thread of its own, so that the wait is bounded even where the
    // driver's own time-outs are not (a server that takes the bytes and never answers).
    std::shared_ptr<Link> link;
    {
        const std::lock_guard lock(linkMutex_);
        link = link_;
    }
    std::thread([link, pending, question, connection = settings_.connection, timeouts] {
        FactoryAnswer answer;
        {
            const std::lock_guard lock(link->mutex);
            if (!link->db) {
                DbResult<OdbcConnection> opened = OdbcConnection::Open(connection, timeouts);
                DbStatus error = opened ? EnsureFactorySchema(*opened) : opened.Error();
                if (!error)
                    link->db = std::move(*opened);
                else
                    answer = Failed(*error);
            }
            if (link->db) {
                answer = question(*link->db);
                if (answer.kind == Answer::Unreachable)
                    link->db.reset();  // opened again for the next question
            }
        }
        const std::lock_guard lock(pending->mutex);
        pending->answer = std::move(answer);
        pending->ready.notify_all();
    }).detach();
    std::unique_lock lock(pending->mutex);
    if (pending->ready.wait_for(lock, settings_.bound, [&] { return pending->answer.has_value(); }))
        return *pending->answer;
    const std::lock_guard relink(linkMutex_);
    if (link_ == link)
        link_ = std::make_shared<Link>();  // the stalled one is left to its question
    return {Answer::Unreachable, "",
            "no answer within " + std::to_string(settings_.bound.count()) + " ms"};
}

FactoryAnswer FactoryProducts::Take(const std::string& serial) {
    const Settings s = settings_;
    return Ask([s, serial](OdbcConnection& db) -> FactoryAnswer {
        DbResult<std::optional<std::string>> upgraded = StationThatUpgraded(db, serial, s.packageSha256);
        if (!upgraded)
            return Failed(upgraded.Error());
        if (*upgraded)
            return {Answer::Recorded, **upgraded, ""};
        const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
        DbResult<ClaimAnswer> claim =
            ClaimProduct(db, ProductClaim{s.packageSha256, serial, s.station, now, now + s.claimExpires});
        if (!claim)
            return Failed(claim.Error());
        if (!claim->granted)
            return {Answer::Claimed, claim->holder.station, ""};
        return {Answer::Take, s.station, ""};
    });
}

void FactoryProducts::Release(const std::string& serial) {
    const Settings s = settings_;
    Ask([s, serial](OdbcConnection& db) -> FactoryAnswer {
        const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
        if (DbStatus error = ReleaseClaim(db, ProductClaim{s.packageSha256, serial, s.station, now, now}))
            return Failed(*error);
        return {Answer::Take, s.station, ""};
    });
}
