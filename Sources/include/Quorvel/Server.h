#pragma once
/// @file
/// TModbusServer: answers requests that arrive on a connection in server mode. The connection's
/// worker hands each valid request to HandleRequest on the main thread and sends what it leaves in
/// the transaction's reply buffer. Parsing, range checks, their order, the exception codes and the
/// reply layout are fixed here; which addresses exist and what they hold comes from the thirteen
/// data operations, which a subclass overrides (TModbusMemoryServer keeps them in memory).

#include <cstdint>

#include <Quorvel/Component.h>
#include <Quorvel/Export.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

class TModbusConnection;

/// A data operation's answer to a write: wcBadAddress gives exception 2, wcBadValue exception 3;
/// anything above wcBadValue accepts.
enum TWriteCheck : std::uint8_t { wcBadAddress, wcBadValue, wcAccept };

/// A Modbus server on a connection in server mode; see the file's description. Subclass it, or
/// use TModbusMemoryServer.
class QUORVEL_EXPORT TModbusServer : public TComponent {
 public:
  /// The most one request may ask for: what fits one RTU frame.
  ///@{
  static constexpr int MaxReadBits = 2008;
  static constexpr int MaxReadRegisters = 125;
  static constexpr int MaxWriteBits = 1976;
  static constexpr int MaxWriteRegisters = 123;
  ///@}

  /// A server of address 1, without a connection. The destructor detaches it.
  ///@{
  explicit TModbusServer(TComponent* Owner = nullptr);
  ~TModbusServer() override;
  ///@}

  /// The connection whose requests it answers, or null.
  TModbusConnection* Connection() const noexcept { return FConnection; }
  /// Registers with the new connection (once) and asks it for free notification.
  void SetConnection(TModbusConnection* Value);

  /// The address this server answers to and writes into its replies.
  ///@{
  Byte ServerAddress() const noexcept { return FServerAddress; }
  void SetServerAddress(Byte Value) { FServerAddress = Value; }
  ///@}

  /// Fills Transaction.Reply with the reply or an exception reply, or leaves it empty. Raises
  /// "There is no active connection" when the connection cannot be used; exceptions of the data
  /// operations pass on too, and then nothing is sent.
  virtual void HandleRequest(TModbusTransaction& Transaction);

  /// Replaces Reply's contents with an exception reply to Function.
  void SendExceptionReply(TModbusBuffer& Reply, Byte Function, Byte ExceptionCode);

 protected:
  void Notification(TComponent* Component, TOperation Operation) override;

  /// The data behind the server. By default it serves functions 1 to 6, 15 and 16 and has no
  /// address at all: every read and write is refused with exception 2.
  ///@{
  virtual bool AcceptFunction(Byte Function);
  virtual bool CanReadCoil(Word Address);
  virtual bool CanReadDiscreteInput(Word Address);
  virtual bool CanReadHoldingRegister(Word Address);
  virtual bool CanReadInputRegister(Word Address);
  virtual TWriteCheck CanWriteCoil(Word Address, bool Value);
  virtual TWriteCheck CanWriteRegister(Word Address, Word Value);
  virtual bool GetCoil(Word Address);
  virtual bool GetDiscreteInput(Word Address);
  virtual Word GetHoldingRegister(Word Address);
  virtual Word GetInputRegister(Word Address);
  virtual void SetCoil(Word Address, bool Value);
  virtual void SetRegister(Word Address, Word Value);
  ///@}

  /// Called once after a request's writes were all carried out, for a server that wants to act on
  /// a whole request rather than on each value.
  ///@{
  virtual void CoilsWritten(Word Start, Word Count);
  virtual void RegistersWritten(Word Start, Word Count);
  ///@}

 private:
  void ReadBits(TModbusTransaction& T, Byte Function);
  void ReadRegisters(TModbusTransaction& T, Byte Function);
  void WriteSingleCoil(TModbusTransaction& T);
  void WriteSingleRegister(TModbusTransaction& T);
  void WriteMultipleCoils(TModbusTransaction& T);
  void WriteMultipleRegisters(TModbusTransaction& T);
  void BeginReply(TModbusBuffer& Reply, Byte Function);
  void EndReply(TModbusBuffer& Reply);

  TModbusConnection* FConnection = nullptr;
  Byte FServerAddress = 1;
};

}  // namespace Quorvel
