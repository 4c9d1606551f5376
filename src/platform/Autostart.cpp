#include "platform/Autostart.h"

#include "platform/ConfigFiles.h"
#include "support/Exceptions.h"

#include <QFile>

namespace {

// Characters that force an Exec argument into double quotes.
bool IsReserved(QChar c) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#`()");
    return reserved.contains(c);
}

// The program path as one Exec argument: quoted when it holds a reserved character (inside
// the quotes " ` $ \ take a backslash), percent signs doubled, and then the backslashes and
// line breaks escaped once more because the whole line is a desktop-entry string.
QString ExecArgument(const QString &path) {
    bool quote = false;
    for (QChar c : path)
        quote = quote || IsReserved(c);
    QString arg;
    if (quote) {
        arg += QLatin1Char('"');
        for (QChar c : path) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\'))
                arg += QLatin1Char('\\');
            arg += c;
        }
        arg += QLatin1Char('"');
    } else {
        arg = path;
    }
    arg.replace(QLatin1Char('%'), QLatin1String("%%"));

    QString out;
    for (QChar c : arg) {
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

QString AutostartPath() { return XdgConfigHome() + QStringLiteral("/autostart/Vennatro.desktop"); }

void WriteAutostart(const QString &programPath) {
    const QString path = AutostartPath();
    if (programPath.isEmpty())
        throw ERegistryException(
            QStringLiteral("Cannot write \"%1\": the program path is unknown.").arg(path));
    for (QChar c : programPath)
        if (c.unicode() < 0x20 && c != QLatin1Char('\n') && c != QLatin1Char('\t') &&
            c != QLatin1Char('\r'))
            throw ERegistryException(
                QStringLiteral("Cannot write \"%1\": the program path holds a control character.")
                    .arg(path));
    // Started at log-on the program wants the notification area: GNOME, Cinnamon and MATE
    // start it a few seconds late, LXQt once its tray is up, Plasma after its panel.
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Vennatro\n"
                                        "Exec=%1 -quiet\n"
                                        "Icon=dev.lumo.Vennatro\n"
                                        "X-GNOME-Autostart-enabled=true\n"
                                        "X-GNOME-Autostart-Delay=5\n"
                                        "X-MATE-Autostart-Delay=5\n"
                                        "X-LXQt-Need-Tray=true\n"
                                        "X-KDE-autostart-phase=2\n")
                             .arg(ExecArgument(programPath));
    QString reason;
    if (!WriteFileAtomically(path, text.toUtf8(), 0644, &reason))
        throw ERegistryException(QStringLiteral("Cannot write \"%1\": %2").arg(path, reason));
}

void RemoveAutostart() { QFile::remove(AutostartPath()); }
