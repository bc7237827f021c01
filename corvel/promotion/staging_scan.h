#pragma once

#include "redis_job.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

// The names of the staging keys as a listing finds them, each once, packed in one buffer, so a
// million keys cost tens of megabytes, not hundreds. Shared by the listing job, which fills it,
// and the promotion, which renames as it fills.
class staging_listing {
public:
    enum class state {
        listing,
        listed,     // every matching key has been found
        failed,     // the listing did not finish: error says why
        abandoned,  // its promotion has ended: the listing stops
    };

    std::size_t size() const { return _ends.size(); }
    std::string_view key(std::size_t i) const;
    // Keeps a name unless it was found before: SCAN may return a key more than once.
    void add(const QByteArray& name);
    // The hash set is needed no longer: give its memory back.
    void forget_duplicates() { std::vector<std::uint64_t>().swap(_slots); }

    state at = state::listing;
    QString error;
    std::size_t pages = 0;
    // Called whenever a page has been taken or the listing has ended.
    std::function<void()> progressed;

private:
    bool first_time_seen(std::size_t index);
    void grow_slots();

    QByteArray _names;                  // every key found, one after another
    std::vector<std::uint32_t> _ends;   // where each ends in _names
    std::vector<std::uint64_t> _slots;  // hash bits and index + 1 of each name; 0: free
};

// Lists the keys of the store's database that match "tmp*" with SCAN into a staging_listing,
// page by page. With stop_at_first it ends as soon as one key is found (a look, not a listing).
class staging_scan : public redis::job {
public:
    staging_scan(std::shared_ptr<staging_listing> listing, bool stop_at_first);

    progress write(redis::command_writer& out) override;
    void on_reply(redis::reply&& r) override;
    void finished() override;
    void failed(const QString& why) override;

private:
    void fail(const QString& why);

    std::shared_ptr<staging_listing> _listing;
    bool _stop_at_first;
    bool _selected = false;  // the SELECT has been answered
    bool _page_due = false;  // a page has been asked for and not yet read
    QByteArray _cursor;      // empty until the first page
};
