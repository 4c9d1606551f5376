#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <limits>

// What one hour of an address's pings is folded into once its single pings are no longer kept:
// the count of each outcome, and of the completed pings' times the least, the greatest, the sum
// and a histogram. The histogram's buckets are fixed, so hours add up to days and months
// without the single times.

// Time buckets of roughly an eighth of their value: [0, 16 us), then four buckets a doubling
// from 16 us on, the last open to the top. Times in whole microseconds.
class HistoryHistogram {
public:
    static constexpr int Buckets = 129;
    static int BucketOf(qint64 us);
    static qint64 LowerUs(int bucket);
    // The first time past the bucket; the largest qint64 for the last one.
    static qint64 UpperUs(int bucket);

    void Add(qint64 us, qint64 count = 1);
    void Merge(const HistoryHistogram &other);
    qint64 Total() const;
    bool IsEmpty() const { return Total() == 0; }
    qint64 Count(int bucket) const { return m_counts.at(size_t(bucket)); }
    // The bucket holding the nearest-rank percentile (the smallest time with at least percent %
    // of the times at or below it); -1 when empty.
    int PercentileBucket(double percent) const;

    // Pairs of a bucket byte and its count as a base-128 varint, buckets ascending, empty ones
    // left out: a few bytes for an hour of steady times. A blob that does not decode is empty.
    QByteArray Encode() const;
    static HistoryHistogram Decode(const QByteArray &bytes);

private:
    std::array<qint64, Buckets> m_counts{};
};

// The outcome codes rows are stored with.
enum class HistoryOutcome { Completed = 0, Failed = 1, Cancelled = 2, NotChecked = 3 };
constexpr int HistoryOutcomeCodes = 4;

// One hour of an address, or the sum of several.
struct HistoryTally {
    std::array<qint64, HistoryOutcomeCodes> outcomes{}; // by HistoryOutcome
    qint64 timed = 0;                                   // completed pings with a measured time
    qint64 minUs = std::numeric_limits<qint64>::max();
    qint64 maxUs = std::numeric_limits<qint64>::min();
    qint64 sumUs = 0;
    HistoryHistogram histogram;

    // us < 0: not measured.
    void Add(int outcomeCode, qint64 us);
    void Merge(const HistoryTally &other);
    qint64 Pings() const;
    qint64 Completed() const { return outcomes[0]; }
    qint64 Failed() const { return outcomes[1]; }
    // In milliseconds; NaN without a measured time.
    double MinMs() const;
    double MaxMs() const;
    double AverageMs() const;
    // Within the bucket of the nearest-rank percentile: its middle, kept within [min, max] (so
    // always in the bucket that holds the true value). NaN without a measured time.
    double PercentileMs(double percent) const;
};

// Hours since the epoch, rounded down (a time before 1970 is in a negative hour).
constexpr qint64 HistoryHourMs = 3600LL * 1000;
inline qint64 HistoryHourOf(qint64 ms) {
    return ms / HistoryHourMs - (ms % HistoryHourMs < 0 ? 1 : 0);
}
