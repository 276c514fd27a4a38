// The requester's styles, side by side with libmodbus in the same run, over the utility's request
// (WriteMultipleRegisters of 11 registers).
//
//   bench_requester [Google Benchmark options]
//
// Cost: an unpaced line (bytes pass at once; the ports set to 921600 bit/s), our client
// length-aware with no gap, a libmodbus RTU server. 1000 blocking calls one after the other from a
// plain thread (not the main thread, which only waits), 1000 futures handed over at once and then
// waited for, and libmodbus's client making its 1000 calls on a plain thread. Counted for the
// client alone (the threads it starts, not the line's relay nor the server): requests a second and
// CPU time per request, from the kernel's task clock (perf events; -1 where they are not allowed).
//
// Poll8: eight coroutines, one per server, each writing the display line to its server in turn on
// a paced line (19200 or 115200 bit/s), resumed on the main thread's queue. The servers are one of
// ours answering addresses 1 to 8, length-aware with no gap (as libmodbus keeps none); our client
// keeps the standard inter-frame gap. vs_wire_gap is the time per transaction over the wire time
// and that gap. Beside it, in the same run, libmodbus's client sends as many requests one after
// the other to a libmodbus server on the same kind of line (vs_wire: over the wire time alone, as
// it keeps no gap).

#include <benchmark/benchmark.h>
#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <coroutine>
#include <cstdint>
#include <future>
#include <memory>
#include <vector>

#include <Quorvel/Requester.h>

#include "LinePeers.h"
#include "VirtualSerialLine.h"

using namespace QuorvelBench;

namespace {

constexpr int CostCount = 1000;

// The CPU time of the calling thread and every thread it starts from now on; a started thread's
// time is added when it has ended.
class TTaskClock {
 public:
  TTaskClock() {
    perf_event_attr Attr{};
    Attr.size = sizeof Attr;
    Attr.type = PERF_TYPE_SOFTWARE;
    Attr.config = PERF_COUNT_SW_TASK_CLOCK;
    Attr.inherit = 1;
    Fd_ = static_cast<int>(::syscall(SYS_perf_event_open, &Attr, 0, -1, -1, 0));
  }
  ~TTaskClock() {
    if (Fd_ >= 0) ::close(Fd_);
  }
  double Seconds() const {
    std::uint64_t Value = 0;
    if (Fd_ < 0 || ::read(Fd_, &Value, sizeof Value) != static_cast<ssize_t>(sizeof Value)) return -1;
    return static_cast<double>(Value) / 1e9;
  }

 private:
  int Fd_ = -1;
};

enum TCostKind { Blocking, FuturesAhead, LibmodbusCalls };

// Our client's side: the connection and a requester of server 1.
struct TOurRequester {
  TModbusConnection Connection;
  std::unique_ptr<TRequester> Server;

