#pragma once
/// @file
/// TModbusClient: talks, as Modbus client, to one server on a connection. A request checks its
/// arguments, builds the whole frame in a new transaction, hands it to the connection and returns
/// at once with the transaction's number. Every submitted request ends later, on the main thread,
/// in exactly one event of the request's function, whatever the outcome: the Info record says
/// which (a good reply, an exception reply, a reply that does not fit, or none).

#include <array>
#include <functional>
#include <string>

#include <Quorvel/Component.h>
#include <Quorvel/DeviceIdentification.h>
#include <Quorvel/Diagnostics.h>
#include <Quorvel/Export.h>
#include <Quorvel/FileRecords.h>
#include <Quorvel/ReplyLength.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

class TModbusConnection;
class TModbusClient;

/// The eight outputs that a server's exception status reports, output 0 first.
using TExceptionStatusValues = std::array<bool, 8>;

/// Handlers of the client's events, one type per shape of reply. Each gets the client, the Info
/// record that says how the request ended, and what the request asked for; the values are those
/// of the reply when Info.ReplyStatus is rsSuccess (for writes, those that were sent).
///@{
using TMultipleBitsAccessEvent = std::function<void(TModbusClient& Sender, const TTransactionInfo& Info, Word StartBit,
                                                    Word BitCount, const TBitValues& BitValues)>;
using TSingleCoilWriteEvent =
    std::function<void(TModbusClient& Sender, const TTransactionInfo& Info, Word BitAddr, bool BitValue)>;
using TMultipleRegistersAccessEvent = std::function<void(TModbusClient& Sender, const TTransactionInfo& Info,
                                                         Word StartReg, Word RegCount, const TRegValues& RegValues)>;
using TSingleRegisterWriteEvent =
    std::function<void(TModbusClient& Sender, const TTransactionInfo& Info, Word RegAddr, Word RegValue)>;
using TSingleRegisterMaskWriteEvent = std::function<void(TModbusClient& Sender, const TTransactionInfo& Info,
                                                         Word RegAddr, Word AndMask, Word OrMask)>;
using TFileRecordAccessEvent =
    std::function<void(TModbusClient& Sender, const TTransactionInfo& Info, TModbusFileRecordList& FileRecList)>;
using TExceptionStatusReadEvent = std::function<void(TModbusClient& Sender, const TTransactionInfo& Info,
                                                     const TExceptionStatusValues& StatusValues)>;
using TServerIdentificationReportEvent = std::function<void(TModbusClient& Sender, const TTransactionInfo& Info,
                                                            int Count, const TServerIdentificationData& Data)>;
using TDiagnosticsEvent = std::function<void(TModbusClient& Sender, const TTransactionInfo& Info,
                                             TDiagnosticAction Action, Word Result)>;
using TCommEventCounterEvent =
    std::function<void(TModbusClient& Sender, const TTransactionInfo& Info, Word Status, Word EventCount)>;
using TCommEventLogEvent = std::function<void(TModbusClient& Sender, const TTransactionInfo& Info, Word Status,
                                              Word EventCount, Word MessageCount, const TCommEvents& Events)>;
using TMultipleRegistersReadWriteEvent =
    std::function<void(TModbusClient& Sender, const TTransactionInfo& Info, Word ReadStart, Word ReadCount,
                       const TRegValues& ReadValues, Word WriteStart, Word WriteCount, const TRegValues& WriteValues)>;
using TFifoQueueReadEvent = std::function<void(TModbusClient& Sender, const TTransactionInfo& Info, Word FifoAddress,
                                               const TRegValues& Values)>;
using TDeviceIdentificationReadEvent =
    std::function<void(TModbusClient& Sender, const TTransactionInfo& Info, TDeviceIdAccess Access, Byte ObjectId,
                       Byte ConformityLevel, const TDeviceObjects& Objects)>;
///@}
/// A raw request's end: its PDU (function code and data) and the reply's PDU as it came, for a
/// normal or an exception reply; empty for any other outcome.
using TRawReplyEvent = std::function<void(TModbusClient& Sender, const TTransactionInfo& Info,
                                          const TFrameData& RequestPdu, const TFrameData& ReplyPdu)>;
/// Puts a text on an exception code (see DoTranslateExceptionCode).
///@{
using TTranslateExceptionCodeEvent =
    std::function<void(TModbusClient& Sender, Byte ExceptionCode, std::string& Description)>;
///@}

