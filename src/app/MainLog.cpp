#include "app/Main.h"

#include "engine/PingTarget.h"
#include "platform/AppErrors.h"
#include "support/Exceptions.h"

#include <QFileInfo>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

namespace {
// Both conversions copy the text once: QString::replace with a text of another length moves
// the rest of the string again for every few matches, which takes seconds on a log of tens of
// megabytes (at start, and whenever the file is rewritten whole).

// Any line break (CR LF, lone CR, lone LF) as the pane's own.
QString ToPaneText(const QString &text) {
    const QStringView view(text);
    qsizetype cr = view.indexOf(u'\r');
    if (cr < 0)
        return text;
    QString out;
    out.reserve(text.size());
    qsizetype from = 0;
    for (; cr >= 0; cr = view.indexOf(u'\r', from)) {
        out.append(view.mid(from, cr - from));
        out.append(u'\n');
        from = cr + 1;
        if (from < view.size() && view[from] == u'\n')
            ++from;
    }
    out.append(view.mid(from));
    return out;
}

QString ToFileText(const QString &paneText) {
    const QStringView view(paneText);
    const qsizetype breaks = view.count(u'\n');
    if (breaks == 0)
        return paneText;
    QString out;
    out.reserve(view.size() + breaks);
    qsizetype from = 0;
    for (qsizetype lf = view.indexOf(u'\n'); lf >= 0; lf = view.indexOf(u'\n', from)) {
        out.append(view.mid(from, lf - from));
        out.append(QLatin1String("\r\n"));
        from = lf + 1;
    }
    out.append(view.mid(from));
    return out;
}
} // namespace

QString TfMain_Vennatro::LogText() const { return ToFileText(mmLog->toPlainText()); }

void TfMain_Vennatro::AddToLog(const QString &text) {
    // An entry starts a line of its own, also after an old log file without a final line break.
    const QTextDocument *doc = mmLog->document();
    const int last = doc->characterCount() - 2; // the document's closing mark is no text
    const bool midLine = last >= 0 && doc->characterAt(last) != QChar::ParagraphSeparator;
    const QString entry =
        (midLine ? QStringLiteral("\n") : QString()) + ToPaneText(text) + QLatin1Char('\n');
    QTextCursor cursor(mmLog->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(entry);
    mmLog->verticalScrollBar()->setValue(mmLog->verticalScrollBar()->maximum());
    if (Options.SaveLog)
        MirrorToLogFile(ToFileText(entry));
    else
        Log.Forget(); // the file now lacks this entry: once "Save log" is on again, rewrite it
}

void TfMain_Vennatro::MirrorToLogFile(const QString &entry) {
    // The entry stays in the pane whatever happens to the file. One failure is reported;
    // the same failure on every following entry would bury the user in messages.
    try {
        Log.Append(Options.LogFile, entry, [this] { return LogText(); });
        m_logFileFailing = false;
    } catch (const EFileError &) {
        if (!m_logFileFailing) {
            m_logFileFailing = true;
            HandleApplicationException(std::current_exception());
        }
    }
}

void TfMain_Vennatro::OpenLogAtStart() {
    if (!Options.SaveLog || Options.LogFile.isEmpty())
        return;
    GuardedCall([this] {
        if (QFileInfo::exists(Options.LogFile)) {
            const QString old = Log.Load(Options.LogFile);
            mmLog->setPlainText(ToPaneText(old));
            mmLog->verticalScrollBar()->setValue(mmLog->verticalScrollBar()->maximum());
            // Line breaks other than CR LF: the file is unlike the pane, so the next entry
            // rewrites it whole instead of appending.
            if (LogText() != old)
                Log.Forget();
        } else {
            LogFile::CreateFolders(Options.LogFile);
        }
    });
}

void TfMain_Vennatro::SaveLogAtExit() {
    if (Options.SaveLog)
        Log.Sync(Options.LogFile, [this] { return LogText(); });
}

void TfMain_Vennatro::actShowLogExecute() {
    if (actShowLog->isChecked()) {
        actShowLog->setChecked(false);
        RestoreHeight = height();
        mmLog->hide();
        setMinimumHeight(150);
        setMaximumHeight(150);
    } else {
        actShowLog->setChecked(true);
        mmLog->show();
        setMinimumHeight(400);
        setMaximumHeight(QWIDGETSIZE_MAX);
        resize(width(), RestoreHeight);
    }
    Options.ShowLog = actShowLog->isChecked();
}

void TfMain_Vennatro::actClearLogExecute() {
    mmLog->clear();
    Log.Forget();
    AddToLog(SessionBanner(TimeStamp()));
}

void TfMain_Vennatro::actSaveLogExecute() {
    if (Options.AlwaysOnTop)
        SetAlwaysOnTop(false);
    struct Restore {
        TfMain_Vennatro *window;
        ~Restore() {
            if (Options.AlwaysOnTop)
                window->SetAlwaysOnTop(true);
        }
    } restore{this};
    const QString path = dlgSaveExecute ? dlgSaveExecute() : QString();
    if (!path.isEmpty()) {
        LogFile file;
        file.Replace(path, LogText());
    }
}
