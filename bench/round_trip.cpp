// The round trip of the utility's one job: display line 1 sent as WriteMultipleRegisters(443,
// 11 values) to server address 1 over a virtual line paced at 19200 bit/s, 10 bits per byte,
// until the client has the answer (our client: its OnMultipleRegistersWrite event; libmodbus:
// the return of modbus_write_registers).
//
//   bench_round_trip [Google Benchmark options]
//
// Clients: ours and libmodbus's RTU client. Servers: our TModbusMemoryServer on a connection in
// server mode (the main one), and a libmodbus RTU server, for comparison. Everything runs in this
// one process; the main thread pumps messages while a round trip is under way, since both our
// client's events and our server's requests are handled there.
//
// The floor is the least the protocol allows: the request's 31 bytes and the reply's 8 bytes on
// the wire, and the 20 ms of silence that ends an RTU reply frame at this rate:
// 39 x 10 / 19200 s + 20 ms = 40.3 ms. Each result carries its ratio to it (vs_floor).

#include <benchmark/benchmark.h>
#include <modbus/modbus.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "Client.h"
#include "Connection.h"
#include "MemoryServer.h"
#include "Messages.h"
#include "VirtualSerialLine.h"

using namespace Quorvel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr Cardinal Baud = 19200;
constexpr int RequestBytes = 31;
constexpr int ReplyBytes = 8;
constexpr double SilentTimeSeconds = 0.020;
constexpr double FloorSeconds = (RequestBytes + ReplyBytes) * 10.0 / Baud + SilentTimeSeconds;
constexpr Word FirstRegister = 443;

const TRegValues Line1 = {3, 0x5175, 0x6F72, 0x7665, 0x6C20, 0x2020, 0x2020, 0x2020, 0x2020, 0x2020, 0x2020};

// ---- Servers ----

class TServerSide {
 public:
  virtual ~TServerSide() = default;
};

class TOurServer : public TServerSide {
 public:
  explicit TOurServer(const std::string& Port) {
    Server.HoldingRegisters() = {FirstRegister, TRegValues(Line1.size(), 0)};
    Server.SetServerAddress(1);
    Server.SetConnection(&Connection);
    Connection.SetPort(Port);
    Connection.SetParity(psNone);
    Connection.SetConnectionMode(cmServer);
    Connection.Open();
  }

 private:
  TModbusConnection Connection;
  TModbusMemoryServer Server;
};

class TLibmodbusServer : public TServerSide {
 public:
  explicit TLibmodbusServer(const std::string& Port) {
    Context = modbus_new_rtu(Port.c_str(), static_cast<int>(Baud), 'N', 8, 1);
    Mapping = modbus_mapping_new(0, 0, 1000, 0);
    if (Context == nullptr || Mapping == nullptr) throw std::runtime_error("libmodbus server");
    modbus_set_slave(Context, 1);
    // The receive loop looks at the stop flag this often.
    modbus_set_indication_timeout(Context, 0, 50000);
    if (modbus_connect(Context) != 0) throw std::runtime_error("libmodbus server: cannot open " + Port);
    Thread = std::thread([this] {
      std::uint8_t Query[MODBUS_RTU_MAX_ADU_LENGTH];
      while (!Stopping) {
        const int Length = modbus_receive(Context, Query);
        if (Length > 0) modbus_reply(Context, Query, Length, Mapping);
      }
    });
  }
  ~TLibmodbusServer() override {
    Stopping = true;
    Thread.join();
    modbus_close(Context);
    modbus_free(Context);
    modbus_mapping_free(Mapping);
  }

 private:
  modbus_t* Context = nullptr;
  modbus_mapping_t* Mapping = nullptr;
  std::atomic<bool> Stopping{false};
  std::thread Thread;
};

// ---- Clients ----

class TClientSide {
 public:
  virtual ~TClientSide() = default;
  // One round trip; its time in seconds, or a negative number when it failed.
  virtual double RoundTrip() = 0;
};

class TOurClient : public TClientSide {
 public:
  explicit TOurClient(const std::string& Port) {
    Connection.SetPort(Port);
    Connection.SetParity(psNone);
    Client.SetConnection(&Connection);
    Client.SetOnMultipleRegistersWrite([this](TModbusClient&, const TTransactionInfo& Info, Word, Word,
                                              const TRegValues&) {
      Answered = Clock::now();
      Status = Info.ReplyStatus;
      Done = true;
    });
    Connection.Open();
  }

  double RoundTrip() override {
    Done = false;
    const auto Start = Clock::now();
    Client.WriteMultipleRegisters(FirstRegister, Line1);
    if (!MainThread::ProcessMessagesUntil([this] { return Done; }, 5000) || Status != rsSuccess) return -1;
    return std::chrono::duration<double>(Answered - Start).count();
  }

