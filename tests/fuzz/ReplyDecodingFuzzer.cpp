// Arbitrary reply bytes against the client's reply decoding, for every function code it asks.
//
// An input is: a flags byte (bit 0: ASCII; bit 1: give the reply a good frame check; bit 2, with
// bit 1: make it answer the request, address and function code, with bit 7 set if bit 3 is), the
// request's fields, then the reply. The flags take the fuzzer straight to the decoders, past the
// checks that arbitrary bytes almost never pass. The request is laid out as the client builds it, with fields
// inside the ranges the client's own argument checks allow; the reply goes through the frame
// codec and the engine's judgement exactly as a received frame does, and then to ProcessReply.
// What must hold: no crash, no exception out of ProcessReply, one event for the request's
// function, values as many as requested, and an outcome that reply checking only ever lowers
// from rsSuccess to rsInvalidReply. Function 41h stands for a raw request (with a rule for its
// reply's length drawn from the input too). A read device identification whose good reply says
// that more objects follow raises no event yet: it asks on, and its further exchange ends (its
// line has no device) in the one event, delivered when the next input pumps the messages.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include <Quorvel/BitPacking.h>
#include <Quorvel/Client.h>
#include <Quorvel/Errors.h>
#include <Quorvel/Messages.h>
#include "FuzzConnection.h"

using namespace Quorvel;
using QuorvelFuzz::TFuzzConnection;

namespace {

constexpr Byte RawFunction = 0x41;
constexpr std::array<Byte, 20> Functions = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 15, 16, 17, 20, 21, 22, 23, 24, 43, RawFunction};

struct TObserved {
  int Events = 0;
  int Function = 0;
  TReplyStatus Status = rsNoReply;
};

// Counts the events and checks what each one carries against what was asked.
class TCheckingClient : public TModbusClient {
 public:
  TObserved Seen;
  int AskedCount = 0;  // bits or registers requested, or records for the file functions

 protected:
  void Note(int Function, const TTransactionInfo& Info) {
    ++Seen.Events;
    Seen.Function = Function;
    Seen.Status = Info.ReplyStatus;
  }
  void DoCoilsRead(const TTransactionInfo& I, Word, Word Count, const TBitValues& V) override { Bits(1, I, Count, V); }
  void DoDiscreteInputsRead(const TTransactionInfo& I, Word, Word Count, const TBitValues& V) override {
    Bits(2, I, Count, V);
  }
  void DoMultipleCoilsWrite(const TTransactionInfo& I, Word, Word Count, const TBitValues& V) override {
    Bits(15, I, Count, V);
  }
  void DoHoldingRegistersRead(const TTransactionInfo& I, Word, Word Count, const TRegValues& V) override {
    Registers(3, I, Count, V);
  }
  void DoInputRegistersRead(const TTransactionInfo& I, Word, Word Count, const TRegValues& V) override {
    Registers(4, I, Count, V);
  }
  void DoMultipleRegistersWrite(const TTransactionInfo& I, Word, Word Count, const TRegValues& V) override {
    Registers(16, I, Count, V);
  }
  void DoSingleCoilWrite(const TTransactionInfo& I, Word, bool) override { Note(5, I); }
  void DoSingleRegisterWrite(const TTransactionInfo& I, Word, Word) override { Note(6, I); }
  void DoExceptionStatusRead(const TTransactionInfo& I, const TExceptionStatusValues&) override { Note(7, I); }
  void DoDiagnostics(const TTransactionInfo& I, TDiagnosticAction Action, Word) override {
    FUZZ_CHECK(Action <= daClearOverrunCounter);
    Note(8, I);
  }
  void DoServerIdentificationReport(const TTransactionInfo& I, int Count, const TServerIdentificationData& Data) override {
    FUZZ_CHECK(Count >= 0 && Count <= 255);
    FUZZ_CHECK(Data.size() <= static_cast<std::size_t>(Count));
    Note(17, I);
  }
  void DoFileRecordRead(const TTransactionInfo& I, TModbusFileRecordList& List) override { Files(20, I, List); }
  void DoFileRecordWrite(const TTransactionInfo& I, TModbusFileRecordList& List) override { Files(21, I, List); }
  void DoSingleRegisterMaskWrite(const TTransactionInfo& I, Word, Word, Word) override { Note(22, I); }
  void DoCommEventCounterRead(const TTransactionInfo& I, Word, Word) override { Note(11, I); }
  void DoCommEventLogRead(const TTransactionInfo& I, Word, Word, Word, const TCommEvents& Events) override {
    FUZZ_CHECK(Events.size() <= 255 - 6);
    Note(12, I);
  }
  void DoMultipleRegistersReadWrite(const TTransactionInfo& I, Word, Word Count, const TRegValues& Read, Word,
                                    Word WriteCount, const TRegValues& Written) override {
    FUZZ_CHECK(Count == AskedCount && Read.size() == Count && Written.size() == WriteCount);
    Note(23, I);
  }
  void DoFifoQueueRead(const TTransactionInfo& I, Word, const TRegValues& Values) override {
    FUZZ_CHECK(Values.size() <= 31);
    Note(24, I);
  }
  void DoDeviceIdentificationRead(const TTransactionInfo& I, TDeviceIdAccess Access, Byte, Byte,
                                  const TDeviceObjects& Objects) override {
    FUZZ_CHECK(Access >= diBasic && Access <= diSpecific);
    for (const auto& Object : Objects) FUZZ_CHECK(Object.second.size() <= 255);
    Note(43, I);
  }
  void DoRawReply(const TTransactionInfo& I, const TFrameData& Request, const TFrameData& Reply) override {
    FUZZ_CHECK(!Request.empty() && Request[0] == RawFunction && Reply.size() <= 254);
    FUZZ_CHECK(Reply.empty() == (I.ReplyStatus != rsSuccess && I.ReplyStatus != rsExceptionReply));
    Note(RawFunction, I);
  }

