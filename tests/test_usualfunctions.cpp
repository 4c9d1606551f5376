#include "Version.h"
#include "platform/SingleInstance.h"
#include "support/TestHelpers.h"
#include "support/UsualFunctions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QByteArray allBytesFromOne() {
    QByteArray bytes;
    for (int code = 1; code <= 255; ++code)
        bytes.append(static_cast<char>(code));
    return bytes;
}

bool fillerInRange(const QByteArray &stored, qsizetype count) {
    for (qsizetype i = 0; i < count; ++i) {
        const auto code = static_cast<unsigned char>(stored[i]);
        if (code < 32 || code > 127)
            return false;
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestUsualFunctions : public QObject {
    Q_OBJECT

private slots:
    // --- the byte substitution ---

    void substitutionTable() {
        auto sub = [](int code) {
            return static_cast<unsigned char>(ScrambleSubstitute(char(code)));
        };
        for (int c = 'A'; c <= 'M'; ++c) {
            QCOMPARE(sub(c), c + 13);
            QCOMPARE(sub(c + 32), c + 32 + 13);
        }
        for (int c = 'N'; c <= 'Z'; ++c) {
            QCOMPARE(sub(c), c - 13);
            QCOMPARE(sub(c + 32), c + 32 - 13);
        }
        for (int c = '0'; c <= '9'; ++c)
            QCOMPARE(sub(c), c - 10);
        for (int c = 0x26; c <= 0x2f; ++c)
            QCOMPARE(sub(c), c + 10);
        QCOMPARE(sub(0x20), 0x25);
        QCOMPARE(sub(0x25), 0x20);
        QCOMPARE(sub(0xf1), 0xe7);
        QCOMPARE(sub(0xe7), 0xf1);
        QCOMPARE(sub(0xd1), 0xc7);
        QCOMPARE(sub(0xc7), 0xd1);
        for (int c : {0x00, 0x1f, 0x21, 0x24, 0x3a, 0x40, 0x5b, 0x60, 0x7b, 0x7f, 0x80, 0xc6, 0xd2,
                      0xe6, 0xf2, 0xff})
            QCOMPARE(sub(c), c);
    }

    void substitutionUndoesItself() {
        for (int code = 0; code < 256; ++code) {
            const char c = static_cast<char>(code);
            QCOMPARE(ScrambleSubstitute(ScrambleSubstitute(c)), c);
        }
    }

    // --- the stored form ---

    void abcIsStoredAsFillerNopAndLength() {
        const QByteArray stored = ScramblePassword("abc");
        QCOMPARE(stored.size(), 256);
        QVERIFY(fillerInRange(stored, 252));
        QCOMPARE(stored.mid(252, 3), QByteArray("nop"));
        QCOMPARE(stored.back(), char(3));
        // The generator's exact output, worked out apart from this code (seed 668).
        QCOMPARE(stored.left(16), QByteArray("|7 2\\uQf&rLK[$(+"));
        QCOMPARE(stored.mid(236, 16), QByteArray("#a~}GSD BIUj}#aE"));
        QCOMPARE(UnscramblePassword(stored), QByteArray("abc"));
    }

    void knownStoredForm() {
        const QByteArray stored = ScramblePassword("Pass w0rd%");
        QCOMPARE(stored.size(), 256);
        QCOMPARE(stored.left(16), QByteArray("o!V{*W1|VceEa>j\\"));
        QCOMPARE(stored.right(11), QByteArray("Cnff%j&eq \n"));
    }

    void eightCharacters() {
        const QByteArray plain = "Secret12";
        const QByteArray stored = ScramblePassword(plain);
        QCOMPARE(stored.size(), 256);
        QVERIFY(fillerInRange(stored, 247));
        QCOMPARE(stored.left(16), QByteArray("Ls]O<`\"F ]@|PpP>"));
        QCOMPARE(stored.mid(247, 8), QByteArray("Frperg'("));
        QCOMPARE(stored.back(), char(8));
        QCOMPARE(UnscramblePassword(stored), plain);
    }

    void twoHundredFiftyFiveCharacters() {
        const QByteArray plain = allBytesFromOne();
        QCOMPARE(plain.size(), 255);
        const QByteArray stored = ScramblePassword(plain);
        QCOMPARE(stored.size(), 256);
        QCOMPARE(static_cast<unsigned char>(stored.back()), 255u);
        for (qsizetype i = 0; i < 255; ++i)
            QCOMPARE(stored[i], ScrambleSubstitute(plain[i]));
        QCOMPARE(UnscramblePassword(stored), plain);
    }

    void emptyPassword() {
        QCOMPARE(ScramblePassword({}), QByteArray());
        QCOMPARE(UnscramblePassword({}), QByteArray());
    }

    void sameInputSameOutput() {
        QCOMPARE(ScramblePassword("hunter2"), ScramblePassword("hunter2"));
        // The filler follows the password, so a neighbour gets another one.
        QVERIFY(ScramblePassword("hunter2").left(248) != ScramblePassword("hunter3").left(248));
    }

    void everyByteOfEveryLengthComesBack() {
        const QByteArray all = allBytesFromOne();
        for (int length = 1; length <= 255; ++length) {
            // Start at another byte for each length, so every value sits at many positions.
            QByteArray plain;
            for (int i = 0; i < length; ++i)
                plain.append(all[(length + i) % all.size()]);
            const QByteArray stored = ScramblePassword(plain);
            QCOMPARE(stored.size(), 256);
            QVERIFY(fillerInRange(stored, 255 - length));
            QCOMPARE(static_cast<unsigned char>(stored.back()), static_cast<unsigned>(length));
            QCOMPARE(UnscramblePassword(stored), plain);
        }
        // Blanks, percent signs, digits, '&'..'/', and the accented letters in one password.
        const QByteArray mixed = "a %b0&9/ \xf1\xe7\xd1\xc7%%  ";
        QCOMPARE(UnscramblePassword(ScramblePassword(mixed)), mixed);
    }

    void anyFillerInRangeIsAccepted() {
        QByteArray stored = ScramblePassword("abc");
        stored.replace(0, 252, QByteArray(126, ' ') + QByteArray(126, char(127)));
        QCOMPARE(UnscramblePassword(stored), QByteArray("abc"));
    }

    void malformedStoredValues_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("length code alone") << QByteArray("\x01");
        QTest::newRow("code 255 after 3 characters") << QByteArray("nop\xff");
        QTest::newRow("code 3 after 2 characters") << QByteArray("no\x03");
        QTest::newRow("plain text") << QByteArray("secret");
        QTest::newRow("length code 0") << QByteArray(255, 'x') + QByteArray(1, '\0');
        QByteArray shortened = ScramblePassword("abc");
        shortened.remove(0, 1);
        QTest::newRow("one filler byte missing") << shortened;
        QTest::newRow("one byte too many") << QByteArray("x") + ScramblePassword("abc");
        QByteArray badFiller = ScramblePassword("abc");
        badFiller[10] = '\x1f';
        QTest::newRow("filler below 32") << badFiller;
        badFiller[10] = '\x80';
        QTest::newRow("filler above 127") << badFiller;
        // What a password beyond 255 bytes turns into: not read back as a wrong password.
        QTest::newRow("300-byte password") << ScramblePassword(QByteArray(300, 'q'));
    }

    void malformedStoredValues() {
        QFETCH(QByteArray, stored);
        QCOMPARE(UnscramblePassword(stored), QByteArray());
    }

    void longPasswordKeepsTheFormatRule() {
        const QByteArray stored = ScramblePassword(QByteArray(300, 'q'));
        QCOMPARE(stored.size(), 301);
        QCOMPARE(stored.left(300), QByteArray(300, 'd'));
        QCOMPARE(static_cast<unsigned char>(stored.back()), 300u % 256u);
    }

    void randomJunkStaysInBounds() {
        // Copies in a buffer of their own exact size, so a stray read shows up under the
        // address sanitizer.
        QRandomGenerator random(20240611);
        for (int round = 0; round < 20000; ++round) {
            const int length = round % 3 == 0 ? 256 : int(random.bounded(600));
            QByteArray junk(length, Qt::Uninitialized);
            for (char &c : junk)
                c = static_cast<char>(random.bounded(256));
            const QByteArray plain = UnscramblePassword(junk);
            if (!plain.isEmpty()) {
                QCOMPARE(junk.size(), 256);
                QCOMPARE(plain.size(), qsizetype(static_cast<unsigned char>(junk.back())));
            }
        }
    }

    // --- the embedded version ---

    void versionOfThisProgram() {
        const QString self = QCoreApplication::applicationFilePath();
        QCOMPARE(GetFileVersionString(self), QStringLiteral(VENNATRO_FILE_VERSION));
        QVERIFY(EmbeddedFileVersionStamp().endsWith(QByteArray(VENNATRO_FILE_VERSION) + '\0'));
    }

    void versionOfTheProgram() {
        const QString program = QStringLiteral(VENNATRO_PROGRAM);
        if (!QFile::exists(program))
            QSKIP("The program is not built in this build folder");
        QCOMPARE(GetFileVersionString(program), QStringLiteral(VENNATRO_FILE_VERSION));
    }

    void noVersionGivesError() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString plain = dir.filePath("plain.bin");
        QVERIFY(writeFile(plain, QByteArray(100000, '\x7f') + "VNFV garbage"));
        QCOMPARE(GetFileVersionString(plain), QStringLiteral("(error)"));

        const QString empty = dir.filePath("empty.bin");
        QVERIFY(writeFile(empty, {}));
        QCOMPARE(GetFileVersionString(empty), QStringLiteral("(error)"));

        QCOMPARE(GetFileVersionString(dir.filePath("missing.exe")), QStringLiteral("(error)"));
        QCOMPARE(GetFileVersionString(QString()), QStringLiteral("(error)"));
        QCOMPARE(GetFileVersionString(dir.path()), QStringLiteral("(error)"));

#ifndef Q_OS_WIN
        // Neither a pipe nor an endless device holds up the caller.
        const QString fifo = dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(GetFileVersionString(fifo), QStringLiteral("(error)"));
        QCOMPARE(GetFileVersionString(QStringLiteral("/dev/zero")), QStringLiteral("(error)"));
#else
        // A device is no file.
        QCOMPARE(GetFileVersionString(QStringLiteral("NUL")), QStringLiteral("(error)"));
#endif
    }

    void stampAnywhereInAFile_data() {
        QTest::addColumn<qsizetype>("offset");
        const qsizetype chunk = 64 * 1024;
        const qsizetype stamp = EmbeddedFileVersionStamp().size();
        QTest::newRow("at the start") << qsizetype(0);
        QTest::newRow("inside the first piece") << qsizetype(1000);
        // Marker, text and closing NUL across the boundary of the reads, each in turn.
        for (qsizetype past = 0; past <= stamp; ++past)
            QTest::addRow("%lld bytes past a boundary", qlonglong(past)) << chunk - stamp + past;
        QTest::newRow("far into a big file") << qsizetype(5 * chunk + 12345);
    }

    void stampAnywhereInAFile() {
        QFETCH(qsizetype, offset);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("stamped.bin");
        QVERIFY(writeFile(path, QByteArray(offset, 'V') + EmbeddedFileVersionStamp() +
                                    QByteArray(70000, '\0')));
        QCOMPARE(GetFileVersionString(path), QStringLiteral(VENNATRO_FILE_VERSION));
    }

    void strayMarkersAreSkipped() {
        const QByteArray stamp = EmbeddedFileVersionStamp();
        const QByteArray marker = stamp.left(stamp.indexOf('=') + 1);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());

        // A marker followed by no proper text, then the real stamp.
        const QString path = dir.filePath("stray.bin");
        QVERIFY(writeFile(path, marker + '\0' + marker + "\x01\x02" + '\0' + marker +
                                    QByteArray(200, '9') + '\0' + stamp));
        QCOMPARE(GetFileVersionString(path), QStringLiteral(VENNATRO_FILE_VERSION));

        // The first good stamp wins.
        const QString two = dir.filePath("two.bin");
        QVERIFY(writeFile(two, marker + "2.3.4.5" + '\0' + stamp));
        QCOMPARE(GetFileVersionString(two), QStringLiteral("2.3.4.5"));

        // A stamp cut off at the end of the file has no text.
        const QString cut = dir.filePath("cut.bin");
        QVERIFY(writeFile(cut, QByteArray(500, 'x') + stamp.chopped(1)));
        QCOMPARE(GetFileVersionString(cut), QStringLiteral("(error)"));
    }

    // --- activation ---

    void activationNames() {
        QCOMPARE(RegisterActivationMessage(),
                 QStringLiteral("LumoDev - activate previous instance"));
        QCOMPARE(QString::fromLatin1(SingleInstanceName), QStringLiteral("Vennatro - Lumo"));
    }

    void activationWithoutRunningInstanceFails() {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        ScopedEnv scope("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        QVERIFY(!ActivatePreviousInstance(QStringLiteral("TfMain_Vennatro")));
    }
};

QTEST_GUILESS_MAIN(TestUsualFunctions)
#include "test_usualfunctions.moc"
