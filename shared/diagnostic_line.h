#pragma once

#include <QString>

#include <algorithm>
#include <charconv>
#include <string_view>

// The command path's diagnostic lines ("Put to redis: ..."), their text exactly as qDebug() would
// print it, made without a QDebug: its text stream cost more than the rest of a line's way out.
// The line goes to Qt's message handler as qDebug()'s would, with the caller's context.
namespace diagnostic {

void debug_line(const char* file, int line, const char* function, const QString& text);
// text as QDebug prints a QString: in quotes, with its escapes.
QString quoted(const QString& text);

// A short line of ASCII words and numbers (as QDebug prints an int), put together without a
// formatter; what goes beyond its room is left out.
class short_text {
public:
    short_text& operator<<(std::string_view words)
    {
        const std::size_t n = std::min(words.size(), sizeof _text - _size);
        words.copy(_text + _size, n);
        _size += n;
        return *this;
    }
    short_text& operator<<(int number)
    {
        const auto end = std::to_chars(_text + _size, _text + sizeof _text, number);
        if (end.ec == std::errc())
            _size = static_cast<std::size_t>(end.ptr - _text);
        return *this;
    }
    QString text() const { return QString::fromLatin1(_text, static_cast<int>(_size)); }

private:
    char _text[128];
    std::size_t _size = 0;
};

}  // namespace diagnostic

// debug_line with the calling place's context, as qDebug() takes it.
#define CORVEL_DEBUG_LINE(text) diagnostic::debug_line(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC, text)
