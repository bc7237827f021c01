#pragma once

#include <QString>

// The command path's diagnostic lines ("Put to redis: ..."), their text exactly as qDebug() would
// print it, made without a QDebug: its text stream cost more than the rest of a line's way out.
// The line goes to Qt's message handler as qDebug()'s would, with the caller's context.
namespace diagnostic {

void debug_line(const char* file, int line, const char* function, const QString& text);
// text as QDebug prints a QString: in quotes, with its escapes.
QString quoted(const QString& text);

}  // namespace diagnostic

// debug_line with the calling place's context, as qDebug() takes it.
#define CORVEL_DEBUG_LINE(text) diagnostic::debug_line(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC, text)
