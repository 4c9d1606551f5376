#include "platform/ConfigFiles.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString XdgConfigHome() {
    const QString env = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!env.isEmpty() && QDir::isAbsolutePath(env))
        return QDir::cleanPath(env);
    return QDir::homePath() + QStringLiteral("/.config");
}

QString UserDataFolder() {
    const QString env = qEnvironmentVariable("XDG_DATA_HOME");
    if (!env.isEmpty() && QDir::isAbsolutePath(env))
        return QDir::cleanPath(env);
    return QDir::homePath() + QStringLiteral("/.local/share");
}

namespace {
QString SystemText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

bool WriteAll(int fd, const QByteArray &data) {
    const char *p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}
} // namespace

bool WriteFileAtomically(const QString &path, const QByteArray &data, unsigned mode,
                         QString *error) {
    // A file kept as a link (a dotfiles folder, say) stays one: its target is replaced.
    const QFileInfo link(path);
    QString target = path;
    if (link.isSymLink()) {
        target = link.canonicalFilePath();
        if (target.isEmpty())
            target = link.symLinkTarget();
    }
    const QFileInfo info(target);
    const QString folder = info.absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("Cannot create the folder \"%1\".").arg(folder);
        return false;
    }

    QByteArray tmpl = QFile::encodeName(folder + QLatin1Char('/') + QLatin1Char('.') +
                                        info.fileName() + QStringLiteral(".XXXXXX"));
    // mkstemp creates the file with mode 0600, so a password never sits in a readable file.
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = SystemText(errno);
        return false;
    }
    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(tmpl.constData());
        if (error)
            *error = SystemText(err);
        return false;
    };
    if (::fchmod(fd, static_cast<mode_t>(mode) & 07777) != 0)
        return fail(errno);
    if (!WriteAll(fd, data))
        return fail(errno);
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmpl.constData());
        if (error)
            *error = SystemText(err);
        return false;
    }
    if (::rename(tmpl.constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0) {
        const int err = errno;
        ::unlink(tmpl.constData());
        if (error)
            *error = SystemText(err);
        return false;
    }
    // The rename itself reaches the disk only with the folder's entry.
    const int dirFd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}
