#pragma once
// Both ends of a Modbus line for the benchmarks that run over one: our client and server, and
// libmodbus's RTU client and server, each on a port of a virtual serial line; or the same four as
// Modbus TCP ends on 127.0.0.1 (TTcp). The request is the utility's one job: display line 1 as
// WriteMultipleRegisters(443, 11 values) to server 1.
//
// Everything runs in one process. Our client's events and our server's requests are handled on
// the main thread, so whatever waits for the line pumps messages meanwhile; libmodbus blocks in
// its calls, so its client runs on a thread of its own and wakes the main thread when it is done.

#include <poll.h>
#include <unistd.h>

#include <modbus/modbus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/MemoryServer.h>
#include <Quorvel/Messages.h>

namespace QuorvelBench {

using namespace Quorvel;
using Clock = std::chrono::steady_clock;

constexpr int RequestBytes = 31;  // 9 + 2 x 11 registers
constexpr int ReplyBytes = 8;
constexpr Word FirstRegister = 443;
inline const TRegValues Line1 = {3, 0x5175, 0x6F72, 0x7665, 0x6C20, 0x2020, 0x2020, 0x2020, 0x2020, 0x2020, 0x2020};

// Request and reply on the wire, 10 bits a character (8N1), in seconds.
constexpr double WireSeconds(Cardinal Baud) { return (RequestBytes + ReplyBytes) * 10.0 / Baud; }

// How our end frames: the silence rule, or length-aware with a gap in microseconds.
struct TFraming {
  bool Sized = false;
  Cardinal Gap = TModbusConnection::StandardInterFrameGap;
};

inline void Configure(TModbusConnection& Connection, const std::string& Port, Cardinal Baud, TFraming Framing) {
  Connection.SetPort(Port);
  Connection.SetParity(psNone);
  Connection.SetCustomBaudRate(Baud);
  Connection.SetLengthAwareFraming(Framing.Sized);
  Connection.SetInterFrameGap(Framing.Gap);
}

// A Modbus TCP end on 127.0.0.1 at Port instead of a serial port.
struct TTcp {
  Word Port = 0;
};

inline void Configure(TModbusConnection& Connection, TTcp Tcp, bool Listen) {
  Connection.SetTransmissionMode(tmModbusTCP);
  Connection.SetPort((Listen ? "tcp-listen://127.0.0.1:" : "tcp://127.0.0.1:") + std::to_string(Tcp.Port));
}

class TServerSide {
 public:
  virtual ~TServerSide() = default;
};

class TOurServer : public TServerSide {
 public:
  TOurServer(const std::string& Port, Cardinal Baud, TFraming Framing) {
    Server.HoldingRegisters() = {FirstRegister, TRegValues(Line1.size(), 0)};
    Server.SetServerAddress(1);
    Server.SetConnection(&Connection);
    Configure(Connection, Port, Baud, Framing);
    Connection.SetConnectionMode(cmServer);
    Connection.Open();
  }
  // OnWorker: the requests are answered on the worker (ServeOnWorker).
  explicit TOurServer(TTcp Tcp, bool OnWorker = false) {
    Server.HoldingRegisters() = {FirstRegister, TRegValues(Line1.size(), 0)};
    Server.SetServerAddress(1);
    Server.SetConnection(&Connection);
    Configure(Connection, Tcp, true);
    Connection.SetConnectionMode(cmServer);
    Connection.SetServeOnWorker(OnWorker);
    Connection.Open();
  }

 private:
  TModbusConnection Connection;
  TModbusMemoryServer Server;
};

class TLibmodbusServer : public TServerSide {
 public:
  TLibmodbusServer(const std::string& Port, Cardinal Baud) {
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
  // Its Modbus TCP server, one client at a time.
  explicit TLibmodbusServer(TTcp Tcp) {
    Context = modbus_new_tcp("127.0.0.1", Tcp.Port);
    Mapping = modbus_mapping_new(0, 0, 1000, 0);
    if (Context == nullptr || Mapping == nullptr) throw std::runtime_error("libmodbus server");
    modbus_set_indication_timeout(Context, 0, 50000);
    Listening = modbus_tcp_listen(Context, 1);
    if (Listening < 0) throw std::runtime_error("libmodbus server: cannot listen");
    Thread = std::thread([this] {
      std::uint8_t Query[MODBUS_TCP_MAX_ADU_LENGTH];
      while (!Stopping) {
        pollfd Waiting{Listening, POLLIN, 0};
        if (::poll(&Waiting, 1, 50) <= 0 || modbus_tcp_accept(Context, &Listening) < 0) continue;
        while (!Stopping) {
          const int Length = modbus_receive(Context, Query);
          if (Length > 0) modbus_reply(Context, Query, Length, Mapping);
          if (Length < 0 && errno != ETIMEDOUT) break;
        }
        modbus_close(Context);
      }
    });
  }
  ~TLibmodbusServer() override {
    Stopping = true;
    Thread.join();
    if (Listening >= 0) ::close(Listening);
    modbus_close(Context);
    modbus_free(Context);
    modbus_mapping_free(Mapping);
  }

 private:
  modbus_t* Context = nullptr;
  modbus_mapping_t* Mapping = nullptr;
  int Listening = -1;
  std::atomic<bool> Stopping{false};
  std::thread Thread;
};

class TClientSide {
 public:
  virtual ~TClientSide() = default;
  // Count requests, each sent when the previous one has its answer; their time in seconds, or a
  // negative number when one failed.
  virtual double OneAtATime(int Count) = 0;
  // Count requests handed over at once (ours queues them; libmodbus cannot, and sends them one
  // after the other); the time until the last has its answer.
  virtual double QueuedAhead(int Count) = 0;
};

class TOurClient : public TClientSide {
 public:
  TOurClient(const std::string& Port, Cardinal Baud, TFraming Framing) {
    Configure(Connection, Port, Baud, Framing);
    Begin();
  }
  // OnCaller: each request is carried out on the calling thread (ExchangeOnCaller).
  explicit TOurClient(TTcp Tcp, bool OnCaller = false) {
    Configure(Connection, Tcp, false);
    Connection.SetExchangeOnCaller(OnCaller);
    Begin();
  }

