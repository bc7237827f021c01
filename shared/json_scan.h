#pragma once

#include "model.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Reads JSON text in place, building nothing: for command bodies, whose Qt document costs several
// times the text (16 bytes a number) and, for a small one, more time than the scan. It accepts standard JSON only,
// nested at most max_depth deep, which QJsonDocument accepts too and reads the same; anything else is a failure, and
// the caller then hands the text to Qt, which gives the verdict and its message.
class json_scan {
public:
    json_scan(const char* begin, const char* end) : _at(begin), _end(end) {}
    explicit json_scan(const json_slice& text) : json_scan(text.begin(), text.end()) {}

    static constexpr int max_depth = 512;

    bool failed() const { return _failed; }
    // The next character after whitespace, 0 at the end or once failed. Inline, as take and accept:
    // called for every token.
    char peek()
    {
        while (_at < _end && is_space(*_at))
            ++_at;
        return _at == _end ? 0 : *_at;
    }
    // Takes c, the next character after whitespace; a failure if it is another.
    bool take(char c)
    {
        if (peek() != c || c == 0)
            return fail();
        ++_at;
        return true;
    }
    // Takes c if it comes next.
    bool accept(char c)
    {
        if (peek() != c || c == 0)
            return false;
        ++_at;
        return true;
    }
    // Where the scan is (after peek(): at the next token).
    const char* position() const { return _at; }
    // Only whitespace is left.
    bool at_end();
    // A string, quotes included, in [begin, end).
    bool string(const char*& begin, const char*& end);
    // A number as QJsonValue::toInt() reads it: whole and in the 32-bit range, else 0.
    bool number(int& value);
    // Skips one value of any kind, checking it; depth: that of the array or object holding it.
    bool skip(int depth);
    // Skips an array, checking it: the number of its elements.
    int count_elements(int depth);

private:
    static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    bool fail();
    // skip() of a short whole number at the scan; false, having taken nothing, for any other.
    bool skip_number();
    bool literal(const char* word, int size);

    const char* _at;
    const char* _end;
    bool _failed = false;
};

// The text of a string token (quotes included) as QJsonValue::toString() gives it.
QString json_string_text(const char* begin, const char* end);
// Whether a string token (quotes included) reads as word, a plain ASCII word; a token without
// escapes is compared as it stands, without making its text.
bool json_string_is(const char* begin, const char* end, QLatin1String word);

// A command's "data" as a document, made from its text when it came as a slice.
QJsonDocument command_data(const model::command& command);