/// A Modbus client of one server on a connection. See the file's description for how requests
/// end; the request functions raise EQuorvelError for arguments out of range and without an active
/// connection, and then nothing is sent.
class QUORVEL_EXPORT TModbusClient : public TComponent {
 public:
  /// The protocol's limits on what one request may carry.
  ///@{
  static constexpr int MaxReadBits = 2000;
  static constexpr int MaxReadRegisters = 125;
  static constexpr int MaxWriteBits = 1968;
  static constexpr int MaxWriteRegisters = 123;
  static constexpr int MaxFileRecordBytes = 245;  ///< a file request's or reply's byte count
  static constexpr int MaxReadWriteRegisters = 121;  ///< what a read/write request writes beside its read
  static constexpr int MaxRawPdu = 253;  ///< a raw request's function code and data
  ///@}

  /// A client of server address 1, without a connection. The destructor detaches it from its
  /// connection; requests still in flight end without an event.
  ///@{
  explicit TModbusClient(TComponent* Owner = nullptr);
  ~TModbusClient() override;
  ///@}

  /// The connection the requests go through, or null.
  TModbusConnection* Connection() const noexcept { return FConnection; }
  /// Registers with the new connection (once) and asks it for free notification. Main thread only
  /// (std::logic_error elsewhere), as is destroying a client that has a connection.
  void SetConnection(TModbusConnection* Value);

  /// 1..247: a client never broadcasts.
  ///@{
  Byte ServerAddress() const noexcept { return FServerAddress; }
  void SetServerAddress(Byte Value);
  ///@}

  /// Raises "There is no active connection" without a connection, or when it is closed, loading
  /// or designing; std::logic_error "... must run on the main thread" on any other thread.
  void CheckConnection() const;

  /// Requests. Each returns the transaction number; none waits for the reply. Main thread only:
  /// from another thread each raises std::logic_error before anything is counted or sent.
  ///@{
  Cardinal ReadCoils(Word StartBit, Word BitCount, Cardinal UserData = 0);
  Cardinal ReadDiscreteInputs(Word StartBit, Word BitCount, Cardinal UserData = 0);
  Cardinal ReadHoldingRegisters(Word StartReg, Word RegCount, Cardinal UserData = 0);
  Cardinal ReadInputRegisters(Word StartReg, Word RegCount, Cardinal UserData = 0);
  Cardinal WriteSingleCoil(Word BitAddr, bool BitValue, Cardinal UserData = 0);
  Cardinal WriteSingleRegister(Word RegAddr, Word RegValue, Cardinal UserData = 0);
  Cardinal ReadExceptionStatus(Cardinal UserData = 0);
  Cardinal Diagnostics(TDiagnosticAction Action, Cardinal UserData = 0);
  Cardinal WriteMultipleCoils(Word StartBit, const TBitValues& BitValues, Cardinal UserData = 0);
  Cardinal WriteMultipleRegisters(Word StartReg, const TRegValues& RegValues, Cardinal UserData = 0);
  Cardinal ReportServerIdentification(Cardinal UserData = 0);
  ///@}
  /// The records' file numbers, starting record numbers and counts; for writing, their values too.
  ///@{
  Cardinal ReadFileRecord(const TModbusFileRecordList& Records, Cardinal UserData = 0);
  Cardinal WriteFileRecord(const TModbusFileRecordList& Records, Cardinal UserData = 0);
  Cardinal MaskWriteSingleRegister(Word RegAddr, Word AndMask, Word OrMask, Cardinal UserData = 0);
  ///@}

  /// The server's communication event counter (function 11) and its event log (function 12).
  ///@{
  Cardinal GetCommEventCounter(Cardinal UserData = 0);
  Cardinal GetCommEventLog(Cardinal UserData = 0);
  ///@}
  /// Writes WriteValues from WriteStart, then reads ReadCount holding registers from ReadStart, in
  /// one request (function 23): 1..125 read, 1..121 written.
  Cardinal ReadWriteMultipleRegisters(Word ReadStart, Word ReadCount, Word WriteStart, const TRegValues& WriteValues,
                                      Cardinal UserData = 0);
  /// The registers queued at FifoAddress (function 24), up to 31.
  Cardinal ReadFifoQueue(Word FifoAddress, Cardinal UserData = 0);
  /// The server's identification objects (function 43, interface 14) from ObjectId on, as Access
  /// says. Where the server says that more objects follow, the client asks for them, within this one
  /// request, until it has the whole list; the one event then carries them all (Info.Attempts
  /// counts the sends of every exchange).
  Cardinal ReadDeviceIdentification(TDeviceIdAccess Access, Byte ObjectId = 0, Cardinal UserData = 0);
  /// Sends Pdu (a function code of 1..127, then its data, MaxRawPdu bytes at most) as it is and
  /// reports the reply as it came, through OnRawReply, for any function code, the library's own
  /// included. ReplyLength tells length-aware framing where the reply ends.
  Cardinal SendRawRequest(const TFrameData& Pdu, TReplyLength ReplyLength = {}, Cardinal UserData = 0);

