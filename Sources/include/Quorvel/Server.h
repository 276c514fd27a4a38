#pragma once
/// @file
/// TModbusServer: answers requests that arrive on a connection in server mode. The connection's
/// worker hands each valid request to HandleRequest on the main thread and sends what it leaves in
/// the transaction's reply buffer. Parsing, range checks, their order, the exception codes and the
/// reply layout are fixed here; which addresses exist and what they hold comes from the data
/// operations, which a subclass overrides (TModbusMemoryServer keeps them in memory).
///
/// Functions 1 to 6, 15 and 16 are served as they always were. Every other function of the
/// protocol that the server knows (7, 8, 11, 12, 17, 20 to 24 and 43/14) is answered only once the
/// application provides it (SetFunctionProvided) and, with it, its data operations; until then it
/// gets exception 1, as before, so that no peer sees a change the application did not ask for. A
/// function code of the application's own is answered by its handler (SetFunctionHandler).

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <Quorvel/Component.h>
#include <Quorvel/DeviceIdentification.h>
#include <Quorvel/Export.h>
#include <Quorvel/Protocol.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

class TModbusConnection;
class TModbusServer;
class TServerDiagnostics;

/// Answers a function code for the application: given the request's PDU (its function code and
/// data), returns the reply's PDU, which the server sends from its address with the frame check, or
/// nothing for no reply. An exception reply is a PDU too: the function code with bit 7 set, then
/// the exception code. Info.ServerAddress is 0 for a broadcast, whose reply is never sent.
using TFunctionHandler =
    std::function<TFrameData(TModbusServer& Sender, const TTransactionInfo& Info, const TFrameData& RequestPdu)>;

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
  static constexpr int MaxReadWriteRegisters = 121;  ///< what a read/write request writes beside its read
  static constexpr int MaxFifoCount = 31;            ///< the registers a FIFO queue hands back
  static constexpr int MaxFileRecordBytes = 245;     ///< a file request's or reply's byte count
  ///@}

  /// A server of address 1, without a connection. The destructor detaches it.
  ///@{
  explicit TModbusServer(TComponent* Owner = nullptr);
  ~TModbusServer() override;
  ///@}

  /// The connection whose requests it answers, or null.
  TModbusConnection* Connection() const noexcept { return FConnection; }
  /// Registers with the new connection (once) and asks it for free notification. Main thread only
  /// (std::logic_error elsewhere), as is destroying a server that has a connection.
  void SetConnection(TModbusConnection* Value);

  /// The address this server answers to and writes into its replies.
  ///@{
  Byte ServerAddress() const noexcept { return FServerAddress; }
  void SetServerAddress(Byte Value) { FServerAddress = Value; }
  ///@}
  /// Further addresses that this server answers, beside ServerAddress, each reply from the address
  /// its request named: one server for several devices on one port. None by default. (Several
  /// servers may share one connection too, each at addresses of its own; a request goes to the first
  /// registered that answers its address, and a request for an address none answers goes
  /// unanswered.)
  ///@{
  const std::vector<Byte>& OtherAddresses() const noexcept { return FOtherAddresses; }
  void SetOtherAddresses(std::vector<Byte> Value) { FOtherAddresses = std::move(Value); }
  ///@}
  /// Whether Address is ServerAddress or one of OtherAddresses.
  bool AnswersAddress(Byte Address) const noexcept;
  /// The address the reply being built goes out from: the one its request named, or ServerAddress.
  Byte ReplyAddress() const noexcept { return FReplyAddress != 0 ? FReplyAddress : FServerAddress; }

  /// The functions beyond 1-6, 15 and 16 that a server knows, each answered only once provided.
  static constexpr std::array<Byte, 11> ProvidableFunctions = {
      Functions::ReadExceptionStatus, Functions::Diagnostics,       Functions::GetCommEventCounter,
      Functions::GetCommEventLog,     Functions::ReportServerId,    Functions::ReadFileRecord,
      Functions::WriteFileRecord,     Functions::MaskWriteRegister, Functions::ReadWriteMultipleRegisters,
      Functions::ReadFifoQueue,       Functions::EncapsulatedInterface};

  /// Whether the server answers Function, one of the functions beyond 1-6, 15 and 16 that it knows:
  /// 7 (GetExceptionStatus), 8, 11 and 12 (the serial line diagnostics: its counters come from the
  /// connection's Statistics and from the server's own count of the requests it answered; its
  /// clear-counters and restart requests reset the connection's Statistics too), 17
  /// (GetServerIdentification), 20 and 21 (the file record operations), 22 and 23 (the register
  /// operations), 24 (the FIFO operations) and 43/14 (GetDeviceIdentification). None is provided by
  /// default; a code the server does not know is never answered through this.
  ///@{
  bool FunctionProvided(Byte Function) const noexcept { return FProvided.test(Function); }
  void SetFunctionProvided(Byte Function, bool Provided);
  ///@}

  /// Answers Function (1..127, else "Value must be between 1 and 127") through Handler instead of
  /// the server's own handling, whatever the code; an empty Handler removes it.
  void SetFunctionHandler(Byte Function, TFunctionHandler Handler);

  /// Fills Transaction.Reply with the reply or an exception reply, or leaves it empty (a broadcast,
  /// listen-only mode, a diagnostics request that has no reply). Raises
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

  /// The data of the functions beyond 1-6, 15 and 16, asked only for a function that is provided
  /// (SetFunctionProvided). By default there is none: an exception status of 0, an empty
  /// identification, no object, no FIFO queue and no file record (exception 2 for each address).
  ///@{
  virtual Byte GetExceptionStatus();
  virtual TServerIdentificationData GetServerIdentification();
  virtual TDeviceObjects GetDeviceIdentification();
  virtual bool CanReadFifoQueue(Word Address);
  virtual TRegValues GetFifoQueue(Word Address);
  virtual bool CanReadFileRecord(Word File, Word Record);
  virtual Word GetFileRecord(Word File, Word Record);
  virtual TWriteCheck CanWriteFileRecord(Word File, Word Record, Word Value);
  virtual void SetFileRecord(Word File, Word Record, Word Value);
  ///@}

  /// Called once after a request's writes were all carried out, for a server that wants to act on
  /// a whole request rather than on each value.
  ///@{
  virtual void CoilsWritten(Word Start, Word Count);
  virtual void RegistersWritten(Word Start, Word Count);
  ///@}

 private:
  class TReplyAddressScope;

  bool Serves(Byte Function);
  bool Answer(TModbusTransaction& T, Byte Function);
  void AnswerWithHandler(TModbusTransaction& T, const TFunctionHandler& Handler);
  void ReadBits(TModbusTransaction& T, Byte Function);
  void ReadRegisters(TModbusTransaction& T, Byte Function);
  void WriteSingleCoil(TModbusTransaction& T);
  void WriteSingleRegister(TModbusTransaction& T);
  void WriteMultipleCoils(TModbusTransaction& T);
  void WriteMultipleRegisters(TModbusTransaction& T);
  void ReadExceptionStatus(TModbusTransaction& T);
  void Diagnose(TModbusTransaction& T);
  void GetCommEventCounter(TModbusTransaction& T);
  void GetCommEventLog(TModbusTransaction& T);
  void ReportServerIdentification(TModbusTransaction& T);
  void ReadFileRecord(TModbusTransaction& T);
  void WriteFileRecord(TModbusTransaction& T);
  void MaskWriteRegister(TModbusTransaction& T);
  void ReadWriteMultipleRegisters(TModbusTransaction& T);
  void ReadFifoQueue(TModbusTransaction& T);
  void ReadDeviceIdentification(TModbusTransaction& T);
  void CheckRegistersReadable(Word Start, Word Count, bool Holding);
  void ReplyRegisters(TModbusBuffer& Reply, Byte Function, Word Start, Word Count, bool Holding);
  void WriteRegisterValues(Word Start, const TRegValues& Values);
  void EchoRequest(TModbusTransaction& T, int End);
  void BeginReply(TModbusBuffer& Reply, Byte Function);
  void EndReply(TModbusBuffer& Reply);

  TModbusConnection* FConnection = nullptr;
  Byte FServerAddress = 1;
  std::vector<Byte> FOtherAddresses;
  Byte FReplyAddress = 0;  // while a request is answered: the address it named, when not ServerAddress
  std::bitset<256> FProvided;
  std::map<Byte, TFunctionHandler> FHandlers;
  std::unique_ptr<TServerDiagnostics> FDiagnostics;
};

}  // namespace Quorvel
