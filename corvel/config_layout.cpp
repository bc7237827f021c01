// Sections and keys of the file that nothing reads, named with what was probably meant.

#include "config_layout.h"

#include "loggable.h"

#include <QHash>

#include <algorithm>
#include <limits>
#include <numeric>
#include <vector>

namespace {

// Names from the file are shown cut to this; longer ones are near no known name.
constexpr int name_limit = 64;
// The keys named in a remark on a whole section.
constexpr int keys_named = 5;
constexpr int far = std::numeric_limits<int>::max();

using weight = config_remark::weight;

QString shown(const QString& name)
{
    return loggable(name, name_limit);
}

// Edits (insert, delete, replace) from a to b, case aside.
int distance(const QString& a, const QString& b)
{
    if (a.size() > name_limit || b.size() > name_limit)
        return far;
    const QString x = a.toUpper(), y = b.toUpper();
    std::vector<int> row(static_cast<std::size_t>(y.size()) + 1);
    std::iota(row.begin(), row.end(), 0);
    for (int i = 1; i <= x.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= y.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[y.size()];
}

// The nearest of names within `slack` edits, or nothing.
QString nearest(const QString& name, const QStringList& names, int slack)
{
    QString best;
    int best_distance = far;
    for (const QString& candidate : names) {
        const int d = distance(name, candidate);
        if (d < best_distance) {
            best = candidate;
            best_distance = d;
        }
    }
    return best_distance <= slack ? best : QString();
}

// [REDIS_SETTING], [amqp_settings], [Redis]: a read section meant, by a slip or by its first word.
QString meant_section(const QString& name, const QStringList& sections)
{
    for (const QString& section : sections)
        if (name.compare(section.section(QLatin1Char('_'), 0, 0), Qt::CaseInsensitive) == 0)
            return section;
    return nearest(name, sections, 3);
}

QString named_keys(const QStringList& keys)
{
    QStringList named;
    for (int i = 0; i < std::min<int>(keys.size(), keys_named); ++i)
        named << shown(keys[i]);
    QString text = named.join(QStringLiteral(", "));
    if (keys.size() > keys_named)
        text += QStringLiteral(" and %1 more").arg(keys.size() - keys_named);
    return text;
}

// At most max_remarks remarks, then one that counts the rest; a remark left out is not even
// worded, so that a file of a million keys costs one pass over them.
class remark_list {
public:
    bool has_room() const { return _remarks.size() < max_remarks; }
    void add(weight level, const QString& text) { _remarks.append({level, text}); }
    void leave_out(weight level)
    {
        ++_left_out;
        if (level == weight::mistake)
            _left_out_level = weight::mistake;
    }
    QList<config_remark> take()
    {
        if (_left_out > 0)
            _remarks.append({_left_out_level,
                             QStringLiteral("%1 more sections or keys that are not read, not listed").arg(_left_out)});
        return std::move(_remarks);
    }

private:
    QList<config_remark> _remarks;
    int _left_out = 0;
    weight _left_out_level = weight::note;
};

}  // namespace

QList<config_remark> layout_remarks(QSettings& settings, const QMap<QString, QStringList>& known)
{
    QHash<QString, QString> section_of;  // every read key, to the section that reads it
    for (auto it = known.begin(); it != known.end(); ++it)
        for (const QString& key : it.value())
            section_of.insert(key, it.key());
    const QStringList sections = known.keys();
    remark_list remarks;

    // A key a getter does not read, outside its section or nowhere: a mistake, unless it is just
    // some name outside any section.
    const auto unread_key = [&](const QString& section, const QString& key) {
        const QString home = section_of.value(key);
        const weight level = section.isEmpty() && home.isEmpty() ? weight::note : weight::mistake;
        if (!remarks.has_room()) {
            remarks.leave_out(level);
            return;
        }
        QString text = section.isEmpty() ? shown(key) + QStringLiteral(": outside any section, not read")
                                         : QStringLiteral("%1/%2: unknown key, not read").arg(section, shown(key));
        if (!home.isEmpty())
            text += QStringLiteral("; it is read in [%1]").arg(home);
        else if (const QString meant = nearest(key, known.value(section), std::max(2, key.size() / 4));
                 !meant.isEmpty())
            text += QStringLiteral("; did you mean %1?").arg(meant);
        remarks.add(level, text);
    };

    for (const QString& key : settings.childKeys())
        unread_key(QString(), key);
    for (const QString& group : settings.childGroups()) {
        settings.beginGroup(group);
        const QStringList keys = settings.allKeys();
        settings.endGroup();
        if (known.contains(group)) {
            const QStringList& read = known[group];
            for (const QString& key : keys)
                if (!read.contains(key))
                    unread_key(group, key);
            continue;
        }
        const QString meant = meant_section(group, sections);
        const weight level = meant.isEmpty() ? weight::note : weight::mistake;
        if (!remarks.has_room()) {
            remarks.leave_out(level);
            continue;
        }
        QString text = QStringLiteral("[%1]: unknown section, not read").arg(shown(group));
        if (!meant.isEmpty())
            text += QStringLiteral("; did you mean [%1]?").arg(meant);
        if (!keys.isEmpty())
            text += QStringLiteral(" (keys: %1)").arg(named_keys(keys));
        remarks.add(level, text);
    }
    return remarks.take();
}
