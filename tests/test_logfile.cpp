#include "app/Main.h"
#include "engine/LogFile.h"
#include "engine/WatchList.h"
#include "support/Exceptions.h"
#include "support/TestHelpers.h"
#include "support/gui/RecordingTrayShell.h"
#include "support/gui/TestEnvironment.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class TestLogFile : public QObject {
    Q_OBJECT
private slots:
    // The file on its own.
    void emptyPathHoldsEntriesUntilAFileIsNamed();
    void entriesAreAppendedToAnExistingFile();
    void failedWriteIsCutBackAndEntriesWait();
    void restartReplacesTheFile();
    void readTailStartsAtALineStart();
    void onlyRegularFilesAreUsed();
    void copyToStreamsTheWholeFile();
    void boundKeepsNewestEntries();
    void createFolders();
    // The window's pane and its file.
    void entriesWhileSaveLogOffReachTheFileLater();
    void oldLogLineBreaksConvertedInThePaneOnly();
    void paneKeepsNewestEntriesBelowANote();
    void watchedFloodReachesThePaneTogetherInOrder();
    void startReadsOnlyTheTail();
    void saveLogSwitchedOnAppendsToExistingFile();
    void logFilePointedAtExistingFileAppends();
    void fifoAtLogPathDoesNotBlock();
    void nulBytesNoLineBreaksAndLongLines();
    void saveLogToFileCopiesWholeLog();
    void clearLogStartsFileAnew();

private:
    static quint64 Inode(const QString &path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
    }
    // The message of the EFileError fn throws; empty when it throws none.
    template <typename Fn> static QString ErrorOf(Fn &&fn) {
        try {
            fn();
        } catch (const EFileError &e) {
            return e.Message();
        }
        return QString();
    }
    static QString PaneText(const TfMain_Vennatro &w) {
        return Find<QPlainTextEdit>(&w, "mmLog")->toPlainText();
    }
    // The store a run with "Save log" on and this "Log file" leaves.
    static bool StoreSaveLog(const TestEnvironment &env, const QString &path) {
        return env.WriteStore("\"Save log\"=dword:00000001\r\n\"Log file\"=\"" + path.toUtf8() +
                              "\"\r\n");
    }
    // Numbered lines ("line 00000000\r\n", 15 bytes each) up to at least size bytes.
    static QByteArray NumberedLines(qint64 size, int *count = nullptr) {
        QByteArray bytes;
        bytes.reserve(size + 15);
        int n = 0;
        for (; bytes.size() < size; ++n)
            bytes += "line " + QByteArray::number(n).rightJustified(8, '0') + "\r\n";
        if (count)
            *count = n;
        return bytes;
    }
    static QStringList ToPaneLines(const QString &logText) {
        return logText.split(QStringLiteral("\r\n"));
    }
    static QString Note(const QString &path) {
        return QStringLiteral("... older entries are in the log file \"%1\" ...").arg(path);
    }
};

void TestLogFile::emptyPathHoldsEntriesUntilAFileIsNamed() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    LogFile log;
    QVERIFY(!log.Waiting());
    log.Append(QString(), "a\r\n");
    log.Hold("b\r\n");
    QVERIFY(log.Waiting());
    QCOMPARE(log.WaitingText(), QByteArray("a\r\nb\r\n"));
    QVERIFY(!QFile::exists(path));
    log.Append(path, "c\r\n");
    QCOMPARE(ReadBytes(path), QByteArray("a\r\nb\r\nc\r\n"));
    QVERIFY(!log.Waiting());
    // Nothing waits and nothing comes: the file is not touched, not even made.
    QVERIFY(QFile::remove(path));
    log.Append(path, QByteArray());
    QVERIFY(!QFile::exists(path));
}

