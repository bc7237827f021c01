#include "sentinel_locator.h"

#include "sentinel_subscription.h"

#include <QDeadlineTimer>
#include <QPointer>

#include <utility>

namespace redis {

struct sentinel_locator::member {
    std::unique_ptr<client> asker;                  // the questions
    std::unique_ptr<client> listener;               // subscribed to its events
    std::shared_ptr<detail::sentinel_probe> probe;  // of the listening link
    QTimer question_limit;                          // of the oldest question out
    int questions_out = 0;
    standing at = standing::unknown;
    master_address claim;      // where it said the master went, during the fail-over
    QDeadlineTimer barred{0};  // until then its fail-overs are ignored
};

struct sentinel_locator::round {
    explicit round(std::size_t voters) : vote(voters) {}
    master_vote vote;
    bool decided = false;
};

namespace {

master_address address_of(const QByteArray& host, const QByteArray& port)
{
    bool ok = false;
    const quint32 number = port.toUInt(&ok);
    if (!ok || number == 0 || number > 65535 || !detail::plausible_host(host))
        return master_address();
    return {QString::fromLatin1(host), number};
}

}  // namespace

sentinel_locator::sentinel_locator(sentinel_config config, QObject* parent)
    : address_source(parent),
      _config(std::move(config))
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(_config.sentinels.size()); ++i) {
        const auto& where = _config.sentinels[static_cast<int>(i)];
        _names << QStringLiteral("%1:%2").arg(where.first).arg(where.second);
        auto m = std::make_unique<member>();
        m->asker = std::make_unique<client>(sentinel_at(i));
        m->asker->set_reply_limit(reply_limit_bytes);
        m->question_limit.setSingleShot(true);
        m->question_limit.setTimerType(Qt::PreciseTimer);
        m->question_limit.setInterval(question_limit_ms);
        connect(&m->question_limit, &QTimer::timeout, this, [this, i] {
            _members[i]->asker->drop(QStringLiteral("no whole answer within %1 ms").arg(question_limit_ms));
        });
        _members.push_back(std::move(m));
        listen(i);
    }
    _fence_limit.setSingleShot(true);
    _fence_limit.setInterval(fence_limit_ms);
    connect(&_fence_limit, &QTimer::timeout, this, &sentinel_locator::fence_ran_out);
    _confirm.setSingleShot(true);
    _confirm.setInterval(confirm_interval_ms);
    connect(&_confirm, &QTimer::timeout, this, [this] {
        if (_fence == fence::failing_over && (!_round || _round->decided))
            start_round();
    });
    _probe_interval.setInterval(probe_interval_ms);
    connect(&_probe_interval, &QTimer::timeout, this, &sentinel_locator::probe_listeners);
    if (!_members.empty())
        _probe_interval.start();
}

sentinel_locator::~sentinel_locator() = default;

// A fail-over's own limit, then one round of questions after it, and a margin.
int sentinel_locator::locate_limit_ms() const
{
    return fence_limit_ms + 2 * question_limit_ms + 1000;
}

connection_config sentinel_locator::sentinel_at(std::size_t index) const
{
    connection_config c;
    c.host = _config.sentinels[static_cast<int>(index)].first;
    c.port = _config.sentinels[static_cast<int>(index)].second;
    c.auth = _config.password;
    c.tls = _config.tls;
    if (!c.auth.isEmpty())
        c.user = _config.user;
    return c;
}

void sentinel_locator::locate(found done)
{
    if (_members.empty()) {
        done(QString(), 0, QStringLiteral("no sentinel configured"));
        return;
    }
    _waiting.push_back(std::move(done));
    if (_fence == fence::open && (!_round || _round->decided))
        start_round();
}

void sentinel_locator::start_round()
{
    _round = std::make_shared<round>(_members.size());
    for (std::size_t i = 0; i < _members.size(); ++i)
        ask(i, _round);
}

