#include "loggable.h"

#include <algorithm>

namespace {

bool is_control(QChar c)
{
    const ushort u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u < 0xa0) || u == 0x2028 || u == 0x2029;
}

void append_escaped(QString& out, QChar c)
{
    switch (c.unicode()) {
    case '\r':
        out += QLatin1String("\\r");
        return;
    case '\n':
        out += QLatin1String("\\n");
        return;
    case '\t':
        out += QLatin1String("\\t");
        return;
    default:
        break;
    }
    if (c.unicode() < 0x100)
        out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    else
        out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
}

QString escaped_prefix(const QString& text, int limit)
{
    QString out;
    const int end = std::min(text.size(), limit);
    out.reserve(end);
    for (int i = 0; i < end; ++i) {
        const QChar c = text.at(i);
        if (is_control(c))
            append_escaped(out, c);
        else
            out += c;
    }
    return out;
}

}  // namespace

QString escape_controls(const QString& text)
{
    for (const QChar c : text)
        if (is_control(c))
            return escaped_prefix(text, text.size());
    return text;  // the common case: no copy
}

QString loggable(const QString& text, int limit)
{
    if (text.size() <= limit)
        return escape_controls(text);
    return escaped_prefix(text, limit) + QStringLiteral("… (%1 bytes)").arg(text.toUtf8().size());
}

QString loggable(const QByteArray& bytes, int limit)
{
    if (bytes.size() <= limit)
        return escape_controls(QString::fromUtf8(bytes));
    // Cutting the bytes first keeps a huge body from being decoded whole; a character split at the
    // cut reads as one replacement character.
    return escaped_prefix(QString::fromUtf8(bytes.left(limit)), limit) +
           QStringLiteral("… (%1 bytes)").arg(bytes.size());
}
