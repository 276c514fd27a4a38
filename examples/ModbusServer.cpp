// quorvel-server: a Modbus server with a table of 100 of each kind of value, on a serial port.
//
//   quorvel-server [options] PORT
//
// Coils, discrete inputs, holding and input registers 0..99. Discrete inputs and input registers
// hold a fixed pattern (input register N holds N * 10, discrete input N is on for odd N); coils and
// holding registers start at 0 and keep what clients write, which is printed. It also answers the
// rest of the protocol: the exception status (7), the serial line diagnostics (8, 11, 12), who it
// is (17, and 43/14: vendor, product and version), file 1 of 100 records (20, 21), mask and
// read/write requests on the holding registers (22, 23) and a FIFO queue at address 0 (24).
// Ctrl-C stops it.

#include <Quorvel/Quorvel.h>

#include <signal.h>

#include <atomic>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "LineOptions.h"

using namespace Quorvel;

namespace {

constexpr Word TableSize = 100;

void FillTables(TModbusMemoryServer& Server) {
  Server.Coils().Values.assign(TableSize, false);
  Server.HoldingRegisters().Values.assign(TableSize, 0);
  for (Word Address = 0; Address < TableSize; ++Address) {
    Server.DiscreteInputs().Values.push_back(Address % 2 == 1);
    Server.InputRegisters().Values.push_back(static_cast<Word>(Address * 10));
  }
}

// The data of the functions beyond reads and writes, and the functions themselves: a server
// answers them only once provided, so that it never surprises a client with what it did not mean
// to serve.
void ProvideTheWholeProtocol(TModbusMemoryServer& Server, Byte Address) {
  const std::string Name = "Quorvel quorvel-server " QUORVEL_VERSION_STRING;
  Server.ServerIdentification() = {Address, 0xFF};  // its id, then the run indicator: running
  Server.ServerIdentification().insert(Server.ServerIdentification().end(), Name.begin(), Name.end());
  Server.DeviceIdentification() = {{DeviceObjects::VendorName, "Quorvel"},
                                   {DeviceObjects::ProductCode, "quorvel-server"},
                                   {DeviceObjects::MajorMinorRevision, QUORVEL_VERSION_STRING}};
  Server.FifoQueues()[0] = {10, 20, 30};
  Server.Files()[1] = {0, TRegValues(TableSize, 0)};
  for (const Byte Function : TModbusServer::ProvidableFunctions) Server.SetFunctionProvided(Function, true);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  Example::TLineOptions Line;
  try {
    Line.Parse(Args);
    if (Args.size() != 1) throw Example::EUsage("one port, please");
    Line.Port = Args[0];
  } catch (const Example::EUsage& Error) {
    std::cerr << "quorvel-server: " << Error.what() << "\n\nUsage: quorvel-server [options] PORT\n\nOptions:\n"
              << Example::LineOptionsUsage();
    return 2;
  }

  // Ctrl-C and SIGTERM are taken by a thread of their own, which asks the main thread to stop:
  // a signal handler must not call into the library. Blocked before any thread starts, so that
  // every thread inherits the mask.
  sigset_t StopSignals;
  sigemptyset(&StopSignals);
  sigaddset(&StopSignals, SIGINT);
  sigaddset(&StopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &StopSignals, nullptr);

  TModbusConnection Connection;
  TModbusMemoryServer Server;
  try {
    Line.Apply(Connection);
    Connection.SetConnectionMode(cmServer);
    Server.SetServerAddress(Line.Address);
    Server.SetConnection(&Connection);
    FillTables(Server);
    ProvideTheWholeProtocol(Server, Line.Address);
    Server.SetOnRegistersWrite([](TModbusMemoryServer& Sender, Word Start, Word Count) {
      std::cout << "Holding registers " << Start << ".." << Start + Count - 1 << " written:";
      for (Word K = 0; K < Count; ++K) std::cout << ' ' << Sender.HoldingRegisters()[static_cast<Word>(Start + K)];
      std::cout << std::endl;
    });
    Server.SetOnCoilsWrite([](TModbusMemoryServer& Sender, Word Start, Word Count) {
      std::cout << "Coils " << Start << ".." << Start + Count - 1 << " written:";
      for (Word K = 0; K < Count; ++K) std::cout << ' ' << Sender.Coils()[static_cast<Word>(Start + K)];
      std::cout << std::endl;
    });
    // Said once the server listens: a request sent on reading it is answered. A request that comes
    // earlier may go with what the line carried before the server got in step with it.
    Connection.SetOnReady([&Line](TModbusConnection&) {
      std::cout << "Serving address " << int(Line.Address) << " on " << Line.Port << ". Ctrl-C stops it." << std::endl;
    });
    Connection.Open();
  } catch (const std::exception& Error) {
    std::cerr << "quorvel-server: " << Line.Port << ": " << Error.what() << '\n';
    return 1;
  }

  std::atomic<bool> Stop{false};
  std::thread SignalWaiter([&] {
    int Signal = 0;
    sigwait(&StopSignals, &Signal);
    // Runs on the main thread, inside ProcessMessages, which then returns to the loop below.
    MainThread::Synchronize([&Stop] { Stop = true; });
  });
  // The requests are answered on this thread, from the library's message queue.
  while (!Stop) {
    MainThread::WaitForMessages(Infinite);
    MainThread::ProcessMessages();
  }
  SignalWaiter.join();
  Connection.Close();
  std::cout << "Stopped." << std::endl;
  return 0;
}
