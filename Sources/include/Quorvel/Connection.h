#pragma once
/// @file
/// TModbusConnection: owns one serial port, its settings, and the worker thread that carries
/// transactions over it. Frames are built and judged by the codec it derives from; clients and
/// servers register with it and get their finished transactions and requests back on the main
/// thread.

#include <atomic>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include <Quorvel/Component.h>
#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/Export.h>
#include <Quorvel/FrameCodec.h>
#include <Quorvel/HookHandle.h>
#include <Quorvel/LineStatistics.h>
#include <Quorvel/ThreadPriority.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

namespace Quorvel {

class TModbusClient;
class TModbusServer;
class TLine;
class TTransactionThread;
struct TMessage;

/// A port name: an absolute device path, a bare name under /dev/ ("ttyUSB0"), or "COMn" for
/// /dev/ttyS(n-1) (on Windows, the port's own name).
///@{
using TSerialPort = std::string;
using TMaxRetries = Cardinal;  ///< 1..4294967295
///@}

/// One serial line: the port, its settings, and the worker thread that carries transactions over
/// it. Clients and servers attach to it; their requests and answers come back on the main thread.
/// Most settings may change while it is open and take effect at once; those that name the port or
/// its framing (Port, TransmissionMode, ConnectionMode, FlowControl, ...) raise EQuorvelError while
/// it is active.
class QUORVEL_EXPORT TModbusConnection : public TComponent, public TModbusFrameCodec {
 public:
  /// A handler of an event that tells only which connection raised it.
  using TNotifyEvent = std::function<void(TModbusConnection& Sender)>;
  /// A handler that sees a frame as it went to or came from the line, in its wire form.
  using TFrameDataEvent = std::function<void(TModbusConnection& Sender, const TFrameData& Data)>;
  /// HookHandle starts as InvalidHookHandle (none); the handler stores an open port: a descriptor
  /// on POSIX (the 32-bit number it always was), a HANDLE opened for overlapped I/O on Windows.
  using TGetHookedPortHandleEvent = std::function<void(TModbusConnection& Sender, THookHandle& HookHandle)>;

  /// Posted by the worker to the connection's message window.
  ///@{
  static constexpr Cardinal WM_TRANSACTIONDONE = 1025;
  static constexpr Cardinal WM_FRAMEDATA = 1026;
  static constexpr Cardinal WM_PORTLOST = 1027;
  static constexpr Cardinal WM_READY = 1028;
  ///@}
  /// The hooked port handle that means "none", in the number that hooking passes on POSIX.
  static constexpr Cardinal InvalidHandleValue = 0xFFFFFFFFu;
  /// The least silent time, in milliseconds, whatever the rate and SilentInterval.
  static constexpr Cardinal MinSilentTime = 20;
  /// InterFrameGap's default: 3.5 character times, 1750 us above 19200 bit/s.
  static constexpr Cardinal StandardInterFrameGap = 0xFFFFFFFFu;

  /// A closed connection with the default settings: COM1, 19200 bit/s, 8 data bits, even parity,
  /// 1 stop bit, RTU, client mode. The destructor closes it first.
  ///@{
  explicit TModbusConnection(TComponent* Owner = nullptr);
  ~TModbusConnection() override;
  ///@}

  /// Opens or closes the port: the same as SetActive(true) and SetActive(false).
  ///@{
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  ///@}