  TOurRequester(const std::string& Port, Cardinal Baud, TFraming Framing) {
    Configure(Connection, Port, Baud, Framing);
    Connection.Open();
    Server = std::make_unique<TRequester>(Connection, 1);
  }
  bool Write() { return Server->WriteMultipleRegisters(FirstRegister, Line1).Wait().Succeeded(); }
};

// The time of Count requests, or a negative number when one failed.
double RunOurs(TOurRequester& Ours, TCostKind Kind, int Count) {
  const auto Start = Clock::now();
  bool Ok = true;
  if (Kind == Blocking) {
    std::thread Caller([&] {
      for (int I = 0; I < Count && Ok; ++I) Ok = Ours.Write();
    });
    Caller.join();
  } else {
    std::vector<std::future<TReply<TRegValues>>> Ends;
    Ends.reserve(static_cast<std::size_t>(Count));
    for (int I = 0; I < Count; ++I) Ends.push_back(Ours.Server->WriteMultipleRegisters(FirstRegister, Line1).Future());
    for (auto& End : Ends) Ok = End.get().Succeeded() && Ok;
  }
  return Ok ? std::chrono::duration<double>(Clock::now() - Start).count() : -1;
}

void BM_Cost(benchmark::State& State, TCostKind Kind) {
  constexpr Cardinal Baud = 921600;
  Testing::TVirtualSerialLine Line{0};
  TLibmodbusServer Server(Line.PortB(), Baud);
  double Seconds = 0, Cpu = 0;
  for (auto _ : State) {
    TTaskClock Clock;
    double Time = -1;
    if (Kind == LibmodbusCalls) {
      TLibmodbusClient Client(Line.PortA(), Baud);
      if (FirstAnswer(Client)) Time = Client.OneAtATime(CostCount);
    } else {
      TOurRequester Ours(Line.PortA(), Baud, TFraming{true, 0});
      bool Ready = false;
      for (int Attempt = 0; Attempt < 5 && !Ready; ++Attempt) Ready = Ours.Write();
      if (Ready) Time = RunOurs(Ours, Kind, CostCount);
    }  // the client's threads have ended: their time is in
    if (Time < 0) {
      State.SkipWithError("a request failed");
      return;
    }
    State.SetIterationTime(Time);
    Seconds += Time;
    Cpu += Clock.Seconds();
  }
  const double Requests = static_cast<double>(State.iterations()) * CostCount;
  State.counters["requests_per_s"] = Requests / Seconds;
  State.counters["cpu_us_per_request"] = Cpu < 0 ? -1 : Cpu * 1e6 / Requests;
}

// A coroutine that starts at once and counts itself out at its end.
struct TPoller {
  struct promise_type {
    TPoller get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
};

TPoller Poll(TRequester& Server, int Rounds, int& Running, bool& Failed) {
  for (int Round = 0; Round < Rounds; ++Round) {
    const TReply<TRegValues> Reply = co_await Server.WriteMultipleRegisters(FirstRegister, Line1);
    Failed = Failed || !Reply.Succeeded();
  }
  --Running;
}

void BM_Poll8(benchmark::State& State, Cardinal Baud) {
  constexpr int Servers = 8, Rounds = 5;
  Testing::TVirtualSerialLine Line{Baud};
  TModbusConnection ServerConnection;
  TModbusMemoryServer Memory;
  Memory.HoldingRegisters() = {FirstRegister, TRegValues(Line1.size(), 0)};
  Memory.SetServerAddress(1);
  Memory.SetOtherAddresses({2, 3, 4, 5, 6, 7, 8});
  Memory.SetConnection(&ServerConnection);
  Configure(ServerConnection, Line.PortB(), Baud, TFraming{true, 0});
  ServerConnection.SetConnectionMode(cmServer);
  ServerConnection.Open();

  TModbusConnection Connection;
  Configure(Connection, Line.PortA(), Baud, TFraming{true});
  Connection.Open();
  std::vector<std::unique_ptr<TRequester>> Requesters;
  for (Byte Address = 1; Address <= Servers; ++Address)
    Requesters.push_back(std::make_unique<TRequester>(Connection, Address));
  // The first answer tells that both ends listen. The blocking call on the main thread serves the
  // server's dispatch while it waits.
  bool Ready = false;
  for (int Attempt = 0; Attempt < 5 && !Ready; ++Attempt)
    Ready = Requesters[0]->WriteMultipleRegisters(FirstRegister, Line1).Wait().Succeeded();
  if (!Ready) {
    State.SkipWithError("no answer from the server");
    return;
  }
  double Total = 0;
  for (auto _ : State) {
    MainThread::ProcessMessagesUntil([] { return false; }, 5);
    int Running = Servers;
    bool Failed = false;
    const auto Start = Clock::now();
    for (auto& Server : Requesters) Poll(*Server, Rounds, Running, Failed);
    MainThread::ProcessMessagesUntil([&] { return Running == 0; }, 30000);
    const double PerTransaction = std::chrono::duration<double>(Clock::now() - Start).count() / (Servers * Rounds);
    if (Failed || Running != 0) {
      State.SkipWithError("a request failed");
      break;
    }
    State.SetIterationTime(PerTransaction);
    Total += PerTransaction;
  }
  const double Gap = Baud > 19200 ? 1750e-6 : 3.5 * 10 / Baud;
  State.counters["vs_wire_gap"] = benchmark::Counter(Total / (WireSeconds(Baud) + Gap), benchmark::Counter::kAvgIterations);
}

void BM_LibmodbusBackToBack(benchmark::State& State, Cardinal Baud) {
  constexpr int Count = 40;
  Testing::TVirtualSerialLine Line{Baud};
  TLibmodbusServer Server(Line.PortB(), Baud);
  TLibmodbusClient Client(Line.PortA(), Baud);
  if (!FirstAnswer(Client)) {
    State.SkipWithError("no answer from the server");
    return;
  }
  double Total = 0;
  for (auto _ : State) {
    MainThread::ProcessMessagesUntil([] { return false; }, 5);
    const double Seconds = Client.OneAtATime(Count);
    if (Seconds < 0) {
      State.SkipWithError("a request failed");
      break;
    }
    State.SetIterationTime(Seconds / Count);
    Total += Seconds / Count;
  }
  State.counters["vs_wire"] = benchmark::Counter(Total / WireSeconds(Baud), benchmark::Counter::kAvgIterations);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("Cost/quorvel/blocking-from-a-thread", BM_Cost, Blocking)->UseManualTime()->Iterations(1);
  benchmark::RegisterBenchmark("Cost/quorvel/futures-queued-ahead", BM_Cost, FuturesAhead)->UseManualTime()->Iterations(1);
  benchmark::RegisterBenchmark("Cost/libmodbus/calls-from-a-thread", BM_Cost, LibmodbusCalls)->UseManualTime()->Iterations(1);
  for (const Cardinal Baud : {19200u, 115200u}) {
    benchmark::RegisterBenchmark(("Poll8/" + std::to_string(Baud) + "/coroutines").c_str(), BM_Poll8, Baud)
        ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
    benchmark::RegisterBenchmark(("Poll8/" + std::to_string(Baud) + "/libmodbus-back-to-back").c_str(),
                                 BM_LibmodbusBackToBack, Baud)
        ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