  /// Called by the connection on the main thread with a finished transaction, which it frees
  /// afterwards. Checks the reply against the request, decodes it and raises one event.
  virtual void ProcessReply(TModbusTransaction& Transaction);

  /// The handlers of the requests' events, one per function (see the request of the same name);
  /// OnTranslateExceptionCode is asked for a text by DoTranslateExceptionCode. An empty handler
  /// removes one.
  ///@{
  const TMultipleBitsAccessEvent& OnCoilsRead() const noexcept { return FOnCoilsRead; }
  void SetOnCoilsRead(TMultipleBitsAccessEvent Handler) { FOnCoilsRead = std::move(Handler); }
  const TDiagnosticsEvent& OnDiagnostics() const noexcept { return FOnDiagnostics; }
  void SetOnDiagnostics(TDiagnosticsEvent Handler) { FOnDiagnostics = std::move(Handler); }
  const TMultipleBitsAccessEvent& OnDiscreteInputsRead() const noexcept { return FOnDiscreteInputsRead; }
  void SetOnDiscreteInputsRead(TMultipleBitsAccessEvent Handler) { FOnDiscreteInputsRead = std::move(Handler); }
  const TExceptionStatusReadEvent& OnExceptionStatusRead() const noexcept { return FOnExceptionStatusRead; }
  void SetOnExceptionStatusRead(TExceptionStatusReadEvent Handler) { FOnExceptionStatusRead = std::move(Handler); }
  const TFileRecordAccessEvent& OnFileRecordRead() const noexcept { return FOnFileRecordRead; }
  void SetOnFileRecordRead(TFileRecordAccessEvent Handler) { FOnFileRecordRead = std::move(Handler); }
  const TFileRecordAccessEvent& OnFileRecordWrite() const noexcept { return FOnFileRecordWrite; }
  void SetOnFileRecordWrite(TFileRecordAccessEvent Handler) { FOnFileRecordWrite = std::move(Handler); }
  const TMultipleRegistersAccessEvent& OnHoldingRegistersRead() const noexcept { return FOnHoldingRegistersRead; }
  void SetOnHoldingRegistersRead(TMultipleRegistersAccessEvent Handler) { FOnHoldingRegistersRead = std::move(Handler); }
  const TMultipleRegistersAccessEvent& OnInputRegistersRead() const noexcept { return FOnInputRegistersRead; }
  void SetOnInputRegistersRead(TMultipleRegistersAccessEvent Handler) { FOnInputRegistersRead = std::move(Handler); }
  const TMultipleBitsAccessEvent& OnMultipleCoilsWrite() const noexcept { return FOnMultipleCoilsWrite; }
  void SetOnMultipleCoilsWrite(TMultipleBitsAccessEvent Handler) { FOnMultipleCoilsWrite = std::move(Handler); }
  const TMultipleRegistersAccessEvent& OnMultipleRegistersWrite() const noexcept { return FOnMultipleRegistersWrite; }
  void SetOnMultipleRegistersWrite(TMultipleRegistersAccessEvent Handler) { FOnMultipleRegistersWrite = std::move(Handler); }
  const TServerIdentificationReportEvent& OnServerIdentificationReport() const noexcept {
    return FOnServerIdentificationReport;
  }
  void SetOnServerIdentificationReport(TServerIdentificationReportEvent Handler) {
    FOnServerIdentificationReport = std::move(Handler);
  }
  const TSingleCoilWriteEvent& OnSingleCoilWrite() const noexcept { return FOnSingleCoilWrite; }
  void SetOnSingleCoilWrite(TSingleCoilWriteEvent Handler) { FOnSingleCoilWrite = std::move(Handler); }
  const TSingleRegisterMaskWriteEvent& OnSingleRegisterMaskWrite() const noexcept { return FOnSingleRegisterMaskWrite; }
  void SetOnSingleRegisterMaskWrite(TSingleRegisterMaskWriteEvent Handler) { FOnSingleRegisterMaskWrite = std::move(Handler); }
  const TSingleRegisterWriteEvent& OnSingleRegisterWrite() const noexcept { return FOnSingleRegisterWrite; }
  void SetOnSingleRegisterWrite(TSingleRegisterWriteEvent Handler) { FOnSingleRegisterWrite = std::move(Handler); }
  const TTranslateExceptionCodeEvent& OnTranslateExceptionCode() const noexcept { return FOnTranslateExceptionCode; }
  void SetOnTranslateExceptionCode(TTranslateExceptionCodeEvent Handler) { FOnTranslateExceptionCode = std::move(Handler); }
  const TCommEventCounterEvent& OnCommEventCounterRead() const noexcept { return FOnCommEventCounterRead; }
  void SetOnCommEventCounterRead(TCommEventCounterEvent Handler) { FOnCommEventCounterRead = std::move(Handler); }
  const TCommEventLogEvent& OnCommEventLogRead() const noexcept { return FOnCommEventLogRead; }
  void SetOnCommEventLogRead(TCommEventLogEvent Handler) { FOnCommEventLogRead = std::move(Handler); }
  const TDeviceIdentificationReadEvent& OnDeviceIdentificationRead() const noexcept {
    return FOnDeviceIdentificationRead;
  }
  void SetOnDeviceIdentificationRead(TDeviceIdentificationReadEvent Handler) {
    FOnDeviceIdentificationRead = std::move(Handler);
  }
  const TFifoQueueReadEvent& OnFifoQueueRead() const noexcept { return FOnFifoQueueRead; }
  void SetOnFifoQueueRead(TFifoQueueReadEvent Handler) { FOnFifoQueueRead = std::move(Handler); }
  const TMultipleRegistersReadWriteEvent& OnMultipleRegistersReadWrite() const noexcept {
    return FOnMultipleRegistersReadWrite;
  }
  void SetOnMultipleRegistersReadWrite(TMultipleRegistersReadWriteEvent Handler) {
    FOnMultipleRegistersReadWrite = std::move(Handler);
  }
  const TRawReplyEvent& OnRawReply() const noexcept { return FOnRawReply; }
  void SetOnRawReply(TRawReplyEvent Handler) { FOnRawReply = std::move(Handler); }
  ///@}

