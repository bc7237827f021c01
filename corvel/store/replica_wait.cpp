#include "store/replica_wait.h"

replica_wait::replica_wait(redis::client& store, int replicas, int timeout_ms)
    : _store(store),
      _replicas(replicas),
      _timeout_ms(timeout_ms)
{
}

void replica_wait::after_written(settled then)
{
    if (!enabled()) {
        then(QString());
        return;
    }
    _covered.push_back(std::move(then));
    if (_out)
        return;
    _round = 0;
    send();
}

void replica_wait::send()
{
    _out = true;
    ++_round;
    // Both live as long as the application; a store that goes first drops this job unanswered.
    _store.submit(std::make_unique<redis::command_batch>(
        QList<redis::command>{{"WAIT", QByteArray::number(_replicas), QByteArray::number(_timeout_ms)}},
        [this](std::vector<redis::reply>&& replies, const QString& failure) {
            if (!failure.isEmpty())
                answered(0, failure);
            else if (replies.size() != 1 || replies.front().type != redis::reply::kind::integer)
                answered(
                    0, QStringLiteral("WAIT was refused: %1")
                           .arg(QString::fromLatin1(replies.empty() ? QByteArray() : replies.front().text.left(200))));
            else
                answered(replies.front().integer, QString());
        },
        _timeout_ms));  // Redis answers WAIT only once its timeout has passed: not silence
}

void replica_wait::answered(long long replicas, const QString& failure)
{
    if (failure.isEmpty() && replicas < _replicas && _round < rounds) {
        send();  // on the same connection: it covers the same writes, and those answered since
        return;
    }
    _out = false;
    std::vector<settled> covered;
    covered.swap(_covered);
    QString why = failure;
    if (why.isEmpty() && replicas < _replicas)
        why = QStringLiteral("only %1 of %2 replicas acknowledged the write within %3 ms (WAIT, %4 times)")
                  .arg(replicas)
                  .arg(_replicas)
                  .arg(_timeout_ms)
                  .arg(rounds);
    for (settled& then : covered)
        then(why);
}