  /// Whether the port is open. Opening raises EQuorvelError "Could not open serial port" (or the
  /// message of the setting the port refused) and leaves the connection closed; opening runs
  /// OnBeforeOpen, opens, runs OnAfterOpen, and only then reports Active (closing likewise).
  ///@{
  bool Active() const noexcept { return FActive; }
  void SetActive(bool Value);
  ///@}
  /// The line's rate: a standard rate, or brCustom for CustomBaudRate. Applied at once to an open port.
  ///@{
  TBaudRate BaudRate() const noexcept { return FBaudRate; }
  void SetBaudRate(TBaudRate Value);
  ///@}
  /// Client (cmClient, the default) or server (cmServer) side of the line; only while inactive. The
  /// mode is read through TModbusFrameCodec::ConnectionMode().
  void SetConnectionMode(TConnectionMode Value);
  /// The rate in bit/s when BaudRate is brCustom; setting it selects brCustom.
  ///@{
  Cardinal CustomBaudRate() const noexcept { return FCustomBaudRate; }
  void SetCustomBaudRate(Cardinal Value);
  ///@}
  /// 7 or 8 data bits. Applied at once to an open port.
  ///@{
  TDataBits DataBits() const noexcept { return FDataBits; }
  void SetDataBits(TDataBits Value);
  ///@}
  /// Whether DTR is raised while the port is open; only while inactive.
  ///@{
  bool DTREnabled() const noexcept { return FDTREnabled; }
  void SetDTREnabled(bool Value);
  ///@}
  /// Whether the line echoes what this end sends (a two-wire RS-485 adapter): the echo of a request
  /// is then read and dropped before the reply. Any time.
  ///@{
  bool EchoQueryBeforeReply() const noexcept { return FEchoQueryBeforeReply.load(); }
  void SetEchoQueryBeforeReply(bool Value);
  ///@}
  /// Hardware flow control, or RTS switched around each send (fcRtsToggle); only while inactive.
  ///@{
  TFlowControl FlowControl() const noexcept { return FFlowControl; }
  void SetFlowControl(TFlowControl Value);
  ///@}
  /// When on, opening takes the port that OnGetHookedPortHandle hands over instead of opening Port;
  /// only while inactive.
  ///@{
  bool HookExistingPort() const noexcept { return FHookExistingPort; }
  void SetHookExistingPort(bool Value);
  ///@}
  /// Off by default. On: an RTU frame ends as soon as its own bytes tell its length and its CRC
  /// checks, instead of at the silence after it (where they cannot tell, or do not check, the
  /// silence still ends it); this end sends its next frame once InterFrameGap has passed since the
  /// last byte it received; a reply whose length or byte count contradicts the request is passed
  /// over; and the worker starts without waiting for a silent line. Only while inactive.
  ///@{
  bool LengthAwareFraming() const noexcept { return FLengthAwareFraming; }
  void SetLengthAwareFraming(bool Value);
  ///@}
  /// Microseconds of quiet before this end sends, with LengthAwareFraming on: StandardInterFrameGap,
  /// 0 for peers that need none, or any other time. Any time; used from the next send.
  ///@{
  Cardinal InterFrameGap() const;
  void SetInterFrameGap(Cardinal Value);
  ///@}
  /// How many times a request is sent before it ends without reply, 1 or more (0 raises
  /// EQuorvelError). Any time; read afresh before each attempt.
  ///@{
  TMaxRetries MaxRetries() const;
  void SetMaxRetries(TMaxRetries Value);
  ///@}
  /// The parity bit. Applied at once to an open port (a pseudo-terminal carries bytes, not bits,
  /// and takes no parity).
  ///@{
  TParityScheme Parity() const noexcept { return FParity; }
  void SetParity(TParityScheme Value);
  ///@}
  /// The port that Open opens; only while inactive. A serial port's name, or a TCP one:
  /// "tcp://HOST:PORT" connects to a serial device server (or, with tmModbusTCP, a Modbus TCP
  /// server; PORT may then be left out for 502), "tcp-listen://HOST:PORT" listens for one that
  /// connects out (with tmModbusTCP, for Modbus TCP clients, MaxClients of them at once). The
  /// line settings that TCP has not (rate, character format, modem lines) are kept and ignored;
  /// the silent time still follows the rate.
  ///@{
  const TSerialPort& Port() const noexcept { return FPort; }
  void SetPort(const TSerialPort& Value);
  ///@}
  /// Milliseconds to wait for a reply (client) after the request has been sent. Any time.
  ///@{
  Cardinal ReceiveTimeout() const;
  void SetReceiveTimeout(Cardinal Value);
  ///@}
  /// Milliseconds of pause after each attempt of a request. Any time.
  ///@{
  Cardinal RefetchDelay() const;
  void SetRefetchDelay(Cardinal Value);
  ///@}
  /// Whether RTS is raised while the port is open; only while inactive.
  ///@{
  bool RTSEnabled() const noexcept { return FRTSEnabled; }
  void SetRTSEnabled(bool Value);
  ///@}
  /// Milliseconds that sending one frame may take. Any time.
  ///@{
  Cardinal SendTimeout() const;
  void SetSendTimeout(Cardinal Value);
  ///@}
  /// The silence that ends a frame, in character times (4 by default, as RTU asks); the silent time
  /// in milliseconds follows from it and the rate (GetSilentTime).
  ///@{
  Cardinal SilentInterval() const noexcept { return FSilentInterval; }
  void SetSilentInterval(Cardinal Value);
  ///@}
  /// 1 or 2 stop bits. Applied at once to an open port.
  ///@{
  TStopBits StopBits() const noexcept { return FStopBits; }
  void SetStopBits(TStopBits Value);
  ///@}
  /// The worker thread's priority, best effort (see TThreadPriority). Any time.
  ///@{
  TThreadPriority ThreadPriority() const noexcept { return FThreadPriority; }
  void SetThreadPriority(TThreadPriority Value);
  ///@}
  /// RTU (tmRTU, the default), ASCII or Modbus TCP framing; only while inactive. Read through
  /// TModbusFrameCodec::TransmissionMode(). Modbus TCP needs a TCP Port: on any other the opening
  /// fails with "Could not open serial port".
  void SetTransmissionMode(TTransmissionMode Value);
  /// Modbus TCP client: requests sent before the first of them is answered (1, the default, sends
  /// one at a time; at most 16), for servers that take several at once; the replies are told apart
  /// by their transaction ids. Only while inactive.
  ///@{
  Cardinal MaxOutstanding() const noexcept { return FMaxOutstanding; }
  void SetMaxOutstanding(Cardinal Value);
  ///@}
  /// Modbus TCP server listening: the connections served at once (8 by default, at most 60); one
  /// more is closed as soon as it is accepted. Only while inactive.
  ///@{
  Cardinal MaxClients() const noexcept { return FMaxClients; }
  void SetMaxClients(Cardinal Value);
  ///@}
  /// Modbus TCP server listening: milliseconds after which a connection that has sent nothing is
  /// closed (60000 by default; Infinite: never). Only while inactive.
  ///@{
  Cardinal IdleTimeout() const noexcept { return FIdleTimeout; }
  void SetIdleTimeout(Cardinal Value);
  ///@}
  /// Client: a TModbusClient request made on the main thread while nothing is queued or under
  /// way is carried out on the main thread, inside the call, instead of by the worker: the call
  /// returns once the request has its outcome, and its event comes through the main thread's
  /// queue as always. A request made while another is under way is queued for the worker as
  /// usual, and so is every request of a TRequester. It spares the two thread switches that a
  /// worker costs each request, which are most of a round trip on a fast link (Modbus TCP on a
  /// local network); the price is that the main thread waits out each exchange, so it is for a
  /// program that makes one request at a time and has nothing else to do meanwhile (a console
  /// program), not for a window. With it the worker does not watch the idle line: a lost port
  /// is told at the next request. Not used with MaxOutstanding above 1. Off by default; only
  /// while inactive.
  ///@{
  bool ExchangeOnCaller() const noexcept { return FExchangeOnCaller; }
  void SetExchangeOnCaller(bool Value);
  ///@}
  /// Server: the servers answer each request on the worker instead of on the main thread, which
  /// the worker otherwise hands each request to and waits for (two thread switches a request).
  /// Their handlers and events (a TModbusMemoryServer's OnRegistersWrite, say) then run on the
  /// worker, and what they hold (their addresses, handlers and data) is the worker's while the
  /// connection is open: change it while closed, or share it under a lock of the program's own.
  /// Off by default; only while inactive.
  ///@{
  bool ServeOnWorker() const noexcept { return FServeOnWorker; }
  void SetServeOnWorker(bool Value);
  ///@}
  /// The most that MaxOutstanding and MaxClients may be.
  ///@{
  static constexpr Cardinal MaxOutstandingLimit = 16;
  static constexpr Cardinal MaxClientsLimit = 60;
  ///@}

