// Modbus TCP on 127.0.0.1, one request at a time: display line 1 as WriteMultipleRegisters(443,
// 11 values) to unit 1, each sent when the previous one has its answer, between our client and
// server and libmodbus's, in all four pairs. Each result's items_per_second is requests a second.
//
//   bench_modbus_tcp [Google Benchmark options]
//
// A port is picked for each pair from those the system hands out, so that runs side by side do
// not meet.

#include <benchmark/benchmark.h>

#include <memory>

#include "LinePeers.h"
#include "SocketPeer.h"

using namespace QuorvelBench;

namespace {

enum TImplementation { Ours, Libmodbus };

constexpr int RequestsPerIteration = 200;

void BM_ModbusTcp(benchmark::State& State, TImplementation ClientKind, TImplementation ServerKind) {
  const TTcp Tcp{Testing::FreeTcpPort()};
  std::unique_ptr<TServerSide> Server;
  if (ServerKind == Ours)
    Server = std::make_unique<TOurServer>(Tcp);
  else
    Server = std::make_unique<TLibmodbusServer>(Tcp);
  std::unique_ptr<TClientSide> Client;
  if (ClientKind == Ours)
    Client = std::make_unique<TOurClient>(Tcp);
  else
    Client = std::make_unique<TLibmodbusClient>(Tcp);
  if (!FirstAnswer(*Client)) {
    State.SkipWithError("no answer from the server");
    return;
  }
  for (auto _ : State) {
    const double Seconds = Client->OneAtATime(RequestsPerIteration);
    if (Seconds < 0) {
      State.SkipWithError("a request failed");
      break;
    }
    State.SetIterationTime(Seconds);
  }
  State.SetItemsProcessed(State.iterations() * RequestsPerIteration);
}

}  // namespace

BENCHMARK_CAPTURE(BM_ModbusTcp, Quorvel_to_Quorvel, Ours, Ours)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ModbusTcp, Quorvel_to_libmodbus, Ours, Libmodbus)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ModbusTcp, libmodbus_to_Quorvel, Libmodbus, Ours)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ModbusTcp, libmodbus_to_libmodbus, Libmodbus, Libmodbus)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