 private:
  void Bits(int Function, const TTransactionInfo& I, Word Count, const TBitValues& V) {
    FUZZ_CHECK(Count == AskedCount && V.size() == Count);
    Note(Function, I);
  }
  void Registers(int Function, const TTransactionInfo& I, Word Count, const TRegValues& V) {
    FUZZ_CHECK(Count == AskedCount && V.size() == Count);
    Note(Function, I);
  }
  void Files(int Function, const TTransactionInfo& I, TModbusFileRecordList& List) {
    FUZZ_CHECK(List.Count() == AskedCount);
    Note(Function, I);
  }
};

struct TSide {
  TFuzzConnection Line;
  TCheckingClient Client;
  explicit TSide(TTransmissionMode Mode) : Line(Mode, cmClient) {
    Client.SetConnection(&Line.Connection);
    // A further exchange of a read device identification goes out on a line where nobody answers:
    // it ends at once, without reply.
    Line.Connection.SetReceiveTimeout(0);
    Line.Connection.SetSendTimeout(0);
    Line.Connection.Open();
  }
};

TSide& Side(bool Ascii) {
  static TSide Rtu(tmRTU);
  static TSide AsciiSide(tmASCII);
  return Ascii ? AsciiSide : Rtu;
}

Word Count(FuzzedDataProvider& In, int Max) { return In.ConsumeIntegralInRange<Word>(1, static_cast<Word>(Max)); }

// A start address that leaves room for Count values below 65536.
Word Start(FuzzedDataProvider& In, int Count) { return In.ConsumeIntegralInRange<Word>(0, static_cast<Word>(65536 - Count)); }