  /// Milliseconds that a broadcast request waits after it is sent, so that every server can act on
  /// it before the next request. Any time.
  ///@{
  Cardinal TurnaroundDelay() const;
  void SetTurnaroundDelay(Cardinal Value);
  ///@}

  /// Derived from SilentInterval when the port opens or the line settings change.
  Cardinal GetSilentTime() const;
  /// The gap in microseconds that InterFrameGap means at the line's rate; derived with the silent time.
  Cardinal GetInterFrameGap() const;

  /// What crossed the line since the connection was created or ResetStatistics was called. Any
  /// time, from the main thread; the worker never waits for either.
  ///@{
  TLineStatistics Statistics() const noexcept;
  void ResetStatistics() noexcept;
  ///@}

  /// Raised on the main thread around opening and closing: before the port opens, after it opened,
  /// before it closes and after it closed. Inside OnAfterOpen the connection is not yet Active.
  /// An empty handler removes one.
  ///@{
  const TNotifyEvent& OnAfterClose() const noexcept { return FOnAfterClose; }
  void SetOnAfterClose(TNotifyEvent Handler) { FOnAfterClose = std::move(Handler); }
  const TNotifyEvent& OnAfterOpen() const noexcept { return FOnAfterOpen; }
  void SetOnAfterOpen(TNotifyEvent Handler) { FOnAfterOpen = std::move(Handler); }
  const TNotifyEvent& OnBeforeClose() const noexcept { return FOnBeforeClose; }
  void SetOnBeforeClose(TNotifyEvent Handler) { FOnBeforeClose = std::move(Handler); }
  const TNotifyEvent& OnBeforeOpen() const noexcept { return FOnBeforeOpen; }
  void SetOnBeforeOpen(TNotifyEvent Handler) { FOnBeforeOpen = std::move(Handler); }
  ///@}
  /// Each frame read from the line (an empty one for each time-out) and each frame sent, on the
  /// main thread, after the worker has moved on. Setting them is cheap when they stay empty: the
  /// worker copies frames only while a handler is set.
  ///@{
  const TFrameDataEvent& OnFrameReceive() const noexcept { return FOnFrameReceive; }
  void SetOnFrameReceive(TFrameDataEvent Handler);
  const TFrameDataEvent& OnFrameSend() const noexcept { return FOnFrameSend; }
  void SetOnFrameSend(TFrameDataEvent Handler);
  ///@}
  /// Raised once per opening, on the main thread, when the worker has got in step with the line and
  /// hears every frame from then on: after the start-up purge and, with the silence rule, the wait
  /// for a silent line (at least the silent time; as long as the line keeps chattering). A server
  /// that announces itself here answers the first request sent after the announcement; requests
  /// that arrive before it may be thrown away with the start-up input. Not raised when closing
  /// comes first. Without a handler nothing changes: nothing waits for it.
  ///@{
  const TNotifyEvent& OnReady() const noexcept { return FOnReady; }
  void SetOnReady(TNotifyEvent Handler) { FOnReady = std::move(Handler); }
  ///@}
  /// Raised once per opening, on the main thread, when the port fails under the worker (a USB
  /// adapter pulled out, the other end of a pseudo-terminal gone). The connection stays active:
  /// its requests end without reply until the application closes it.
  ///@{
  const TNotifyEvent& OnPortLost() const noexcept { return FOnPortLost; }
  void SetOnPortLost(TNotifyEvent Handler) { FOnPortLost = std::move(Handler); }
  /// Asked for the port to take over when HookExistingPort is on.
  ///@{
  const TGetHookedPortHandleEvent& OnGetHookedPortHandle() const noexcept { return FOnGetHookedPortHandle; }
  void SetOnGetHookedPortHandle(TGetHookedPortHandleEvent Handler) { FOnGetHookedPortHandle = std::move(Handler); }
  ///@}
  ///@}

