#include "Peers.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <Quorvel/Messages.h>
#include "InteropData.h"

extern char** environ;

namespace QuorvelInterop {

using Quorvel::Cardinal;

namespace {

[[noreturn]] void Fail(const char* What) { throw std::system_error(errno, std::generic_category(), What); }

const std::string PeerScript = (std::filesystem::path(__FILE__).parent_path() / "pymodbus_peer.py").string();

std::vector<int> Numbers(const std::string& Line) {
  std::istringstream Stream(Line);
  std::vector<int> Result;
  for (int N = 0; Stream >> N;) Result.push_back(N);
  return Result;
}

template <class T>
std::string OkLine(const T* Values, int Count) {
  std::string Line = "ok";
  for (int I = 0; I < Count; ++I) Line += " " + std::to_string(static_cast<int>(Values[I]));
  return Line;
}

}  // namespace

bool PumpWhile(const std::function<void()>& Work, Cardinal TimeoutMs) {
  std::atomic<bool> Done{false};
  std::exception_ptr Failure;
  // Posting wakes the main thread at once when the work ends; without it the pump would only
  // look at Done again at its time-out.
  std::thread Worker([&] {
    try {
      Work();
    } catch (...) {
      Failure = std::current_exception();
    }
    Done = true;
    Quorvel::MainThread::Post([] {});
  });
  const bool Finished = Quorvel::MainThread::ProcessMessagesUntil([&] { return Done.load(); }, TimeoutMs);
  Worker.join();
  if (Failure) std::rethrow_exception(Failure);
  return Finished;
}

// ---- Child process ----

TChildProcess::TChildProcess(const std::vector<std::string>& Argv) {
  int Ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Ends) != 0) Fail("socketpair");
  posix_spawn_file_actions_t Actions;
  ::posix_spawn_file_actions_init(&Actions);
  // dup2 clears close-on-exec on the copies, so the child keeps exactly these two.
  ::posix_spawn_file_actions_adddup2(&Actions, Ends[1], STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&Actions, Ends[1], STDOUT_FILENO);
  std::vector<char*> Args;
  for (const auto& Arg : Argv) Args.push_back(const_cast<char*>(Arg.c_str()));
  Args.push_back(nullptr);
  const int Error = ::posix_spawn(&Pid_, Args[0], &Actions, nullptr, Args.data(), environ);
  ::posix_spawn_file_actions_destroy(&Actions);
  ::close(Ends[1]);
  if (Error != 0) {
    ::close(Ends[0]);
    throw std::system_error(Error, std::generic_category(), "posix_spawn " + Argv[0]);
  }
  Socket_ = Ends[0];
}

TChildProcess::~TChildProcess() { Finish(5s); }

bool TChildProcess::WriteLine(const std::string& Line) {
  const std::string Data = Line + "\n";
  std::size_t Done = 0;
  while (Done < Data.size()) {
    const ssize_t N = ::send(Socket_, Data.data() + Done, Data.size() - Done, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Done += static_cast<std::size_t>(N);
  }
  return true;
}

std::optional<std::string> TChildProcess::ReadLine(std::chrono::milliseconds Timeout) {
  const auto Deadline = std::chrono::steady_clock::now() + Timeout;
  for (;;) {
    if (const auto End = Pending_.find('\n'); End != std::string::npos) {
      std::string Line = Pending_.substr(0, End);
      Pending_.erase(0, End + 1);
      return Line;
    }
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0 || Socket_ < 0) return std::nullopt;
    pollfd Wait{Socket_, POLLIN, 0};
    const int Ready = ::poll(&Wait, 1, static_cast<int>(Left.count()));
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready <= 0) return std::nullopt;
    char Chunk[512];
    const ssize_t N = ::recv(Socket_, Chunk, sizeof Chunk, 0);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return std::nullopt;
    Pending_.append(Chunk, static_cast<std::size_t>(N));
  }
}

