#include "app/Main.h"
#include "engine/LogFile.h"
#include "support/Exceptions.h"
#include "support/TestEnvironment.h"
#include "support/TestHelpers.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sys/stat.h>

class TestLogFile : public QObject {
    Q_OBJECT
private slots:
    void emptyPathWritesNothing();
    void firstEntryWritesWholeTextThenAppends();
    void fileChangedBehindIsRewrittenWhole();
    void loadedFileIsContinued();
    void syncSkipsFileInStep();
    void createFolders();
    void entriesWhileSaveLogOffReachTheFileLater();
    void oldLogLineBreaksConvertedBothWays();

private:
    static quint64 Inode(const QString &path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
    }
};

void TestLogFile::emptyPathWritesNothing() {
    LogFile log;
    int asked = 0;
    log.Append(QString(), QStringLiteral("x\r\n"), [&] {
        ++asked;
        return QStringLiteral("x\r\n");
    });
    QCOMPARE(asked, 0);
}

void TestLogFile::firstEntryWritesWholeTextThenAppends() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    LogFile log;
    QString pane = QStringLiteral("old\r\n");
    int asked = 0;
    auto whole = [&] {
        ++asked;
        return pane;
    };
    pane += QStringLiteral("first\r\n");
    log.Append(path, QStringLiteral("first\r\n"), whole);
    QCOMPARE(asked, 1);
    QCOMPARE(ReadBytes(path), pane.toUtf8());
    for (int i = 0; i < 50; ++i) {
        const QString entry = QStringLiteral("entry %1 \u00e9\r\n").arg(i);
        pane += entry;
        log.Append(path, entry, whole);
    }
    QCOMPARE(asked, 1); // the whole text is never asked for again
    QCOMPARE(ReadBytes(path), pane.toUtf8());
}

void TestLogFile::fileChangedBehindIsRewrittenWhole() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    LogFile log;
    QString pane = QStringLiteral("a\r\n");
    log.Append(path, pane, [&] { return pane; });
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("someone else");
    }
    pane += QStringLiteral("b\r\n");
    log.Append(path, QStringLiteral("b\r\n"), [&] { return pane; });
    QCOMPARE(ReadBytes(path), pane.toUtf8());
}

void TestLogFile::loadedFileIsContinued() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("earlier run\r\n");
    }
    LogFile log;
    QCOMPARE(log.Load(path), QStringLiteral("earlier run\r\n"));
    int asked = 0;
    log.Append(path, QStringLiteral("banner\r\n"), [&] {
        ++asked;
        return QString();
    });
    QCOMPARE(asked, 0);
    QCOMPARE(ReadBytes(path), QByteArray("earlier run\r\nbanner\r\n"));
    QVERIFY_THROWS_EXCEPTION(EFileError, log.Load(dir.filePath(QStringLiteral("missing.txt"))));
}

void TestLogFile::syncSkipsFileInStep() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    LogFile log;
    log.Replace(path, QStringLiteral("abc\r\n"));
    int asked = 0;
    log.Sync(path, [&] {
        ++asked;
        return QStringLiteral("other\r\n");
    });
    QCOMPARE(asked, 0);
    QFile::remove(path);
    log.Sync(path, [&] {
        ++asked;
        return QStringLiteral("abc\r\n");
    });
    QCOMPARE(asked, 1);
    QCOMPARE(ReadBytes(path), QByteArray("abc\r\n"));
    log.Forget();
    log.Sync(path, [&] {
        ++asked;
        return QStringLiteral("new\r\n");
    });
    QCOMPARE(ReadBytes(path), QByteArray("new\r\n"));
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
    QVERIFY_THROWS_EXCEPTION(EFileError, log.Append(dir.filePath(QStringLiteral("file/log.txt")),
                                                    QStringLiteral("x\r\n"),
                                                    [] { return QStringLiteral("x\r\n"); }));
}

void TestLogFile::entriesWhileSaveLogOffReachTheFileLater() {
    TestEnvironment env;
    QStringList boxes;
    env.onMessage = [&](const MessageBoxRequest &r) { boxes << r.text; };
    Options = TOptions();
    const QString path = env.Path(QStringLiteral("log.txt"));
    QString atEnd;
    {
        auto w = std::make_unique<TfMain_Vennatro>();
        Options.SaveLog = true;
        Options.LogFile = path;
        w->AddToLog(QStringLiteral("saved one"));
        QCOMPARE(ReadBytes(path), w->LogText().toUtf8());

        // Switched off in the options: the entry stays in the pane only...
        Options.SaveLog = false;
        w->AddToLog(QStringLiteral("pane only"));
        QVERIFY(!ReadBytes(path).contains("pane only"));
        // ...and once it is on again the file holds the whole pane, that entry too.
        Options.SaveLog = true;
        w->AddToLog(QStringLiteral("saved two"));
        QCOMPARE(ReadBytes(path), w->LogText().toUtf8());
        QVERIFY(ReadBytes(path).contains("pane only\r\nsaved two\r\n"));

        // Off, an entry, on again with no entry after it: the end of the run writes it.
        Options.SaveLog = false;
        w->AddToLog(QStringLiteral("pane only again"));
        Options.SaveLog = true;
        atEnd = w->LogText();
    }
    QCOMPARE(ReadBytes(path), atEnd.toUtf8());
    QVERIFY(atEnd.endsWith(QLatin1String("pane only again\r\n")));
    QCOMPARE(boxes, QStringList());
}

void TestLogFile::oldLogLineBreaksConvertedBothWays() {
    TestEnvironment env;
    env.onMessage = [](const MessageBoxRequest &r) { QFAIL(qPrintable(r.text)); };
    const QString path = env.Path(QStringLiteral("log.txt"));
    QVERIFY(env.WriteStore("\"Save log\"=dword:00000001\r\n\"Log file\"=\"" + path.toUtf8() +
                           "\"\r\n"));
    // Many lines, so every conversion runs over far more than a handful of line breaks.
    QByteArray many;
    for (int i = 0; i < 5000; ++i)
        many += "line " + QByteArray::number(i) + "\r\n";
    auto write = [&](const QByteArray &bytes) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(bytes), bytes.size());
    };

    // Every kind of line break: CR LF, lone CR, lone LF, CR before CR LF, a CR at the end.
    write("a\r\nb\rc\nd\r\r\n\xc3\xbc\r\n" + many + "\r");
    Options = TOptions();
    {
        TfMain_Vennatro w;
        const QString pane = Find<QPlainTextEdit>(&w, "mmLog")->toPlainText();
        QVERIFY(pane.startsWith(QStringLiteral("a\nb\nc\nd\n\n\u00fc\nline 0\nline 1\n")));
        QVERIFY(pane.contains(QStringLiteral("\nline 4999\n\n= = = =")));
        QVERIFY(!pane.contains(QLatin1Char('\r')));
        const QByteArray expected = "a\r\nb\r\nc\r\nd\r\n\r\n\xc3\xbc\r\n" + many + "\r\n";
        QVERIFY(w.LogText().toUtf8().startsWith(expected));
        QCOMPARE(ReadBytes(path), w.LogText().toUtf8());
    }

    // A file already in CR LF form is continued where it ends, not written anew.
    write(many);
    const quint64 before = Inode(path);
    QVERIFY(before != 0);
    Options = TOptions();
    {
        TfMain_Vennatro w;
        QCOMPARE(w.LogText().left(many.size()).toUtf8(), many);
        QCOMPARE(ReadBytes(path), w.LogText().toUtf8());
    }
    QCOMPARE(Inode(path), before);
}

QTEST_MAIN(TestLogFile)
#include "test_logfile.moc"
