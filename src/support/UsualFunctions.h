#pragma once

#include <QByteArray>
#include <QString>

// The version text the build embeds in the program file; "(error)" for a file without one or
// no file at all. The file is read in pieces, so its size does not matter.
QString GetFileVersionString(const QString &FileName);

// The stamp this program carries (marker, version text, closing NUL), as GetFileVersionString
// finds it in a file.
QByteArray EmbeddedFileVersionStamp();

// The text a second start sends to the running instance.
inline constexpr const char *ActivationMessageName = "LumoDev - activate previous instance";
// The single-instance lock: the application title followed by " - Lumo".
inline constexpr const char *SingleInstanceName = "Vennatro - Lumo";

// Nothing to register here (kept for the start-up order); returns the message name.
QString RegisterActivationMessage();

// Stored form of the SMTP password: bytes in, bytes out (1..255 bytes -> 256 bytes).
// A longer password does not fit: it gives its substituted bytes and its length modulo 256,
// which UnscramblePassword reads back as empty (the options dialog refuses such passwords).
QByteArray ScramblePassword(const QByteArray &Plain);
// Never reads outside Stored; a malformed value (not 256 bytes, a length code of 0, filler
// outside 32..127) gives an empty password.
QByteArray UnscramblePassword(const QByteArray &Stored);
// The self-inverse byte substitution used by both.
char ScrambleSubstitute(char c);

// Removes every leading and trailing character whose code is 32 or less (blanks and control
// characters).
QString TrimControl(const QString &text);
