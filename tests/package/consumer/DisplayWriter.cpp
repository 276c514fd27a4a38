#include "DisplayWriter.h"

#include <Quorvel/Quorvel.h>

#include <optional>
#include <stdexcept>

namespace Consumer {

using namespace Quorvel;

std::string WriteLineAndReadBack(const std::string& Port, const std::string& Text) {
  TModbusConnection Connection;
  Connection.SetPort(Port);
  Connection.SetParity(psNone);
  Connection.SetMaxRetries(5);
  TModbusClient Client;
  Client.SetConnection(&Connection);

  std::optional<TReplyStatus> Written;
  std::optional<TRegValues> Read;
  Client.SetOnMultipleRegistersWrite([&](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) {
    Written = Info.ReplyStatus;
  });
  Client.SetOnHoldingRegistersRead([&](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues& Values) {
    Read = Info.ReplyStatus == rsSuccess ? Values : TRegValues{};
  });

  std::string Padded = Text;
  Padded.resize(20, ' ');
  TRegValues Registers{3};  // line 1
  for (std::size_t K = 0; K < 20; K += 2)
    Registers.push_back(static_cast<Word>(static_cast<Byte>(Padded[K]) << 8 | static_cast<Byte>(Padded[K + 1])));

  Connection.Open();
  Client.WriteMultipleRegisters(443, Registers);
  MainThread::ProcessMessagesUntil([&] { return Written.has_value(); }, Infinite);
  if (*Written != rsSuccess) throw std::runtime_error("the write failed, reply status " + std::to_string(*Written));
  Client.ReadHoldingRegisters(444, 10);
  MainThread::ProcessMessagesUntil([&] { return Read.has_value(); }, Infinite);
  if (Read->size() != 10) throw std::runtime_error("the read failed");
  std::string Result;
  for (const Word Value : *Read) {
    Result += static_cast<char>(Value >> 8);
    Result += static_cast<char>(Value & 0xFF);
  }
  return Result;
}

std::string OpenFailure(const std::string& Port) {
  TModbusConnection Connection;
  Connection.SetPort(Port);
  try {
    Connection.Open();
  } catch (const EQuorvelError& Error) {
    return std::string("EQuorvelError: ") + Error.what();
  } catch (const std::exception& Error) {
    return std::string("another exception: ") + Error.what();
  }
  return "no exception";
}

std::string Versions() { return std::string(QUORVEL_VERSION_STRING) + " " + VersionString(); }

}  // namespace Consumer