 private:
  void Begin() {
    Client.SetConnection(&Connection);
    Client.SetOnMultipleRegistersWrite(
        [this](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) {
          Failed = Failed || Info.ReplyStatus != rsSuccess;
          ++Answered;
        });
    Connection.Open();
  }

 public:
  double OneAtATime(int Count) override {
    const auto Start = Clock::now();
    for (int I = 0; I < Count; ++I)
      if (!Run(1)) return -1;
    return std::chrono::duration<double>(Clock::now() - Start).count();
  }

  double QueuedAhead(int Count) override {
    const auto Start = Clock::now();
    if (!Run(Count)) return -1;
    return std::chrono::duration<double>(Clock::now() - Start).count();
  }

 private:
  bool Run(int Count) {
    Answered = 0;
    Failed = false;
    for (int I = 0; I < Count; ++I) Client.WriteMultipleRegisters(FirstRegister, Line1);
    return MainThread::ProcessMessagesUntil([&] { return Answered == Count; }, 10000) && !Failed;
  }

  TModbusConnection Connection;
  TModbusClient Client;
  int Answered = 0;
  bool Failed = false;
};

class TLibmodbusClient : public TClientSide {
 public:
  TLibmodbusClient(const std::string& Port, Cardinal Baud) {
    Context = modbus_new_rtu(Port.c_str(), static_cast<int>(Baud), 'N', 8, 1);
    if (Context == nullptr) throw std::runtime_error("libmodbus client");
    modbus_set_slave(Context, 1);
    modbus_set_response_timeout(Context, 1, 0);
    if (modbus_connect(Context) != 0) throw std::runtime_error("libmodbus client: cannot open " + Port);
    Thread = std::thread([this] { Serve(); });
  }
  explicit TLibmodbusClient(TTcp Tcp) {
    Context = modbus_new_tcp("127.0.0.1", Tcp.Port);
    if (Context == nullptr) throw std::runtime_error("libmodbus client");
    modbus_set_slave(Context, 1);
    modbus_set_response_timeout(Context, 1, 0);
    if (modbus_connect(Context) != 0) throw std::runtime_error("libmodbus client: cannot connect");
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

  double OneAtATime(int Count) override {
    Done = false;
    {
      std::lock_guard Lock(Mutex);
      Pending = Count;
    }
    Wanted.notify_one();
    MainThread::ProcessMessagesUntil([this] { return Done.load(); }, 10000);
    return Done ? Seconds : -1;
  }
  double QueuedAhead(int Count) override { return OneAtATime(Count); }

 private:
  void Serve() {
    std::uint16_t Values[16];
    std::copy(Line1.begin(), Line1.end(), Values);
    for (;;) {
      std::unique_lock Lock(Mutex);
      Wanted.wait(Lock, [this] { return Pending > 0 || Quit; });
      if (Quit) return;
      const int Count = std::exchange(Pending, 0);
      Lock.unlock();
      const auto Start = Clock::now();
      bool Ok = true;
      for (int I = 0; I < Count && Ok; ++I)
        Ok = modbus_write_registers(Context, FirstRegister, static_cast<int>(Line1.size()), Values) ==
             static_cast<int>(Line1.size());
      Seconds = Ok ? std::chrono::duration<double>(Clock::now() - Start).count() : -1;
      Done = true;
      MainThread::Post([] {});  // wakes the pump
    }
  }

  modbus_t* Context = nullptr;
  std::thread Thread;
  std::mutex Mutex;
  std::condition_variable Wanted;
  int Pending = 0;
  bool Quit = false;
  std::atomic<bool> Done{false};
  double Seconds = 0;
};

// Our server in RTU listens only after a silent time of quiet with the silence rule, and a request
// sent sooner is lost: the first answer tells that both ends are ready.
inline bool FirstAnswer(TClientSide& Client) {
  for (int Attempt = 0; Attempt < 5; ++Attempt)
    if (Client.OneAtATime(1) >= 0) return true;
  return false;
}

}  // namespace QuorvelBench
