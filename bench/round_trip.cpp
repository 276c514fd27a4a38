// The round trip of the utility's one job, display line 1 as WriteMultipleRegisters(443, 11 values)
// to server address 1, over a virtual line paced at the given rate with 10 bits a byte, until the
// client has the answer (our client: its OnMultipleRegistersWrite event; libmodbus: the return of
// modbus_write_registers). One request at a time, with 5 ms of quiet before each.
//
//   bench_round_trip [Google Benchmark options]
//
// Our ends frame RTU by the silence rule (the default) or length-aware ("sized"; with the standard
// inter-frame gap, or with none, as libmodbus keeps none). Each result carries its ratio to the
// wire time, the request's 31 and the reply's 8 bytes on the line (vs_wire), and to the least the
// silence rule allows, the wire time and one silent time of 20 ms (vs_silence_floor).

#include <benchmark/benchmark.h>

#include <memory>

#include "LinePeers.h"
#include "VirtualSerialLine.h"

using namespace QuorvelBench;

namespace {

constexpr double SilentTimeSeconds = 0.020;

enum TImplementation { Ours, Libmodbus };

struct TPair {
  const char* Name;
  TImplementation Client, Server;
  Cardinal Baud;
  TFraming Framing;  // of our ends
};

void BM_RoundTrip(benchmark::State& State, TPair Pair) {
  // The line goes last, after both ends have closed.
  Testing::TVirtualSerialLine Line{Pair.Baud};
  std::unique_ptr<TServerSide> Server;
  std::unique_ptr<TClientSide> Client;
  if (Pair.Server == Ours)
    Server = std::make_unique<TOurServer>(Line.PortB(), Pair.Baud, Pair.Framing);
  else
    Server = std::make_unique<TLibmodbusServer>(Line.PortB(), Pair.Baud);
  if (Pair.Client == Ours)
    Client = std::make_unique<TOurClient>(Line.PortA(), Pair.Baud, Pair.Framing);
  else
    Client = std::make_unique<TLibmodbusClient>(Line.PortA(), Pair.Baud);
  if (!FirstAnswer(*Client)) {
    State.SkipWithError("no answer from the server");
    return;
  }

  double Total = 0;
  for (auto _ : State) {
    MainThread::ProcessMessagesUntil([] { return false; }, 5);
    const double Seconds = Client->OneAtATime(1);
    if (Seconds < 0) {
      State.SkipWithError("a round trip failed");
      break;
    }
    State.SetIterationTime(Seconds);
    Total += Seconds;
  }
  const double Wire = WireSeconds(Pair.Baud);
  State.counters["vs_wire"] = benchmark::Counter(Total / Wire, benchmark::Counter::kAvgIterations);
  State.counters["vs_silence_floor"] =
      benchmark::Counter(Total / (Wire + SilentTimeSeconds), benchmark::Counter::kAvgIterations);
  State.counters["wire_ms"] = Wire * 1000;
}

}  // namespace

int main(int argc, char** argv) {
  const TFraming Silence{};
  const TFraming Sized{true};
  const TFraming SizedNoGap{true, 0};
  const TPair Pairs[] = {
      {"RoundTrip/19200/client:quorvel/server:quorvel", Ours, Ours, 19200, Silence},
      {"RoundTrip/19200/client:libmodbus/server:quorvel", Libmodbus, Ours, 19200, Silence},
      {"RoundTrip/19200/client:quorvel/server:libmodbus", Ours, Libmodbus, 19200, Silence},
      {"RoundTrip/19200/client:libmodbus/server:libmodbus", Libmodbus, Libmodbus, 19200, Silence},
      {"RoundTrip/19200/sized/client:quorvel/server:libmodbus", Ours, Libmodbus, 19200, Sized},
      {"RoundTrip/19200/sized/client:quorvel/server:quorvel", Ours, Ours, 19200, Sized},
      {"RoundTrip/19200/sized-no-gap/client:quorvel/server:quorvel", Ours, Ours, 19200, SizedNoGap},
      {"RoundTrip/19200/sized/client:libmodbus/server:quorvel", Libmodbus, Ours, 19200, Sized},
      {"RoundTrip/115200/sized/client:quorvel/server:libmodbus", Ours, Libmodbus, 115200, Sized},
      {"RoundTrip/115200/sized-no-gap/client:quorvel/server:quorvel", Ours, Ours, 115200, SizedNoGap},
      {"RoundTrip/115200/client:libmodbus/server:libmodbus", Libmodbus, Libmodbus, 115200, Silence},
  };
  for (const auto& P : Pairs)
    benchmark::RegisterBenchmark(P.Name, BM_RoundTrip, P)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
