#pragma once

#include <QList>
#include <QString>
#include <optional>

// The "Accepted HTTP status" setting: the status codes that complete a ping, as codes and
// ranges ("200-399", "200,204,301-308"). Empty accepts every answer.
class AcceptedStatus {
public:
    // Codes from 100 to 599, a range's first not above its last, separated by commas; blanks
    // around the parts are allowed. Nothing for any other text.
    static std::optional<AcceptedStatus> Parse(const QString &text);

    bool AcceptsAll() const { return m_ranges.isEmpty(); }
    bool Accepts(int status) const;

private:
    struct Range {
        int first;
        int last;
    };
    QList<Range> m_ranges;
};
