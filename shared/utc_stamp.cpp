#include "utc_stamp.h"

#include <QDate>
#include <QDateTime>

namespace {

char* digits(char* out, int value, int count)
{
    for (int i = count - 1; i >= 0; --i, value /= 10)
        out[i] = static_cast<char>('0' + value % 10);
    return out + count;
}

char* put(char* out, const char* text)
{
    while (*text)
        *out++ = *text++;
    return out;
}

}  // namespace

utc_stamp utc_stamp_at(qint64 msecs)
{
    thread_local qint64 last = -1;
    thread_local char text[64];
    if (msecs == last)
        return {text};
    last = msecs;
    constexpr qint64 day_ms = 86400000;
    constexpr qint64 unix_epoch_julian_day = 2440588;
    const QDate date = QDate::fromJulianDay(unix_epoch_julian_day + msecs / day_ms);
    const int of_day = static_cast<int>(msecs % day_ms);
    char* p = put(text, "QDateTime(");
    p = digits(p, date.year(), 4);
    *p++ = '-';
    p = digits(p, date.month(), 2);
    *p++ = '-';
    p = digits(p, date.day(), 2);
    *p++ = ' ';
    p = digits(p, of_day / 3600000, 2);
    *p++ = ':';
    p = digits(p, of_day / 60000 % 60, 2);
    *p++ = ':';
    p = digits(p, of_day / 1000 % 60, 2);
    *p++ = '.';
    p = digits(p, of_day % 1000, 3);
    *put(p, " UTC Qt::UTC)") = '\0';
    return {text};
}

utc_stamp utc_stamp_now()
{
    return utc_stamp_at(QDateTime::currentMSecsSinceEpoch());
}
