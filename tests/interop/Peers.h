#pragma once
// The other Modbus implementations the interoperability tests talk to, and how a test drives them:
// libmodbus in a thread of the test process, pymodbus as a child process.

#include <sys/types.h>

#include <modbus/modbus.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <Quorvel/Types.h>

namespace QuorvelInterop {

using namespace std::chrono_literals;

// How a pymodbus peer frames its messages: ModbusTCP is its socket framer (the MBAP header).
enum class TFraming { RTU, ASCII, ModbusTCP };

// Runs Work on a thread of its own while the main thread pumps messages: a server on one of our
// connections answers only while the main thread dispatches its requests. True when Work ended
// within TimeoutMs (it is joined in any case, so it must end by itself); an exception it threw is
// rethrown here.
bool PumpWhile(const std::function<void()>& Work, Quorvel::Cardinal TimeoutMs = 10000);

// A child process whose standard input and output are one end of a socket pair (a socket, unlike
// a pipe, can be written without the risk of SIGPIPE when the child has died).
class TChildProcess {
 public:
  // Throws std::system_error when the program cannot be started.
  explicit TChildProcess(const std::vector<std::string>& Argv);
  // Finish(5 s).
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool WriteLine(const std::string& Line);
  // The next output line without its end; nothing when none came within Timeout or output ended.
  std::optional<std::string> ReadLine(std::chrono::milliseconds Timeout);
  // Closes the child's input, which tells it to end, and waits up to Timeout for its output to
  // end; a child still running then is killed. Returns the exit status, or -1 when it was killed.
  int Finish(std::chrono::milliseconds Timeout);

 private:
  pid_t Pid_ = -1;
  int Socket_ = -1;
  std::string Pending_;
};

// What the server-side tests ask of a peer client. A request is one line of decimal numbers, the
// function code first; the result line says "ok ...", "exc FUNCTION CODE" or "err TEXT"
// (pymodbus_peer.py describes both in full; libmodbus takes 1 to 7, 15 to 17, 22 and 23). It
// blocks: run it inside PumpWhile.
class TPeerClient {
 public:
  virtual ~TPeerClient() = default;
  virtual std::string Request(const std::string& Line) = 0;
};

// pymodbus_peer.py on Port (a serial port, or "tcp://127.0.0.1:PORT": the server listens there,
// the client connects there), serving or asking server Address. Construction returns once the peer
// has its port open.
class TPymodbusPeer : public TPeerClient {
 public:
  enum TRole { Server, Client };
  TPymodbusPeer(TRole Role, const std::string& Port, TFraming Framing, Quorvel::Byte Address = 1);
  std::string Request(const std::string& Line) override;

 private:
  TChildProcess Child_;
};

// A TCP port on 127.0.0.1, for the libmodbus peers' Modbus TCP side.
struct TTcpPort {
  Quorvel::Word Number = 0;
};

// A libmodbus RTU server at Address on its own thread, serving a mapping filled from
// InteropData.h. Construction returns once the port is open. On a bus shared with other servers it
// uses libmodbus's own means for one: it flushes its input after a frame it cannot take, and waits
// at most 50 ms for the reply of the server that a request to another address was for (which it
// skips), so that a reply that never comes does not cost it the next request.
class TLibmodbusServer {
 public:
  explicit TLibmodbusServer(const std::string& Port, Quorvel::Byte Address = 1, bool OnABus = false);
  // A libmodbus Modbus TCP server listening on 127.0.0.1 at Port, one client at a time.
  explicit TLibmodbusServer(TTcpPort Port);
  ~TLibmodbusServer();
  TLibmodbusServer(const TLibmodbusServer&) = delete;
  TLibmodbusServer& operator=(const TLibmodbusServer&) = delete;

 private:
  void FillMapping();
  void Serve();
  void ServeTcp();

  modbus_t* Context_ = nullptr;
  modbus_mapping_t* Mapping_ = nullptr;
  int ListenSocket_ = -1;
  std::atomic<bool> Stopping_{false};
  std::thread Thread_;
};

// A libmodbus RTU client to address 1 that speaks the request lines of TPeerClient; or its Modbus
// TCP client, to unit 1 of a server on 127.0.0.1 at Port.
class TLibmodbusClient : public TPeerClient {
 public:
  explicit TLibmodbusClient(const std::string& Port);
  explicit TLibmodbusClient(TTcpPort Port);
  ~TLibmodbusClient() override;
  std::string Request(const std::string& Line) override;

 private:
  modbus_t* Context_ = nullptr;
};

}  // namespace QuorvelInterop
