#pragma once

#include <QByteArray>
#include <QString>

// The version text the build embeds in the program file; "(error)" for a file without one or
// no file at all.
QString GetFileVersionString(const QString &FileName);

// The text a second start sends to the running instance.
inline constexpr const char *ActivationMessageName = "LumoDev - activate previous instance";

// Nothing to register here (kept for the start-up order); returns the message name.
QString RegisterActivationMessage();
// Sends the activation text to the running instance; true when it was delivered.
bool ActivatePreviousInstance(const QString &WindowClassName);

// Stored form of the SMTP password: bytes in, bytes out (1..255 bytes -> 256 bytes).
QByteArray ScramblePassword(const QByteArray &Plain);
// Never reads outside Stored; a malformed value gives an empty password.
QByteArray UnscramblePassword(const QByteArray &Stored);
// The self-inverse byte substitution used by both.
char ScrambleSubstitute(char c);