void TestLogFile::entriesAreAppendedToAnExistingFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    // Bytes of an earlier run, kept as they are: Latin-1, a lone line feed.
    const QByteArray old("earlier \xe9 run\nlone feed\r\n");
    WriteBytes(path, old);
    const quint64 inode = Inode(path);
    LogFile log;
    QByteArray expected = old;
    for (int i = 0; i < 50; ++i) {
        const QByteArray entry = QStringLiteral("entry %1 \u00e9\r\n").arg(i).toUtf8();
        expected += entry;
        log.Append(path, entry);
        QCOMPARE(ReadBytes(path), expected);
    }
    QCOMPARE(Inode(path), inode); // extended, never written anew

    // A file that ends inside a line: the entry starts a line of its own. A lone CR or LF
    // already ends the line.
    const QList<QPair<QByteArray, QByteArray>> cases{
        {"x", "x\r\ne\r\n"}, {"x\r", "x\re\r\n"}, {"x\n", "x\ne\r\n"}, {"", "e\r\n"}};
    for (const auto &[before, after] : cases) {
        WriteBytes(path, before);
        LogFile fresh;
        fresh.Append(path, "e\r\n");
        QCOMPARE(ReadBytes(path), after);
    }
}

void TestLogFile::failedWriteIsCutBackAndEntriesWait() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    WriteBytes(path, "old\r\n");
    LogFile log;
    // Past the file-size limit a write stops partway (as on a full disk): the file is cut
    // back to where it ended, so it never ends in half an entry...
    const QByteArray big = QByteArray(100, 'e') + "\r\n";
    QString message;
    {
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small = old;
        small.rlim_cur = 10;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        message = ErrorOf([&] { log.Append(path, big); });
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }
    QVERIFY2(message.startsWith(QStringLiteral("Cannot write the log file \"%1\": ").arg(path)),
             qPrintable(message));
    QCOMPARE(ReadBytes(path), QByteArray("old\r\n"));
    QVERIFY(log.Waiting());
    // ...and the entry goes whole, before the next one, once writing works again.
    log.Append(path, "next\r\n");
    QCOMPARE(ReadBytes(path), "old\r\n" + big + "next\r\n");

    // A path where no file can be: the entries wait, in order.
    QVERIFY(!ErrorOf([&] { log.Append(dir.path(), "f1\r\n"); }).isEmpty());
    QVERIFY(!ErrorOf([&] { log.Append(dir.path(), "f2\r\n"); }).isEmpty());
    log.Append(path, "f3\r\n");
    QCOMPARE(ReadBytes(path), "old\r\n" + big + "next\r\nf1\r\nf2\r\nf3\r\n");
}

void TestLogFile::restartReplacesTheFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    WriteBytes(path, "old\r\n");
    const quint64 before = Inode(path);
    LogFile log;
    log.Hold("dropped\r\n");
    log.Restart();
    QVERIFY(log.Waiting());
    QCOMPARE(log.WaitingText(), QByteArray());
    log.Hold("banner\r\n");
    log.Append(path, "one\r\n");
    QCOMPARE(ReadBytes(path), QByteArray("banner\r\none\r\n"));
    const quint64 replaced = Inode(path);
    QVERIFY(replaced != before); // a new file renamed into place: a crash leaves either one
    log.Append(path, "two\r\n");
    QCOMPARE(ReadBytes(path), QByteArray("banner\r\none\r\ntwo\r\n"));
    QCOMPARE(Inode(path), replaced);
}

void TestLogFile::readTailStartsAtALineStart() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    auto tailOf = [&](const QByteArray &bytes, qint64 maxBytes) {
        WriteBytes(path, bytes);
        return LogFile::ReadTail(path, maxBytes);
    };
    const struct {
        QByteArray file;
        qint64 max;
        QByteArray tail;
        bool cut;
    } cases[] = {
        {"a\r\nb", 10, "a\r\nb", false},                              // within the bound: whole
        {"", 10, "", false},                                          // empty
        {"first line\r\nsecond\r\nthird\r\n", 12, "third\r\n", true}, // from the next line
        {"0123456789\r\nabc\r\n", 5, "abc\r\n", true},                // the range starts a line
        {"xxxx\r\nabc\r\n", 6, "abc\r\n", true},                      // CR LF split by the range
        {"aaaa\rbb\rcc", 5, "bb\rcc", true},                          // lone CR line breaks
        {"aaaa\nbb\ncc", 4, "cc", true},                              // lone LF line breaks
        {QByteArray(100, 'x'), 10, "", true},                         // no line start at all
    };
    for (const auto &c : cases) {
        const LogTail tail = tailOf(c.file, c.max);
        QCOMPARE(tail.bytes, c.tail);
        QCOMPARE(tail.cut, c.cut);
    }
    QVERIFY(ErrorOf([&] {
                LogFile::ReadTail(dir.filePath(QStringLiteral("missing")), 10);
            }).startsWith(QLatin1String("Cannot read the log file")));
}

