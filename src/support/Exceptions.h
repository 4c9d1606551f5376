#pragma once

#include <QString>
#include <exception>

// Base of the program's own exceptions: every failure carries a message text for the user.
class Exception : public std::exception {
public:
    explicit Exception(QString message)
        : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}
    const QString &Message() const { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// A failure of the mail library (SMTP exchange).
class EIdException : public Exception {
public:
    using Exception::Exception;
};

// A file could not be read, written or created.
class EFileError : public Exception {
public:
    using Exception::Exception;
};

// The per-user store could not be read or written.
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

// Message of any exception: ours, a standard one, or an unknown one.
inline QString ExceptionMessage(const std::exception_ptr &error) {
    try {
        std::rethrow_exception(error);
    } catch (const Exception &e) {
        return e.Message();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}
