// The line scan on a line without a device: every address at one setting, 19200 bit/s, 8N1, RTU,
// over a virtual line paced at 19200 bit/s and 11 bits a character (8N1 counts 10; 11 is what the
// time-outs assume). Nothing answers, so each probe costs its whole time-out: this is the longest
// a scan at one setting takes. Burst mode (length-aware framing, one attempt, the 54 ms time-out)
// and, for the 8 addresses the normal mode's 1 s time-outs make bearable, the normal mode.
//
//   bench_scan --benchmark_repetitions=3

#include <benchmark/benchmark.h>

#include <chrono>
#include <optional>

#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include <Quorvel/Scanner.h>
#include "VirtualSerialLine.h"

using namespace Quorvel;

namespace {

void RunScan(benchmark::State& State, bool Burst, Byte Addresses) {
  Testing::TVirtualSerialLine Line(19200, 11);
  TModbusScanner Scanner;
  Scanner.Connection().SetPort(Line.PortA());
  TScanPlan Plan;
  Plan.Burst = Burst;
  Plan.Addresses.resize(Addresses);
  for (Byte I = 0; I < Addresses; ++I) Plan.Addresses[I] = static_cast<Byte>(I + 1);
  Scanner.SetPlan(Plan);
  std::optional<TScanOutcome> Outcome;
  Scanner.SetOnFinished([&Outcome](TModbusScanner&, TScanOutcome How) { Outcome = How; });
  double Seconds = 0;
  for (auto _ : State) {
    Outcome.reset();
    const auto Start = std::chrono::steady_clock::now();
    Scanner.Start();
    MainThread::ProcessMessagesUntil([&Outcome] { return Outcome.has_value(); }, 600000);
    Seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    if (Outcome != soCompleted || !Scanner.Devices().empty()) State.SkipWithError("the scan did not complete empty");
  }
  State.counters["timeout_ms"] = Burst ? TModbusScanner::BurstTimeout(19200, tmRTU) : 1000;
  State.counters["ms_per_address"] = 1000.0 * Seconds / (static_cast<double>(Addresses) * static_cast<double>(State.iterations()));
}

void BM_BurstScan247(benchmark::State& State) { RunScan(State, true, 247); }
void BM_NormalScan8(benchmark::State& State) { RunScan(State, false, 8); }

}  // namespace

BENCHMARK(BM_BurstScan247)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_NormalScan8)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
