// Log.write on the caller's thread under a burst: the writer thread takes the file work, so a caller pays
// for a timestamp, a copy and a queue push. The reference is what each call would cost doing its own
// append (open, write, close) as the caller.
#include "app/services/LogWriter.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBurst = 1000;
const std::string kMessage = "video: frame 123456 decoded in 2.1 ms, 48 packets, 0 recovered, queue 3";

class TempFile {
public:
    TempFile() {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data()) ? pattern : "/tmp";
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::filesystem::path file() const { return dir_ / "Corvane.log"; }

private:
    std::filesystem::path dir_;
};

void report(benchmark::State& state, std::vector<double>& nanoseconds) {
    std::sort(nanoseconds.begin(), nanoseconds.end());
    const auto at = [&](double q) { return nanoseconds[static_cast<std::size_t>(q * (nanoseconds.size() - 1))]; };
    state.counters["p50_ns"] = at(0.50);
    state.counters["p99_ns"] = at(0.99);
    state.counters["max_ns"] = nanoseconds.back();
    state.SetItemsProcessed(static_cast<std::int64_t>(nanoseconds.size()));
}

void BM_LogWrite(benchmark::State& state) {
    TempFile temp;
    corvane::LogWriter log(temp.file());
    std::vector<double> latencies;
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) {
            const auto start = std::chrono::steady_clock::now();
            log.write(kMessage);
            latencies.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
        }
        state.PauseTiming();
        log.flush();  // each burst starts with an empty queue
        state.ResumeTiming();
    }
    state.counters["dropped"] = static_cast<double>(log.droppedLines());
    report(state, latencies);
}
BENCHMARK(BM_LogWrite)->Unit(benchmark::kMicrosecond);

// The reference: each call appends by itself, as a caller doing the file work would.
void BM_SynchronousAppendReference(benchmark::State& state) {
    TempFile temp;
    std::vector<double> latencies;
    const std::string line = corvane::LogWriter::timestamp(std::chrono::system_clock::now()) + " " + kMessage + "\n";
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const int fd = ::open(temp.file().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd >= 0) {
                benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
                ::close(fd);
            }
            latencies.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
        }
    }
    report(state, latencies);
}
BENCHMARK(BM_SynchronousAppendReference)->Unit(benchmark::kMicrosecond);

} // namespace
