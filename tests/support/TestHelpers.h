#pragma once

// Small helpers every test file may use: waiting limits, event settling, file bytes, scoped
// environment variables and finding widgets by object name.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTest>

// ms; the generous limit for anything that should come soon.
constexpr int Patience = 15000;

// Waits up to ms for something that must not happen; true when it did happen.
template <typename Fn> bool HappensWithin(int ms, Fn &&fn) { return QTest::qWaitFor(fn, ms); }

// Processes posted events until nothing is left to do right now.
inline void Settle() {
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
}

// The whole file, or "<missing>" when it cannot be read.
inline QByteArray ReadBytes(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Writes the file anew, creating its folders; a failure fails the calling test.
inline void WriteBytes(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// Sets an environment variable for a scope and puts back what was there before, its absence
// included.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QByteArray &value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        qputenv(name, value);
    }
    ~ScopedEnv() {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *m_name;
    bool m_had;
    QByteArray m_old;
};

// The one object of type T named name below root. When there is none, or more than one, the
// current test fails with a message naming it, and the result is nullptr.
template <typename T> T *Find(const QObject *root, const char *name) {
    const QList<T *> found = root->findChildren<T *>(QLatin1String(name));
    if (found.size() == 1)
        return found.constFirst();
    const QByteArray why = QByteArray::number(found.size()) + " objects of type " +
                           T::staticMetaObject.className() + " named \"" + name + "\" below " +
                           root->metaObject()->className() + " \"" + root->objectName().toUtf8() +
                           "\", one expected";
    QTest::qFail(why.constData(), __FILE__, __LINE__);
    return nullptr;
}
