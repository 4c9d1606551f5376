#include "platform/RegularFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString SystemText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString KindOf(mode_t mode) {
    if (S_ISREG(mode))
        return QString();
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe (FIFO)");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("something else");
}

} // namespace

QString RegularFile::KindOtherThanRegular(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QString();
    return KindOf(st.st_mode);
}

RegularFile::~RegularFile() {
    if (m_handle >= 0)
        ::close(int(m_handle));
}

bool RegularFile::Open(const QString &path, Mode mode) {
    // The check before the open keeps devices from being opened at all; O_NONBLOCK and the
    // check after it cover a pipe put there in between (opening a pipe without a reader would
    // otherwise wait for one for good).
    m_kind = KindOtherThanRegular(path);
    if (!m_kind.isEmpty())
        return false;
    int flags = O_RDONLY;
    if (mode == Mode::Append)
        flags = O_RDWR | O_APPEND | O_CREAT;
    else if (mode == Mode::AppendWriteOnly)
        flags = O_WRONLY | O_APPEND | O_CREAT;
    const int fd =
        ::open(QFile::encodeName(path).constData(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        m_denied = errno == EACCES;
        m_error = SystemText(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_kind = KindOf(st.st_mode);
        if (m_kind.isEmpty())
            m_kind = QStringLiteral("something else");
        ::close(fd);
        return false;
    }
    m_handle = fd;
    m_size = qint64(st.st_size);
    return true;
}

qint64 RegularFile::ReadAt(char *data, qint64 size, qint64 offset) {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(int(m_handle), data + done, size_t(size - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_error = SystemText(errno);
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

bool RegularFile::Append(const QByteArray &data, qint64 *written) {
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n =
            ::write(int(m_handle), data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = SystemText(n < 0 ? errno : ENOSPC);
            *written = done;
            return false;
        }
        done += n;
    }
    *written = done;
    return true;
}

void RegularFile::Truncate(qint64 size) {
    [[maybe_unused]] const int cut = ::ftruncate(int(m_handle), off_t(size));
}