void sentinel_locator::ask(std::size_t index, const std::shared_ptr<round>& r)
{
    member& m = *_members[index];
    if (m.questions_out++ == 0)
        m.question_limit.start();
    QPointer<sentinel_locator> self(this);
    m.asker->submit(std::make_unique<command_batch>(
        QList<command>{{"SENTINEL", "get-master-addr-by-name", _config.master}},
        [self, index, r](std::vector<reply>&& replies, const QString& failure) {
            if (!self)
                return;
            member& m = *self->_members[index];
            if (--m.questions_out > 0)
                m.question_limit.start();  // the next question out has its own time
            else
                m.question_limit.stop();
            QString why = failure;
            if (why.isEmpty() && replies.size() == 1) {
                const reply& answer = replies.front();
                const master_address where = answer.elements.size() == 2
                                                 ? address_of(answer.elements[0].text, answer.elements[1].text)
                                                 : master_address();
                if (!where.empty())
                    r->vote.named(index, where);
                else
                    why = answer.is_error() ? printable(answer.text)
                                            : QStringLiteral("names no usable master of that name");
            }
            if (!r->vote.answered(index))
                r->vote.failed(index, why.isEmpty() ? QStringLiteral("no answer") : why);
            self->counted(*r, index);
        }));
}

void sentinel_locator::counted(round& r, std::size_t index)
{
    if (r.decided) {
        judge(r, index);  // a late answer
        return;
    }
    if (r.vote.result() == master_vote::outcome::open)
        return;
    r.decided = true;
    for (std::size_t i = 0; i < _members.size(); ++i)
        judge(r, i);
    decide(r);
}

// A sentinel's standing follows its answer to a round the majority agreed in. During a fail-over
// the leader names the promoted replica before the others know of it: no one is judged then.
void sentinel_locator::judge(const round& r, std::size_t index)
{
    const master_address agreed = r.vote.agreed();
    if (agreed.empty() || !r.vote.answered(index) || _fence == fence::failing_over)
        return;
    member& m = *_members[index];
    if (r.vote.dissents(index)) {
        m.at = standing::dissents;
        emit disagreement(_names[index],
                          QStringLiteral("names %1 as the master of \"%2\", the majority %3")
                              .arg(r.vote.named_by(index).text(), printable(_config.master), agreed.text()));
    } else if (r.vote.named_by(index) == agreed) {
        m.at = standing::agrees;
    }
}

void sentinel_locator::decide(const round& r)
{
    const master_address agreed = r.vote.agreed();
    if (_fence == fence::failing_over) {
        // Moved only where a sentinel said the master went, once the majority says so too.
        if (!agreed.empty() && claimed(agreed)) {
            lift();
            settle(agreed);
        } else if (claimed(master_address())) {
            _confirm.start();
        }
        return;
    }
    if (!agreed.empty()) {
        settle(agreed);
        return;
    }
    const QString why =
        QStringLiteral("the sentinels do not agree where the master \"%1\" is (%2 of %3 must name it): %4")
            .arg(printable(_config.master))
            .arg(master_vote::quorum(_members.size()))
            .arg(_members.size())
            .arg(r.vote.tally(_names));
    std::vector<found> waiting;
    waiting.swap(_waiting);
    for (found& done : waiting)
        done(QString(), 0, why);
}

void sentinel_locator::settle(const master_address& where)
{
    const bool moved_now = !_master.empty() && where != _master;
    _master = where;
    if (moved_now)
        emit moved(where.host, where.port);
    std::vector<found> waiting;
    waiting.swap(_waiting);
    for (found& done : waiting)
        done(where.host, where.port, QString());
}

void sentinel_locator::listen(std::size_t index)
{
    member& m = *_members[index];
    m.listener = std::make_unique<client>(sentinel_at(index));
    m.listener->set_reply_limit(reply_limit_bytes);
    m.probe = std::make_shared<detail::sentinel_probe>();
    QPointer<sentinel_locator> self(this);
    m.listener->submit(std::make_unique<detail::sentinel_subscription>(
        m.probe,
        [self, index](const QByteArray& channel, const QByteArray& text) {
            if (self)
                self->event(index, channel, text);
        },
        [self, index] {
            // Not at once: the client that failed is still on the stack.
            if (self)
                QTimer::singleShot(resubscribe_ms, self, [self, index] { self->listen(index); });
        }));
}

