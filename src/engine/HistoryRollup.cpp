#include "engine/HistoryRollup.h"

#include <QtNumeric>

#include <bit>
#include <cmath>

namespace {

constexpr int FirstExponent = 4; // 16 us
constexpr int LastExponent = 35; // about 9.5 hours; anything longer is in the last bucket

} // namespace

int HistoryHistogram::BucketOf(qint64 us) {
    if (us < (qint64(1) << FirstExponent))
        return 0;
    const int exponent = int(std::bit_width(quint64(us))) - 1;
    if (exponent > LastExponent)
        return Buckets - 1;
    const int fraction = int((us >> (exponent - 2)) & 3);
    return 1 + (exponent - FirstExponent) * 4 + fraction;
}

qint64 HistoryHistogram::LowerUs(int bucket) {
    if (bucket <= 0)
        return 0;
    const int exponent = (bucket - 1) / 4 + FirstExponent;
    const int fraction = (bucket - 1) % 4;
    return qint64(4 + fraction) << (exponent - 2);
}

qint64 HistoryHistogram::UpperUs(int bucket) {
    return bucket >= Buckets - 1 ? std::numeric_limits<qint64>::max() : LowerUs(bucket + 1);
}

void HistoryHistogram::Add(qint64 us, qint64 count) { m_counts[size_t(BucketOf(us))] += count; }

void HistoryHistogram::Merge(const HistoryHistogram &other) {
    for (size_t i = 0; i < m_counts.size(); ++i)
        m_counts[i] += other.m_counts[i];
}

qint64 HistoryHistogram::Total() const {
    qint64 total = 0;
    for (qint64 c : m_counts)
        total += c;
    return total;
}

int HistoryHistogram::PercentileBucket(double percent) const {
    const qint64 total = Total();
    if (total == 0)
        return -1;
    const qint64 rank =
        qBound<qint64>(1, qint64(std::ceil(percent / 100.0 * double(total))), total);
    qint64 seen = 0;
    for (int i = 0; i < Buckets; ++i) {
        seen += m_counts[size_t(i)];
        if (seen >= rank)
            return i;
    }
    return Buckets - 1;
}

QByteArray HistoryHistogram::Encode() const {
    QByteArray bytes;
    for (int i = 0; i < Buckets; ++i) {
        quint64 count = quint64(m_counts[size_t(i)]);
        if (count == 0)
            continue;
        bytes.append(char(i));
        do {
            const auto low = char(count & 0x7f);
            count >>= 7;
            bytes.append(count ? char(low | 0x80) : low);
        } while (count);
    }
    return bytes;
}

HistoryHistogram HistoryHistogram::Decode(const QByteArray &bytes) {
    HistoryHistogram h;
    qsizetype at = 0;
    while (at < bytes.size()) {
        const int bucket = quint8(bytes.at(at++));
        quint64 count = 0;
        int shift = 0;
        bool ended = false;
        while (at < bytes.size() && shift < 63) {
            const auto byte = quint8(bytes.at(at++));
            count |= quint64(byte & 0x7f) << shift;
            shift += 7;
            if (!(byte & 0x80)) {
                ended = true;
                break;
            }
        }
        if (bucket >= Buckets || !ended || count > quint64(std::numeric_limits<qint64>::max()))
            return HistoryHistogram();
        h.m_counts[size_t(bucket)] += qint64(count);
    }
    return h;
}

void HistoryTally::Add(int outcomeCode, qint64 us) {
    ++outcomes[size_t(qBound(0, outcomeCode, HistoryOutcomeCodes - 1))];
    if (outcomeCode != int(HistoryOutcome::Completed) || us < 0)
        return;
    ++timed;
    minUs = qMin(minUs, us);
    maxUs = qMax(maxUs, us);
    sumUs += us;
    histogram.Add(us);
}

void HistoryTally::Merge(const HistoryTally &other) {
    for (size_t i = 0; i < outcomes.size(); ++i)
        outcomes[i] += other.outcomes[i];
    timed += other.timed;
    minUs = qMin(minUs, other.minUs);
    maxUs = qMax(maxUs, other.maxUs);
    sumUs += other.sumUs;
    histogram.Merge(other.histogram);
}

qint64 HistoryTally::Pings() const {
    qint64 all = 0;
    for (qint64 c : outcomes)
        all += c;
    return all;
}

double HistoryTally::MinMs() const { return timed ? double(minUs) / 1000.0 : qQNaN(); }

double HistoryTally::MaxMs() const { return timed ? double(maxUs) / 1000.0 : qQNaN(); }

double HistoryTally::AverageMs() const {
    return timed ? double(sumUs) / double(timed) / 1000.0 : qQNaN();
}

double HistoryTally::PercentileMs(double percent) const {
    const int bucket = histogram.PercentileBucket(percent);
    if (!timed || bucket < 0)
        return qQNaN();
    const qint64 lower = HistoryHistogram::LowerUs(bucket);
    const qint64 upper = HistoryHistogram::UpperUs(bucket);
    const qint64 middle = upper == std::numeric_limits<qint64>::max() ? lower : (lower + upper) / 2;
    return double(qBound(minUs, middle, maxUs)) / 1000.0;
}
