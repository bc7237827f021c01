#pragma once

#include "logger.h"
#include "promotion/sequence_guard.h"
#include "promotion/staging_scan.h"
#include "redis_client.h"
#include "redis_transaction.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

struct promotion_result {
    enum class outcome {
        done,      // promoted, or only looked
        not_due,   // the guarding key shows a write less than the quiet time ago
        conflict,  // the guarding key changed before EXEC: Redis did not run the renames
        failed,
    };
    outcome what = outcome::failed;
    QString error;          // why it failed
    std::size_t keys = 0;   // staging keys found (all of them, or at most one when only looking)
    long long age_ms = -1;  // not due: the age of the last write
    qint64 elapsed_ms = 0;  // from submission to the outcome

    bool ok() const { return what == outcome::done; }
};

// Looks whether any staging key exists, on the store's connection; done gets at most one key.
void look_for_staging_keys(redis::client& store, std::function<void(promotion_result)> done);

// Moves every key of the store's database that matches "tmp*" to its live name in one
// transaction (SELECT, MULTI, the RENAMEs, EXEC), so each live set is replaced whole by the set
// its sequence collected. The keys are listed on a second connection (lister) while this job, on
// the store's, writes MULTI and the RENAMEs as the pages come: the listing costs hardly more than
// the renames. Nothing submitted after it on the store's connection is written before its EXEC
// has been answered, so no write of a new sequence falls between the listing and the renames; a
// listing that fails discards the transaction.
class staging_rename : public redis::job {
public:
    staging_rename(redis::client& store, redis::client& lister, logger& log, std::function<void(promotion_result)> done,
                   std::optional<sequence_guard> guard = std::nullopt);
    ~staging_rename() override;

    progress write(redis::command_writer& out) override;
    void on_reply(redis::reply&& r) override;
    void on_array(long long count) override;
    void on_element(redis::reply&& element) override;
    void on_array_end() override;
    void finished() override;
    void failed(const QString& why) override;
    int extra_silence_ms() const override { return _renames ? _renames->extra_silence_ms() : 0; }
    std::size_t reply_limit(std::size_t usual) const override
    {
        return _renames ? _renames->reply_limit(usual) : usual;
    }

private:
    enum class phase { start, guarding, listing, renaming, skipped, done };
    void start_listing();
    bool write_renames(redis::command_writer& out);
    void take_guard_reply(const redis::reply& r);
    void report(promotion_result out);

    QPointer<redis::client> _store;
    QPointer<redis::client> _lister;
    QElapsedTimer _since_submit;
    logger& _logger;
    std::function<void(promotion_result)> _done;
    std::optional<sequence_guard> _guard;
    int _guard_replies = 0;  // of SELECT, WATCH and PTTL
    long long _pttl = -2;
    bool _guard_claimed = false;
    bool _guard_cleared = false;  // the key's deletion is in the transaction
    phase _phase = phase::start;
    QString _error;

    std::shared_ptr<staging_listing> _listing;
    std::size_t _next_rename = 0;
    std::unique_ptr<redis::transaction> _renames;
    redis::transaction_result _result;
};