void TestLogFile::onlyRegularFilesAreUsed() {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString socketPath = dir.filePath(QStringLiteral("socket"));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(sock >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(socketPath);
    QVERIFY(size_t(name.size()) < sizeof(address.sun_path));
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    QCOMPARE(::bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);

    const QList<QPair<QString, QString>> cases{
        {fifo, QStringLiteral("a named pipe (FIFO)")},
        {socketPath, QStringLiteral("a socket")},
        {QStringLiteral("/dev/null"), QStringLiteral("a device")},
        {dir.path(), QStringLiteral("a folder")}};
    for (const auto &[path, kind] : cases) {
        const QString expected =
            QStringLiteral("Cannot use the log file \"%1\": it is %2, not a regular file.")
                .arg(path, kind);
        LogFile log;
        // None of these blocks: a pipe without a reader is never opened.
        QCOMPARE(ErrorOf([&] { log.Append(path, "x\r\n"); }), expected);
        QVERIFY(log.Waiting()); // the entry waits for a usable file
        QCOMPARE(ErrorOf([&] { LogFile::ReadTail(path, 100); }), expected);
        QCOMPARE(ErrorOf([&] { LogFile::Replace(path, "x\r\n"); }), expected);
        QCOMPARE(ErrorOf([&] { log.CopyTo(path, dir.filePath(QStringLiteral("copy"))); }),
                 expected);
    }
    ::close(sock);
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(fifo).constData(), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode)); // not replaced by a file either
}

void TestLogFile::copyToStreamsTheWholeFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    const QString target = dir.filePath(QStringLiteral("copy.txt"));
    // More than the pane holds, and more than one block of the copy.
    const QByteArray old = NumberedLines(3 << 20);
    WriteBytes(path, old);
    LogFile log;
    log.Hold("waiting\r\n");
    log.CopyTo(path, target);
    QCOMPARE(ReadBytes(target), old + "waiting\r\n");
    QCOMPARE(ReadBytes(path), old);
    // After "Clear log" the old file is no longer the log: only the new entries.
    log.Restart();
    log.Hold("new\r\n");
    log.CopyTo(path, target);
    QCOMPARE(ReadBytes(target), QByteArray("new\r\n"));
}

void TestLogFile::boundKeepsNewestEntries() {
    LogBound bound(3, 100);
    QCOMPARE(bound.Add(5, 10), 0);
    QCOMPARE(bound.Add(6, 10), 0);
    QCOMPARE(bound.Add(7, 10), 0);
    QVERIFY(!bound.Dropped());
    QCOMPARE(bound.Add(8, 10), 5); // a fourth entry: the first goes
    QVERIFY(bound.Dropped());
    QCOMPARE(bound.Entries(), 3);
    QCOMPARE(bound.Bytes(), 30);
    QCOMPARE(bound.Add(1, 85), 6 + 7); // 10 + 10 + 85 > 100: two go
    QCOMPARE(bound.Entries(), 2);
    QCOMPARE(bound.Bytes(), 95);
    QCOMPARE(bound.Add(2, 500), 8 + 1); // bigger than the bound: kept, alone
    QCOMPARE(bound.Entries(), 1);
    QCOMPARE(bound.Bytes(), 500);
    bound.Clear();
    QVERIFY(!bound.Dropped());
    QCOMPARE(bound.Entries(), 0);
    QCOMPARE(bound.Bytes(), 0);
    bound.SetDropped();
    QVERIFY(bound.Dropped());
    QCOMPARE(LogBound().MaxBytes(), 2 * 1024 * 1024);

    // Entries waiting for the file are bounded the same way: the newest 5,000.
    LogFile log;
    for (int i = 0; i < 6000; ++i)
        log.Hold(QByteArray::number(i) + "\r\n");
    QVERIFY(log.WaitingText().startsWith("1000\r\n1001\r\n"));
    QVERIFY(log.WaitingText().endsWith("\r\n5999\r\n"));
    QCOMPARE(log.WaitingText().count('\n'), 5000);
}

