// Values for the plot, measured in one process on the same data:
//   text samples: our label:value parsing of sensor lines against a plain strtod loop over
//     the same bytes (the least any parser has to do: find each number and convert it);
//   decimation: the min/max per pixel column of 8 series of 1 million samples each for a
//     1600 px wide plot, against one plain pass over the same samples.
// Best of five rounds after one unmeasured round.

#include "BenchTiming.h"
#include "protocol/Values.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

int main() {
    // 200,000 lines of four readings, as a board printing them would.
    std::string text;
    size_t numbers = 0;
    for (int i = 0; i < 200000; ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "temp:%.2f hum:%.1f pressure:%.2f rpm:%d\r\n",
                      21 + 3 * std::sin(i / 100.0), 45 + 10 * std::sin(i / 230.0),
                      1013.25 + 2 * std::cos(i / 370.0), 1200 + i % 300);
        text += line;
        numbers += 4;
    }
    // Records of 64 bytes, as a read window would cut them.
    const auto ours = [&] {
        TSeriesNames names;
        TTextValueSource source(names);
        std::vector<TValueSample> samples;
        samples.reserve(numbers);
        const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
        for (size_t at = 0; at < text.size(); at += 64) {
            source.Feed(at, at, bytes + at, std::min<size_t>(64, text.size() - at), samples);
        }
        return samples.size();
    };
    const auto plain = [&] {
        size_t count = 0;
        double sum = 0;
        const char* p = text.c_str();
        while ((p = std::strchr(p, ':')) != nullptr) {
            char* end = nullptr;
            sum += std::strtod(p + 1, &end);
            p = end;
            ++count;
        }
        return count + (sum > 0 ? 0 : 1);
    };
    const double oursSeconds = BestSecondsOf(ours);
    const double plainSeconds = BestSecondsOf(plain);
    std::printf("text samples: %.2f million/s; plain strtod loop %.2f million/s; ratio %.2f\n",
                numbers / oursSeconds / 1e6, numbers / plainSeconds / 1e6,
                plainSeconds / oursSeconds);

    constexpr size_t kSeries = 8;
    constexpr size_t kSamples = 1000000;
    std::vector<TSampleSeries> series(kSeries);
    for (size_t s = 0; s < kSeries; ++s) {
        for (size_t i = 0; i < kSamples; ++i) {
            series[s].Append(i, std::sin(static_cast<double>(i) / (1000.0 + 100.0 * s)), i);
        }
    }
    const auto decimate = [&] {
        size_t drawn = 0;
        for (const TSampleSeries& one : series) {
            drawn += one.Decimate(0, kSamples, 1600).size();
        }
        return drawn;
    };
    const auto pass = [&] {
        double sum = 0;
        for (const TSampleSeries& one : series) {
            for (size_t i = 0; i < one.Size(); ++i) {
                sum += one.ValueAt(i);
            }
        }
        return static_cast<size_t>(sum > 0 ? 1 : 2);
    };
    const double decimateSeconds = BestSecondsOf(decimate);
    const double passSeconds = BestSecondsOf(pass);
    size_t memory = 0;
    for (const TSampleSeries& one : series) {
        memory += one.MemoryBytes();
    }
    std::printf("decimation of 8 x 1M samples to 1600 columns: %.2f ms; one plain pass over "
                "them %.2f ms; ratio %.2f; memory %.0f MB\n",
                decimateSeconds * 1e3, passSeconds * 1e3, passSeconds / decimateSeconds,
                memory / 1e6);
    return 0;
}
