#pragma once

#include <QtGlobal>

// The time of a diagnostic line, printed exactly as QDebug prints QDateTime::currentDateTimeUtc()
// ("QDateTime(2026-12-09 08:48:01.456 UTC Qt::UTC)"), at a fraction of its cost: the text is made
// without the locale machinery, and again only once the millisecond has changed.
struct utc_stamp {
    const char* text;  // valid until the next stamp is taken on this thread
};

utc_stamp utc_stamp_now();
utc_stamp utc_stamp_at(qint64 msecs_since_epoch);  // 1970 to 9999
