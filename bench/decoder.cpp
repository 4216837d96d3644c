// Throughput of StreamDecoder::feed() on the two kinds of traffic the controller sends: plain text and dense
// reports, in the 255-byte chunks the socket delivers. Each figure is set against a bare loop that only sums the
// same bytes chunk by chunk, so the ratio says what the state machine costs over touching the bytes at all.
#include "core/link/streamdecoder.h"

#include <QByteArray>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr qsizetype ChunkSize = 255;
constexpr qsizetype StreamSize = 64 * 1024;
constexpr qsizetype ReportSize = 7; // FF FA 2C 34 vv FF F0

QByteArray plainStream() {
    QByteArray s(StreamSize, Qt::Uninitialized);
    for (qsizetype i = 0; i < s.size(); ++i)
        s[i] = char(0x20 + i % 95); // printable, never IAC
    return s;
}

QByteArray reportStream() {
    QByteArray s;
    s.reserve(StreamSize);
    for (int v = 0; s.size() + ReportSize <= StreamSize; ++v)
        s.append(QByteArray::fromHex("FFFA2C34")).append(char(v & 0xFF)).append(QByteArray::fromHex("FFF0"));
    return s;
}

std::vector<QByteArrayView> chunks(const QByteArray& stream) {
    std::vector<QByteArrayView> out;
    for (qsizetype at = 0; at < stream.size(); at += ChunkSize)
        out.push_back(QByteArrayView(stream).sliced(at, std::min(ChunkSize, stream.size() - at)));
    return out;
}

void setRates(benchmark::State& state, const QByteArray& stream, qint64 reportsPerPass) {
    state.SetBytesProcessed(qint64(state.iterations()) * stream.size());
    state.counters["reports_per_second"] =
        benchmark::Counter(double(reportsPerPass) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void runDecoder(benchmark::State& state, const QByteArray& stream) {
    const std::vector<QByteArrayView> parts = chunks(stream);
    StreamDecoder decoder;
    qint64 reports = 0;
    unsigned sum = 0;
    const StreamDecoder::ReportHandler onReport = [&](const StreamDecoder::Report& r) {
        ++reports;
        sum += r.value;
    };
    for (auto _ : state) {
        for (const QByteArrayView chunk : parts) {
            QString text = decoder.feed(chunk, onReport);
            benchmark::DoNotOptimize(text.constData());
        }
    }
    benchmark::DoNotOptimize(sum);
    setRates(state, stream, state.iterations() ? reports / qint64(state.iterations()) : 0);
}

void runFloor(benchmark::State& state, const QByteArray& stream) {
    const std::vector<QByteArrayView> parts = chunks(stream);
    const qint64 reportsPerPass = stream.count(QByteArray::fromHex("FFFA2C34"));
    for (auto _ : state) {
        unsigned sum = 0;
        for (const QByteArrayView chunk : parts) {
            benchmark::DoNotOptimize(chunk.data());
            for (const char c : chunk)
                sum += quint8(c);
        }
        benchmark::DoNotOptimize(sum);
    }
    setRates(state, stream, reportsPerPass);
}

void decoderPlain(benchmark::State& state) {
    runDecoder(state, plainStream());
}
void floorPlain(benchmark::State& state) {
    runFloor(state, plainStream());
}
void decoderReports(benchmark::State& state) {
    runDecoder(state, reportStream());
}
void floorReports(benchmark::State& state) {
    runFloor(state, reportStream());
}

BENCHMARK(decoderPlain);
BENCHMARK(floorPlain);
BENCHMARK(decoderReports);
BENCHMARK(floorReports);

// Keeps the finished counters of every benchmark, by name, for the summary printed after the table. A median
// (when --benchmark_repetitions is given) wins over the single runs.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports) {
            if (run.error_occurred)
                continue;
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median")
                continue;
            auto& slot = m_results[run.run_name.function_name];
            if (aggregate || !slot.median) {
                slot.median = aggregate;
                for (const auto& [name, counter] : run.counters)
                    slot.counters[name] = counter.value;
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }

    const double* counter(const std::string& benchmark, const std::string& name) const {
        const auto found = m_results.find(benchmark);
        if (found == m_results.end())
            return nullptr;
        const auto value = found->second.counters.find(name);
        return value == found->second.counters.end() ? nullptr : &value->second;
    }

private:
    struct Result {
        bool median = false;
        std::map<std::string, double> counters;
    };
    std::map<std::string, Result> m_results;
};

void printFigure(const CollectingReporter& reporter, const char* figure, const char* benchmark, const char* floor,
                 const char* counter, double scale, const char* unit) {
    const double* value = reporter.counter(benchmark, counter);
    const double* floorValue = reporter.counter(floor, counter);
    if (!value || !floorValue || *floorValue <= 0)
        return;
    std::printf("%s: %.0f %s (floor: %.0f %s, ratio %.2f)\n", figure, *value / scale, unit, *floorValue / scale, unit,
                *value / *floorValue);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::fflush(stdout);
    printFigure(reporter, "decoder plain", "decoderPlain", "floorPlain", "bytes_per_second", 1e6, "MB/s");
    printFigure(reporter, "decoder reports", "decoderReports", "floorReports", "reports_per_second", 1.0, "reports/s");
    return 0;
}