// Writes the request data after the function code, as the client lays it out; returns the count
// of values (or records) the event must carry.
int BuildRequest(Byte Function, FuzzedDataProvider& In, TModbusBuffer& B) {
  B.WriteByte(Function);
  switch (Function) {
    case 1:
    case 2:
    case 3:
    case 4: {
      const Word N = Count(In, Function <= 2 ? TModbusClient::MaxReadBits : TModbusClient::MaxReadRegisters);
      B.WriteWord(Start(In, N));
      B.WriteWord(N);
      return N;
    }
    case 5:
      B.WriteWord(In.ConsumeIntegral<Word>());
      B.WriteWord(In.ConsumeBool() ? 0xFF00 : 0x0000);
      return 1;
    case 6:
      B.WriteWord(In.ConsumeIntegral<Word>());
      B.WriteWord(In.ConsumeIntegral<Word>());
      return 1;
    case 7:
    case 17: return 0;
    case 8: {
      const auto Action = static_cast<TDiagnosticAction>(In.ConsumeIntegralInRange<int>(0, daClearOverrunCounter));
      B.WriteWord(DiagnosticSubFunctions[Action]);
      B.WriteWord(DiagnosticDataWord(Action));
      return 1;
    }
    case 15: {
      const Word N = Count(In, TModbusClient::MaxWriteBits);
      TBitValues Values(N);
      for (std::size_t I = 0; I < Values.size(); ++I) Values[I] = In.ConsumeBool();
      B.WriteWord(Start(In, N));
      B.WriteWord(N);
      B.WriteByte(static_cast<Byte>(BitsToBytes(N)));
      PackBits(Values, B);
      return N;
    }
    case 16: {
      const Word N = Count(In, TModbusClient::MaxWriteRegisters);
      B.WriteWord(Start(In, N));
      B.WriteWord(N);
      B.WriteByte(static_cast<Byte>(2 * N));
      for (int I = 0; I < N; ++I) B.WriteWord(In.ConsumeIntegral<Word>());
      return N;
    }
    case 20:
    case 21: {
      // The client's limits: at most 245 bytes of sub-requests, and the registers beside 2 (read)
      // or 7 (write) bytes per record within 245 bytes too.
      const bool Write = Function == 21;
      const int Records = In.ConsumeIntegralInRange<int>(1, TModbusClient::MaxFileRecordBytes / 7);
      int RegistersLeft = (TModbusClient::MaxFileRecordBytes - (Write ? 7 : 2) * Records) / 2;
      if (RegistersLeft < Records) return -1;  // the client refuses this many records
      std::vector<std::pair<std::array<Word, 3>, TRegValues>> List;
      int Bytes = 0;
      for (int R = 0; R < Records; ++R) {
        const int N = In.ConsumeIntegralInRange<int>(1, RegistersLeft - (Records - R - 1));
        RegistersLeft -= N;
        const Word First = In.ConsumeIntegralInRange<Word>(0, static_cast<Word>(TModbusFileRecord::MaxRecordNumber + 1 - N));
        TRegValues Values(Write ? static_cast<std::size_t>(N) : 0);
        for (auto& V : Values) V = In.ConsumeIntegral<Word>();
        List.push_back({{In.ConsumeIntegral<Word>(), First, static_cast<Word>(N)}, Values});
        Bytes += 7 + (Write ? 2 * N : 0);
      }
      B.WriteByte(static_cast<Byte>(Bytes));
      for (const auto& [Fields, Values] : List) {
        B.WriteByte(6);
        for (const Word F : Fields) B.WriteWord(F);
        for (const Word V : Values) B.WriteWord(V);
      }
      return Records;
    }
    case 11:
    case 12:
    case 24:
      if (Function == 24) B.WriteWord(In.ConsumeIntegral<Word>());
      return 0;
    case 23: {
      const Word Read = Count(In, TModbusClient::MaxReadRegisters);
      const Word Written = Count(In, TModbusClient::MaxReadWriteRegisters);
      B.WriteWord(Start(In, Read));
      B.WriteWord(Read);
      B.WriteWord(Start(In, Written));
      B.WriteWord(Written);
      B.WriteByte(static_cast<Byte>(2 * Written));
      for (int I = 0; I < Written; ++I) B.WriteWord(In.ConsumeIntegral<Word>());
      return Read;
    }
    case 43:
      B.WriteByte(0x0E);
      B.WriteByte(In.ConsumeIntegralInRange<Byte>(diBasic, diSpecific));
      B.WriteByte(In.ConsumeIntegral<Byte>());
      return 0;
    case RawFunction:
      for (int I = In.ConsumeIntegralInRange<int>(0, 20); I > 0; --I) B.WriteByte(In.ConsumeIntegral<Byte>());
      return 0;
    default:  // 22
      for (int I = 0; I < 3; ++I) B.WriteWord(In.ConsumeIntegral<Word>());
      return 1;
  }
}

