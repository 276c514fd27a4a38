// The cost of one WriteMultipleRegisters call: argument checks, building the frame in a new
// transaction with its check, and queueing it for the worker. The call never waits for the line.
//
//   bench_client_request [Google Benchmark options]
//   bench_client_request --calls=N      N calls and nothing else, for valgrind --tool=callgrind
//
// The connection is active on a virtual line at 19200 bit/s that nobody answers. Its worker
// takes one transaction at a time and gives it up after a 1 ms receive time-out, so it hardly
// runs while the calls are timed; between batches the connection is closed, which frees what is
// still queued, and opened again, untimed, so that the queue never grows without bound.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include "VirtualSerialLine.h"

using namespace Quorvel;

namespace {

struct TRig {
  Testing::TVirtualSerialLine Line{19200};
  TModbusConnection Connection;
  TModbusClient Client;

  TRig() {
    Connection.SetPort(Line.PortA());
    Connection.SetParity(psNone);
    Connection.SetReceiveTimeout(1);
    Client.SetConnection(&Connection);
    Connection.Open();
  }

  // Closing frees the queued transactions; the finished ones wait as messages, freed here.
  void Drain() {
    Connection.Close();
    MainThread::ProcessMessages();
    Connection.Open();
  }
};

// The values of the display's line 1: the selector 3, then twenty characters two by two.
TRegValues LineValues(std::size_t Count) {
  TRegValues Values(Count, 0x2020);
  Values[0] = 3;
  return Values;
}

void BM_WriteMultipleRegisters(benchmark::State& State) {
  TRig Rig;
  const TRegValues Values = LineValues(static_cast<std::size_t>(State.range(0)));
  constexpr int Batch = 4096;
  int InBatch = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(Rig.Client.WriteMultipleRegisters(443, Values));
    if (++InBatch == Batch) {
      State.PauseTiming();
      Rig.Drain();
      State.ResumeTiming();
      InBatch = 0;
    }
  }
  State.SetItemsProcessed(State.iterations());
}
// 11 registers: the utility's display line; 123: the most one request carries.
BENCHMARK(BM_WriteMultipleRegisters)->Arg(11)->Arg(123);

// Kept out of line so that callgrind reports it by name.
[[gnu::noinline]] void IssueCalls(TModbusClient& Client, const TRegValues& Values, int Calls) {
  for (int I = 0; I < Calls; ++I) benchmark::DoNotOptimize(Client.WriteMultipleRegisters(443, Values));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strncmp(argv[1], "--calls=", 8) == 0) {
    const int Calls = std::atoi(argv[1] + 8);
    TRig Rig;
    IssueCalls(Rig.Client, LineValues(11), Calls);
    std::printf("%d calls issued\n", Calls);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