  /// Both raise EQuorvelError; loading and designing count as inactive for CheckActive and as
  /// not active for CheckInactive.
  ///@{
  void CheckActive() const;
  void CheckInactive() const;
  ///@}

  /// The clients and servers attached to the connection. TModbusClient::SetConnection and
  /// TModbusServer::SetConnection call these; an application seldom does. Find returns the first
  /// attached with the address (a server: the first that answers it), or null. Main thread only:
  /// registering and unregistering raise std::logic_error on any other thread.
  ///@{
  void RegisterClient(TModbusClient* Client);
  void UnregisterClient(TModbusClient* Client);
  void RegisterServer(TModbusServer* Server);
  void UnregisterServer(TModbusServer* Server);
  TModbusClient* FindClient(Byte Address) const;
  TModbusServer* FindServer(Byte Address) const;
  ///@}

  /// Returns the counter, then advances it (modulo 2^32). Any thread: a client's requests and a
  /// TRequester's draw their numbers from this one counter.
  Cardinal NextTransactionID() noexcept { return FTransactionCounter.fetch_add(1, std::memory_order_relaxed); }

  /// Write the address field of a request (the client's server address) or of a reply (the
  /// server's own address: the one the request named, TModbusServer::ReplyAddress) at the buffer's
  /// position.
  ///@{
  void WriteServerAddress(const TModbusClient* Client, TModbusBuffer& Buffer) const;
  void WriteOwnAddress(const TModbusServer& Server, TModbusBuffer& Buffer) const;
  ///@}