  /// Lets the application put a text on an exception code; the library keeps none of its own.
  virtual void DoTranslateExceptionCode(Byte ExceptionCode, std::string& Description);

 protected:
  void Notification(TComponent* Component, TOperation Operation) override;

  /// Raise the event of the same name with the decoded reply; a subclass overrides one to handle the
  /// outcome itself. Each does nothing when no handler is set.
  ///@{
  virtual void DoCoilsRead(const TTransactionInfo& Info, Word StartBit, Word BitCount, const TBitValues& BitValues);
  virtual void DoDiagnostics(const TTransactionInfo& Info, TDiagnosticAction Action, Word Result);
  virtual void DoDiscreteInputsRead(const TTransactionInfo& Info, Word StartBit, Word BitCount,
                                    const TBitValues& BitValues);
  virtual void DoExceptionStatusRead(const TTransactionInfo& Info, const TExceptionStatusValues& StatusValues);
  virtual void DoFileRecordRead(const TTransactionInfo& Info, TModbusFileRecordList& FileRecList);
  virtual void DoFileRecordWrite(const TTransactionInfo& Info, TModbusFileRecordList& FileRecList);
  virtual void DoHoldingRegistersRead(const TTransactionInfo& Info, Word StartReg, Word RegCount,
                                      const TRegValues& RegValues);
  virtual void DoInputRegistersRead(const TTransactionInfo& Info, Word StartReg, Word RegCount,
                                    const TRegValues& RegValues);
  virtual void DoMultipleCoilsWrite(const TTransactionInfo& Info, Word StartBit, Word BitCount,
                                    const TBitValues& BitValues);
  virtual void DoMultipleRegistersWrite(const TTransactionInfo& Info, Word StartReg, Word RegCount,
                                        const TRegValues& RegValues);
  virtual void DoServerIdentificationReport(const TTransactionInfo& Info, int Count,
                                            const TServerIdentificationData& Data);
  virtual void DoSingleCoilWrite(const TTransactionInfo& Info, Word BitAddr, bool BitValue);
  virtual void DoSingleRegisterMaskWrite(const TTransactionInfo& Info, Word RegAddr, Word AndMask, Word OrMask);
  virtual void DoSingleRegisterWrite(const TTransactionInfo& Info, Word RegAddr, Word RegValue);
  virtual void DoCommEventCounterRead(const TTransactionInfo& Info, Word Status, Word EventCount);
  virtual void DoCommEventLogRead(const TTransactionInfo& Info, Word Status, Word EventCount, Word MessageCount,
                                  const TCommEvents& Events);
  virtual void DoDeviceIdentificationRead(const TTransactionInfo& Info, TDeviceIdAccess Access, Byte ObjectId,
                                          Byte ConformityLevel, const TDeviceObjects& Objects);
  virtual void DoFifoQueueRead(const TTransactionInfo& Info, Word FifoAddress, const TRegValues& Values);
  virtual void DoMultipleRegistersReadWrite(const TTransactionInfo& Info, Word ReadStart, Word ReadCount,
                                            const TRegValues& ReadValues, Word WriteStart, Word WriteCount,
                                            const TRegValues& WriteValues);
  virtual void DoRawReply(const TTransactionInfo& Info, const TFrameData& RequestPdu, const TFrameData& ReplyPdu);
  ///@}