bool AsksForMoreObjects(Byte Function, const TModbusBuffer& Reply, TReplyStatus Status) {
  return Function == 43 && Status == rsSuccess && Reply.Size() > 5 && Reply.Memory()[5] == 0xFF;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  FuzzedDataProvider In(Data, Size);
  const Byte Flags = In.ConsumeIntegral<Byte>();
  const bool Ascii = (Flags & 1) != 0;
  const bool GoodCheck = (Flags & 2) != 0;
  const Byte Function = In.PickValueInArray(Functions);
  TSide& S = Side(Ascii);
  TModbusConnection& C = S.Line.Connection;
  // The further exchanges that earlier inputs started end here, in their events.
  MainThread::ProcessMessages();

  TModbusTransaction T(C.FrameBufferSize());
  if (Function == RawFunction) {
    const auto Rule = static_cast<TReplyLengthRule>(In.ConsumeIntegralInRange<int>(rlByFunction, rlWordCount));
    T.RawReply = TReplyLength{Rule, In.ConsumeIntegral<Byte>(), In.ConsumeIntegral<Byte>()};
  }
  T.Info.ServerAddress = In.ConsumeIntegralInRange<Byte>(1, 247);
  T.Info.TransactionID = In.ConsumeIntegral<Cardinal>();
  C.WriteAddress(T.Info.ServerAddress, T.Request);
  const int Asked = BuildRequest(Function, In, T.Request);
  if (Asked < 0) return 0;
  C.AppendChecksum(T.Request);
  S.Client.AskedCount = Asked;

  // The reply as it comes off the line: never more than the worker's receive area holds.
  std::vector<Byte> Raw = In.ConsumeRemainingBytes<Byte>();
  if (GoodCheck) {
    // Most interesting replies pass the frame check: give the bytes one and encode them.
    if ((Flags & 4) != 0 && Raw.size() >= 2) {
      Raw[0] = T.Info.ServerAddress;
      Raw[1] = static_cast<Byte>(Function | ((Flags & 8) != 0 ? 0x80 : 0));
    }
    QuorvelFuzz::EncodeWithGoodCheck(C, Raw);
  }
  if (Raw.size() > static_cast<std::size_t>(C.RawFrameSize())) Raw.resize(static_cast<std::size_t>(C.RawFrameSize()));

  // The engine's judgement of a received frame.
  try {
    C.DecodeFrame(Raw.data(), T.Reply, static_cast<int>(Raw.size()));
  } catch (const EAssertionFailed&) {
    return 0;  // a malformed ASCII frame: the engine drops the transaction
  } catch (const EQuorvelError&) {
    return 0;
  }
  if (!C.IsValidFrame(T.Reply)) {
    T.Info.ReplyStatus = rsNoReply;
  } else if (!C.MatchesRequest(T.Request, T.Reply)) {
    T.Info.ReplyStatus = rsInvalidReply;
  } else if (C.IsExceptionReply(T.Reply)) {
    T.Info.ReplyStatus = rsExceptionReply;
    C.ReadExceptionCode(T.Reply, T.Info.ExceptionKind, T.Info.ExceptionCode);
  } else {
    T.Info.ReplyStatus = rsSuccess;
  }
  const TReplyStatus Judged = T.Info.ReplyStatus;

  S.Client.Seen = {};
  S.Client.ProcessReply(T);
  if (S.Client.Seen.Events == 0 && AsksForMoreObjects(Function, T.Reply, T.Info.ReplyStatus)) return 0;
  FUZZ_CHECK(S.Client.Seen.Events == 1);
  FUZZ_CHECK(S.Client.Seen.Function == Function);
  FUZZ_CHECK(S.Client.Seen.Status == Judged || (Judged == rsSuccess && S.Client.Seen.Status == rsInvalidReply));
  FUZZ_CHECK(T.Info.ReplyStatus == S.Client.Seen.Status);
  return 0;
}
