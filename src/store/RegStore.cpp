#include "store/RegStore.h"

#include <QStringDecoder>

namespace {

const QString RootName = QStringLiteral("HKEY_CURRENT_USER");

// Why a line could not be read; the caller adds the file and the line number.
struct LineError {
    QString reason;
};

bool IsBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

QString TrimBlanks(const QString &s) {
    qsizetype from = 0;
    qsizetype to = s.size();
    while (from < to && IsBlank(s.at(from)))
        ++from;
    while (to > from && IsBlank(s.at(to - 1)))
        --to;
    return s.mid(from, to - from);
}

int HexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// Reads the quoted text that starts at s[pos] (the opening quote); pos ends after the closing
// quote.
QString ReadQuoted(const QString &s, qsizetype &pos) {
    QString out;
    ++pos;
    while (pos < s.size()) {
        const QChar c = s.at(pos++);
        if (c == QLatin1Char('"'))
            return out;
        if (c != QLatin1Char('\\')) {
            out += c;
            continue;
        }
        if (pos >= s.size())
            break;
        const QChar e = s.at(pos++);
        switch (e.unicode()) {
        case '\\':
            out += QLatin1Char('\\');
            break;
        case '"':
            out += QLatin1Char('"');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'x': {
            const int hi = pos < s.size() ? HexDigit(s.at(pos)) : -1;
            const int lo = pos + 1 < s.size() ? HexDigit(s.at(pos + 1)) : -1;
            if (hi < 0 || lo < 0)
                throw LineError{QStringLiteral("\\x must be followed by two hexadecimal digits")};
            out += QChar(char16_t(hi * 16 + lo));
            pos += 2;
            break;
        }
        default:
            throw LineError{QStringLiteral("unknown escape \"\\%1\"").arg(e)};
        }
    }
    throw LineError{QStringLiteral("the closing quote is missing")};
}

RegValue ReadData(const QString &s, qsizetype pos) {
    RegValue value;
    const QString rest = s.mid(pos);
    if (rest.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
        const QString digits = rest.mid(6);
        if (digits.size() != 8)
            throw LineError{QStringLiteral("a dword value needs exactly 8 hexadecimal digits")};
        quint32 n = 0;
        for (QChar c : digits) {
            const int d = HexDigit(c);
            if (d < 0)
                throw LineError{QStringLiteral("a dword value needs exactly 8 hexadecimal digits")};
            n = n * 16 + quint32(d);
        }
        value.kind = RegValue::Dword;
        value.dword = n;
        return value;
    }
    qsizetype p = 0;
    if (rest.startsWith(QLatin1String("expand:\""), Qt::CaseInsensitive)) {
        value.kind = RegValue::ExpandSz;
        p = 7;
    } else if (rest.startsWith(QLatin1Char('"'))) {
        value.kind = RegValue::Sz;
    } else {
        throw LineError{QStringLiteral("unknown kind of value")};
    }
    value.text = ReadQuoted(rest, p);
    if (p != rest.size())
        throw LineError{QStringLiteral("unexpected text after the closing quote")};
    return value;
}

void EscapeInto(QString &out, const QString &text) {
    out.reserve(out.size() + text.size() + 2);
    for (QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\x%1").arg(int(c.unicode()), 2, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
}

QString Quoted(const QString &text) {
    QString out = QStringLiteral("\"");
    EscapeInto(out, text);
    out += QLatin1Char('"');
    return out;
}

} // namespace

QString NormaliseRegKeyPath(const QString &path) {
    QString p = path;
    while (p.startsWith(QLatin1Char('\\')))
        p.remove(0, 1);
    while (p.endsWith(QLatin1Char('\\')))
        p.chop(1);
    if (p.isEmpty())
        return {};
    for (const QString &part : p.split(QLatin1Char('\\')))
        if (part.isEmpty())
            return {};
    for (QChar c : p)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return {};
    return p;
}

std::optional<RegDocument> ParseRegFile(const QByteArray &text, const QString &fileName,
                                        RegParseError *error) {
    RegDocument doc;
    RegKey *current = nullptr;
    bool headerSeen = false;
    QByteArrayView rest(text);
    if (rest.startsWith("\xEF\xBB\xBF"))
        rest = rest.sliced(3);

    int lineNo = 0;
    while (!rest.isEmpty()) {
        ++lineNo;
        const qsizetype nl = rest.indexOf('\n');
        QByteArrayView raw = nl < 0 ? rest : rest.first(nl);
        rest = nl < 0 ? QByteArrayView() : rest.sliced(nl + 1);
        if (raw.endsWith('\r'))
            raw.chop(1);
        try {
            if (raw.contains('\0'))
                throw LineError{QStringLiteral("the line holds a NUL byte")};
            QStringDecoder decoder(QStringDecoder::Utf8);
            const QString decoded = decoder.decode(raw);
            if (decoder.hasError())
                throw LineError{QStringLiteral("the line is not valid UTF-8 text")};
            for (QChar c : decoded)
                if (c.unicode() < 0x20 && c != QLatin1Char('\t'))
                    throw LineError{QStringLiteral("the line holds the control character %1")
                                        .arg(int(c.unicode()))};
            const QString line = TrimBlanks(decoded);
            if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
                continue;
            if (!headerSeen) {
                if (line != QLatin1String("REGEDIT4"))
                    throw LineError{QStringLiteral("the file does not begin with REGEDIT4")};
                headerSeen = true;
                continue;
            }
            if (line.startsWith(QLatin1Char('['))) {
                if (!line.endsWith(QLatin1Char(']')) || line.size() < 2)
                    throw LineError{QStringLiteral("a key line must end with \"]\"")};
                const QString full = line.mid(1, line.size() - 2);
                if (!full.startsWith(RootName + QLatin1Char('\\'), Qt::CaseInsensitive))
                    throw LineError{QStringLiteral("a key must lie under %1").arg(RootName)};
                const QString path = NormaliseRegKeyPath(full.mid(RootName.size() + 1));
                if (path.isEmpty())
                    throw LineError{QStringLiteral("the key path is not valid")};
                RegKey &key = doc.keys[path.toLower()];
                if (key.name.isEmpty())
                    key.name = path;
                current = &key;
                continue;
            }
            if (line.startsWith(QLatin1Char('"'))) {
                if (!current)
                    throw LineError{QStringLiteral("a value comes before any key")};
                qsizetype pos = 0;
                const QString name = ReadQuoted(line, pos);
                if (pos >= line.size() || line.at(pos) != QLatin1Char('='))
                    throw LineError{QStringLiteral("\"=\" must follow the value name")};
                const RegValue value = ReadData(line, pos + 1);
                current->values.insert(name.toLower(), qMakePair(name, value));
                continue;
            }
            throw LineError{QStringLiteral("the line is neither a key nor a value")};
        } catch (const LineError &e) {
            if (error) {
                error->line = lineNo;
                error->message = QStringLiteral("Error in the settings file \"%1\", line %2: %3.")
                                     .arg(fileName)
                                     .arg(lineNo)
                                     .arg(e.reason);
            }
            return std::nullopt;
        }
    }
    return doc;
}

QByteArray SerializeRegFile(const RegDocument &doc) {
    QString out = QStringLiteral("REGEDIT4\n");
    for (auto k = doc.keys.cbegin(); k != doc.keys.cend(); ++k) {
        const QString name = k->name.isEmpty() ? k.key() : k->name;
        out += QStringLiteral("\n[%1\\%2]\n").arg(RootName, name);
        for (const auto &entry : k->values) {
            out += Quoted(entry.first);
            out += QLatin1Char('=');
            const RegValue &v = entry.second;
            switch (v.kind) {
            case RegValue::Dword:
                out += QStringLiteral("dword:%1").arg(v.dword, 8, 16, QLatin1Char('0'));
                break;
            case RegValue::ExpandSz:
                out += QLatin1String("expand:") + Quoted(v.text);
                break;
            case RegValue::Sz:
                out += Quoted(v.text);
                break;
            case RegValue::Other:
                continue; // only the registry holds such values; no line can say one
            }
            out += QLatin1Char('\n');
        }
    }
    return out.toUtf8();
}