  /// Queues the transaction for the worker. Raises "Connection MUST be active ..." and leaves the
  /// transaction with the caller when inactive; otherwise the connection owns it from here on.
  void SubmitTransaction(std::unique_ptr<TModbusTransaction>& Transaction);

  /// Server mode, main thread: lets the server(s) of the request's address build the reply.
  void DispatchRequest(TModbusTransaction& Transaction);

 protected:
  /// Raise the event of the same name; a subclass overrides one to act on it itself (and calls the
  /// base to keep the handler). Each does nothing when no handler is set.
  ///@{
  virtual void DoAfterClose();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoBeforeOpen();
  virtual void DoFrameReceive(const TFrameData& Data);
  virtual void DoFrameSend(const TFrameData& Data);
  virtual THookHandle DoGetHookedPortHandle();
  virtual void DoPortLost();
  virtual void DoReady();
  ///@}

  /// Applies Active, remembered while a stored layout was read, once the other settings are in.
  void Loaded() override;

  /// Timed port input and output, for the worker thread only. None raises.
  ///@{
  void PurgePort(bool RxSide, bool TxSide);
  bool GetInputCount(Cardinal& Count);
  bool ReadBytes(Byte* Dest, Cardinal Count);
  bool WaitForCharacter(Cardinal Timeout);
  void DiscardInput();
  ///@}
  /// Transaction: the one whose reply is read (client), or none (server); with LengthAwareFraming
  /// its request tells the reply's length where the reply's own bytes cannot (a raw request by its
  /// own rule), and with ExpectEcho the request itself may come first.
  ///@{
  int ReadFrame(Byte* Dest, int Capacity, Cardinal& Remaining, const TModbusTransaction* Transaction = nullptr,
                bool ExpectEcho = false);
  bool WriteFrame(const Byte* Data, int Length, Cardinal Timeout);
  ///@}

 private:
  friend class TTransactionThread;
  friend struct TConnectionEngineAccess;

