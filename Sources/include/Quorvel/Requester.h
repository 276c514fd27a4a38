#pragma once
/// @file
/// TRequester: the requests of a client, made from any thread, each ending in its own completion
/// instead of a client's event. A request function checks its arguments and returns a TRequest,
/// not yet sent; the request goes out when the caller picks how to learn its end:
///
/// - `Future()`: a std::future of the TReply;
/// - `Then(Callback)`: a callback of its own, on the main thread's queue or on the worker;
/// - `Wait()`: blocks the calling thread until the end;
/// - `co_await`: resumes a C++20 coroutine on the main thread's queue, or on the worker with
///   `ResumeOn(roWorker)`.
///
/// Each request sent ends exactly once: with the reply, an exception reply, an invalid reply, no
/// reply, or cancelled (TRequest::Cancel, TRequester::CancelAll, the requester destroyed, the
/// connection closed). A queued request that is cancelled is never sent; one in flight has its
/// result dropped. The request that the worker is carrying when the connection closes runs through
/// its attempts and ends with what they gave, as the worker carries every transaction. Futures,
/// blocking calls and worker-resumed coroutines need no pump of the main thread's queue.
///
/// @code
/// Quorvel::TModbusConnection Connection;
/// Connection.SetPort("/dev/ttyUSB0");
/// Connection.Open();
/// Quorvel::TRequester Device(Connection, 1);
/// auto Reply = Device.ReadHoldingRegisters(0, 10).Wait();
/// if (Reply.Succeeded()) std::printf("%u\n", Reply.Values[0]);
/// @endcode

#include <atomic>
#include <condition_variable>
#include <coroutine>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include <Quorvel/Client.h>
#include <Quorvel/DeviceIdentification.h>
#include <Quorvel/Diagnostics.h>
#include <Quorvel/Export.h>
#include <Quorvel/FileRecords.h>
#include <Quorvel/ReplyLength.h>
#include <Quorvel/ReplyValues.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

class TModbusConnection;
class TModbusFrameCodec;
class TRequestCore;
struct TRequestRegistry;

/// Where a callback runs and a coroutine resumes.
enum TResumeOn : std::uint8_t {
  /// Posted to the main thread's queue (never refused), run when it is pumped.
  roMainThread,
  /// On the connection's worker, as soon as the request ends; for programs without an event loop.
  /// Keep it short: the next request waits meanwhile. It may send further requests, but must not
  /// wait for one (Wait refuses) nor close or destroy the connection. A request that is cancelled
  /// ends on the thread that cancels it (the one that calls Cancel, closes the connection or
  /// destroys the requester).
  roWorker
};

/// A one-shot signal that a blocking request waits for. On the main thread the wait keeps serving
/// the workers' synchronous calls, so that a worker that needs the main thread meanwhile is never
/// stuck.
class QUORVEL_EXPORT TCompletionSignal {
 public:
  /// A signal to be waited for on the calling thread.
  TCompletionSignal();
  /// Any thread: ends the wait. The last use of the signal by the notifier.
  void Notify() noexcept;
  /// Returns once Notify has been called. On the thread that made the signal only.
  void Wait();

 private:
  const bool FOnMainThread;
  std::mutex FLock;
  std::condition_variable FDone;
  std::atomic<bool> FNotified{false};
};

/// What a TRequest is apart from its value type: the link to the library's request, sending it,
/// and cancelling it. Copies share the one request.
class QUORVEL_EXPORT TRequestBase {
 public:
  /// Called once with the end: the codec and the finished transaction, or two nulls when the
  /// request was cancelled; Info is the record it was sent with.
  using TFinish =
      std::function<void(const TModbusFrameCodec* Codec, TModbusTransaction* Transaction, const TTransactionInfo& Info)>;
  /// Any thread: ends the request as cancelled, unless it has ended already (or was never sent).
  /// True when this call ended it. A queued request is then never sent; one in flight has its reply
  /// dropped.
  bool Cancel() noexcept;
  /// Whether the request has been sent (one of the styles was chosen).
  bool Sent() const noexcept;

 protected:
  /// Takes over a request that the requester made.
  explicit TRequestBase(std::shared_ptr<TRequestCore> Core) noexcept;
  /// Sends the request; Finish is called exactly once, on the worker or the cancelling thread.
  /// Raises "There is no active connection" while the connection is closed, std::logic_error when
  /// the request was sent already or its requester is gone.
  void Start(TFinish Finish);
  /// Raises std::logic_error on a thread where a blocking wait could never end: the thread that
  /// pumps the main thread's queue (inside ProcessMessages, or while an event loop has a wake-up
  /// handler installed) and a connection's worker.
  static void CheckMayBlock();
  /// Any thread: runs Call on the main thread; like MainThread::Post, but never refused, since each
  /// request posts at most once.
  static void PostToMainThread(std::function<void()> Call);

