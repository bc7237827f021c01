#pragma once

#include <QByteArray>

// Diagnostic lines (qDebug and the like) go to standard error through the queue of standard error
// (see log_queue): the event loop never waits for a reader of standard error, and the lines of one
// turn of the loop are handed to the writer together. Warnings and worse are handed over at once.
namespace stderr_batch {

// Call once the application object exists, on the thread of the event loop.
void install();
// Waits until the lines so far are written, at most log_queue::flush_limit.
void flush();
// Queues one line of standard error (ending in a line feed), after a note of lines lost, if any.
void write(const QByteArray& line, bool urgent = false);
// While the log goes to standard error as JSON lines, the diagnostic lines (and the note of lines
// lost) are JSON objects too, their text unchanged as the "message", so the stream stays JSON.
void set_json_lines(bool json);

}  // namespace stderr_batch
