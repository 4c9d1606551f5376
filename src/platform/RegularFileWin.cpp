#include "platform/RegularFile.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>

namespace {

const wchar_t *Wide(const QString &text) { return reinterpret_cast<const wchar_t *>(text.utf16()); }

QString SystemText(DWORD code) {
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    QString text = length ? QString::fromWCharArray(buffer, int(length)).trimmed() : QString();
    ::LocalFree(buffer);
    return text.isEmpty() ? QStringLiteral("error %1").arg(code) : text;
}

} // namespace

QString RegularFile::KindOtherThanRegular(const QString &path) {
    const DWORD attributes = ::GetFileAttributesW(Wide(QFileInfo(path).absoluteFilePath()));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return QString();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return QStringLiteral("a folder");
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return QStringLiteral("a device");
    return QString();
}

RegularFile::~RegularFile() {
    if (m_handle != -1)
        ::CloseHandle(HANDLE(m_handle));
}

bool RegularFile::Open(const QString &path, Mode mode) {
    m_kind = KindOtherThanRegular(path);
    if (!m_kind.isEmpty())
        return false;
    DWORD access = GENERIC_READ;
    if (mode == Mode::Append)
        access = GENERIC_READ | FILE_APPEND_DATA;
    else if (mode == Mode::AppendWriteOnly)
        access = FILE_APPEND_DATA;
    // Others may read, write and rename it meanwhile, as a log file on POSIX allows.
    const HANDLE handle = ::CreateFileW(
        Wide(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())), access,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        mode == Mode::Read ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        m_denied = error == ERROR_ACCESS_DENIED;
        m_error = SystemText(error);
        return false;
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        m_kind = QStringLiteral("something else");
        return false;
    }
    LARGE_INTEGER size{};
    ::GetFileSizeEx(handle, &size);
    m_handle = qintptr(handle);
    m_size = size.QuadPart;
    return true;
}

qint64 RegularFile::ReadAt(char *data, qint64 size, qint64 offset) {
    qint64 done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = DWORD(quint64(offset + done) & 0xffffffffu);
        at.OffsetHigh = DWORD(quint64(offset + done) >> 32);
        DWORD n = 0;
        const DWORD chunk = DWORD(qMin<qint64>(size - done, 1 << 30));
        if (!::ReadFile(HANDLE(m_handle), data + done, chunk, &n, &at)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF)
                break;
            m_error = SystemText(error);
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
        DWORD n = 0;
        const DWORD chunk = DWORD(qMin<qint64>(data.size() - done, 1 << 30));
        if (!::WriteFile(HANDLE(m_handle), data.constData() + done, chunk, &n, nullptr) || n == 0) {
            m_error = SystemText(::GetLastError());
            *written = done;
            return false;
        }
        done += n;
    }
    *written = done;
    return true;
}

void RegularFile::Truncate(qint64 size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    ::SetFileInformationByHandle(HANDLE(m_handle), FileEndOfFileInfo, &end, sizeof end);
}
