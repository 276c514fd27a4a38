// The engine's own speed, our client side by side with libmodbus's in the same run, over the
// utility's request (WriteMultipleRegisters of 11 registers to a libmodbus RTU server).
//
//   bench_engine [Google Benchmark options]
//
// BackToBack: a paced line (19200 or 115200 bit/s); our client, length-aware with the standard
// inter-frame gap, has 20 requests queued at once. A transaction can take no less than the wire
// time and the gap before the next request: vs_wire_gap is the time per transaction over that.
// libmodbus's client sends its 20 one after the other with no gap, so it is held to the wire time.
//
// Cost: an unpaced line (bytes pass at once; the ports set to 921600 bit/s), our client
// length-aware with no gap. 1000 requests queued ahead, 1000 one at a time, and libmodbus's
// client 1000 one at a time. Counted for the client alone (its calling thread and the threads it
// starts, not the line's relay nor the server): requests a second, CPU time and system calls per
// request, read from the kernel's counters (perf events: the task clock and the raw_syscalls
// tracepoint). Where perf events are not allowed, those two counters read -1.

#include <benchmark/benchmark.h>
#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>

#include "LinePeers.h"
#include "VirtualSerialLine.h"

using namespace QuorvelBench;

namespace {

constexpr int BackToBackCount = 20;
constexpr int CostCount = 1000;

// Counts for the calling thread and every thread it starts from now on; a started thread's counts
// are added when it has ended.
class TClientCosts {
 public:
  TClientCosts() {
    std::ifstream Id("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id");
    std::uint64_t Tracepoint = 0;
    if (Id >> Tracepoint) Syscalls_ = Open(PERF_TYPE_TRACEPOINT, Tracepoint);
    Cpu_ = Open(PERF_TYPE_SOFTWARE, PERF_COUNT_SW_TASK_CLOCK);
  }
  ~TClientCosts() {
    if (Syscalls_ >= 0) ::close(Syscalls_);
    if (Cpu_ >= 0) ::close(Cpu_);
  }
  double Syscalls() const { return Read(Syscalls_); }
  double CpuSeconds() const { return Read(Cpu_) / 1e9; }

 private:
  static int Open(std::uint32_t Type, std::uint64_t Config) {
    perf_event_attr Attr{};
    Attr.size = sizeof Attr;
    Attr.type = Type;
    Attr.config = Config;
    Attr.inherit = 1;
    return static_cast<int>(::syscall(SYS_perf_event_open, &Attr, 0, -1, -1, 0));
  }
  static double Read(int Fd) {
    std::uint64_t Value = 0;
    if (Fd < 0 || ::read(Fd, &Value, sizeof Value) != static_cast<ssize_t>(sizeof Value)) return -1;
    return static_cast<double>(Value);
  }
  int Syscalls_ = -1;
  int Cpu_ = -1;
};

enum TClientKind { OursQueued, OursOneAtATime, Libmodbus };

std::unique_ptr<TClientSide> MakeClient(TClientKind Kind, const std::string& Port, Cardinal Baud, TFraming Framing) {
  if (Kind == Libmodbus) return std::make_unique<TLibmodbusClient>(Port, Baud);
  return std::make_unique<TOurClient>(Port, Baud, Framing);
}

void BM_BackToBack(benchmark::State& State, TClientKind Kind, Cardinal Baud) {
  Testing::TVirtualSerialLine Line{Baud};
  TLibmodbusServer Server(Line.PortB(), Baud);
  auto Client = MakeClient(Kind, Line.PortA(), Baud, TFraming{true});
  if (!FirstAnswer(*Client)) {
    State.SkipWithError("no answer from the server");
    return;
  }
  double Total = 0;
  for (auto _ : State) {
    MainThread::ProcessMessagesUntil([] { return false; }, 5);
    const double Seconds = Client->QueuedAhead(BackToBackCount);
    if (Seconds < 0) {
      State.SkipWithError("a request failed");
      break;
    }
    State.SetIterationTime(Seconds / BackToBackCount);
    Total += Seconds / BackToBackCount;
  }
  // The gap our client keeps before each request; libmodbus keeps none.
  const double Gap = Kind == Libmodbus ? 0 : (Baud > 19200 ? 1750e-6 : 3.5 * 10 / Baud);
  State.counters["vs_wire_gap"] = benchmark::Counter(Total / (WireSeconds(Baud) + Gap), benchmark::Counter::kAvgIterations);
}

void BM_Cost(benchmark::State& State, TClientKind Kind) {
  constexpr Cardinal Baud = 921600;
  Testing::TVirtualSerialLine Line{0};
  TLibmodbusServer Server(Line.PortB(), Baud);
  double Seconds = 0, Syscalls = 0, Cpu = 0;
  for (auto _ : State) {
    TClientCosts Costs;
    {
      auto Client = MakeClient(Kind, Line.PortA(), Baud, TFraming{true, 0});
      if (!FirstAnswer(*Client)) {
        State.SkipWithError("no answer from the server");
        return;
      }
      const double Time = Kind == OursQueued ? Client->QueuedAhead(CostCount) : Client->OneAtATime(CostCount);
      if (Time < 0) {
        State.SkipWithError("a request failed");
        return;
      }
      State.SetIterationTime(Time);
      Seconds += Time;
    }  // the client's threads have ended: their counts are in
    Syscalls += Costs.Syscalls();
    Cpu += Costs.CpuSeconds();
  }
  const double Requests = static_cast<double>(State.iterations()) * CostCount;
  State.counters["requests_per_s"] = Requests / Seconds;
  State.counters["cpu_us_per_request"] = Cpu < 0 ? -1 : Cpu * 1e6 / Requests;
  State.counters["syscalls_per_request"] = Syscalls < 0 ? -1 : Syscalls / Requests;
}

}  // namespace

int main(int argc, char** argv) {
  for (const Cardinal Baud : {19200u, 115200u}) {
    const std::string Rate = std::to_string(Baud);
    benchmark::RegisterBenchmark(("BackToBack/" + Rate + "/quorvel").c_str(), BM_BackToBack, OursQueued, Baud)
        ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
    benchmark::RegisterBenchmark(("BackToBack/" + Rate + "/libmodbus").c_str(), BM_BackToBack, Libmodbus, Baud)
        ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
  }
  benchmark::RegisterBenchmark("Cost/quorvel/queued-ahead", BM_Cost, OursQueued)->UseManualTime()->Iterations(1);
  benchmark::RegisterBenchmark("Cost/quorvel/one-at-a-time", BM_Cost, OursOneAtATime)->UseManualTime()->Iterations(1);
  benchmark::RegisterBenchmark("Cost/libmodbus/one-at-a-time", BM_Cost, Libmodbus)->UseManualTime()->Iterations(1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
