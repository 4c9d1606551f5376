#pragma once

#include <QByteArray>
#include <QLocale>
#include <QString>
#include <QTime>

class QCoreApplication;

// The window's language: the program's own translation for the user's locale (its
// LANGUAGE/LC_ALL/LC_MESSAGES/LANG), then Qt's for the same language (the file dialog's
// buttons, the context menus). English needs none. A locale the program has no translation
// for, or a translation file that cannot be read, leaves the window English with one line on
// standard error, never a box. The log file, the e-mails, the metrics and the command line
// stay English whatever the locale: they are read by scripts and by other people.
struct TranslationResult {
    QString language; // the one loaded ("de"), empty for English
    bool qtToo = false;
};
TranslationResult InstallTranslations(QCoreApplication &app, const QLocale &locale,
                                      const QString &folder = QStringLiteral(":/i18n"));

// The translation of a printf format of the engine (engine/Formats.h), or the format itself
// when the translation does not take the same arguments in the same order: a damaged or
// careless translation must never read an int as a string.
QByteArray TranslatedFormat(const char *context, const char *format);

// Numbers and times as the window shows them: in the user's locale, and as before in the C
// locale (the tests' and the scripts'): "0.042", "14:03".
QString LocalNumber(double value, int decimals);
QString LocalShortTime(const QTime &time);