void TestLogFile::createFolders() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a/b/c/log.txt"));
    LogFile::CreateFolders(path);
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("a/b/c"))).isDir());
    // A folder that cannot exist (a file is in its way) fails with a message naming it, and
    // an append there fails the same way without touching anything.
    QFile blocker(dir.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString blocked = dir.filePath(QStringLiteral("file/sub/log.txt"));
    try {
        LogFile::CreateFolders(blocked);
        QFAIL("no error");
    } catch (const EFileError &e) {
        QVERIFY2(e.Message().contains(QLatin1String("file/sub")), qPrintable(e.Message()));
    }
    LogFile log;
    QVERIFY_THROWS_EXCEPTION(EFileError,
                             log.Append(dir.filePath(QStringLiteral("file/log.txt")), "x\r\n"));
    QCOMPARE(ReadBytes(blocker.fileName()), QByteArray());
}

void TestLogFile::entriesWhileSaveLogOffReachTheFileLater() {
    TestEnvironment env;
    QStringList boxes;
    env.onMessage = [&](const MessageBoxRequest &r) { boxes << r.text; };
    Options = TOptions();
    const QString path = env.Path(QStringLiteral("log.txt"));
    QString atEnd;
    {
        auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
        Options.SaveLog = true;
        Options.LogFile = path;
        w->ApplySettings();
        w->AddToLog(QStringLiteral("saved one"));
        QCOMPARE(ReadBytes(path), w->LogText().toUtf8());

        // Switched off in the options: the entry stays in the pane only...
        Options.SaveLog = false;
        w->ApplySettings();
        w->AddToLog(QStringLiteral("pane only"));
        QVERIFY(!ReadBytes(path).contains("pane only"));
        // ...and once it is on again it goes to the file ahead of the new entry.
        Options.SaveLog = true;
        w->ApplySettings();
        w->AddToLog(QStringLiteral("saved two"));
        QCOMPARE(ReadBytes(path), w->LogText().toUtf8());
        QVERIFY(ReadBytes(path).contains("pane only\r\nsaved two\r\n"));

        // Off, an entry, on again with no entry after it: the end of the run writes it.
        Options.SaveLog = false;
        w->ApplySettings();
        w->AddToLog(QStringLiteral("pane only again"));
        Options.SaveLog = true;
        w->ApplySettings();
        atEnd = w->LogText();
    }
    QCOMPARE(ReadBytes(path), atEnd.toUtf8());
    QVERIFY(atEnd.endsWith(QLatin1String("pane only again\r\n")));
    QCOMPARE(boxes, QStringList());
}

void TestLogFile::oldLogLineBreaksConvertedInThePaneOnly() {
    TestEnvironment env;
    env.onMessage = [](const MessageBoxRequest &r) { QFAIL(qPrintable(r.text)); };
    const QString path = env.Path(QStringLiteral("log.txt"));
    QVERIFY(StoreSaveLog(env, path));
    // Many lines, so every conversion runs over far more than a handful of line breaks.
    QByteArray many;
    for (int i = 0; i < 1000; ++i)
        many += "line " + QByteArray::number(i) + "\r\n";

    // Every kind of line break: CR LF, lone CR, lone LF, CR before CR LF, a CR at the end.
    const QByteArray old = "a\r\nb\rc\nd\r\r\n\xc3\xbc\r\n" + many + "\r";
    WriteBytes(path, old);
    Options = TOptions();
    {
        TfMain_Vennatro w(new PingSession);
        const QString pane = PaneText(w);
        QVERIFY(pane.startsWith(QStringLiteral("a\nb\nc\nd\n\n\u00fc\nline 0\nline 1\n")));
        QVERIFY(pane.contains(QStringLiteral("\nline 999\n\n= = = =")));
        QVERIFY(!pane.contains(QLatin1Char('\r')));
        // The file keeps its own bytes; the banner follows them (the lone CR ended the line).
        const QByteArray file = ReadBytes(path);
        QVERIFY(file.startsWith(old));
        const QString text = w.LogText();
        QCOMPARE(file.mid(old.size()), text.mid(text.indexOf(QLatin1String("= = = ="))).toUtf8());
    }

    // A file already in CR LF form is continued where it ends, not written anew.
    WriteBytes(path, many);
    const quint64 before = Inode(path);
    QVERIFY(before != 0);
    Options = TOptions();
    {
        TfMain_Vennatro w(new PingSession);
        QCOMPARE(w.LogText().left(many.size()).toUtf8(), many);
        QCOMPARE(ReadBytes(path), w.LogText().toUtf8());
    }
    QCOMPARE(Inode(path), before);
}