void sentinel_locator::probe_listeners()
{
    for (const auto& m : _members) {
        client* link = m->listener.get();
        detail::sentinel_probe& p = *m->probe;
        if (!link || link->current_state() != client::state::connected)
            continue;
        if (p.at == detail::sentinel_probe::state::due && p.since.elapsed() > probe_limit_ms) {
            link->drop(QStringLiteral("no answer to PING within %1 ms").arg(probe_limit_ms));  // listens again soon
        } else if (p.at == detail::sentinel_probe::state::idle) {
            p.at = detail::sentinel_probe::state::wanted;
            link->resume();
        }
    }
}

// "+switch-master": "<name> <old ip> <old port> <new ip> <new port>"; the steps of a fail-over:
// "master <name> <ip> <port>" or "slave <ip:port> <ip> <port> @ <name> <master ip> <master port>".
void sentinel_locator::event(std::size_t index, const QByteArray& channel, const QByteArray& text)
{
    const QList<QByteArray> words = text.split(' ');
    master_address about;      // the master the event is about
    master_address announced;  // where it says the master now is
    if (channel == "+switch-master") {
        if (words.size() != 5 || words[0] != _config.master)
            return;
        about = address_of(words[1], words[2]);
        announced = address_of(words[3], words[4]);
    } else if (words.size() == 4 && words[0] == "master" && words[1] == _config.master) {
        about = address_of(words[2], words[3]);
    } else if (words.size() == 8 && words[4] == "@" && words[5] == _config.master) {
        about = address_of(words[6], words[7]);
        if (channel == "+promoted-slave")
            announced = address_of(words[2], words[3]);
    } else {
        return;
    }
    const bool begins = channel == "+try-failover" || channel == "+selected-slave";
    const bool aborts = channel.startsWith("-failover-abort");
    // Before any address is agreed nothing is written; a late announcement of where we are is news to no one.
    if ((!begins && !aborts && announced.empty()) || _master.empty() || (!announced.empty() && announced == _master))
        return;
    if (aborts) {
        if (_fence == fence::failing_over && index == _fencer) {
            lift();
            if (!_waiting.empty() && (!_round || _round->decided))
                start_round();
        }
        return;
    }
    member& m = *_members[index];
    if (m.at == standing::dissents || about != _master) {
        emit disagreement(_names[index],
                          QStringLiteral("%1 about %2 ignored: the majority names %3 as the master of \"%4\"")
                              .arg(printable(channel, 40),
                                   about.empty() ? QStringLiteral("an unusable address") : about.text(), _master.text(),
                                   printable(_config.master)));
        return;
    }
    if (_fence == fence::open) {
        if (!m.barred.hasExpired()) {
            emit disagreement(
                _names[index],
                QStringLiteral("%1 ignored: its last fail-over was not confirmed").arg(printable(channel, 40)));
            return;
        }
        raise(index);
    }
    if (announced.empty())
        return;
    m.claim = announced;
    if (!_round || _round->decided)
        start_round();
}

// Some sentinel said the master went there during this fail-over; empty: anywhere.
bool sentinel_locator::claimed(const master_address& where) const
{
    for (const auto& m : _members)
        if (!m->claim.empty() && (where.empty() || m->claim == where))
            return true;
    return false;
}

void sentinel_locator::raise(std::size_t index)
{
    _fence = fence::failing_over;
    _fencer = index;
    _fence_limit.start();
    emit moving(QStringLiteral("the sentinels are failing the master over"));
}

void sentinel_locator::lift()
{
    _fence = fence::open;
    _fence_limit.stop();
    _confirm.stop();
    for (const auto& m : _members)
        m->claim = master_address();
}

void sentinel_locator::fence_ran_out()
{
    _members[_fencer]->barred.setRemainingTime(fence_limit_ms);
    emit disagreement(
        _names[_fencer],
        QStringLiteral("began a fail-over of \"%1\"%2 that the majority did not confirm within %3 ms; "
                       "its fail-overs are ignored for as long")
            .arg(printable(_config.master), _members[_fencer]->claim.empty()
                                                ? QString()
                                                : QStringLiteral(" to ") + _members[_fencer]->claim.text())
            .arg(fence_limit_ms));
    lift();
    if (!_waiting.empty() && (!_round || _round->decided))
        start_round();
}

}  // namespace redis
