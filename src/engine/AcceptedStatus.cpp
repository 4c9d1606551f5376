#include "engine/AcceptedStatus.h"

#include <QStringList>

namespace {

constexpr int LowestStatus = 100;
constexpr int HighestStatus = 599;

// Three digits of a status code, nothing else.
std::optional<int> StatusCode(const QString &text) {
    const QString code = text.trimmed();
    if (code.size() != 3)
        return std::nullopt;
    for (const QChar c : code) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const int value = code.toInt();
    if (value < LowestStatus || value > HighestStatus)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<AcceptedStatus> AcceptedStatus::Parse(const QString &text) {
    AcceptedStatus accepted;
    if (text.trimmed().isEmpty())
        return accepted;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const qsizetype dash = part.indexOf(QLatin1Char('-'));
        const std::optional<int> first = StatusCode(dash < 0 ? part : part.left(dash));
        const std::optional<int> last = dash < 0 ? first : StatusCode(part.mid(dash + 1));
        if (!first || !last || *first > *last)
            return std::nullopt;
        accepted.m_ranges.append(Range{*first, *last});
    }
    return accepted;
}

bool AcceptedStatus::Accepts(int status) const {
    if (m_ranges.isEmpty())
        return true;
    for (const Range &range : m_ranges) {
        if (status >= range.first && status <= range.last)
            return true;
    }
    return false;
}