void TestLogFile::paneKeepsNewestEntriesBelowANote() {
    TestEnvironment env;
    Options = TOptions();
    const QString path = env.Path(QStringLiteral("log.txt"));
    auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
    Options.SaveLog = true;
    Options.LogFile = path;
    w->ApplySettings();

    // The banner and 5,100 entries: the pane keeps the newest 5,000, below a note.
    for (int i = 0; i < 5100; ++i)
        w->AddToLog(QStringLiteral("entry %1").arg(i));
    QStringList lines = PaneText(*w).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 1 + 5000 + 1); // the note, the entries, the empty last line
    QCOMPARE(lines.at(0), Note(path));
    QCOMPARE(lines.at(1), QStringLiteral("entry 100"));
    QCOMPARE(lines.at(5000), QStringLiteral("entry 5099"));
    QCOMPARE(lines.at(5001), QString());
    // The file keeps everything.
    QByteArray file = ReadBytes(path);
    QVERIFY(file.startsWith("= = = = = = = = = = = =  Session started at ["));
    QCOMPARE(file.count("\r\nentry "), 5100);
    QVERIFY(file.contains("\r\n\r\n\r\nentry 0\r\nentry 1\r\n"));
    QVERIFY(file.endsWith("\r\nentry 5099\r\n"));

    // Entries of about 100 KB: the pane keeps as many of the newest as fit in 2 MiB.
    QString body;
    for (int i = 0; i < 99; ++i)
        body += QStringLiteral("\r\n") + QString(999, QLatin1Char('b'));
    const qint64 entryBytes = 6 + 99 * 1001 + 2; // "big NN", the lines, the closing CR LF
    const int fit = int(LogBound::DefaultBytes / entryBytes);
    QVERIFY(fit > 10 && fit < 25);
    for (int i = 0; i < 25; ++i)
        w->AddToLog(QStringLiteral("big %1").arg(i, 2, 10, QLatin1Char('0')) + body);
    QString pane = PaneText(*w);
    lines = pane.split(QLatin1Char('\n'));
    QCOMPARE(lines.at(0), Note(path));
    QCOMPARE(lines.at(1), QStringLiteral("big %1").arg(25 - fit, 2, 10, QLatin1Char('0')));
    QCOMPARE(pane.count(QLatin1String("big ")), fit);
    QCOMPARE(qint64(w->LogText().toUtf8().size() - (Note(path).toUtf8().size() + 2)),
             fit * entryBytes);
    file = ReadBytes(path);
    QCOMPARE(file.count("\r\nbig "), 25);

    // Without a file to hold them, the note says the older entries are gone.
    Options.SaveLog = false;
    w->ApplySettings();
    w->AddToLog(QStringLiteral("off"));
    lines = PaneText(*w).split(QLatin1Char('\n'));
    QCOMPARE(lines.at(0), QStringLiteral("... older entries are no longer shown here ..."));
    QCOMPARE(lines.at(1), QStringLiteral("big %1").arg(25 - fit, 2, 10, QLatin1Char('0')));
    QCOMPARE(env.messages.size(), 0);
}