 private:
  std::shared_ptr<TRequestCore> FCore;
};

/// One request of a TRequester, not yet sent until one of Future, Then, Wait or co_await sends it;
/// each of them sends it once (a second raises std::logic_error). TValue is what TReply::Values holds.
template <class TValue>
class TRequest : public TRequestBase {
 public:
  /// Reads the values of a finished exchange (the library's reply decoders).
  using TDecoder = TValue (*)(const TModbusFrameCodec& Codec, TModbusTransaction& Transaction);
  /// A per-request callback.
  using TCallback = std::function<void(const TReply<TValue>& Reply)>;

  /// Sends the request; the future is ready at its end, on the worker, without any pump.
  std::future<TReply<TValue>> Future() {
    auto Promise = std::make_shared<std::promise<TReply<TValue>>>();
    std::future<TReply<TValue>> Result = Promise->get_future();
    Start([Promise, Decode = FDecode](const TModbusFrameCodec* C, TModbusTransaction* T, const TTransactionInfo& I) {
      Promise->set_value(DecodeEnd(Decode, C, T, I));
    });
    return Result;
  }

  /// Sends the request; Callback gets its end where ResumeOn says. An exception escaping the
  /// callback goes to Application::HandleException on the main thread.
  void Then(TCallback Callback, TResumeOn ResumeOn = roMainThread) {
    Start([Callback = std::move(Callback), ResumeOn, Decode = FDecode](
              const TModbusFrameCodec* C, TModbusTransaction* T, const TTransactionInfo& I) {
      auto Reply = std::make_shared<const TReply<TValue>>(DecodeEnd(Decode, C, T, I));
      if (ResumeOn == roWorker)
        Callback(*Reply);
      else
        PostToMainThread([Callback, Reply] { Callback(*Reply); });
    });
  }

  /// Sends the request and blocks until its end (see TRequestBase::CheckMayBlock for where it is
  /// refused). Usable from any other thread, and from the main thread of a program that has no
  /// event loop.
  TReply<TValue> Wait() {
    CheckMayBlock();
    std::optional<TReply<TValue>> Result;
    TCompletionSignal Ended;
    Start([&Result, &Ended, Decode = FDecode](const TModbusFrameCodec* C, TModbusTransaction* T,
                                              const TTransactionInfo& I) {
      Result.emplace(DecodeEnd(Decode, C, T, I));
      Ended.Notify();
    });
    Ended.Wait();
    return std::move(*Result);
  }

  /// What `co_await` waits on: sends the request when the coroutine suspends, and resumes it where
  /// the awaiter was told, with the TReply as the value of the expression.
  class TAwaiter {
   public:
    /// An awaiter of Request, resuming where ResumeOn says.
    TAwaiter(TRequest Request, TResumeOn ResumeOn) : FRequest(std::move(Request)), FResumeOn(ResumeOn) {}
    /// Always suspends: the request is sent from await_suspend.
    bool await_ready() const noexcept { return false; }
    /// Sends the request. Nothing here touches the awaiter once it is sent: a request that ends
    /// on the worker at once may resume the coroutine there before this returns.
    void await_suspend(std::coroutine_handle<> Handle) {
      FRequest.Start([this, Handle](const TModbusFrameCodec* C, TModbusTransaction* T, const TTransactionInfo& I) {
        FResult.emplace(DecodeEnd(FRequest.FDecode, C, T, I));
        if (FResumeOn == roWorker)
          Handle.resume();
        else
          PostToMainThread([Handle] { Handle.resume(); });
      });
    }
    /// The request's end.
    TReply<TValue> await_resume() { return std::move(*FResult); }

   private:
    TRequest FRequest;
    TResumeOn FResumeOn;
    std::optional<TReply<TValue>> FResult;
  };

  /// `co_await Request.ResumeOn(roWorker)`: the awaiter, resuming where Where says.
  TAwaiter ResumeOn(TResumeOn Where) const { return TAwaiter(*this, Where); }
  /// `co_await Request`: resumes on the main thread's queue.
  TAwaiter operator co_await() const { return TAwaiter(*this, roMainThread); }

 private:
  friend class TRequester;
  TRequest(std::shared_ptr<TRequestCore> Core, TDecoder Decode) noexcept
      : TRequestBase(std::move(Core)), FDecode(Decode) {}

