// The gateway's cost: display line 1 as WriteMultipleRegisters(443, 11 values), one at a time, to
// libmodbus's RTU server on a virtual line paced at 115200 bit/s, sent by our client on the line
// itself ("line"), or by our Modbus TCP client on 127.0.0.1 through the gateway, whose client on
// the same line is set up alike ("gateway"). vs_line is the second's time per request over the
// first's, from the same run.
//
//   bench_gateway [Google Benchmark options]

#include <benchmark/benchmark.h>

#include <memory>

#include "Gateway.h"
#include "GatewayOptions.h"
#include "LinePeers.h"
#include "SocketPeer.h"
#include "VirtualSerialLine.h"

using namespace QuorvelBench;

namespace {

constexpr Cardinal Baud = 115200;
constexpr int RequestsPerIteration = 20;
double LineSeconds = 0;  // per request, from the "line" run

void BM_Gateway(benchmark::State& State, bool ThroughTheGateway) {
  // The line goes last, after both ends have closed.
  Testing::TVirtualSerialLine Line{Baud};
  TLibmodbusServer Station(Line.PortB(), Baud);
  TModbusConnection Serial, Tcp;
  std::unique_ptr<Dorvane::TGateway> Gateway;
  std::unique_ptr<TClientSide> Client;
  if (ThroughTheGateway) {
    Dorvane::TGatewayOptions Options;
    Options.Listen = "127.0.0.1:" + std::to_string(Testing::FreeTcpPort());
    Options.SerialPort = Line.PortA();
    Options.BaudRate = Baud;
    Dorvane::ApplyGatewayOptions(Options, Tcp, Serial);
    Gateway = std::make_unique<Dorvane::TGateway>(Tcp, Serial);
    Serial.Open();
    Tcp.Open();
    Client = std::make_unique<TOurClient>(TTcp{static_cast<Word>(std::stoi(Options.Listen.substr(10)))});
  } else {
    Client = std::make_unique<TOurClient>(Line.PortA(), Baud, TFraming{});
  }
  if (!FirstAnswer(*Client)) {
    State.SkipWithError("no answer from the station");
    return;
  }
  double Total = 0;
  for (auto _ : State) {
    MainThread::ProcessMessagesUntil([] { return false; }, 5);
    const double Seconds = Client->OneAtATime(RequestsPerIteration);
    if (Seconds < 0) {
      State.SkipWithError("a request failed");
      break;
    }
    State.SetIterationTime(Seconds);
    Total += Seconds;
  }
  const double PerRequest = Total / static_cast<double>(State.iterations() * RequestsPerIteration);
  State.counters["ms_per_request"] = PerRequest * 1000;
  if (!ThroughTheGateway) LineSeconds = PerRequest;
  if (ThroughTheGateway && LineSeconds > 0) State.counters["vs_line"] = PerRequest / LineSeconds;
  Client.reset();
  Tcp.Close();
  Serial.Close();
}

}  // namespace

BENCHMARK_CAPTURE(BM_Gateway, line, false)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK_CAPTURE(BM_Gateway, gateway, true)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

BENCHMARK_MAIN();
