#pragma once

#include "logger.h"
#include "promotion/sequence_guard.h"
#include "redis_transaction.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The live name of a staging key: its name without the first four bytes ("tmp:").
QByteArray live_name(const QByteArray& staging_key);

struct promotion_result {
    enum class outcome {
        done,      // promoted, or only looked
        not_due,   // the guarding key shows a write less than the quiet time ago
        conflict,  // the guarding key changed before EXEC: Redis did not run the renames
        failed,
    };
    outcome what = outcome::failed;
    QString error;         // why it failed
    std::size_t keys = 0;  // staging keys found (all of them, or at most one when only looking)
    long long age_ms = -1;  // not due: the age of the last write
    qint64 elapsed_ms = 0;  // from submission to the outcome

    bool ok() const { return what == outcome::done; }
};

// Lists the keys of the store's database that match "tmp*" with SCAN, and, when promoting, moves
// each to its live name in one transaction (SELECT, MULTI, the RENAMEs, EXEC), so each live set is
// replaced whole by the set its sequence collected. Nothing submitted after it on the connection
// is written before its EXEC has been answered, so no write of a new sequence falls between the
// listing and the renames. The names are kept packed in one buffer, so a million keys cost tens
// of megabytes, not hundreds.
class tmp_key_promotion : public redis::job {
public:
    enum class mode { look, promote };

    tmp_key_promotion(mode m, logger& log, std::function<void(promotion_result)> done,
                      std::optional<sequence_guard> guard = std::nullopt);
    ~tmp_key_promotion() override;

    progress write(redis::command_writer& out) override;
    void on_reply(redis::reply&& r) override;
    void on_array(long long count) override;
    void on_element(redis::reply&& element) override;
    void on_array_end() override;
    void finished() override;
    void failed(const QString& why) override;
    int extra_silence_ms() const override { return _renames ? _renames->extra_silence_ms() : 0; }

private:
    enum class phase { start, guarding, scanning, renaming, skipped, done };
    void take_page(const redis::reply& page);
    bool first_time_seen(std::size_t index);
    void grow_slots();
    bool write_renames(redis::command_writer& out);
    void take_guard_reply(const redis::reply& r);
    std::size_t key_count() const { return _ends.size(); }
    QByteArray key(std::size_t i) const;

    mode _mode;
    QElapsedTimer _since_submit;
    logger& _log;
    std::function<void(promotion_result)> _done;
    std::optional<sequence_guard> _guard;
    int _guard_replies = 0;  // of WATCH and PTTL
    long long _pttl = -2;
    bool _guard_cleared = false;  // the key's deletion is in the transaction
    phase _phase = phase::start;
    bool _scan_due = false;  // a SCAN page has been asked for and not yet read
    QByteArray _cursor;  // empty until the first page
    bool _selected = false;  // the SELECT before the listing has been answered
    QString _error;

    QByteArray _names;                // every key found, one after another
    std::vector<std::uint32_t> _ends;  // where each ends in _names
    std::vector<std::uint64_t> _slots;  // hash bits and index + 1 of each name; 0: free
    std::size_t _next_rename = 0;
    std::unique_ptr<redis::transaction> _renames;
    redis::transaction_result _result;
};