  static TReply<TValue> DecodeEnd(TDecoder Decode, const TModbusFrameCodec* Codec, TModbusTransaction* Transaction,
                                  const TTransactionInfo& Info) {
    TReply<TValue> Reply;
    if (Transaction == nullptr) {
      Reply.Info = Info;
      Reply.Cancelled = true;
      return Reply;
    }
    // The decoder lowers the outcome when the reply does not fit, so Info is read after it; what it
    // decoded of a reply that does not fit is not handed on.
    TValue Values = Decode(*Codec, *Transaction);
    Reply.Info = Transaction->Info;
    if (Reply.Info.ReplyStatus == rsSuccess) Reply.Values = std::move(Values);
    return Reply;
  }

  TDecoder FDecode;
};

/// The requests of a client to one server on a connection, from any thread, each with its own end
/// (see the file's description). The request functions check their arguments as TModbusClient's
/// do, raising EQuorvelError, and nothing is sent then. The connection must outlive the requester;
/// destroying the requester cancels what it still has pending.
class QUORVEL_EXPORT TRequester {
 public:
  /// A requester of ServerAddress (1..247; EQuorvelError otherwise) on Connection.
  TRequester(TModbusConnection& Connection, Byte ServerAddress = 1);
  /// Cancels every request still pending.
  ~TRequester();
  /// Bound to its connection and server: neither copied nor moved.
  ///@{
  TRequester(const TRequester&) = delete;
  TRequester& operator=(const TRequester&) = delete;
  ///@}

  /// The connection and server address the requests go to.
  ///@{
  TModbusConnection& Connection() const noexcept { return FConnection; }
  Byte ServerAddress() const noexcept { return FServerAddress; }
  ///@}

  /// Cancels every request sent and not yet ended; returns how many this call ended.
  int CancelAll() noexcept;

  /// The requests of TModbusClient, of the same names and arguments. A write's values are what it
  /// sent; Diagnostics' value is the result word of an action that returns one.
  ///@{
  TRequest<TBitValues> ReadCoils(Word StartBit, Word BitCount);
  TRequest<TBitValues> ReadDiscreteInputs(Word StartBit, Word BitCount);
  TRequest<TRegValues> ReadHoldingRegisters(Word StartReg, Word RegCount);
  TRequest<TRegValues> ReadInputRegisters(Word StartReg, Word RegCount);
  TRequest<bool> WriteSingleCoil(Word BitAddr, bool BitValue);
  TRequest<Word> WriteSingleRegister(Word RegAddr, Word RegValue);
  TRequest<TExceptionStatusValues> ReadExceptionStatus();
  TRequest<Word> Diagnostics(TDiagnosticAction Action);
  TRequest<TBitValues> WriteMultipleCoils(Word StartBit, const TBitValues& BitValues);
  TRequest<TRegValues> WriteMultipleRegisters(Word StartReg, const TRegValues& RegValues);
  TRequest<TServerIdentificationData> ReportServerIdentification();
  TRequest<TModbusFileRecordList> ReadFileRecord(const TModbusFileRecordList& Records);
  TRequest<TModbusFileRecordList> WriteFileRecord(const TModbusFileRecordList& Records);
  TRequest<TMaskWriteValues> MaskWriteSingleRegister(Word RegAddr, Word AndMask, Word OrMask);
  TRequest<TCommEventCounterReply> GetCommEventCounter();
  TRequest<TCommEventLogReply> GetCommEventLog();
  /// The values are those read.
  TRequest<TRegValues> ReadWriteMultipleRegisters(Word ReadStart, Word ReadCount, Word WriteStart,
                                                  const TRegValues& WriteValues);
  TRequest<TRegValues> ReadFifoQueue(Word FifoAddress);
  /// Asks for further objects, within the one request, while the server says more follow.
  TRequest<TDeviceIdentificationValues> ReadDeviceIdentification(TDeviceIdAccess Access, Byte ObjectId = 0);
  /// The value is the reply's PDU as it came, for a normal or an exception reply.
  TRequest<TFrameData> SendRawRequest(const TFrameData& Pdu, TReplyLength ReplyLength = {});
  ///@}

  /// Writes one line of the field display (PackDisplayLine): Selector (Line1Selector,
  /// Line2Selector) and the first 20 bytes of Text, blank-filled, to registers 443..453.
  TRequest<TRegValues> WriteDisplayLine(Word Selector, std::string_view Text);

 private:
  template <class TValue, class F>
  TRequest<TValue> Make(typename TRequest<TValue>::TDecoder Decode, F WritePdu);

  TModbusConnection& FConnection;
  Byte FServerAddress;
  std::shared_ptr<TRequestRegistry> FRegistry;
};

}  // namespace Quorvel
