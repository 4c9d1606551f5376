#include "platform/gui/Translation.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QTranslator>

namespace {

bool IsEnglish(const QString &language) {
    return language == QLatin1String("C") || language.startsWith(QLatin1String("en"));
}

// "de-DE" gives vennatro_de_DE.qm, then vennatro_de.qm.
QStringList Candidates(const QString &uiLanguage) {
    QString name = uiLanguage;
    name.replace(QLatin1Char('-'), QLatin1Char('_'));
    QStringList names{name};
    while (name.contains(QLatin1Char('_'))) {
        name.truncate(name.lastIndexOf(QLatin1Char('_')));
        names << name;
    }
    return names;
}

// The conversions of a printf format in order ("%s", "%d", "%.3f" all reduce to their letter).
QString Conversions(const QString &format) {
    static const QRegularExpression conversion(
        QStringLiteral("%[-+ #0]*[0-9*]*(?:\\.[0-9*]*)?(?:hh|h|ll|l|L|z|j|t)?([diouxXeEfgGcsp%])"));
    QString kinds;
    for (auto it = conversion.globalMatch(format); it.hasNext();)
        kinds += it.next().captured(1);
    return kinds;
}

} // namespace

TranslationResult InstallTranslations(QCoreApplication &app, const QLocale &locale,
                                      const QString &folder) {
    TranslationResult result;
    for (const QString &uiLanguage : locale.uiLanguages()) {
        if (IsEnglish(uiLanguage))
            return result;
        for (const QString &name : Candidates(uiLanguage)) {
            const QString path = folder + QStringLiteral("/vennatro_%1.qm").arg(name);
            if (!QFileInfo::exists(path))
                continue;
            auto *own = new QTranslator(&app);
            if (!own->load(path) || own->isEmpty()) {
                delete own;
                qWarning("Vennatro: the translation %s cannot be read; the window stays in "
                         "English.",
                         qUtf8Printable(path));
                return result;
            }
            app.installTranslator(own);
            result.language = name;
            // Qt's own texts in the same language, where the system has them.
            auto *qt = new QTranslator(&app);
            if (qt->load(QStringLiteral("qtbase_") + name,
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
                app.installTranslator(qt);
                result.qtToo = true;
            } else {
                delete qt;
            }
            return result;
        }
    }
    const QStringList wanted = locale.uiLanguages();
    if (!wanted.isEmpty() && !IsEnglish(wanted.constFirst()))
        qInfo("Vennatro: no translation for %s; the window stays in English.",
              qUtf8Printable(wanted.join(QLatin1Char(','))));
    return result;
}

QByteArray TranslatedFormat(const char *context, const char *format) {
    const QString translated = QCoreApplication::translate(context, format);
    if (Conversions(translated) != Conversions(QString::fromUtf8(format)))
        return QByteArray(format);
    return translated.toUtf8();
}

QString LocalNumber(double value, int decimals) {
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(value, 'f', decimals);
}

QString LocalShortTime(const QTime &time) {
    const QLocale locale;
    if (locale.language() == QLocale::C)
        return time.toString(QStringLiteral("HH:mm"));
    return locale.toString(time, QLocale::ShortFormat);
}
