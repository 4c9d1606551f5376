#include "engine/Metrics.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

bool StartsLine(QByteArrayView head) {
    return !head.isEmpty() && head.front() != '\r' && head.front() != '\n';
}

} // namespace

// The metrics endpoint's request head: however its bytes are cut into reads, the reader
// finds the same head; a head is never longer than the limit and ends with its blank line;
// only GET or HEAD of /metrics is ever served.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte chooses the reads' length; the rest is what the client sends.
    const qsizetype step = 1 + data[0] % 64;
    const QByteArrayView bytes(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);

    MetricsRequestReader whole;
    const MetricsRequestReader::State state = whole.Append(bytes);
    MetricsRequestReader pieces;
    for (qsizetype at = 0; at < bytes.size(); at += step)
        pieces.Append(bytes.sliced(at, std::min(step, bytes.size() - at)));
    if (pieces.CurrentState() != state || pieces.Head() != whole.Head())
        __builtin_trap();

    const QByteArray &head = whole.Head();
    switch (state) {
    case MetricsRequestReader::State::Complete:
        if (head.size() > MetricsRequestReader::MaxHeadBytes || !StartsLine(head) ||
            !(head.endsWith("\n\n") || head.endsWith("\n\r\n")))
            __builtin_trap();
        break;
    case MetricsRequestReader::State::TooLarge:
        if (bytes.size() <= MetricsRequestReader::MaxHeadBytes)
            __builtin_trap();
        break;
    case MetricsRequestReader::State::Reading:
        if (head.size() > MetricsRequestReader::MaxHeadBytes)
            __builtin_trap();
        break;
    }

    // Any bytes at all parse; what is served is one of four exact request lines' beginnings.
    for (const QByteArrayView text : {QByteArrayView(head), bytes}) {
        const MetricsRequest request = ParseMetricsRequest(text);
        if (request.kind == MetricsRequest::Kind::Metrics &&
            !(text.startsWith("GET /metrics") || text.startsWith("HEAD /metrics")))
            __builtin_trap();
        if (request.kind == MetricsRequest::Kind::Probe &&
            !(text.startsWith("GET /probe") || text.startsWith("HEAD /probe")))
            __builtin_trap();
        // A target and a time-out come only with a probe, and the time-out is a duration.
        if (request.kind != MetricsRequest::Kind::Probe && !request.target.isEmpty())
            __builtin_trap();
        if (request.scrapeTimeoutSeconds < 0 || !std::isfinite(request.scrapeTimeoutSeconds))
            __builtin_trap();
        if (request.headOnly && !text.startsWith("HEAD "))
            __builtin_trap();
    }
    return 0;
}
