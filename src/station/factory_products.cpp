#include "station/factory_products.h"

#include "station/factory/factory_schema.h"
#include "station/factory/product_claims.h"
#include "station/factory/record_rows.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

using Answer = FactoryAnswer::Kind;

// One connection, used by one question at a time, with the questions'
// statements prepared on it.
struct FactoryProducts::Link {
    std::mutex mutex;
    std::optional<OdbcConnection> db;
    std::optional<UpgradedQuestion> upgraded;
    std::optional<ClaimStatements> claims;

    // Connected, the tables checked and the statements prepared; or why not.
    DbStatus Open(const std::string& connection, const OdbcTimeouts& timeouts) {
        if (db)
            return std::nullopt;
        DbResult<OdbcConnection> opened = OdbcConnection::Open(connection, timeouts);
        if (!opened)
            return opened.Error();
        if (DbStatus error = EnsureFactorySchema(*opened))
            return error;
        DbResult<UpgradedQuestion> question = UpgradedQuestion::Prepare(*opened);
        if (!question)
            return question.Error();
        DbResult<ClaimStatements> statements = ClaimStatements::Prepare(*opened);
        if (!statements)
            return statements.Error();
        db = std::move(*opened);
        upgraded = std::move(*question);
        claims = std::move(*statements);
        return std::nullopt;
    }
    void Close() {  // opened again for the next question
        claims.reset();
        upgraded.reset();
        db.reset();
    }
};

namespace {

FactoryAnswer Failed(const DbError& error) { return {Answer::Unreachable, "", error.Text()}; }

}  // namespace

// The answers to questions asked together, handed from their threads to the
// one waiting for them.
struct FactoryProducts::Answers {
    explicit Answers(std::size_t count) : got(count) {}
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<std::optional<FactoryAnswer>> got;
};

FactoryProducts::FactoryProducts(Settings settings) : settings_(std::move(settings)) {
    for (std::size_t i = 0; i < kLinks; ++i)
        links_.push_back(std::make_shared<Link>());
    // Logged in now, so that the first products need not wait for it.
    for (std::size_t i = 0; i < kLinks; ++i)
        Launch([](Link&) { return FactoryAnswer{Answer::Take, "", ""}; }, std::make_shared<Answers>(1), 0);
}

FactoryProducts::~FactoryProducts() = default;

template <class Question>
std::shared_ptr<FactoryProducts::Link> FactoryProducts::Launch(Question question, const std::shared_ptr<Answers>& answers,
                                                               std::size_t index) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(settings_.bound);
    const OdbcTimeouts timeouts{std::max(seconds, std::chrono::seconds(1)), std::max(seconds, std::chrono::seconds(1)),
                                std::max(seconds, std::chrono::seconds(1))};
    std::shared_ptr<Link> link;
    {
        const std::lock_guard lock(linkMutex_);
        link = links_[next_++ % links_.size()];
    }
    // On a thread of its own, so that the wait is bounded even where the
    // driver's own time-outs are not (a server that takes the bytes and never answers).
    std::thread([link, answers, index, question, connection = settings_.connection, timeouts] {
        FactoryAnswer answer;
        {
            const std::lock_guard lock(link->mutex);
            if (DbStatus error = link->Open(connection, timeouts)) {
                answer = Failed(*error);
            } else {
                answer = question(*link);
                if (answer.kind == Answer::Unreachable)
                    link->Close();
            }
        }
        const std::lock_guard lock(answers->mutex);
        answers->got[index] = std::move(answer);
        answers->ready.notify_all();
    }).detach();
    return link;
}

void FactoryProducts::Await(const std::vector<std::shared_ptr<Link>>& asked, Answers& answers,
                            const std::function<void(std::size_t, const FactoryAnswer&)>& answered) {
    const auto deadline = std::chrono::steady_clock::now() + settings_.bound;
    std::vector<bool> told(asked.size());
    for (std::size_t left = asked.size(); left > 0;) {
        std::vector<std::pair<std::size_t, FactoryAnswer>> come;
        {
            std::unique_lock lock(answers.mutex);
            const auto any = [&] {
                for (std::size_t i = 0; i < told.size(); ++i)
                    if (!told[i] && answers.got[i])
                        return true;
                return false;
            };
            answers.ready.wait_until(lock, deadline, any);
            for (std::size_t i = 0; i < told.size(); ++i)
                if (!told[i] && answers.got[i])
                    come.emplace_back(i, *answers.got[i]);
        }
        if (come.empty()) {  // the bound passed
            const std::lock_guard relink(linkMutex_);
            for (std::size_t i = 0; i < told.size(); ++i) {
                if (told[i])
                    continue;
                for (std::shared_ptr<Link>& link : links_)
                    if (link == asked[i])
                        link = std::make_shared<Link>();  // the stalled one is left to its question
                come.emplace_back(i, FactoryAnswer{Answer::Unreachable, "",
                                                   "no answer within " + std::to_string(settings_.bound.count()) +
                                                       " ms"});
            }
        }
        for (const auto& [i, answer] : come) {
            told[i] = true;
            --left;
            answered(i, answer);
        }
    }
}

void FactoryProducts::TakeAll(const std::vector<std::string>& serials,
                              const std::function<void(std::size_t, const FactoryAnswer&)>& answered) {
    const Settings s = settings_;
    auto answers = std::make_shared<Answers>(serials.size());
    std::vector<std::shared_ptr<Link>> asked;
    for (std::size_t i = 0; i < serials.size(); ++i)
        asked.push_back(Launch(
            [s, serial = serials[i]](Link& link) -> FactoryAnswer {
                DbResult<std::optional<std::string>> upgraded =
                    link.upgraded->StationThatUpgraded(serial, s.packageSha256);
                if (!upgraded)
                    return Failed(upgraded.Error());
                if (*upgraded)
                    return {Answer::Recorded, **upgraded, ""};
                const auto now =
                    std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
                DbResult<ClaimAnswer> claim =
                    link.claims->Claim(ProductClaim{s.packageSha256, serial, s.station, now, now + s.claimExpires});
                if (!claim)
                    return Failed(claim.Error());
                if (!claim->granted)
                    return {Answer::Claimed, claim->holder.station, ""};
                return {Answer::Take, s.station, ""};
            },
            answers, i));
    Await(asked, *answers, answered);
}

void FactoryProducts::Release(const std::string& serial) {
    const Settings s = settings_;
    auto answers = std::make_shared<Answers>(1);
    const std::vector<std::shared_ptr<Link>> asked = {Launch(
        [s, serial](Link& link) -> FactoryAnswer {
            const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
            if (DbStatus error = link.claims->Release(ProductClaim{s.packageSha256, serial, s.station, now, now}))
                return Failed(*error);
            return {Answer::Take, s.station, ""};
        },
        answers, 0)};
    Await(asked, *answers, [](std::size_t, const FactoryAnswer&) {});
}
