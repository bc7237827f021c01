#pragma once

#include <QString>
#include <QStringList>

#include <vector>

namespace redis {

// An address a sentinel gives for the master.
struct master_address {
    QString host;
    quint32 port = 0;

    bool empty() const { return host.isEmpty(); }
    QString text() const { return host + QLatin1Char(':') + QString::number(port); }
    bool operator==(const master_address& other) const { return host == other.host && port == other.port; }
    bool operator!=(const master_address& other) const { return !(*this == other); }
};

// One round of asking every configured sentinel where the master is. An address is agreed once
// more than half of the configured sentinels name it; one that does not answer, or answers
// something unusable, agrees with no one. The round is decided as soon as the answers still out
// can no longer change the outcome.
class master_vote {
public:
    enum class outcome { open, agreed, no_quorum };

    explicit master_vote(std::size_t voters) : _ballots(voters) {}
    static std::size_t quorum(std::size_t voters) { return voters / 2 + 1; }

    // A voter's second answer in the same round is not counted.
    void named(std::size_t voter, const master_address& where);
    void failed(std::size_t voter, const QString& why);

    outcome result() const;
    master_address agreed() const;  // empty unless the outcome is agreed
    bool answered(std::size_t voter) const { return _ballots[voter].at != ballot::state::waiting; }
    // Named an address, not the agreed one.
    bool dissents(std::size_t voter) const;  // false while nothing is agreed
    const master_address& named_by(std::size_t voter) const { return _ballots[voter].where; }
    // Every answer, for a message: "a: names h:1; b: no answer within 2000 ms".
    QString tally(const QStringList& names) const;

private:
    struct ballot {
        enum class state { waiting, named, failed };
        state at = state::waiting;
        master_address where;
        QString why;
    };
    std::size_t votes_for(const master_address& where) const;

    std::vector<ballot> _ballots;
};

}  // namespace redis
