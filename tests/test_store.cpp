// The per-user store file, its accessor and the log-on autostart entry, on disk.
#include "platform/Autostart.h"
#include "store/RegStore.h"
#include "store/RegistryDefault.h"
#include "store/SettingsTable.h"
#include "support/TestHelpers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_WIN
#include <aclapi.h>
#include <windows.h>
#endif

namespace {

const QString Key = QStringLiteral("Software\\Lumo Dev\\Vennatro");

unsigned ModeOf(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0xFFFF;
    return st.st_mode & 07777;
}

RegValue Dword(quint32 n) {
    RegValue v;
    v.kind = RegValue::Dword;
    v.dword = n;
    return v;
}

RegValue Text(const QString &text, RegValue::Kind kind = RegValue::Sz) {
    RegValue v;
    v.kind = kind;
    v.text = text;
    return v;
}

void Put(RegDocument &doc, const QString &key, const QString &name, const RegValue &value) {
    RegKey &k = doc.keys[key.toLower()];
    k.name = key;
    k.values.insert(name.toLower(), qMakePair(name, value));
}

#ifdef Q_OS_WIN
const wchar_t *Wide(const QString &text) { return reinterpret_cast<const wchar_t *>(text.utf16()); }

// A value as the registry holds it, read with the system's own call: its type (0 when missing)
// and bytes.
QByteArray KeyData(const QString &name, const QString &key = Key, DWORD *type = nullptr) {
    BYTE data[4096];
    DWORD size = sizeof data;
    DWORD kind = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, Wide(key), Wide(name), RRF_RT_ANY | RRF_NOEXPAND, &kind,
                       data, &size) != ERROR_SUCCESS)
        kind = size = 0;
    if (type)
        *type = kind;
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

DWORD KeyType(const QString &name, const QString &key = Key) {
    DWORD type = 0;
    KeyData(name, key, &type);
    return type;
}

DWORD KeyDword(const QString &name) {
    const QByteArray data = KeyData(name);
    DWORD value = 0xFFFFFFFF;
    if (data.size() == sizeof value)
        std::memcpy(&value, data.constData(), sizeof value);
    return value;
}

QString KeyText(const QString &name, const QString &key = Key) {
    const QByteArray data = KeyData(name, key);
    QString text = QString::fromWCharArray(reinterpret_cast<const wchar_t *>(data.constData()),
                                           int(data.size() / 2));
    while (text.endsWith(QChar(u'\0')))
        text.chop(1);
    return text;
}

// Gives everyone exactly the rights given on the key.
bool SetKeyAccess(HKEY key, DWORD rights) {
    EXPLICIT_ACCESSW access{};
    wchar_t everyone[] = L"EVERYONE";
    ::BuildExplicitAccessWithNameW(&access, everyone, rights, SET_ACCESS, NO_INHERITANCE);
    PACL acl = nullptr;
    if (::SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS)
        return false;
    const DWORD status = ::SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, acl, nullptr);
    ::LocalFree(acl);
    return status == ERROR_SUCCESS;
}

void SetValue(const QString &name, DWORD type, const QByteArray &data, const QString &key = Key) {
    HKEY handle = nullptr;
    QCOMPARE(::RegCreateKeyExW(HKEY_CURRENT_USER, Wide(key), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                               &handle, nullptr),
             LSTATUS(ERROR_SUCCESS));
    ::RegSetValueExW(handle, Wide(name), 0, type, reinterpret_cast<const BYTE *>(data.constData()),
                     DWORD(data.size()));
    ::RegCloseKey(handle);
}
#endif

// Every character code from 1 to 255: what a scrambled password may hold.
QString AllLatin1() {
    QByteArray bytes;
    for (int b = 1; b < 256; ++b)
        bytes += char(b);
    return QString::fromLatin1(bytes);
}

} // namespace

class TestStore : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScopedEnv> m_configHome; // the store follows XDG_CONFIG_HOME
    QString StorePath() const { return m_dir->path() + QStringLiteral("/Lumo Dev/Vennatro.reg"); }
    QStringList FilesBeside() const {
        return QDir(m_dir->path() + QStringLiteral("/Lumo Dev"))
            .entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_configHome =
            std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", QFile::encodeName(m_dir->path()));
    }
    void cleanup() {
        m_configHome.reset();
        m_dir.reset();
    }

