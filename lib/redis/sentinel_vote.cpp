#include "sentinel_vote.h"

namespace redis {

void master_vote::named(std::size_t voter, const master_address& where)
{
    if (_ballots[voter].at == ballot::state::waiting)
        _ballots[voter] = {ballot::state::named, where, QString()};
}

void master_vote::failed(std::size_t voter, const QString& why)
{
    if (_ballots[voter].at == ballot::state::waiting)
        _ballots[voter] = {ballot::state::failed, master_address(), why};
}

std::size_t master_vote::votes_for(const master_address& where) const
{
    std::size_t n = 0;
    for (const ballot& b : _ballots)
        n += b.at == ballot::state::named && b.where == where ? 1 : 0;
    return n;
}

master_vote::outcome master_vote::result() const
{
    std::size_t best = 0;
    std::size_t waiting = 0;
    for (const ballot& b : _ballots) {
        if (b.at == ballot::state::waiting)
            ++waiting;
        else if (b.at == ballot::state::named)
            best = std::max(best, votes_for(b.where));
    }
    const std::size_t needed = quorum(_ballots.size());
    if (best >= needed)
        return outcome::agreed;
    return best + waiting < needed ? outcome::no_quorum : outcome::open;
}

master_address master_vote::agreed() const
{
    for (const ballot& b : _ballots)
        if (b.at == ballot::state::named && votes_for(b.where) >= quorum(_ballots.size()))
            return b.where;
    return master_address();
}

bool master_vote::dissents(std::size_t voter) const
{
    const ballot& b = _ballots[voter];
    const master_address majority = agreed();
    return b.at == ballot::state::named && !majority.empty() && b.where != majority;
}

QString master_vote::tally(const QStringList& names) const
{
    QStringList pieces;
    for (std::size_t i = 0; i < _ballots.size(); ++i) {
        const ballot& b = _ballots[i];
        const QString name = names.value(static_cast<int>(i));
        if (b.at == ballot::state::named)
            pieces << name + QStringLiteral(" names ") + b.where.text();
        else if (b.at == ballot::state::failed)
            pieces << name + QStringLiteral(": ") + b.why;
        else
            pieces << name + QStringLiteral(": not answered yet");
    }
    return pieces.join(QStringLiteral("; "));
}

}  // namespace redis
