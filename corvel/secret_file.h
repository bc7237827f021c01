#pragma once

#include <QString>

// A password kept out of the INI file: the value of a *_FILE key names where it is. A value with a
// "/" is a path (a relative one from the working directory); a bare name is a systemd credential
// of the unit (LoadCredential=NAME:...), read from $CREDENTIALS_DIRECTORY/NAME. The file holds the
// password alone, on one line; its newline (\n or \r\n) is not part of it.
//
// Returns the password, or a null string with why it cannot be had in *why (the file's name, never
// anything of its content).
QString read_secret(const QString& name, QString* why);

// Larger than this, a file is no password file.
constexpr qint64 secret_limit_bytes = 4096;
