#include "app/Main.h"
#include "app/RepaintThrottle.h"
#include "engine/PingTarget.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <utility>

namespace {
// Both conversions copy the text once: QString::replace with a text of another length moves
// the rest of the string again for every few matches, which is quadratic on a long text.

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

// Laying out a line without break opportunities takes Qt time that grows with the square of
// its length (64 K characters: half a second; a megabyte: minutes), so the pane cuts lines
// this long. The file keeps them whole.
constexpr qsizetype PaneLineLimit = 10000;

// What the pane shows of a text in pane form: NUL characters as U+FFFD, lines cut at
// PaneLineLimit with a note of what is left out.
QString ForDisplay(QString text) {
    text.replace(QChar(0), QChar::ReplacementCharacter);
    const QStringView view(text);
    QString out;
    qsizetype copied = 0; // text before this is in out already
    for (qsizetype from = 0; from < view.size();) {
        qsizetype lf = view.indexOf(u'\n', from);
        if (lf < 0)
            lf = view.size();
        if (lf - from > PaneLineLimit) {
            qsizetype cut = from + PaneLineLimit;
            if (view[cut - 1].isHighSurrogate())
                --cut;
            out.append(view.mid(copied, cut - copied));
            out.append(QStringLiteral(" [... %1 more characters not shown here]").arg(lf - cut));
            copied = lf;
        }
        from = lf + 1;
    }
    if (copied == 0)
        return text;
    out.append(view.mid(copied));
    return out;
}

// The pane's first line once older entries are gone from it. One line whatever the path holds:
// the pane's accounting finds the note as its first block.
QString PaneNote() {
    if (Options.SaveLog && !Options.LogFile.isEmpty()) {
        QString path = Options.LogFile;
        for (QChar &c : path)
            if (c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator || c == QChar(0xFDD0) ||
                c == QChar(0xFDD1))
                c = u' ';
        return QStringLiteral("... older entries are in the log file \"%1\" ...").arg(path);
    }
    return QStringLiteral("... older entries are no longer shown here ...");
}

// Adds entries (pane form, each ending in a line break, with its size in the file) at the end
// of the pane in one edit and drops what the bound says from the top, below the note line,
// which it puts there or brings up to date.
void AddToPane(QPlainTextEdit *pane, LogBound &bound, const QList<PaneEntry> &entries) {
    QTextDocument *doc = pane->document();
    const bool hadNote = bound.Dropped();
    qsizetype drop = 0;
    QString text;
    for (const PaneEntry &entry : entries) {
        drop += bound.Add(entry.text.size(), entry.bytes);
        text += entry.text;
    }
    // Separate edits, no edit block: one change spanning the top and the end would make the
    // layout clear every block in between.
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    if (bound.Dropped()) {
        const int noteEnd = hadNote ? doc->firstBlock().length() : 0;
        if (drop > 0) {
            cursor.setPosition(noteEnd);
            cursor.setPosition(noteEnd + int(drop), QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        const QString note = PaneNote();
        if (!hadNote || doc->firstBlock().text() != note) {
            cursor.setPosition(0);
            if (hadNote)
                cursor.setPosition(noteEnd - 1, QTextCursor::KeepAnchor);
            cursor.insertText(hadNote ? note : note + QLatin1Char('\n'));
        }
    }
}

// The pane's text for the end of a log file read at start; each of its lines counts as an
// entry of the bound, which starts afresh.
QString PaneTextOfTail(const LogTail &tail, LogBound &bound) {
    bound.Clear();
    if (tail.cut)
        bound.SetDropped();
    const QByteArray &bytes = tail.bytes;
    QString text;
    qsizetype drop = 0;
    for (qsizetype from = 0; from < bytes.size();) {
        qsizetype end = from;
        while (end < bytes.size() && bytes[end] != '\n' && bytes[end] != '\r')
            ++end;
        qsizetype next = end;
        if (next < bytes.size()) // CR LF, a lone CR or a lone LF
            next +=
                bytes[next] == '\r' && next + 1 < bytes.size() && bytes[next + 1] == '\n' ? 2 : 1;
        // The last line gets a line break here even where the file has none: the next entry
        // starts a line of its own in the file as well.
        const QString line =
            ForDisplay(QString::fromUtf8(bytes.constData() + from, end - from)) + QLatin1Char('\n');
        text += line;
        drop += bound.Add(line.size(), next - from);
        from = next;
    }
    text.remove(0, drop);
    if (bound.Dropped())
        text.prepend(PaneNote() + QLatin1Char('\n'));
    return text;
}
} // namespace

QString TfMain_Vennatro::LogText() {
    FlushLogPane();
    return ToFileText(mmLog->toPlainText());
}

void TfMain_Vennatro::AddToLog(const QString &text) { Session->Log(text); }

void TfMain_Vennatro::AddEntry(const QString &text, qint64 fileBytes, bool background) {
    // Every entry ends a line, and the pane never ends inside one (a tail read at start gets
    // its line break), so each entry starts a line of its own.
    const QString entry = ToPaneText(text) + QLatin1Char('\n');
    // Watched addresses log ten entries a second and more. Within a flood their entries reach
    // the pane together, and it is drawn and scrolled to the end once a period, not for each.
    // Any other entry goes in at once, after them, so that the order stays.
    if (background && !m_logRepaint->Quiet()) {
        m_logPending.append(PaneEntry{ForDisplay(entry), fileBytes});
    } else {
        FlushLogPane();
        AddToPane(mmLog, LogPane, {PaneEntry{ForDisplay(entry), fileBytes}});
    }
    m_logRepaint->Changed();
}

void TfMain_Vennatro::FlushLogPane() {
    if (m_logPending.isEmpty())
        return;
    // Taken first: whoever the pane's change signal reaches may read the log again.
    const QList<PaneEntry> pending = std::exchange(m_logPending, {});
    AddToPane(mmLog, LogPane, pending);
}

void TfMain_Vennatro::OpenLogAtStart() {
    if (const std::optional<LogTail> tail = Session->OpenLogFile(LogPane.MaxBytes())) {
        mmLog->setPlainText(PaneTextOfTail(*tail, LogPane));
        mmLog->verticalScrollBar()->setValue(mmLog->verticalScrollBar()->maximum());
    }
}

void TfMain_Vennatro::SaveLogAtExit() { Session->FlushLog(); }

void TfMain_Vennatro::actShowLogExecute() {
    if (actShowLog->isChecked()) {
        actShowLog->setChecked(false);
        RestoreHeight = height();
        // Kept apart from RestoreHeight, which maximising takes over: the pane comes back at
        // this height, and the settings store it while the pane is hidden.
        m_heightWithLog = height();
        mmLog->hide();
        setMinimumHeight(150);
        setMaximumHeight(150);
    } else {
        actShowLog->setChecked(true);
        mmLog->show();
        setMinimumHeight(400);
        setMaximumHeight(QWIDGETSIZE_MAX);
        resize(width(), m_heightWithLog);
    }
    Options.ShowLog = actShowLog->isChecked();
}

void TfMain_Vennatro::actClearLogExecute() {
    m_logPending.clear();
    mmLog->clear();
    LogPane.Clear();
    Session->RestartLog(); // the log file, too, starts anew with the next entry: the banner below
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
    if (path.isEmpty())
        return;
    // The pane holds only the newest part: the whole log is the file, where there is one.
    if (!Session->CopyLogTo(path))
        LogFile::Replace(path, LogText().toUtf8());
}