void TestLogFile::watchedFloodReachesThePaneTogetherInOrder() {
    TestEnvironment env;
    Options = TOptions();
    const QString path = env.Path(QStringLiteral("log.txt"));
    auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
    Options.SaveLog = true;
    Options.LogFile = path;
    w->ApplySettings();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    const auto watched = [&](const QString &text) { emit w->Session->Watched()->logText(text); };
    // A view that reads the log whenever the pane changes, as the ping tests' fixture does.
    qsizetype lastRead = 0;
    QObject::connect(Find<QPlainTextEdit>(w.get(), "mmLog"), &QPlainTextEdit::textChanged, w.get(),
                     [&] { lastRead = w->LogText().size(); });

    // Watched entries, one of the window's own among them: the file has each at once. The
    // pane has the ones before the window's entry at once, in order; the ones after it wait
    // for the period's end, within which the window's entry came.
    for (int i = 0; i < 50; ++i)
        watched(QStringLiteral("watched %1").arg(i));
    w->AddToLog(QStringLiteral("own"));
    for (int i = 50; i < 100; ++i)
        watched(QStringLiteral("watched %1").arg(i));
    QVERIFY(ReadBytes(path).contains("watched 48\r\nwatched 49\r\nown\r\nwatched 50\r\n"
                                     "watched 51\r\n"));
    QVERIFY(ReadBytes(path).endsWith("watched 99\r\n"));
    QVERIFY(PaneText(*w).endsWith(QStringLiteral("watched 49\nown\n")));
    QTRY_VERIFY_WITH_TIMEOUT(PaneText(*w).endsWith(QStringLiteral("watched 98\nwatched 99\n")),
                             Patience);
    QCOMPARE(ReadBytes(path), w->LogText().toUtf8());
    QCOMPARE(lastRead, w->LogText().size());

    // More than the pane keeps within one period: it keeps the newest 5,000 all the same, and
    // reading the log takes in what waits.
    for (int i = 0; i < 6000; ++i)
        watched(QStringLiteral("flood %1").arg(i));
    const QStringList lines = ToPaneLines(w->LogText());
    QCOMPARE(lines.size(), 1 + 5000 + 1);
    QCOMPARE(lines.at(0), Note(path));
    QCOMPARE(lines.at(1), QStringLiteral("flood 1000"));
    QCOMPARE(lines.at(5000), QStringLiteral("flood 5999"));
    QCOMPARE(ReadBytes(path).count("\r\nflood "), 6000);
}

void TestLogFile::startReadsOnlyTheTail() {
    TestEnvironment env;
    env.onMessage = [](const MessageBoxRequest &r) { QFAIL(qPrintable(r.text)); };
    const QString path = env.Path(QStringLiteral("log.txt"));
    QVERIFY(StoreSaveLog(env, path));
    // 50 MB of numbered lines: far beyond what the pane holds.
    int count = 0;
    const QByteArray old = NumberedLines(50 << 20, &count);
    WriteBytes(path, old);
    const quint64 inode = Inode(path);
    Options = TOptions();
    {
        TfMain_Vennatro w(new PingSession);
        // The newest 5,000 lines were read; the banner took the place of the oldest of them.
        const QStringList lines = PaneText(w).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 1 + 4999 + 3 + 1); // note, lines, banner (3 lines), empty end
        QCOMPARE(lines.at(0), Note(path));
        QCOMPARE(lines.at(1), QStringLiteral("line %1").arg(count - 4999, 8, 10, QLatin1Char('0')));
        QCOMPARE(lines.at(4999), QStringLiteral("line %1").arg(count - 1, 8, 10, QLatin1Char('0')));
        QVERIFY(lines.at(5000).startsWith(QLatin1String("= = = = = = = = = = = =  Session")));
        // The file: the old bytes, all of them, then the banner.
        const QByteArray file = ReadBytes(path);
        const QString text = w.LogText();
        const QByteArray banner = text.mid(text.indexOf(QLatin1String("= = = ="))).toUtf8();
        QCOMPARE(file.size(), old.size() + banner.size());
        QVERIFY(file.startsWith(old));
        QVERIFY(file.endsWith("]  = = = = = = = = = = = = =\r\n\r\n\r\n"));
    }
    QCOMPARE(Inode(path), inode);
}

void TestLogFile::saveLogSwitchedOnAppendsToExistingFile() {
    TestEnvironment env;
    const QString path = env.Path(QStringLiteral("log.txt"));
    // An earlier log: Latin-1, a lone line feed, no line break at its end.
    const QByteArray old("earlier \xe9 entry\nno final break");
    WriteBytes(path, old);
    Options = TOptions();
    auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
    w->AddToLog(QStringLiteral("while off"));
    QCOMPARE(ReadBytes(path), old);
    // Switched on in the options with "Log file" naming it: appended, nothing of it lost,
    // the entries logged meanwhile first.
    Options.SaveLog = true;
    Options.LogFile = path;
    w->ApplySettings();
    w->AddToLog(QStringLiteral("first saved"));
    const QByteArray file = ReadBytes(path);
    QVERIFY(file.startsWith(old));
    QCOMPARE(file.mid(old.size()), "\r\n" + w->LogText().toUtf8());
    QVERIFY(file.endsWith("\r\n\r\n\r\nwhile off\r\nfirst saved\r\n"));
    QCOMPARE(env.messages.size(), 0);
}