int TChildProcess::Finish(std::chrono::milliseconds Timeout) {
  if (Pid_ < 0) return -1;
  ::shutdown(Socket_, SHUT_WR);
  // The child's end of the socket closes when it exits: wait for the end of its output.
  const auto Deadline = std::chrono::steady_clock::now() + Timeout;
  bool Ended = false;
  while (!Ended) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) break;
    pollfd Wait{Socket_, POLLIN, 0};
    if (::poll(&Wait, 1, static_cast<int>(Left.count())) <= 0) continue;
    char Chunk[512];
    Ended = ::recv(Socket_, Chunk, sizeof Chunk, 0) == 0;
  }
  if (!Ended) ::kill(Pid_, SIGKILL);
  int Status = 0;
  while (::waitpid(Pid_, &Status, 0) < 0 && errno == EINTR) {
  }
  Pid_ = -1;
  ::close(Socket_);
  Socket_ = -1;
  return Ended && WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

// ---- pymodbus ----

TPymodbusPeer::TPymodbusPeer(TRole Role, const std::string& Port, TFraming Framing, Quorvel::Byte Address)
    // Debian's pymodbus belongs to the system interpreter, not to whatever python3 comes first.
    : Child_({"/usr/bin/python3", PeerScript, Role == Server ? "server" : "client", Port,
              Framing == TFraming::RTU ? "rtu" : Framing == TFraming::ASCII ? "ascii" : "socket",
              std::to_string(Address)}) {
  const auto Ready = Child_.ReadLine(15s);
  if (Ready != "ready") throw std::runtime_error("pymodbus peer did not start: " + Ready.value_or("no output"));
}

std::string TPymodbusPeer::Request(const std::string& Line) {
  if (!Child_.WriteLine(Line)) return "err peer gone";
  return Child_.ReadLine(10s).value_or("err no result line");
}

// ---- libmodbus server ----

TLibmodbusServer::TLibmodbusServer(const std::string& Port, Quorvel::Byte Address, bool OnABus) {
  Context_ = modbus_new_rtu(Port.c_str(), static_cast<int>(BaudRate), 'N', 8, 1);
  if (Context_ == nullptr) Fail("modbus_new_rtu");
  modbus_set_slave(Context_, Address);
  // The receive loop wakes this often to see whether it should stop.
  modbus_set_indication_timeout(Context_, 0, 50000);
  if (OnABus) {
    modbus_set_error_recovery(Context_, MODBUS_ERROR_RECOVERY_PROTOCOL);
    modbus_set_response_timeout(Context_, 0, 50000);
  }
  FillMapping();
  if (modbus_connect(Context_) != 0) {
    const int Error = errno;
    modbus_mapping_free(Mapping_);
    modbus_free(Context_);
    throw std::system_error(Error, std::generic_category(), "modbus_connect " + Port);
  }
  Thread_ = std::thread([this] { Serve(); });
}

void TLibmodbusServer::FillMapping() {
  Mapping_ = modbus_mapping_new(TableSize, TableSize, TableSize, TableSize);
  if (Mapping_ == nullptr) {
    modbus_free(Context_);
    Fail("modbus_mapping_new");
  }
  for (int A = 0; A < TableSize; ++A) {
    Mapping_->tab_bits[A] = CoilAt(A) ? 1 : 0;
    Mapping_->tab_input_bits[A] = DiscreteInputAt(A) ? 1 : 0;
    Mapping_->tab_registers[A] = HoldingRegisterAt(A);
    Mapping_->tab_input_registers[A] = InputRegisterAt(A);
  }
}

TLibmodbusServer::TLibmodbusServer(TTcpPort Port) {
  Context_ = modbus_new_tcp("127.0.0.1", Port.Number);
  if (Context_ == nullptr) Fail("modbus_new_tcp");
  modbus_set_indication_timeout(Context_, 0, 50000);
  FillMapping();
  ListenSocket_ = modbus_tcp_listen(Context_, 1);
  if (ListenSocket_ < 0) {
    const int Error = errno;
    modbus_mapping_free(Mapping_);
    modbus_free(Context_);
    throw std::system_error(Error, std::generic_category(), "modbus_tcp_listen");
  }
  Thread_ = std::thread([this] { ServeTcp(); });
}

