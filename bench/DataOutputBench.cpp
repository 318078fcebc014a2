// The cost of one 2048-byte chunk of dataOutput against a virtual printer
// without a throughput limit, next to the 1 ms pause before every transfer
// as this machine actually sleeps it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "app/Application.h"
#include "app/ZelvikController.h"
#include "support/TempDir.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik::bench {
namespace {

double measuredPauseSeconds() {
    constexpr int kRounds = 2000;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i) std::this_thread::sleep_for(std::chrono::microseconds(1000));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() / kRounds;
}

void BM_SleepOneMillisecond(benchmark::State& state) {
    for (auto _ : state) std::this_thread::sleep_for(std::chrono::microseconds(1000));
}
BENCHMARK(BM_SleepOneMillisecond)->Unit(benchmark::kMicrosecond)->Iterations(2000);

void BM_DataOutputPerChunk(benchmark::State& state) {
    constexpr int kChunks = 1024;  // 2 MiB
    test::TempDir dir;
    test::writeFile(dir.file("print.bin"), std::string(kChunks * 2048, 'x'));

    sim::VirtualPrinterConfig printer;
    printer.deviceID = "MFG:Zelvik;MDL:Fast;";
    printer.serialNumber = "F";
    SimulatedUsbAccess usb({printer});
    char program[] = "zelvik-bench";
    char* argv[] = {program, nullptr};
    Application application(1, argv);
    ZelvikController controller(application, usb);

    double seconds = 0;
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        if (controller.dataOutput("usb://Zelvik/Fast?serial=F", dir.file("print.bin"), dir.file("progress.txt")) != 0)
            state.SkipWithError("dataOutput failed");
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    }
    // The file ends on a chunk boundary, so one zero-length write follows
    // its last chunk.
    const double chunk = seconds / (static_cast<double>(state.iterations()) * (kChunks + 1));
    const double pause = measuredPauseSeconds();
    state.counters["chunk_us"] = chunk * 1e6;
    state.counters["pause_us"] = pause * 1e6;
    state.counters["chunk_per_pause"] = chunk / pause;
}
BENCHMARK(BM_DataOutputPerChunk)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace zelvik::bench
