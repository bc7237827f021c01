#pragma once

// Diagnostic lines (qDebug and the like) go to standard error gathered per turn of the event loop:
// one write for the lines of a turn rather than one system call per line. Warnings and worse, and
// a batch past 64 KiB, go out at once; what is left goes out at exit.
namespace stderr_batch {

// Call once the application object exists.
void install();
void flush();

}  // namespace stderr_batch