TLibmodbusServer::~TLibmodbusServer() {
  Stopping_ = true;
  Thread_.join();
  if (ListenSocket_ >= 0) ::close(ListenSocket_);
  modbus_close(Context_);
  modbus_mapping_free(Mapping_);
  modbus_free(Context_);
}

void TLibmodbusServer::Serve() {
  std::vector<std::uint8_t> Query(MODBUS_RTU_MAX_ADU_LENGTH);
  while (!Stopping_) {
    // -1 is the indication time-out, or a frame libmodbus could not take (it then drops it).
    const int Length = modbus_receive(Context_, Query.data());
    if (Length > 0) modbus_reply(Context_, Query.data(), Length, Mapping_);
  }
}

// One client at a time; the listening socket is polled so that stopping is seen within 50 ms.
void TLibmodbusServer::ServeTcp() {
  std::vector<std::uint8_t> Query(MODBUS_TCP_MAX_ADU_LENGTH);
  while (!Stopping_) {
    pollfd Listening{ListenSocket_, POLLIN, 0};
    if (::poll(&Listening, 1, 50) <= 0) continue;
    if (modbus_tcp_accept(Context_, &ListenSocket_) < 0) continue;
    while (!Stopping_) {
      const int Length = modbus_receive(Context_, Query.data());
      if (Length > 0) {
        modbus_reply(Context_, Query.data(), Length, Mapping_);
      } else if (Length < 0 && errno != ETIMEDOUT) {
        break;  // the client has gone
      }
    }
    modbus_close(Context_);
  }
}

// ---- libmodbus client ----

TLibmodbusClient::TLibmodbusClient(const std::string& Port) {
  Context_ = modbus_new_rtu(Port.c_str(), static_cast<int>(BaudRate), 'N', 8, 1);
  if (Context_ == nullptr) Fail("modbus_new_rtu");
  modbus_set_slave(Context_, ServerAddress);
  modbus_set_response_timeout(Context_, 1, 0);
  if (modbus_connect(Context_) != 0) {
    const int Error = errno;
    modbus_free(Context_);
    throw std::system_error(Error, std::generic_category(), "modbus_connect " + Port);
  }
}

TLibmodbusClient::TLibmodbusClient(TTcpPort Port) {
  Context_ = modbus_new_tcp("127.0.0.1", Port.Number);
  if (Context_ == nullptr) Fail("modbus_new_tcp");
  modbus_set_slave(Context_, ServerAddress);
  modbus_set_response_timeout(Context_, 1, 0);
  if (modbus_connect(Context_) != 0) {
    const int Error = errno;
    modbus_free(Context_);
    throw std::system_error(Error, std::generic_category(), "modbus_connect 127.0.0.1");
  }
}

TLibmodbusClient::~TLibmodbusClient() {
  modbus_close(Context_);
  modbus_free(Context_);
}