  std::unique_ptr<TLine> OpenLine();
  void OpenPort();
  void ClosePort() noexcept;
  void ApplyCommState();
  void UpdateSilentTime();
  Cardinal StandardGap() const noexcept;
  void LineSettingChanged();
  bool SettingsApplyToPort() const noexcept { return FActive && !IsReading() && !IsDesigning(); }
  void HandleWindowMessage(TMessage& Message);
  void DeliverTransaction(std::unique_ptr<TModbusTransaction> Transaction);
  void DeliverFrameData(bool Sent, std::unique_ptr<TFrameData> Data);
  void DeliverPortLost(Cardinal Session);
  void DeliverReady(Cardinal Session);
  /// Worker: the port failed under a wait; tells the main thread once per opening.
  void NotePortFailure();

  bool WaitForLine(Cardinal Timeout, bool Stoppable);
  bool WaitTimed(Cardinal Timeout, Cardinal& Remaining);
  bool ReadAvailable(Byte* Dest, int Space, int& Count);
  int ReadRTUFrame(Byte* Dest, int Capacity, Cardinal& Remaining, Cardinal SilentTime);
  int ReadSizedRTUFrame(Byte* Dest, int Capacity, Cardinal& Remaining, Cardinal SilentTime,
                        const TModbusTransaction* Transaction, bool ExpectEcho);
  int TakeCarry(Byte* Dest, int Capacity) noexcept;
  void WaitInterFrameGap();
  int ReadASCIIFrame(Byte* Dest, int Capacity, Cardinal& Remaining, Cardinal SilentTime);
  int ReadMbapFrame(Byte* Dest, int Capacity, Cardinal& Remaining);

  bool FActive = false;
  bool FStreamedActive = false;
  TBaudRate FBaudRate = br19200;
  Cardinal FCustomBaudRate = 19200;
  TDataBits FDataBits = db8;
  bool FDTREnabled = true;
  TFlowControl FFlowControl = fcNone;
  bool FHookExistingPort = false;
  bool FLengthAwareFraming = false;
  TParityScheme FParity = psEven;
  TSerialPort FPort = "COM1";
  bool FRTSEnabled = true;
  Cardinal FSilentInterval = 4;
  TStopBits FStopBits = sb1;
  TThreadPriority FThreadPriority = tpNormal;
  Cardinal FMaxOutstanding = 1;
  bool FExchangeOnCaller = false;
  bool FServeOnWorker = false;
  Cardinal FMaxClients = 8;
  Cardinal FIdleTimeout = 60000;

  /// The worker reads these while the main thread may write them.
  ///@{
  mutable std::shared_mutex FSettingsLock;
  TMaxRetries FMaxRetries = 1;
  Cardinal FReceiveTimeout = 1000;
  Cardinal FRefetchDelay = 0;
  Cardinal FSendTimeout = 1000;
  Cardinal FTurnaroundDelay = 100;
  Cardinal FSilentTime = 0;
  Cardinal FInterFrameGap = StandardInterFrameGap;
  Cardinal FInterFrameGapTime = 0;
  std::atomic<bool> FEchoQueryBeforeReply{false};
  std::atomic<bool> FHasFrameReceive{false};
  std::atomic<bool> FHasFrameSend{false};
  ///@}

  TNotifyEvent FOnAfterClose, FOnAfterOpen, FOnBeforeClose, FOnBeforeOpen, FOnPortLost, FOnReady;
  TFrameDataEvent FOnFrameReceive, FOnFrameSend;
  TGetHookedPortHandleEvent FOnGetHookedPortHandle;

  std::atomic<Cardinal> FTransactionCounter{0};
  /// Counts the openings. What a worker posts carries the opening it belongs to, so that a result
  /// of an earlier opening is dropped however soon the port reopened.
  ///@{
  Cardinal FSession = 0;
  std::vector<TModbusClient*> FClients;
  std::vector<TModbusServer*> FServers;
  ///@}

  /// The line, the worker and what they keep: the engine's side, kept out of this header. Last,
  /// so that it goes first: nothing is dispatched into a half-destroyed connection.
  ///@{
  struct TEngine;
  std::unique_ptr<TEngine> FEngine;
  ///@}
};

}  // namespace Quorvel