void TestLogFile::logFilePointedAtExistingFileAppends() {
    TestEnvironment env;
    const QString a = env.Path(QStringLiteral("a.txt"));
    const QString b = env.Path(QStringLiteral("b.txt"));
    const QByteArray oldB("b's earlier entries\r\n");
    WriteBytes(b, oldB);
    Options = TOptions();
    auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
    Options.SaveLog = true;
    Options.LogFile = a;
    w->ApplySettings();
    w->AddToLog(QStringLiteral("to a"));
    const QByteArray fileA = ReadBytes(a);
    QVERIFY(fileA.endsWith("\r\nto a\r\n"));
    Options.LogFile = b;
    w->ApplySettings();
    w->AddToLog(QStringLiteral("to b"));
    QCOMPARE(ReadBytes(b), oldB + "to b\r\n");
    QCOMPARE(ReadBytes(a), fileA);
    // Back to the first: continued where it ended.
    Options.LogFile = a;
    w->ApplySettings();
    w->AddToLog(QStringLiteral("a again"));
    QCOMPARE(ReadBytes(a), fileA + "a again\r\n");
    QCOMPARE(ReadBytes(b), oldB + "to b\r\n");
}

void TestLogFile::fifoAtLogPathDoesNotBlock() {
    TestEnvironment env;
    const QString fifo = env.Path(QStringLiteral("log.fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(StoreSaveLog(env, fifo));
    Options = TOptions();
    // Comes back: a pipe opened for reading or writing would wait for the other end for good.
    auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
    QCOMPARE(Options.LogFile, fifo);
    RecordingTrayShell *shell = RecordingTrayShell::Of(w->NotifyIcon->Shell());
    QVERIFY(shell);
    // Reported once, as a notification (the window is not on show yet); the program goes on.
    const QString expected =
        QStringLiteral("Cannot use the log file \"%1\": it is a named pipe (FIFO), not a regular "
                       "file.")
            .arg(fifo);
    QCOMPARE(shell->Balloons().size(), 1);
    QCOMPARE(shell->Balloons().at(0).text, expected);
    QVERIFY(PaneText(*w).startsWith(QLatin1String("= = = = = = = = = = = =  Session started")));
    // A reader at the other end changes nothing: no entry reaches the pipe, no second report.
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    w->AddToLog(QStringLiteral("more"));
    char buffer[64];
    QVERIFY(::read(reader, buffer, sizeof buffer) <= 0);
    ::close(reader);
    QVERIFY(PaneText(*w).endsWith(QLatin1String("\nmore\n")));
    QCOMPARE(shell->Balloons().size(), 1);
    QCOMPARE(env.messages.size(), 0);
    w.reset(); // the end of the run tries the waiting entries once more, quietly
    QCOMPARE(env.messages.size(), 0);
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(fifo).constData(), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode));
}

