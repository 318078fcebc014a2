// Whole-program figures: start to exit of a command, and the processor
// time a waiting query costs.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "BenchSupport.h"

namespace zelvik::bench {
namespace {

void runCancelRoundTrip(benchmark::State& state, const char* program) {
    test::TempDir dir;
    test::writeFile(dir.file("bus.xml"), "<simulatedBus/>");
    const std::string commandFile = command({{"command", "processCancel"},
                                             {"statusFilePath", dir.file("status.xml")}});
    for (auto _ : state) {
        std::remove(dir.file("status.xml").c_str());
        test::writeFile(dir.file("command.xml"), commandFile);
        ChildUsage usage = runProgram(program, dir.file("command.xml"), dir.file("bus.xml"));
        state.SetIterationTime(usage.wallSeconds);
    }
    if (test::readFile(dir.file("status.xml")).find("<errorCode>0</errorCode>") == std::string::npos)
        state.SkipWithError("no status file");
}

// Start to exit of a processCancel command, as the front end sees it.
void BM_ProcessCancelRoundTrip_sim(benchmark::State& state) { runCancelRoundTrip(state, ZELVIK_SIM_PROGRAM); }
void BM_ProcessCancelRoundTrip_libusb(benchmark::State& state) { runCancelRoundTrip(state, ZELVIK_PROGRAM); }
BENCHMARK(BM_ProcessCancelRoundTrip_sim)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_ProcessCancelRoundTrip_libusb)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

// A query waiting out a 10 s limit on a printer that never answers: the
// share of one core the process uses meanwhile.
void BM_SilentQueryCpuShare(benchmark::State& state) {
    test::TempDir dir;
    test::writeFile(dir.file("bus.xml"),
                    "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:Quiet;</deviceID>"
                    "<serialNumber>Q</serialNumber></device></simulatedBus>");
    test::writeFile(dir.file("query.pjl"), "nothing to answer");
    ChildUsage usage;
    for (auto _ : state) {
        std::remove(dir.file("status.xml").c_str());
        test::writeFile(dir.file("command.xml"),
                        command({{"command", "sendPJLCommand"}, {"statusFilePath", dir.file("status.xml")},
                                 {"deviceURI", "usb://Zelvik/Quiet?serial=Q"},
                                 {"outputFilePath", dir.file("query.pjl")},
                                 {"responseFilePath", dir.file("answer.bin")}, {"timeOut", "10"}}));
        usage = runProgram(ZELVIK_SIM_PROGRAM, dir.file("command.xml"), dir.file("bus.xml"));
        state.SetIterationTime(usage.wallSeconds);
    }
    state.counters["cpu_percent_of_core"] = 100.0 * usage.cpuSeconds / usage.wallSeconds;
}
BENCHMARK(BM_SilentQueryCpuShare)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

// Peak resident memory of dataOutput for a file of 2^arg bytes: it must not
// grow with the file.
void BM_DataOutputPeakRss(benchmark::State& state) {
    test::TempDir dir;
    test::writeFile(dir.file("bus.xml"),
                    "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:Fast;</deviceID>"
                    "<serialNumber>F</serialNumber></device></simulatedBus>");
    {
        std::FILE* f = std::fopen(dir.file("print.bin").c_str(), "wb");
        std::vector<char> block(1 << 20, 'x');
        for (long i = 0; i < (1L << state.range(0)) / (1L << 20); ++i) std::fwrite(block.data(), 1, block.size(), f);
        std::fclose(f);
    }
    ChildUsage usage;
    for (auto _ : state) {
        std::remove(dir.file("status.xml").c_str());
        test::writeFile(dir.file("command.xml"),
                        command({{"command", "dataOutput"}, {"statusFilePath", dir.file("status.xml")},
                                 {"deviceURI", "usb://Zelvik/Fast?serial=F"},
                                 {"outputFilePath", dir.file("print.bin")},
                                 {"responseFilePath", dir.file("progress.txt")}}));
        usage = runProgram(ZELVIK_SIM_PROGRAM, dir.file("command.xml"), dir.file("bus.xml"));
        state.SetIterationTime(usage.wallSeconds);
    }
    if (test::readFile(dir.file("progress.txt")) != "100") state.SkipWithError("transfer incomplete");
    state.counters["peak_rss_kib"] = static_cast<double>(usage.peakRssKiB);
}
BENCHMARK(BM_DataOutputPeakRss)->Arg(20)->Arg(30)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace zelvik::bench