// libmodbus checks a reply's function, length and counts, and hands back the values read; for
// writes it returns only a count, so the echoed fields are reported from the request here and
// compared on the wire by the tests.
std::string TLibmodbusClient::Request(const std::string& Line) {
  const std::vector<int> W = Numbers(Line);
  if (W.empty()) return "err empty request";
  const int Function = W[0];
  auto Arg = [&W](std::size_t I) { return I < W.size() ? W[I] : 0; };
  int Result = -1;
  std::string Ok;
  switch (Function) {
    case 1:
    case 2: {
      std::vector<std::uint8_t> Bits(static_cast<std::size_t>(Arg(2)));
      Result = Function == 1 ? modbus_read_bits(Context_, Arg(1), Arg(2), Bits.data())
                             : modbus_read_input_bits(Context_, Arg(1), Arg(2), Bits.data());
      Ok = OkLine(Bits.data(), Result);
      break;
    }
    case 3:
    case 4: {
      std::vector<std::uint16_t> Registers(static_cast<std::size_t>(Arg(2)));
      Result = Function == 3 ? modbus_read_registers(Context_, Arg(1), Arg(2), Registers.data())
                             : modbus_read_input_registers(Context_, Arg(1), Arg(2), Registers.data());
      Ok = OkLine(Registers.data(), Result);
      break;
    }
    case 5:
      Result = modbus_write_bit(Context_, Arg(1), Arg(2));
      Ok = "ok " + std::to_string(Arg(1)) + " " + std::to_string(Arg(2));
      break;
    case 6:
      Result = modbus_write_register(Context_, Arg(1), static_cast<std::uint16_t>(Arg(2)));
      Ok = "ok " + std::to_string(Arg(1)) + " " + std::to_string(Arg(2));
      break;
    case 15: {
      std::vector<std::uint8_t> Bits(W.begin() + 2, W.end());
      Result = modbus_write_bits(Context_, Arg(1), static_cast<int>(Bits.size()), Bits.data());
      Ok = "ok " + std::to_string(Arg(1)) + " " + std::to_string(Result);
      break;
    }
    case 16: {
      std::vector<std::uint16_t> Registers(W.begin() + 2, W.end());
      Result = modbus_write_registers(Context_, Arg(1), static_cast<int>(Registers.size()), Registers.data());
      Ok = "ok " + std::to_string(Arg(1)) + " " + std::to_string(Result);
      break;
    }
    case 17: {
      std::uint8_t Data[MODBUS_RTU_MAX_ADU_LENGTH];
      Result = modbus_report_slave_id(Context_, sizeof Data, Data);
      Ok = OkLine(Data, Result);
      break;
    }
    case 7: {
      // libmodbus has no call for reading the exception status: the frame goes out raw and the
      // reply is taken apart here.
      // The function code follows the header: the address in RTU, the MBAP header in TCP, which
      // has no check after the data.
      const std::uint8_t Raw[] = {ServerAddress, 7};
      std::uint8_t Reply[MODBUS_TCP_MAX_ADU_LENGTH];
      if (modbus_send_raw_request(Context_, Raw, sizeof Raw) < 0) break;
      const int Length = modbus_receive_confirmation(Context_, Reply);
      const int Header = modbus_get_header_length(Context_);
      const int Whole = Header + 2 + (Header == 1 ? 2 : 0);
      if (Length == Whole && Reply[Header] == (7 | 0x80)) return "exc 135 " + std::to_string(Reply[Header + 1]);
      if (Length == Whole && Reply[Header] == 7) return "ok " + std::to_string(Reply[Header + 1]);
      if (Length >= 0) return "err unexpected reply of " + std::to_string(Length) + " bytes";
      break;
    }
    case 23: {
      // 23 READSTART READCOUNT WRITESTART VALUE...: libmodbus names the write first.
      std::vector<std::uint16_t> Written(W.begin() + std::min<std::size_t>(4, W.size()), W.end());
      std::vector<std::uint16_t> Read(static_cast<std::size_t>(Arg(2)));
      Result = modbus_write_and_read_registers(Context_, Arg(3), static_cast<int>(Written.size()), Written.data(),
                                               Arg(1), Arg(2), Read.data());
      Ok = OkLine(Read.data(), Result);
      break;
    }
    case 22:
      Result = modbus_mask_write_register(Context_, Arg(1), static_cast<std::uint16_t>(Arg(2)),
                                          static_cast<std::uint16_t>(Arg(3)));
      Ok = "ok " + std::to_string(Arg(1)) + " " + std::to_string(Arg(2)) + " " + std::to_string(Arg(3));
      break;
    default:
      return "err unsupported request " + std::to_string(Function);
  }
  if (Result >= 0) return Ok;
  const int Error = errno;
  // libmodbus accepts an exception reply only when it names the request's function.
  if (Error > MODBUS_ENOBASE && Error <= EMBXGTAR)
    return "exc " + std::to_string(Function | 0x80) + " " + std::to_string(Error - MODBUS_ENOBASE);
  return std::string("err ") + modbus_strerror(Error);
}

}  // namespace QuorvelInterop
