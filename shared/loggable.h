#pragma once

#include <QByteArray>
#include <QString>

// Text that came from outside (a message, a peer, a request), made fit for one log line: control
// characters are written visibly (\r, \n, \t, \x1b, \u2028) and text past `limit` characters is cut,
// with its full size noted: "abc… (16777216 bytes)".
constexpr int loggable_limit = 200;
QString loggable(const QString& text, int limit = loggable_limit);
// Bytes are read as UTF-8, as the broker's short strings and the JSON bodies are.
QString loggable(const QByteArray& bytes, int limit = loggable_limit);

// Only the control characters escaped, nothing cut: what the logger does to every line, so that
// one statement is always one line of the file.
QString escape_controls(const QString& text);