 private:
  TModbusConnection Connection;
  TModbusClient Client;
  bool Done = false;
  TReplyStatus Status = rsNoReply;
  Clock::time_point Answered;
};

// libmodbus blocks in its calls, and our server needs the main thread meanwhile: the client runs
// on a thread of its own, times its call there, and wakes the main thread when it is done.
class TLibmodbusClient : public TClientSide {
 public:
  explicit TLibmodbusClient(const std::string& Port) {
    Context = modbus_new_rtu(Port.c_str(), static_cast<int>(Baud), 'N', 8, 1);
    if (Context == nullptr) throw std::runtime_error("libmodbus client");
    modbus_set_slave(Context, 1);
    modbus_set_response_timeout(Context, 1, 0);
    if (modbus_connect(Context) != 0) throw std::runtime_error("libmodbus client: cannot open " + Port);
    Thread = std::thread([this] { Serve(); });
  }
  ~TLibmodbusClient() override {
    {
      std::lock_guard Lock(Mutex);
      Quit = true;
    }
    Wanted.notify_one();
    Thread.join();
    modbus_close(Context);
    modbus_free(Context);
  }

  double RoundTrip() override {
    Done = false;
    {
      std::lock_guard Lock(Mutex);
      Go = true;
    }
    Wanted.notify_one();
    MainThread::ProcessMessagesUntil([this] { return Done.load(); }, 5000);
    return Done ? Seconds : -1;
  }

 private:
  void Serve() {
    std::uint16_t Values[16];
    std::copy(Line1.begin(), Line1.end(), Values);
    for (;;) {
      std::unique_lock Lock(Mutex);
      Wanted.wait(Lock, [this] { return Go || Quit; });
      if (Quit) return;
      Go = false;
      Lock.unlock();
      const auto Start = Clock::now();
      const int Written = modbus_write_registers(Context, FirstRegister, static_cast<int>(Line1.size()), Values);
      const auto End = Clock::now();
      Seconds = Written == static_cast<int>(Line1.size()) ? std::chrono::duration<double>(End - Start).count() : -1;
      Done = true;
      Wake.Post(1, 0, {});
    }
  }

  modbus_t* Context = nullptr;
  std::thread Thread;
  std::mutex Mutex;
  std::condition_variable Wanted;
  bool Go = false;
  bool Quit = false;
  std::atomic<bool> Done{false};
  double Seconds = 0;
  TMessageWindow Wake{[](TMessage&) {}};
};

enum TImplementation { Ours, Libmodbus };

void BM_RoundTrip(benchmark::State& State, TImplementation ClientKind, TImplementation ServerKind) {
  // The line goes last, after both ends have closed.
  Testing::TVirtualSerialLine Line{Baud};
  std::unique_ptr<TServerSide> Server;
  std::unique_ptr<TClientSide> Client;
  if (ServerKind == Ours)
    Server = std::make_unique<TOurServer>(Line.PortB());
  else
    Server = std::make_unique<TLibmodbusServer>(Line.PortB());
  if (ClientKind == Ours)
    Client = std::make_unique<TOurClient>(Line.PortA());
  else
    Client = std::make_unique<TLibmodbusClient>(Line.PortA());

  // Our RTU server listens only after a silent time of quiet, and a request sent sooner is
  // dropped: the first answer tells that both ends are ready.
  bool Ready = false;
  for (int Attempt = 0; Attempt < 5 && !Ready; ++Attempt) Ready = Client->RoundTrip() >= 0;
  if (!Ready) {
    State.SkipWithError("no answer from the server");
    return;
  }

  double Total = 0;
  for (auto _ : State) {
    const double Seconds = Client->RoundTrip();
    if (Seconds < 0) {
      State.SkipWithError("a round trip failed");
      break;
    }
    State.SetIterationTime(Seconds);
    Total += Seconds;
  }
  State.counters["vs_floor"] = benchmark::Counter(Total / FloorSeconds, benchmark::Counter::kAvgIterations);
  State.counters["floor_ms"] = FloorSeconds * 1000;
}

}  // namespace

int main(int argc, char** argv) {
  struct {
    const char* Name;
    TImplementation Client, Server;
  } const Pairs[] = {
      {"RoundTrip/client:quorvel/server:quorvel", Ours, Ours},
      {"RoundTrip/client:libmodbus/server:quorvel", Libmodbus, Ours},
      {"RoundTrip/client:quorvel/server:libmodbus", Ours, Libmodbus},
      {"RoundTrip/client:libmodbus/server:libmodbus", Libmodbus, Libmodbus},
  };
  for (const auto& P : Pairs)
    benchmark::RegisterBenchmark(P.Name, BM_RoundTrip, P.Client, P.Server)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