#ifdef Q_OS_WIN
    // The registry itself: HKEY_CURRENT_USER\Software\Lumo Dev\Vennatro with REG_DWORD and REG_SZ,
    // and the Run key. These change the current user's registry, so they run only where the
    // caller says so (CTest does, in a Wine prefix of the test's own).
    void registryStore() {
        if (qEnvironmentVariableIsEmpty("VENNATRO_TEST_REGISTRY"))
            QSKIP("VENNATRO_TEST_REGISTRY is not set: the registry is left alone");
        ::RegDeleteTreeW(HKEY_CURRENT_USER, Wide(Key));
        QCOMPARE(RegStorePath(), QStringLiteral("HKEY_CURRENT_USER\\") + Key);

        // No key: an empty store, every setting its default, nothing created by reading.
        QVERIFY(LoadRegStore(RegStorePath()).keys.isEmpty());
        QString problem;
        QCOMPARE(ReadOptionsReadOnly(&problem).PingAttempts, DefaultOptions().PingAttempts);
        QVERIFY(problem.isEmpty());
        QCOMPARE(KeyType(QStringLiteral("Ping attempts")), DWORD(0));

        {
            TRegistryDefault reg;
            QVERIFY(reg.OpenKey(Key, true));
            reg.WriteInteger(QStringLiteral("Ping attempts"), 7);
            reg.WriteBool(QStringLiteral("Save log"), true);
            reg.WriteString(QStringLiteral("Log file"), QStringLiteral("C:\\Logs\\é \"x\".txt"));
            reg.WriteString(QStringLiteral("SMTP password"), AllLatin1());
            reg.CloseKey();
        }
        QCOMPARE(KeyType(QStringLiteral("Ping attempts")), DWORD(REG_DWORD));
        QCOMPARE(KeyType(QStringLiteral("Save log")), DWORD(REG_DWORD));
        QCOMPARE(KeyType(QStringLiteral("Log file")), DWORD(REG_SZ));
        QCOMPARE(KeyDword(QStringLiteral("Ping attempts")), DWORD(7));
        QCOMPARE(KeyText(QStringLiteral("Log file")), QStringLiteral("C:\\Logs\\é \"x\".txt"));

        const TRegistryDefault read(0x20019);
        QVERIFY(read.OpenKeyReadOnly(Key));
        QCOMPARE(read.ReadIntegerDefault(QStringLiteral("ping ATTEMPTS"), 3), 7);
        QCOMPARE(read.ReadBoolDefault(QStringLiteral("Save log"), false), true);
        QCOMPARE(read.ReadStringDefault(QStringLiteral("SMTP password"), QString()), AllLatin1());
        const TOptions options = ReadOptionsReadOnly(&problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(options.PingAttempts, 7u);
        QCOMPARE(options.LogFile, QStringLiteral("C:\\Logs\\é \"x\".txt"));
    }

    // Values another program wrote: of the wrong kind, of kinds the program never writes.
    void registryValuesOfOtherKinds() {
        if (qEnvironmentVariableIsEmpty("VENNATRO_TEST_REGISTRY"))
            QSKIP("VENNATRO_TEST_REGISTRY is not set: the registry is left alone");
        ::RegDeleteTreeW(HKEY_CURRENT_USER, Wide(Key));
        SetValue(QStringLiteral("Ping attempts"), REG_SZ, QByteArray("5\0\0\0", 4));
        const QByteArray binary("\x01\x02\x00\xff", 4);
        SetValue(QStringLiteral("Log file"), REG_BINARY, binary);
        SetValue(QStringLiteral("Auto-ping address"), REG_EXPAND_SZ,
                 QByteArray(reinterpret_cast<const char *>(u"http://127.0.0.1/"), 36));
        {
            TRegistryDefault reg(0x20019);
            QVERIFY(reg.OpenKeyReadOnly(Key));
            QCOMPARE(reg.ReadIntegerDefault(QStringLiteral("Ping attempts"), 3), 3);
            QCOMPARE(reg.ReadStringDefault(QStringLiteral("Auto-ping address"), QString()),
                     QStringLiteral("http://127.0.0.1/"));
            QVERIFY_THROWS_EXCEPTION(ERegistryException,
                                     reg.ReadStringDefault(QStringLiteral("Log file"), QString()));
            try {
                reg.ReadString(QStringLiteral("Log file"));
            } catch (const ERegistryException &e) {
                QCOMPARE(e.Message(), QStringLiteral("Invalid data type for 'Log file'"));
            }
        }
        // A save of other values leaves them as they were; a value deleted through the
        // accessor leaves the key.
        {
            TRegistryDefault reg;
            QVERIFY(reg.OpenKey(Key, true));
            reg.WriteInteger(QStringLiteral("HTTP port"), 8080);
            QVERIFY(reg.DeleteValue(QStringLiteral("Auto-ping address")));
            reg.CloseKey();
        }
        QCOMPARE(KeyType(QStringLiteral("Log file")), DWORD(REG_BINARY));
        QCOMPARE(KeyData(QStringLiteral("Log file")), binary);
        QCOMPARE(KeyType(QStringLiteral("Ping attempts")), DWORD(REG_SZ));
        QCOMPARE(KeyDword(QStringLiteral("HTTP port")), DWORD(8080));
        QCOMPARE(KeyType(QStringLiteral("Auto-ping address")), DWORD(0));
    }

    // A key the user may read but not change: the save says so, nothing else is lost.
    void readOnlyKey() {
        if (qEnvironmentVariableIsEmpty("VENNATRO_TEST_REGISTRY"))
            QSKIP("VENNATRO_TEST_REGISTRY is not set: the registry is left alone");
        ::RegDeleteTreeW(HKEY_CURRENT_USER, Wide(Key));
        SetValue(QStringLiteral("Ping attempts"), REG_DWORD, QByteArray("\x04\0\0\0", 4));
        HKEY key = nullptr;
        QCOMPARE(::RegOpenKeyExW(HKEY_CURRENT_USER, Wide(Key), 0, WRITE_DAC | KEY_READ, &key),
                 LSTATUS(ERROR_SUCCESS));
        QVERIFY(SetKeyAccess(key, KEY_READ | WRITE_DAC));
        ::RegCloseKey(key);
        // Writable again afterwards, so the next cases (and runs) can remove it.
        const auto restore = qScopeGuard([] {
            HKEY handle = nullptr;
            if (::RegOpenKeyExW(HKEY_CURRENT_USER, Wide(Key), 0, WRITE_DAC, &handle) ==
                ERROR_SUCCESS) {
                SetKeyAccess(handle, KEY_ALL_ACCESS);
                ::RegCloseKey(handle);
            }
            ::RegDeleteTreeW(HKEY_CURRENT_USER, Wide(Key));
        });
        HKEY probe = nullptr;
        const bool enforced = ::RegOpenKeyExW(HKEY_CURRENT_USER, Wide(Key), 0, KEY_SET_VALUE,
                                              &probe) == ERROR_ACCESS_DENIED;
        if (probe)
            ::RegCloseKey(probe);
        if (!enforced)
            QSKIP("this registry does not enforce a key's permissions");

        TRegistryDefault reg;
        QVERIFY(reg.OpenKey(Key, true));
        reg.WriteInteger(QStringLiteral("Ping attempts"), 9);
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.CloseKey());
        QCOMPARE(KeyDword(QStringLiteral("Ping attempts")), DWORD(4));
        QCOMPARE(StoreWriteFailureText(),
                 QStringLiteral("Error while writing in the Windows Registry.\rCheck that you "
                                "have the proper rights."));
        const TRegistryDefault read(0x20019);
        QVERIFY(read.OpenKeyReadOnly(Key));
        QCOMPARE(read.ReadIntegerDefault(QStringLiteral("Ping attempts"), 3), 4);
    }

    // "Start with Windows": the Run key's value, the program's path unquoted and " -quiet".
    void runKey() {
        if (qEnvironmentVariableIsEmpty("VENNATRO_TEST_REGISTRY"))
            QSKIP("VENNATRO_TEST_REGISTRY is not set: the registry is left alone");
        const QString run = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Run");
        QCOMPARE(AutostartPath(), QStringLiteral("HKEY_CURRENT_USER\\") + run);
        RemoveAutostart();
        RemoveAutostart(); // a missing entry is no error
        QCOMPARE(KeyType(QStringLiteral("Vennatro"), run), DWORD(0));
        // An entry pointing elsewhere is replaced by this program's.
        SetValue(QStringLiteral("Vennatro"), REG_SZ,
                 QByteArray(reinterpret_cast<const char *>(u"D:\\Old\\vennatro.exe"), 40), run);
        WriteAutostart(QStringLiteral("C:/Program Files/Vennatro/vennatro-window.exe"));
        QCOMPARE(KeyType(QStringLiteral("Vennatro"), run), DWORD(REG_SZ));
        QCOMPARE(KeyText(QStringLiteral("Vennatro"), run),
                 QStringLiteral("C:\\Program Files\\Vennatro\\vennatro-window.exe -quiet"));
        RemoveAutostart();
        QCOMPARE(KeyType(QStringLiteral("Vennatro"), run), DWORD(0));
    }