 private:
  template <class F>
  Cardinal Submit(Cardinal UserData, F WriteRequestData);
  std::unique_ptr<TModbusTransaction> NewTransaction(Cardinal UserData);
  template <class F>
  Cardinal Hand(std::unique_ptr<TModbusTransaction> Transaction, F WriteRequestData, bool Numbered = false);
  Cardinal ReadRequest(Byte Function, Word Start, Word Count, int MaxCount, Cardinal UserData);

  void DecodeBitsRead(TModbusTransaction& T, bool Coils);
  void DecodeRegistersRead(TModbusTransaction& T, bool Holding);
  void DecodeSingleCoilWrite(TModbusTransaction& T);
  void DecodeSingleRegisterWrite(TModbusTransaction& T);
  void DecodeExceptionStatus(TModbusTransaction& T);
  void DecodeDiagnostics(TModbusTransaction& T);
  void DecodeMultipleCoilsWrite(TModbusTransaction& T);
  void DecodeMultipleRegistersWrite(TModbusTransaction& T);
  void DecodeServerIdentification(TModbusTransaction& T);
  void DecodeFileRecordRead(TModbusTransaction& T);
  void DecodeFileRecordWrite(TModbusTransaction& T);
  void DecodeMaskWrite(TModbusTransaction& T);
  void DecodeCommEventCounter(TModbusTransaction& T);
  void DecodeCommEventLog(TModbusTransaction& T);
  void DecodeReadWriteRegisters(TModbusTransaction& T);
  void DecodeFifoQueue(TModbusTransaction& T);
  void DecodeDeviceIdentification(TModbusTransaction& T);
  void DecodeRawReply(TModbusTransaction& T);
  void RequestMoreObjects(const TTransactionInfo& Info, TDeviceIdAccess Access, Byte NextObjectId,
                          std::unique_ptr<TTransactionCarry> Gathered);

  TModbusConnection* FConnection = nullptr;
  Byte FServerAddress = 1;

  TMultipleBitsAccessEvent FOnCoilsRead, FOnDiscreteInputsRead, FOnMultipleCoilsWrite;
  TDiagnosticsEvent FOnDiagnostics;
  TExceptionStatusReadEvent FOnExceptionStatusRead;
  TFileRecordAccessEvent FOnFileRecordRead, FOnFileRecordWrite;
  TMultipleRegistersAccessEvent FOnHoldingRegistersRead, FOnInputRegistersRead, FOnMultipleRegistersWrite;
  TServerIdentificationReportEvent FOnServerIdentificationReport;
  TSingleCoilWriteEvent FOnSingleCoilWrite;
  TSingleRegisterMaskWriteEvent FOnSingleRegisterMaskWrite;
  TSingleRegisterWriteEvent FOnSingleRegisterWrite;
  TTranslateExceptionCodeEvent FOnTranslateExceptionCode;
  TCommEventCounterEvent FOnCommEventCounterRead;
  TCommEventLogEvent FOnCommEventLogRead;
  TDeviceIdentificationReadEvent FOnDeviceIdentificationRead;
  TFifoQueueReadEvent FOnFifoQueueRead;
  TMultipleRegistersReadWriteEvent FOnMultipleRegistersReadWrite;
  TRawReplyEvent FOnRawReply;
};

}  // namespace Quorvel
