// Modbus TCP on 127.0.0.1, one request at a time: display line 1 as WriteMultipleRegisters(443,
// 11 values) to unit 1, each sent when the previous one has its answer, between our client and
// server and libmodbus's, in all four pairs, and ours again each carrying the exchange on one
// thread (the client's calling thread, the server's worker). Each result's items_per_second is
// requests a second.
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

// OursOneThread: our client with ExchangeOnCaller, our server with ServeOnWorker.
enum TImplementation { Ours, OursOneThread, Libmodbus };

constexpr int RequestsPerIteration = 200;

void BM_ModbusTcp(benchmark::State& State, TImplementation ClientKind, TImplementation ServerKind) {
  const TTcp Tcp{Testing::FreeTcpPort()};
  std::unique_ptr<TServerSide> Server;
  if (ServerKind == Libmodbus)
    Server = std::make_unique<TLibmodbusServer>(Tcp);
  else
    Server = std::make_unique<TOurServer>(Tcp, ServerKind == OursOneThread);
  std::unique_ptr<TClientSide> Client;
  if (ClientKind == Libmodbus)
    Client = std::make_unique<TLibmodbusClient>(Tcp);
  else
    Client = std::make_unique<TOurClient>(Tcp, ClientKind == OursOneThread);
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
BENCHMARK_CAPTURE(BM_ModbusTcp, Quorvel_one_thread_to_Quorvel_one_thread, OursOneThread, OursOneThread)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ModbusTcp, Quorvel_one_thread_to_libmodbus, OursOneThread, Libmodbus)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ModbusTcp, libmodbus_to_Quorvel_one_thread, Libmodbus, OursOneThread)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ModbusTcp, libmodbus_to_libmodbus, Libmodbus, Libmodbus)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