#else
    void storePathFollowsXdgConfigHome() {
        QCOMPARE(RegStorePath(), StorePath());
        QCOMPARE(AutostartPath(), m_dir->path() + QStringLiteral("/autostart/Vennatro.desktop"));
        qputenv("XDG_CONFIG_HOME", "relative/path");
        QCOMPARE(RegStorePath(),
                 QDir::homePath() + QStringLiteral("/.config/Lumo Dev/Vennatro.reg"));
        qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(RegStorePath(),
                 QDir::homePath() + QStringLiteral("/.config/Lumo Dev/Vennatro.reg"));
    }

#endif

    void writesTheExportFormat() {
        RegDocument doc;
        Put(doc, Key, QStringLiteral("Ping attempts"), Dword(3));
        Put(doc, Key, QStringLiteral("Auto-ping interval"), Dword(0xFFFFFFFF));
        Put(doc, Key, QStringLiteral("Log file"),
            Text(QStringLiteral("C:\\x \"y\"\r\n\t\x01\x1f\x7f")));
        Put(doc, Key, QStringLiteral("Path"), Text(QStringLiteral("%HOME%/é"), RegValue::ExpandSz));
        QCOMPARE(SerializeRegFile(doc),
                 QByteArray("REGEDIT4\n"
                            "\n"
                            "[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\n"
                            "\"Auto-ping interval\"=dword:ffffffff\n"
                            "\"Log file\"=\"C:\\\\x \\\"y\\\"\\r\\n\\t\\x01\\x1f\x7f\"\n"
                            "\"Path\"=expand:\"%HOME%/\xC3\xA9\"\n"
                            "\"Ping attempts\"=dword:00000003\n"));
    }

    void everyKindAndEscapeRoundTrips() {
        RegDocument doc;
        const QString nasty = QStringLiteral("back\\slash \"quoted\" cr\r lf\n tab\t nul") +
                              QChar(u'\0') + QStringLiteral(" bell\a esc\x1b ;[] ") +
                              QStringLiteral("日本語 😀 ") + QChar(0x7f);
        Put(doc, Key, QStringLiteral("Zero"), Dword(0));
        Put(doc, Key, QStringLiteral("Max"), Dword(0xFFFFFFFF));
        Put(doc, Key, QStringLiteral("Mixed"), Dword(0x8000ABCD));
        Put(doc, Key, QStringLiteral("Empty"), Text(QString()));
        Put(doc, Key, nasty, Text(nasty));
        Put(doc, Key, QStringLiteral("Expand"), Text(nasty, RegValue::ExpandSz));
        Put(doc, Key, QString(), Text(QStringLiteral("unnamed")));
        Put(doc, Key, QStringLiteral("Password"), Text(AllLatin1()));
        Put(doc, QStringLiteral("Software\\Other Vendor\\Tool [x]"), QStringLiteral("a"), Dword(7));
        doc.keys[QStringLiteral("software\\empty")].name = QStringLiteral("Software\\Empty");

        const QByteArray bytes = SerializeRegFile(doc);
        // Below 0x20 only the line feeds that end lines appear as raw bytes.
        for (char c : bytes)
            QVERIFY2(uchar(c) >= 0x20 || c == '\n', qPrintable(QString::number(uchar(c))));
        RegParseError error;
        const std::optional<RegDocument> back =
            ParseRegFile(bytes, QStringLiteral("x.reg"), &error);
        QVERIFY2(back.has_value(), qPrintable(error.message));
        QCOMPARE(back->keys.keys(), doc.keys.keys());
        for (auto k = doc.keys.cbegin(); k != doc.keys.cend(); ++k) {
            QCOMPARE(back->keys[k.key()].name, k->name);
            QCOMPARE(back->keys[k.key()].values, k->values);
        }
        QCOMPARE(SerializeRegFile(*back), bytes);
    }

    void readsWhatPeopleWrite() {
        const QByteArray text = "\xEF\xBB\xBF; written by hand\r\n"
                                "REGEDIT4\r\n"
                                "\r\n"
                                "   ; indented comment\r\n"
                                "[hkey_current_user\\Software\\Lumo Dev\\Vennatro\\]\r\n"
                                "\"Ping attempts\"=DWORD:0000000A   \r\n"
                                "\t\"Log file\"=EXPAND:\"/tmp/\\x41\\x7e\"\r\n"
                                "\"Raw tab\"=\"a\tb\"\r\n"
                                "[HKEY_CURRENT_USER\\SOFTWARE\\LUMO DEV\\VENNATRO]\r\n"
                                "\"ping ATTEMPTS\"=dword:0000000b\r\n"
                                "\"Latin\"=\"\xC3\xA9\\xe9\"";
        RegParseError error;
        const auto doc = ParseRegFile(text, QStringLiteral("hand.reg"), &error);
        QVERIFY2(doc.has_value(), qPrintable(error.message));
        QCOMPARE(doc->keys.size(), 1);
        const RegKey key = doc->keys.value(Key.toLower());
        QCOMPARE(key.name, Key);
        QCOMPARE(key.values.size(), 4);
        // A value given twice: the later one holds.
        QCOMPARE(key.values.value(QStringLiteral("ping attempts")).second, Dword(11));
        QCOMPARE(key.values.value(QStringLiteral("log file")).second,
                 Text(QStringLiteral("/tmp/A~"), RegValue::ExpandSz));
        QCOMPARE(key.values.value(QStringLiteral("raw tab")).second.text, QStringLiteral("a\tb"));
        QCOMPARE(key.values.value(QStringLiteral("latin")).second.text,
                 QString(QChar(0xe9)) + QChar(0xe9));
    }

    void malformedLinesNameFileAndLine_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("reason");
        const QByteArray head = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\n";
        QTest::newRow("no header")
            << QByteArray("\n\"a\"=dword:00000001\n") << 2 << "does not begin with REGEDIT4";
        QTest::newRow("value before key")
            << QByteArray("REGEDIT4\n\"a\"=\"b\"\n") << 2 << "before any key";
        QTest::newRow("truncated text") << head + "\"Log file\"=\"/tmp/lo" << 4 << "closing quote";
        QTest::newRow("truncated escape") << head + "\"a\"=\"x\\" << 4 << "closing quote";
        QTest::newRow("truncated name") << head + "\"Log fi" << 4 << "closing quote";
        QTest::newRow("no data") << head + "\"a\"=" << 4 << "unknown kind";
        QTest::newRow("no equals") << head + "\"a\" \"b\"" << 4 << "\"=\" must follow";
        QTest::newRow("short dword") << head + "\"a\"=dword:0000001" << 4 << "8 hexadecimal";
        QTest::newRow("long dword") << head + "\"a\"=dword:000000001" << 4 << "8 hexadecimal";
        QTest::newRow("bad hex") << head + "\"a\"=dword:0000000g" << 4 << "8 hexadecimal";
        QTest::newRow("unknown escape") << head + "\"a\"=\"\\q\"" << 4 << "unknown escape \"\\q\"";
        QTest::newRow("short \\x") << head + "\"a\"=\"\\x4\"" << 4 << "two hexadecimal";
        QTest::newRow("text after quote") << head + "\"a\"=\"b\"c" << 4 << "after the closing";
        QTest::newRow("other root")
            << QByteArray("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software]\n") << 2 << "HKEY_CURRENT_USER";
        QTest::newRow("empty key part")
            << QByteArray("REGEDIT4\n[HKEY_CURRENT_USER\\a\\\\b]\n") << 2 << "not valid";
        QTest::newRow("open key line")
            << QByteArray("REGEDIT4\n[HKEY_CURRENT_USER\\a\n") << 2 << "must end with";
        QTest::newRow("stray text") << head + "\n\nhello" << 6 << "neither a key nor a value";
        QTest::newRow("invalid UTF-8") << head + "\"a\"=\"\xC3\x28\"" << 4 << "UTF-8";
        QTest::newRow("latin-1 byte") << head + "\"a\"=\"\xE9\"" << 4 << "UTF-8";
        QTest::newRow("NUL byte") << head + "\"a\"=\"x" + QByteArray(1, '\0') + "y\"" << 4
                                  << "NUL byte";
        QTest::newRow("lone CR") << head + "\"a\"=\"x\ry\"" << 4 << "control character 13";
        QTest::newRow("second header") << head + "REGEDIT4\n" << 4 << "neither a key";
    }
    void malformedLinesNameFileAndLine() {
        QFETCH(QByteArray, text);
        QFETCH(int, line);
        QFETCH(QString, reason);
        RegParseError error;
        QVERIFY(!ParseRegFile(text, QStringLiteral("/x/Vennatro.reg"), &error).has_value());
        QCOMPARE(error.line, line);
        QVERIFY2(error.message.startsWith(
                     QStringLiteral("Error in the settings file \"/x/Vennatro.reg\", line %1: ")
                         .arg(line)),
                 qPrintable(error.message));
        QVERIFY2(error.message.contains(reason), qPrintable(error.message));
    }

    // Every prefix of a valid file and random damage to it: a document or a clean error.
    void damagedFilesNeverCrash() {
        RegDocument doc;
        Put(doc, Key, QStringLiteral("Log file"), Text(QStringLiteral("a\\b\"c\r\n\x01é日")));
        Put(doc, Key, QStringLiteral("Ping attempts"), Dword(3));
        Put(doc, Key, QStringLiteral("Pw"), Text(AllLatin1()));
        const QByteArray good = SerializeRegFile(doc);
        const int lines = good.count('\n') + 1;
        for (int n = 0; n <= good.size(); ++n) {
            RegParseError error;
            if (!ParseRegFile(good.left(n), QStringLiteral("f"), &error))
                QVERIFY(error.line >= 1 && error.line <= lines);
        }
        QRandomGenerator rng(20261207);
        for (int round = 0; round < 2000; ++round) {
            QByteArray bad = good;
            for (int k = rng.bounded(1, 4); k > 0; --k)
                bad[rng.bounded(int(bad.size()))] = char(rng.bounded(256));
            RegParseError error;
            if (!ParseRegFile(bad, QStringLiteral("f"), &error)) {
                QVERIFY(error.line >= 1 && error.line <= bad.count('\n') + 1);
                QVERIFY(!error.message.isEmpty());
            }
        }
    }