void TestLogFile::nulBytesNoLineBreaksAndLongLines() {
    TestEnvironment env;
    env.onMessage = [](const MessageBoxRequest &r) { QFAIL(qPrintable(r.text)); };
    const QString path = env.Path(QStringLiteral("log.txt"));
    QVERIFY(StoreSaveLog(env, path));
    // 1 GiB of NUL bytes and not one line break (sparse: made at once). The start reads only
    // the end of it, finds no line start there and shows the note alone.
    const qint64 size = qint64(1) << 30;
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size));
    }
    Options = TOptions();
    {
        TfMain_Vennatro w(new PingSession);
        const QStringList lines = PaneText(w).split(QLatin1Char('\n'));
        QCOMPARE(lines.at(0), Note(path));
        QVERIFY(lines.at(1).startsWith(QLatin1String("= = = = = = = = = = = =  Session")));
        // In the file the banner starts a line of its own after the old bytes.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = w.LogText();
        const QByteArray banner = text.mid(text.indexOf(QLatin1String("= = = ="))).toUtf8();
        QCOMPARE(f.size(), size + 2 + banner.size());
        QVERIFY(f.seek(size - 1));
        QCOMPARE(f.readAll(), QByteArray(1, '\0') + "\r\n" + banner);
    }

    // NUL bytes inside lines are shown as U+FFFD; the file keeps them.
    const QByteArray nul("a\0b\r\n", 5);
    WriteBytes(path, nul);
    Options = TOptions();
    {
        TfMain_Vennatro w(new PingSession);
        QVERIFY2(PaneText(w).startsWith(QStringLiteral("a\ufffdb\n= = = =")),
                 qPrintable(PaneText(w).left(20)));
        QVERIFY(ReadBytes(path).startsWith(nul + "= = = ="));

        // A line too long to lay out is cut in the pane and kept whole in the file.
        w.AddToLog(QStringLiteral("long ") + QString(50000, QLatin1Char('x')));
        QVERIFY(
            PaneText(w).endsWith(QStringLiteral("\nlong ") + QString(9995, QLatin1Char('x')) +
                                 QStringLiteral(" [... 40005 more characters not shown here]\n")));
        QVERIFY(ReadBytes(path).endsWith("\r\nlong " + QByteArray(50000, 'x') + "\r\n"));
    }
}

void TestLogFile::saveLogToFileCopiesWholeLog() {
    TestEnvironment env;
    const QString path = env.Path(QStringLiteral("log.txt"));
    const QString target = env.Path(QStringLiteral("saved.txt"));
    QVERIFY(StoreSaveLog(env, path));
    const QByteArray old = NumberedLines(3 << 20); // more than the pane holds
    WriteBytes(path, old);
    Options = TOptions();
    auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
    w->dlgSaveExecute = [&] { return target; };
    w->AddToLog(QStringLiteral("newest"));
    QAction *save = Find<QAction>(w.get(), "actSaveLog");
    QVERIFY(save);
    // "Save log" on: the whole log, which is the file.
    save->trigger();
    const QByteArray saved = ReadBytes(target);
    QVERIFY(saved.startsWith(old));
    QVERIFY(saved.endsWith("\r\nnewest\r\n"));
    QCOMPARE(saved, ReadBytes(path));
    QVERIFY(saved.size() > w->LogText().toUtf8().size() + (1 << 20));
    // Off: what the pane shows.
    Options.SaveLog = false;
    w->ApplySettings();
    save->trigger();
    QCOMPARE(ReadBytes(target), w->LogText().toUtf8());
    QVERIFY(ReadBytes(target).startsWith((Note(path) + QStringLiteral("\r\nline ")).toUtf8()));
    QCOMPARE(env.messages.size(), 0);
}

void TestLogFile::clearLogStartsFileAnew() {
    TestEnvironment env;
    const QString path = env.Path(QStringLiteral("log.txt"));
    QVERIFY(StoreSaveLog(env, path));
    WriteBytes(path, NumberedLines(3 << 20));
    Options = TOptions();
    auto w = std::make_unique<TfMain_Vennatro>(new PingSession);
    QAction *clear = Find<QAction>(w.get(), "actClearLog");
    QVERIFY(clear);
    QVERIFY(PaneText(*w).startsWith(Note(path)));
    // On: the file is replaced by the new pane at once, and the note is gone.
    clear->trigger();
    QVERIFY(PaneText(*w).startsWith(QLatin1String("= = = = = = = = = = = =  Session started")));
    QCOMPARE(ReadBytes(path), w->LogText().toUtf8());
    // Off: the file stays as it is until saving is on again, then it holds the new pane.
    w->AddToLog(QStringLiteral("before"));
    Options.SaveLog = false;
    w->ApplySettings();
    clear->trigger();
    w->AddToLog(QStringLiteral("after"));
    QVERIFY(ReadBytes(path).endsWith("\r\nbefore\r\n"));
    Options.SaveLog = true;
    w->ApplySettings();
    w->AddToLog(QStringLiteral("on again"));
    QCOMPARE(ReadBytes(path), w->LogText().toUtf8());
    QVERIFY(!ReadBytes(path).contains("before"));
    QCOMPARE(ReadBytes(path).count("Session started"), 1);
    QCOMPARE(env.messages.size(), 0);
}

QTEST_MAIN(TestLogFile)
#include "test_logfile.moc"
