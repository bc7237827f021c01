#include "diagnostic_line.h"

#include <QDebug>

#include <algorithm>

namespace diagnostic {

void debug_line(const char* file, int line, const char* function, const QString& text)
{
    // The default category, as qDebug()'s; Qt checks that it is enabled.
    qt_message_output(QtDebugMsg, QMessageLogContext(file, line, function, "default"), text);
}

QString quoted(const QString& text)
{
    bool plain = true;
    for (const QChar c : text)
        plain = plain && c.unicode() >= 0x20 && c.unicode() < 0x7f && c != QLatin1Char('"') && c != QLatin1Char('\\');
    if (plain) {  // made in one piece
        QString out(text.size() + 2, Qt::Uninitialized);
        QChar* to = out.data();
        *to++ = QLatin1Char('"');
        to = std::copy(text.begin(), text.end(), to);
        *to = QLatin1Char('"');
        return out;
    }
    // Anything else is escaped by QDebug itself.
    QString out;
    QDebug(&out).nospace() << text;
    return out;
}

}  // namespace diagnostic