#ifndef Q_OS_WIN // the store file's own behaviour
    void numbersOutOfRangeLoadAsTheirDefaults() {
        // Every numeric row of the table: a value beyond either end (0, the maximum plus one,
        // every bit set) loads as the default; either end itself loads as stored.
        const TOptions def = DefaultOptions();
        int rows = 0;
        for (const SettingRow &row : SettingsTable()) {
            if (row.kind != SettingRow::DWord && row.kind != SettingRow::Integer)
                continue;
            ++rows;
            const auto loaded = [&row](quint32 stored) {
                RegDocument doc;
                Put(doc, Key, QLatin1String(row.name), Dword(stored));
                SaveRegStore(RegStorePath(), doc);
                QString problem;
                const TOptions o = ReadOptionsReadOnly(&problem);
                return row.kind == SettingRow::DWord ? qint64(o.*row.dwordField)
                                                     : qint64(o.*row.intField);
            };
            const qint64 usual = row.kind == SettingRow::DWord ? qint64(def.*row.dwordField)
                                                               : qint64(def.*row.intField);
            QVERIFY2(row.min <= usual && usual <= row.max, row.name);
            for (const qint64 stored : {qint64(0), row.max + 1, qint64(0xFFFFFFFF)}) {
                const qint64 expected = stored >= row.min && stored <= row.max ? stored : usual;
                QCOMPARE(loaded(quint32(stored)), expected);
            }
            QCOMPARE(loaded(quint32(row.min)), row.min);
            QCOMPARE(loaded(quint32(row.max)), row.max);
        }
        QVERIFY(rows >= 11);
    }

    void missingFileIsAnEmptyStore() {
        QVERIFY(LoadRegStore(StorePath()).keys.isEmpty());
        QVERIFY(!QFile::exists(StorePath()));
    }

    void latin1PasswordBytesSurviveTheFile() {
        RegDocument doc;
        Put(doc, Key, QStringLiteral("SMTP password"), Text(AllLatin1()));
        SaveRegStore(StorePath(), doc);
        const RegDocument back = LoadRegStore(StorePath());
        const QString text = back.keys.value(Key.toLower())
                                 .values.value(QStringLiteral("smtp password"))
                                 .second.text;
        QCOMPARE(text.toLatin1(), AllLatin1().toLatin1());
        QCOMPARE(text.size(), 255);
    }

    void saveIsAtomicAndPrivate() {
        RegDocument doc;
        Put(doc, Key, QStringLiteral("a"), Dword(1));
        QVERIFY(!QDir(m_dir->path() + QStringLiteral("/Lumo Dev")).exists());
        SaveRegStore(StorePath(), doc); // creates the folder
        QCOMPARE(ModeOf(StorePath()), 0600u);
        QCOMPARE(FilesBeside(), QStringList{QStringLiteral("Vennatro.reg")});

        // A file someone made readable to all goes back to 0600, whatever the umask.
        QVERIFY(::chmod(QFile::encodeName(StorePath()).constData(), 0644) == 0);
        const mode_t old = ::umask(0);
        Put(doc, Key, QStringLiteral("b"), Text(QStringLiteral("x")));
        SaveRegStore(StorePath(), doc);
        ::umask(old);
        QCOMPARE(ModeOf(StorePath()), 0600u);
        QCOMPARE(FilesBeside(), QStringList{QStringLiteral("Vennatro.reg")});
        QCOMPARE(LoadRegStore(StorePath()).keys.value(Key.toLower()).values.size(), 2);
    }

    void leftoversOfAKilledSaveAreRemoved() {
        // What a kill during a save leaves beside the store: the atomic write's temporary
        // copy (also of a copy being kept as ".bad"), each perhaps with the password in it.
        const QString folder = m_dir->path() + QStringLiteral("/Lumo Dev");
        const QByteArray store = "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\n"
                                 "\"a\"=dword:00000001\n";
        WriteBytes(StorePath(), store);
        const QStringList leftovers{QStringLiteral(".Vennatro.reg.a1B2c3"),
                                    QStringLiteral(".Vennatro.reg.ZZZZZZ"),
                                    QStringLiteral(".Vennatro.reg.bad.x9Y8z7")};
        // Files of the same family that no interrupted write makes, and anything else.
        const QStringList others{
            QStringLiteral(".Vennatro.reg.a1B2c"),      QStringLiteral(".Vennatro.reg.a1B2c34"),
            QStringLiteral(".Vennatro.reg.a1B2c3.txt"), QStringLiteral(".Vennatro.reg.a-B2c3"),
            QStringLiteral(".Other.reg.a1B2c3"),        QStringLiteral("Vennatro.reg.a1B2c3"),
            QStringLiteral("Vennatro.reg.bad"),         QStringLiteral("notes.txt")};
        for (const QString &name : leftovers + others)
            WriteBytes(folder + QLatin1Char('/') + name, "scrambled " + name.toUtf8());
        // A folder and a link by a leftover's name are not a write's leftovers either.
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/.Vennatro.reg.folder")));
        QVERIFY(QFile::link(folder + QStringLiteral("/notes.txt"),
                            folder + QStringLiteral("/.Vennatro.reg.linked")));

        const RegDocument doc = LoadRegStore(StorePath());
        QCOMPARE(doc.keys.value(Key.toLower()).values.size(), 1);
        QStringList expected = others;
        expected << QStringLiteral("Vennatro.reg") << QStringLiteral(".Vennatro.reg.folder")
                 << QStringLiteral(".Vennatro.reg.linked");
        expected.sort();
        QCOMPARE(FilesBeside(), expected);
        for (const QString &name : others)
            QCOMPARE(ReadBytes(folder + QLatin1Char('/') + name), "scrambled " + name.toUtf8());
        QCOMPARE(ReadBytes(StorePath()), store);

        // The very first save killed: no store yet, only its copy.
        QVERIFY(QFile::remove(StorePath()));
        WriteBytes(folder + QStringLiteral("/.Vennatro.reg.Q7w8E9"), "half");
        QVERIFY(LoadRegStore(StorePath()).keys.isEmpty());
        QVERIFY(!QFile::exists(folder + QStringLiteral("/.Vennatro.reg.Q7w8E9")));

        // The program's first load goes through the accessor.
        WriteBytes(folder + QStringLiteral("/.Vennatro.reg.r5T6y7"), "half");
        const TRegistryDefault reg(0x20019);
        QVERIFY(reg.LoadError().isEmpty());
        QVERIFY(!QFile::exists(folder + QStringLiteral("/.Vennatro.reg.r5T6y7")));
    }

    void leftoversBesideALinkedStoresFile() {
        // A linked store is written beside the file it points to, so its copies are there.
        const QString dotfiles = m_dir->path() + QStringLiteral("/dotfiles");
        const QString real = dotfiles + QStringLiteral("/vennatro.reg");
        WriteBytes(real, "REGEDIT4\n");
        QVERIFY(QDir().mkpath(m_dir->path() + QStringLiteral("/Lumo Dev")));
        QVERIFY(QFile::link(real, StorePath()));
        WriteBytes(dotfiles + QStringLiteral("/.vennatro.reg.AbC123"), "half");
        WriteBytes(dotfiles + QStringLiteral("/.Vennatro.reg.AbC123"), "not this store's");
        LoadRegStore(StorePath());
        QCOMPARE(
            QDir(dotfiles).entryList(QDir::Files | QDir::Hidden, QDir::Name),
            (QStringList{QStringLiteral(".Vennatro.reg.AbC123"), QStringLiteral("vennatro.reg")}));
    }

    void linkedStoreFileStaysALink() {
        const QString real = m_dir->path() + QStringLiteral("/dotfiles/Vennatro.reg");
        WriteBytes(real, "REGEDIT4\n");
        QVERIFY(QDir().mkpath(m_dir->path() + QStringLiteral("/Lumo Dev")));
        QVERIFY(QFile::link(real, StorePath()));
        RegDocument doc;
        Put(doc, Key, QStringLiteral("a"), Dword(5));
        SaveRegStore(StorePath(), doc);
        QVERIFY(QFileInfo(StorePath()).isSymLink());
        QCOMPARE(ReadBytes(real), SerializeRegFile(doc));
        QCOMPARE(ModeOf(real), 0600u);
        QCOMPARE(FilesBeside(), QStringList{QStringLiteral("Vennatro.reg")});
    }

    void unwritableFolderThrows_data() {
        QTest::addColumn<bool>("folderIsAFile");
        QTest::newRow("folder cannot be created") << true;
        QTest::newRow("read-only folder") << false;
    }
    void unwritableFolderThrows() {
        QFETCH(bool, folderIsAFile);
        const QString folder = m_dir->path() + QStringLiteral("/Lumo Dev");
        RegDocument doc;
        Put(doc, Key, QStringLiteral("a"), Dword(1));
        if (folderIsAFile) {
            WriteBytes(folder, "not a folder");
        } else {
            if (::geteuid() == 0)
                QSKIP("permissions do not bind the super-user");
            SaveRegStore(StorePath(), doc);
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0500) == 0);
        }
        const QByteArray before = ReadBytes(StorePath());
        Put(doc, Key, QStringLiteral("a"), Dword(2));
        QVERIFY_THROWS_EXCEPTION(ERegistryException, SaveRegStore(StorePath(), doc));
        try {
            SaveRegStore(StorePath(), doc);
        } catch (const ERegistryException &e) {
            QVERIFY2(e.Message().contains(StorePath()), qPrintable(e.Message()));
        }
        QCOMPARE(ReadBytes(StorePath()), before);
        if (!folderIsAFile) {
            QCOMPARE(FilesBeside(), QStringList{QStringLiteral("Vennatro.reg")});
            ::chmod(QFile::encodeName(folder).constData(), 0700);
        }
    }

    void oneMegabyteValue() {
        QString big;
        big.reserve(1 << 20);
        while (big.size() < (1 << 20))
            big += QStringLiteral("http://example.com/é\"\\\r\n");
        RegDocument doc;
        Put(doc, Key, QStringLiteral("Recent URLs"), Text(big));
        SaveRegStore(StorePath(), doc);
        QCOMPARE(LoadRegStore(StorePath())
                     .keys.value(Key.toLower())
                     .values.value(QStringLiteral("recent urls"))
                     .second.text,
                 big);
        // The same line cut short is one clean error.
        QByteArray cut = ReadBytes(StorePath());
        cut.chop(2);
        RegParseError error;
        QVERIFY(!ParseRegFile(cut, StorePath(), &error));
        QCOMPARE(error.line, 4);
    }

    void malformedFileIsKeptAsBad() {
        const QByteArray bad = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\n"
                               "\"Ping attempts\"=dword:3\n";
        WriteBytes(StorePath(), bad);
        try {
            LoadRegStore(StorePath());
            QFAIL("no error for a malformed file");
        } catch (const ERegStoreUnreadable &e) {
            QVERIFY(e.KeptAsBad());
            QVERIFY2(e.Message().contains(QStringLiteral("\"%1\", line 4").arg(StorePath())),
                     qPrintable(e.Message()));
            QVERIFY2(e.Message().contains(StorePath() + QStringLiteral(".bad")),
                     qPrintable(e.Message()));
        }
        QCOMPARE(ReadBytes(StorePath() + QStringLiteral(".bad")), bad);
        QCOMPARE(ModeOf(StorePath() + QStringLiteral(".bad")), 0600u);

        // The accessor starts from an empty store and may then replace the file.
        {
            TRegistryDefault reg;
            QVERIFY(!reg.LoadError().isEmpty());
            QVERIFY(reg.OpenKey(Key, true));
            QCOMPARE(reg.ReadIntegerDefault(QStringLiteral("Ping attempts"), 3), 3);
            reg.WriteInteger(QStringLiteral("Ping attempts"), 5);
            reg.CloseKey();
        }
        QCOMPARE(ReadBytes(StorePath() + QStringLiteral(".bad")), bad);
        TRegistryDefault again(0x20019);
        QVERIFY(again.LoadError().isEmpty());
        QVERIFY(again.OpenKey(Key, false));
        QCOMPARE(again.ReadInteger(QStringLiteral("Ping attempts")), 5);
    }

    void fileThatCannotBeKeptIsNeverWrittenOver() {
        const QByteArray bad = "REGEDIT4\ngarbage\n";
        WriteBytes(StorePath(), bad);
        QVERIFY(QDir().mkpath(StorePath() + QStringLiteral(".bad/in the way")));
        try {
            LoadRegStore(StorePath());
            QFAIL("no error for a malformed file");
        } catch (const ERegStoreUnreadable &e) {
            QVERIFY(!e.KeptAsBad());
            QVERIFY2(e.Message().contains(QStringLiteral("line 2")), qPrintable(e.Message()));
        }
        {
            TRegistryDefault reg;
            QVERIFY(!reg.OpenKey(Key, true));
            QVERIFY_THROWS_EXCEPTION(ERegistryException,
                                     reg.WriteBool(QStringLiteral("Always on top"), true));
            reg.CloseKey();
        }
        QCOMPARE(ReadBytes(StorePath()), bad);
        QCOMPARE(FilesBeside(),
                 QStringList({QStringLiteral("Vennatro.reg"), QStringLiteral("Vennatro.reg.bad")}));
    }

    void fileThatCannotBeReadIsMovedAside() {
        // A folder where the file should be: it exists, yet cannot be read as a file.
        QVERIFY(QDir().mkpath(StorePath() + QStringLiteral("/inner")));
        try {
            LoadRegStore(StorePath());
            QFAIL("no error for an unreadable store");
        } catch (const ERegStoreUnreadable &e) {
            QVERIFY(e.KeptAsBad());
            QVERIFY2(e.Message().startsWith(
                         QStringLiteral("Cannot read the settings file \"%1\"").arg(StorePath())),
                     qPrintable(e.Message()));
        }
        QVERIFY(QDir(StorePath() + QStringLiteral(".bad/inner")).exists());
        QVERIFY(!QFile::exists(StorePath()));
    }

    void accessorReadsWithFallbacks() {
        WriteBytes(StorePath(), "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\n"
                                "\"Flag two\"=dword:00000002\n"
                                "\"All ones\"=dword:ffffffff\n"
                                "\"Zero\"=dword:00000000\n"
                                "\"Text\"=\"hello\\x00world\"\n"
                                "\"Expanded\"=expand:\"%HOME%\"\n"
                                "\"Empty\"=\"\"\n"
                                "\"Only nul\"=\"\\x00x\"\n"
                                "\"Log file\"=dword:00000001\n");
        TRegistryDefault reg(0x20019);
        QVERIFY(reg.LoadError().isEmpty());
        // No key open yet: every read falls back.
        QCOMPARE(reg.ReadBoolDefault(QStringLiteral("Flag two"), false), false);
        QCOMPARE(reg.ReadStringDefault(QStringLiteral("Text"), QStringLiteral("d")),
                 QStringLiteral("d"));
        QVERIFY(!reg.OpenKey(QStringLiteral("Software\\Lumo Dev\\Missing"), true));
        QVERIFY(reg.OpenKey(QStringLiteral("software\\lumo dev\\vennatro"), false));

        QCOMPARE(reg.ReadBoolDefault(QStringLiteral("Flag two"), false), true);
        QCOMPARE(reg.ReadBoolDefault(QStringLiteral("FLAG TWO"), false), true);
        QCOMPARE(reg.ReadBoolDefault(QStringLiteral("Zero"), true), false);
        QCOMPARE(reg.ReadBoolDefault(QStringLiteral("Text"), true), true);
        QCOMPARE(reg.ReadBoolDefault(QStringLiteral("Missing"), true), true);
        QCOMPARE(reg.ReadIntegerDefault(QStringLiteral("All ones"), 5), -1);
        QCOMPARE(reg.ReadIntegerDefault(QStringLiteral("Text"), 5), 5);
        QCOMPARE(reg.ReadIntegerDefault(QStringLiteral("Missing"), 5), 5);

        QCOMPARE(reg.ReadStringDefault(QStringLiteral("Text"), QStringLiteral("d")),
                 QStringLiteral("hello"));
        QCOMPARE(reg.ReadStringDefault(QStringLiteral("Expanded"), QStringLiteral("d")),
                 QStringLiteral("%HOME%"));
        QCOMPARE(reg.ReadStringDefault(QStringLiteral("Empty"), QStringLiteral("http://")),
                 QStringLiteral("http://"));
        QCOMPARE(reg.ReadStringDefault(QStringLiteral("Only nul"), QStringLiteral("d")),
                 QStringLiteral("d"));
        QCOMPARE(reg.ReadStringDefault(QStringLiteral("Missing"), QStringLiteral("d")),
                 QStringLiteral("d"));
        try {
            reg.ReadStringDefault(QStringLiteral("Log file"), QString());
            QFAIL("a 32-bit value read as text raised nothing");
        } catch (const ERegistryException &e) {
            QCOMPARE(e.Message(), QStringLiteral("Invalid data type for 'Log file'"));
        }
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.ReadInteger(QStringLiteral("Missing")));
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.ReadString(QStringLiteral("Zero")));

        // Read access never writes.
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.WriteInteger(QStringLiteral("Zero"), 1));
        QVERIFY(!reg.DeleteValue(QStringLiteral("Zero")));
    }

    void unreadValuesKeepWhatTheFileHeld() {
        WriteBytes(StorePath(), "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\n"
                                "\"Flag\"=dword:00000001\n"
                                "\"Name\"=dword:00000007\n"
                                "\"Count\"=dword:00000009\n"
                                "\"Path\"=\"/kept\"\n"
                                "\"Other\"=\"not the program's\"\n");
        TUnreadValues unread;
        {
            TRegistryDefault loaded(0x20019);
            QVERIFY(loaded.OpenKey(Key, false));
            QCOMPARE(loaded.ReadBoolDefault(QStringLiteral("Flag"), false), true);
            QCOMPARE(loaded.ReadIntegerDefault(QStringLiteral("Missing"), 4), 4);
            // The load stops here: a number where text belongs.
            QVERIFY_THROWS_EXCEPTION(ERegistryException,
                                     loaded.ReadStringDefault(QStringLiteral("Name"), QString()));
            QVERIFY(loaded.WasRead(QStringLiteral("flag")));
            QVERIFY(loaded.WasRead(QStringLiteral("Missing")));
            QVERIFY(!loaded.WasRead(QStringLiteral("Name")));
            QVERIFY(!loaded.WasRead(QStringLiteral("Count")));

            // What the program holds right after the load, as a save would write it.
            TRegistryDefault held{TRegistryDefault::InMemory {}};
            QVERIFY(held.OpenKey(Key, true));
            held.WriteBool(QStringLiteral("Flag"), true);
            held.WriteInteger(QStringLiteral("Missing"), 4);
            held.WriteString(QStringLiteral("Name"), QString());
            held.WriteInteger(QStringLiteral("Count"), 0);
            held.WriteString(QStringLiteral("Path"), QString());
            held.WriteInteger(QStringLiteral("New"), 0);
            unread.Remember(loaded, held);
            held.CloseKey(); // never reaches the file
        }
        QVERIFY(!unread.IsEmpty());
        QVERIFY(ReadBytes(StorePath()).contains("\"Path\"=\"/kept\""));
        QVERIFY(!ReadBytes(StorePath()).contains("\"New\""));

        // The save: "Flag" was read and changed, "Count" changed since the load; the rest as held.
        TRegistryDefault reg;
        QVERIFY(reg.OpenKey(Key, false));
        reg.WriteBool(QStringLiteral("Flag"), false);
        reg.WriteInteger(QStringLiteral("Missing"), 4);
        reg.WriteString(QStringLiteral("Name"), QString());
        reg.WriteInteger(QStringLiteral("Count"), 12);
        reg.WriteString(QStringLiteral("Path"), QString());
        reg.WriteInteger(QStringLiteral("New"), 0);
        unread.Restore(reg);
        reg.CloseKey();

        const RegKey key = LoadRegStore(StorePath()).keys.value(Key.toLower());
        const auto value = [&](const char *name) {
            return key.values.value(QString::fromLatin1(name).toLower()).second;
        };
        QCOMPARE(value("Flag"), Dword(0));
        QCOMPARE(value("Missing"), Dword(4));
        QCOMPARE(value("Name"), Dword(7)); // as the file held it: still of the wrong kind
        QCOMPARE(value("Count"), Dword(12));
        QCOMPARE(value("Path"), Text(QStringLiteral("/kept")));
        QCOMPARE(value("Other"), Text(QStringLiteral("not the program's")));
        QVERIFY(!key.values.contains(QStringLiteral("new"))); // the file had none
        QCOMPARE(key.values.size(), 6);
    }

    void accessorWritesWholeFileOnClose() {
        WriteBytes(StorePath(), "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Other]\n\"Keep\"=\"me\"\n"
                                "[HKEY_CURRENT_USER\\Software\\Lumo Dev\\Vennatro]\n"
                                "\"Old\"=dword:00000001\n\"Gone\"=\"x\"\n");
        const QByteArray before = ReadBytes(StorePath());
        {
            TRegistryDefault reg;
            QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.WriteBool(QStringLiteral("x"), true));
            QVERIFY(reg.OpenKey(Key, true));
            reg.WriteBool(QStringLiteral("Always on top"), true);
            reg.WriteInteger(QStringLiteral("HTTP port"), -2);
            reg.WriteString(QStringLiteral("SMTP password"), AllLatin1());
            reg.WriteInteger(QStringLiteral("OLD"), 9);
            QVERIFY(reg.DeleteValue(QStringLiteral("gone")));
            QVERIFY(!reg.DeleteValue(QStringLiteral("gone")));
            QCOMPARE(ReadBytes(StorePath()), before); // nothing reaches the file before closing
            reg.CloseKey();
            QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.WriteBool(QStringLiteral("x"), true));
        }
        const RegDocument doc = LoadRegStore(StorePath());
        QCOMPARE(doc.keys.value(QStringLiteral("software\\other")).values.value("keep").second,
                 Text(QStringLiteral("me")));
        const RegKey key = doc.keys.value(Key.toLower());
        QCOMPARE(key.values.size(), 4);
        QCOMPARE(key.values.value(QStringLiteral("always on top")).second, Dword(1));
        QCOMPARE(key.values.value(QStringLiteral("http port")).second, Dword(0xFFFFFFFE));
        QCOMPARE(key.values.value(QStringLiteral("old")),
                 qMakePair(QStringLiteral("Old"), Dword(9)));
        QCOMPARE(key.values.value(QStringLiteral("smtp password")).second.text, AllLatin1());
        QCOMPARE(ModeOf(StorePath()), 0600u);

        // Destruction writes what was not closed.
        {
            TRegistryDefault reg;
            QVERIFY(reg.OpenKey(QStringLiteral("Software\\New Key"), true));
            reg.WriteString(QStringLiteral("v"), QStringLiteral("w"));
        }
        QVERIFY(LoadRegStore(StorePath()).keys.contains(QStringLiteral("software\\new key")));
        QVERIFY(ReadBytes(StorePath()).contains("[HKEY_CURRENT_USER\\Software\\New Key]\n"));
    }

    void accessorReportsFailedWrite() {
        WriteBytes(m_dir->path() + QStringLiteral("/Lumo Dev"), "a file in the way");
        TRegistryDefault reg;
        QVERIFY(reg.LoadError().isEmpty());
        QVERIFY(reg.OpenKey(Key, true));
        reg.WriteBool(QStringLiteral("Always on top"), true);
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.CloseKey());
        QCOMPARE(ReadBytes(m_dir->path() + QStringLiteral("/Lumo Dev")),
                 QByteArray("a file in the way"));
    }

    void autostartEntry_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << "/usr/bin/vennatro"
                               << "Exec=/usr/bin/vennatro -quiet";
        QTest::newRow("blank") << "/home/ann/My Tools/vennatro"
                               << "Exec=\"/home/ann/My Tools/vennatro\" -quiet";
        QTest::newRow("reserved") << "/opt/a&b;c(d)'e'/v"
                                  << "Exec=\"/opt/a&b;c(d)'e'/v\" -quiet";
        // Inside the quotes " ` $ \ take a backslash; the string layer then doubles each one.
        QTest::newRow("escaped")
            << "/opt/$x/`q`/\"n\"/back\\slash/v"
            << "Exec=\"/opt/\\\\$x/\\\\`q\\\\`/\\\\\"n\\\\\"/back\\\\\\\\slash/v\" "
               "-quiet";
        QTest::newRow("percent") << "/opt/100%/v"
                                 << "Exec=/opt/100%%/v -quiet";
        QTest::newRow("newline") << "/opt/a\nb/v"
                                 << "Exec=\"/opt/a\\nb/v\" -quiet";
    }
    void autostartEntry() {
        QFETCH(QString, program);
        QFETCH(QString, exec);
        const QString path = m_dir->path() + QStringLiteral("/autostart/Vennatro.desktop");
        WriteAutostart(program);
        QCOMPARE(QString::fromUtf8(ReadBytes(path)),
                 QStringLiteral("[Desktop Entry]\nType=Application\nName=Vennatro\n") + exec +
                     QStringLiteral("\nIcon=dev.lumo.Vennatro\n"
                                    "X-GNOME-Autostart-enabled=true\n"
                                    "X-GNOME-Autostart-Delay=5\n"
                                    "X-MATE-Autostart-Delay=5\n"
                                    "X-LXQt-Need-Tray=true\n"
                                    "X-KDE-autostart-phase=2\n"));
        QCOMPARE(QDir(m_dir->path() + QStringLiteral("/autostart"))
                     .entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Vennatro.desktop")});
        // What desktops read it with: no error, no warning, no hint.
        const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
        if (!validator.isEmpty()) {
            QProcess check;
            check.setProcessChannelMode(QProcess::MergedChannels);
            check.start(validator, {path});
            QVERIFY(check.waitForFinished(30000));
            const QByteArray said = check.readAll();
            QVERIFY2(check.exitCode() == 0 && said.isEmpty(), said.constData());
        }
        WriteAutostart(program); // rewritten in place
        QVERIFY(QFile::exists(path));
        RemoveAutostart();
        QVERIFY(!QFile::exists(path));
        RemoveAutostart(); // a missing entry is no error
        QVERIFY(!QFile::exists(path));
    }

    void autostartFailures() {
        QVERIFY_THROWS_EXCEPTION(ERegistryException, WriteAutostart(QString()));
        QVERIFY_THROWS_EXCEPTION(ERegistryException,
                                 WriteAutostart(QStringLiteral("/opt/a") + QChar(1)));
        WriteBytes(m_dir->path() + QStringLiteral("/autostart"), "in the way");
        try {
            WriteAutostart(QStringLiteral("/usr/bin/vennatro"));
            QFAIL("no error for an unwritable autostart folder");
        } catch (const ERegistryException &e) {
            QVERIFY2(e.Message().contains(QStringLiteral("autostart/Vennatro.desktop")),
                     qPrintable(e.Message()));
        }
        RemoveAutostart(); // ignored
    }
#endif
};

QTEST_GUILESS_MAIN(TestStore)
#include "test_store.moc"
