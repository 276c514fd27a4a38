#include <Quorvel/Connection.h>
#include "engine/ConnectionEngine.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include <Quorvel/Application.h>
#include <Quorvel/Client.h>
#include <Quorvel/Errors.h>
#include <Quorvel/Server.h>
#include "engine/SerialLine.h"
#include "engine/ModbusTcpServerLine.h"
#include "engine/TcpLine.h"
#include "engine/TransactionThread.h"
#include "runtime/MainThreadOnly.h"

namespace Quorvel {

TModbusConnection::TModbusConnection(TComponent* Owner)
    : TComponent(Owner),
      FEngine(std::make_unique<TEngine>(*this)) {}

TModbusConnection::~TModbusConnection() {
  Destroying();
  Close();
}

// ---- Opening and closing ----

void TModbusConnection::SetActive(bool Value) {
  if (IsReading()) {
    FStreamedActive = Value;
    return;
  }
  if (Value == FActive) return;
  if (!IsDesigning()) {
    if (Value) {
      DoBeforeOpen();
      OpenPort();
      try {
        DoAfterOpen();
      } catch (...) {
        // Not active, so nothing would ever close the port and stop the worker that posts here.
        ClosePort();
        throw;
      }
    } else {
      DoBeforeClose();
      ClosePort();
      DoAfterClose();
    }
  }
  // Only now: inside OnAfterOpen and OnAfterClose the connection still shows its old state.
  FActive = Value;
}

void TModbusConnection::Loaded() {
  TComponent::Loaded();
  try {
    SetActive(FStreamedActive);
  } catch (...) {
    // A port that cannot be opened must not stop the rest of the layout from loading.
    Application::HandleException(std::current_exception());
  }
}

// The line the connection opens: the port by its name (a socket for the TCP names), or the one
// the application hooks in.
std::unique_ptr<TLine> TModbusConnection::OpenLine() {
  if (FEngine->LineFactory) return FEngine->LineFactory(*this);
  const auto QueueSize = static_cast<Cardinal>(IOQueueSize());
  if (FHookExistingPort) return TSerialLine::Attach(DoGetHookedPortHandle(), QueueSize);
  // Modbus TCP's own port is 502; RTU and ASCII over TCP have none.
  const auto Tcp = Platform::ParseTcpPortName(FPort, IsModbusTCP() ? 502 : 0);
  if (Tcp.Kind == Platform::TTcpPortName::Listen && IsModbusTCP() && FConnectionMode == cmServer)
    return TModbusTcpServerLine::Open(Tcp, FMaxClients, FIdleTimeout);
  if (Tcp.Kind != Platform::TTcpPortName::None) return TTcpLine::Open(Tcp);
  // MBAP frames over a serial line are no framing that anything on a serial bus understands.
  if (IsModbusTCP()) RaiseError(Messages::OpenPort);
  return TSerialLine::Open(FPort, QueueSize);
}

void TModbusConnection::OpenPort() {
  FEngine->Line = OpenLine();
  try {
    ApplyCommState();
    UpdateSilentTime();
    FEngine->Carry.assign(static_cast<std::size_t>(RawFrameSize()), 0);
    FEngine->CarryCount = 0;
    FEngine->LastReceive = 0;
    // Length-aware framing finds frame boundaries by itself, so its worker starts without waiting
    // for a silent line; what came before the opening is purged here, before Open returns, so that
    // a request that arrives right after is kept.
    if (FLengthAwareFraming) FEngine->Line->Purge(true, true);
    // The previous close's stop signal must not cut this opening's waits short.
    FEngine->StopEvent.Reset();
    FEngine->FailureReported = false;
    ++FSession;
    auto Thread = std::make_unique<TTransactionThread>(*this);
    std::lock_guard Lock(FEngine->ThreadLock);
    FEngine->Thread = std::move(Thread);
  } catch (...) {
    ClosePort();
    throw;
  }
}

// A hooked port is detached, not closed: it belongs to whoever supplied it.
// The worker is taken away under the lock and stopped outside it: what its last transactions
// complete may queue further requests, which are then refused.
void TModbusConnection::ClosePort() noexcept {
  std::unique_ptr<TTransactionThread> Thread;
  {
    std::lock_guard Lock(FEngine->ThreadLock);
    Thread = std::move(FEngine->Thread);
  }
  Thread.reset();
  FEngine->Line.reset();
}

void TModbusConnection::ApplyCommState() {
  if (!FEngine->Line) return;
  using Platform::TLineControl;
  Platform::TLineSettings Settings;
  Settings.BaudRate = BaudRateValue(FBaudRate, FCustomBaudRate);
  Settings.DataBits = FDataBits == db7 ? 7 : 8;
  Settings.Parity = static_cast<Platform::TParity>(FParity);
  Settings.StopBits = FStopBits == sb1 ? 1 : 2;
  Settings.CtsOutputFlow = FFlowControl == fcRtsCts;
  Settings.DsrOutputFlow = FFlowControl == fcDtrDsr;
  const auto Line = [](bool Enabled) { return Enabled ? TLineControl::Enable : TLineControl::Disable; };
  Settings.Dtr = FFlowControl == fcDtrDsr ? TLineControl::Handshake : Line(FDTREnabled);
  switch (FFlowControl) {
    case fcRtsToggle: Settings.Rts = TLineControl::Toggle; break;
    case fcRtsCts: Settings.Rts = TLineControl::Handshake; break;
    default: Settings.Rts = Line(FRTSEnabled); break;
  }
  if (!FEngine->Line->ApplySettings(Settings)) RaiseError(Messages::UpdateDCB);
}

void TModbusConnection::UpdateSilentTime() {
  std::unique_lock Lock(FSettingsLock);
  Cardinal Time = 0;
  if (IsASCII()) {
    Time = FSilentInterval;
  } else {
    // The silence that ends an RTU frame: SilentInterval character times. A character is its
    // data, parity and stop bits; the start bit is not counted.
    const Cardinal Bits = (FDataBits == db7 ? 7u : 8u) + (FStopBits == sb1 ? 1u : 2u) + (FParity != psNone ? 1u : 0u);
    const Cardinal Rate = BaudRateValue(FBaudRate, FCustomBaudRate);
    const Cardinal Product = Bits * FSilentInterval * 1000u;  // formed in 32 bits
    // A rate of 0 cannot time anything: it falls to the floor below.
    if (Rate != 0) Time = static_cast<Cardinal>(std::ceil(static_cast<double>(Product) / Rate));
  }
  // Below 20 ms the operating system's timers and the USB adapters' latency decide anyway.
  FSilentTime = std::max(Time, MinSilentTime);
  FInterFrameGapTime = FInterFrameGap == StandardInterFrameGap ? StandardGap() : FInterFrameGap;
}

// The Modbus serial line's 3.5 character times between frames. A character on the wire is its
// start bit, data, parity and stop bits; above 19200 bit/s the gap is fixed at 1750 us, so that
// fast lines are not held to a timing that a PC's serial driver cannot keep anyway.
Cardinal TModbusConnection::StandardGap() const noexcept {
  const Cardinal Rate = BaudRateValue(FBaudRate, FCustomBaudRate);
  if (Rate == 0 || Rate > 19200) return 1750;
  const Cardinal Bits = 1 + (FDataBits == db7 ? 7u : 8u) + (FStopBits == sb1 ? 1u : 2u) + (FParity != psNone ? 1u : 0u);
  return static_cast<Cardinal>(std::ceil(3.5 * Bits * 1e6 / Rate));
}

Cardinal TModbusConnection::GetInterFrameGap() const {
  std::shared_lock Lock(FSettingsLock);
  return FInterFrameGapTime;
}

TLineStatistics TModbusConnection::Statistics() const noexcept { return FEngine->Counters.Read(); }

void TModbusConnection::ResetStatistics() noexcept { FEngine->Counters.Reset(); }

Cardinal TModbusConnection::GetSilentTime() const {
  std::shared_lock Lock(FSettingsLock);
  return FSilentTime;
}

// ---- Properties ----

void TModbusConnection::LineSettingChanged() {
  if (!SettingsApplyToPort()) return;
  ApplyCommState();
  UpdateSilentTime();
}

void TModbusConnection::SetBaudRate(TBaudRate Value) {
  if (Value == FBaudRate) return;
  FBaudRate = Value;
  LineSettingChanged();
}

void TModbusConnection::SetCustomBaudRate(Cardinal Value) {
  if (Value == FCustomBaudRate) return;
  FCustomBaudRate = Value;
  FBaudRate = brCustom;
  LineSettingChanged();
}

void TModbusConnection::SetDataBits(TDataBits Value) {
  if (Value == FDataBits) return;
  FDataBits = Value;
  LineSettingChanged();
}

void TModbusConnection::SetParity(TParityScheme Value) {
  if (Value == FParity) return;
  FParity = Value;
  LineSettingChanged();
}

void TModbusConnection::SetStopBits(TStopBits Value) {
  if (Value == FStopBits) return;
  FStopBits = Value;
  LineSettingChanged();
}

void TModbusConnection::SetSilentInterval(Cardinal Value) {
  if (Value == FSilentInterval) return;
  FSilentInterval = Value;
  if (SettingsApplyToPort()) UpdateSilentTime();
}

void TModbusConnection::SetThreadPriority(TThreadPriority Value) {
  if (Value == FThreadPriority) return;
  FThreadPriority = Value;
  if (SettingsApplyToPort() && FEngine->Thread) FEngine->Thread->SetPriority(Value);
}

// The settings that the port and the worker take only at opening. The value is compared first,
// so writing back an unchanged value to an open connection is harmless.
template <class T>
static void SetWhileInactive(const TModbusConnection& Connection, T& Field, const T& Value) {
  if (Value == Field) return;
  Connection.CheckInactive();
  Field = Value;
}

void TModbusConnection::SetConnectionMode(TConnectionMode Value) { SetWhileInactive(*this, FConnectionMode, Value); }
void TModbusConnection::SetDTREnabled(bool Value) { SetWhileInactive(*this, FDTREnabled, Value); }
void TModbusConnection::SetFlowControl(TFlowControl Value) { SetWhileInactive(*this, FFlowControl, Value); }
void TModbusConnection::SetHookExistingPort(bool Value) { SetWhileInactive(*this, FHookExistingPort, Value); }
void TModbusConnection::SetPort(const TSerialPort& Value) { SetWhileInactive(*this, FPort, Value); }
void TModbusConnection::SetRTSEnabled(bool Value) { SetWhileInactive(*this, FRTSEnabled, Value); }
void TModbusConnection::SetTransmissionMode(TTransmissionMode Value) { SetWhileInactive(*this, FTransmissionMode, Value); }
void TModbusConnection::SetLengthAwareFraming(bool Value) { SetWhileInactive(*this, FLengthAwareFraming, Value); }
void TModbusConnection::SetIdleTimeout(Cardinal Value) { SetWhileInactive(*this, FIdleTimeout, Value); }
void TModbusConnection::SetExchangeOnCaller(bool Value) { SetWhileInactive(*this, FExchangeOnCaller, Value); }
void TModbusConnection::SetServeOnWorker(bool Value) { SetWhileInactive(*this, FServeOnWorker, Value); }

void TModbusConnection::SetMaxOutstanding(Cardinal Value) {
  if (Value == FMaxOutstanding) return;
  if (Value < 1 || Value > MaxOutstandingLimit) RaiseErrorFmt(Messages::ValueRange, 1, static_cast<long long>(MaxOutstandingLimit));
  SetWhileInactive(*this, FMaxOutstanding, Value);
}

void TModbusConnection::SetMaxClients(Cardinal Value) {
  if (Value == FMaxClients) return;
  if (Value < 1 || Value > MaxClientsLimit) RaiseErrorFmt(Messages::ValueRange, 1, static_cast<long long>(MaxClientsLimit));
  SetWhileInactive(*this, FMaxClients, Value);
}


void TModbusConnection::SetEchoQueryBeforeReply(bool Value) {
  std::unique_lock Lock(FSettingsLock);
  FEchoQueryBeforeReply = Value;
}

void TModbusConnection::SetMaxRetries(TMaxRetries Value) {
  std::unique_lock Lock(FSettingsLock);
  if (Value == FMaxRetries) return;
  if (Value == 0) RaiseErrorFmt(Messages::ValueRange, 1, 4294967295LL);
  FMaxRetries = Value;
}

template <class T>
static T ReadLocked(std::shared_mutex& Lock, const T& Field) {
  std::shared_lock Guard(Lock);
  return Field;
}

template <class T>
static void WriteLocked(std::shared_mutex& Lock, T& Field, const T& Value) {
  std::unique_lock Guard(Lock);
  Field = Value;
}

TMaxRetries TModbusConnection::MaxRetries() const { return ReadLocked(FSettingsLock, FMaxRetries); }
Cardinal TModbusConnection::ReceiveTimeout() const { return ReadLocked(FSettingsLock, FReceiveTimeout); }
Cardinal TModbusConnection::RefetchDelay() const { return ReadLocked(FSettingsLock, FRefetchDelay); }
Cardinal TModbusConnection::SendTimeout() const { return ReadLocked(FSettingsLock, FSendTimeout); }
Cardinal TModbusConnection::TurnaroundDelay() const { return ReadLocked(FSettingsLock, FTurnaroundDelay); }
void TModbusConnection::SetReceiveTimeout(Cardinal Value) { WriteLocked(FSettingsLock, FReceiveTimeout, Value); }
void TModbusConnection::SetRefetchDelay(Cardinal Value) { WriteLocked(FSettingsLock, FRefetchDelay, Value); }
void TModbusConnection::SetSendTimeout(Cardinal Value) { WriteLocked(FSettingsLock, FSendTimeout, Value); }
void TModbusConnection::SetTurnaroundDelay(Cardinal Value) { WriteLocked(FSettingsLock, FTurnaroundDelay, Value); }

Cardinal TModbusConnection::InterFrameGap() const { return ReadLocked(FSettingsLock, FInterFrameGap); }

void TModbusConnection::SetInterFrameGap(Cardinal Value) {
  if (Value == InterFrameGap()) return;
  WriteLocked(FSettingsLock, FInterFrameGap, Value);
  if (SettingsApplyToPort()) UpdateSilentTime();
}

// The worker never looks at a std::function: it asks these flags whether a copy is wanted.
void TModbusConnection::SetOnFrameReceive(TFrameDataEvent Handler) {
  FOnFrameReceive = std::move(Handler);
  FHasFrameReceive = static_cast<bool>(FOnFrameReceive);
}

void TModbusConnection::SetOnFrameSend(TFrameDataEvent Handler) {
  FOnFrameSend = std::move(Handler);
  FHasFrameSend = static_cast<bool>(FOnFrameSend);
}

void TModbusConnection::CheckActive() const {
  if (!FActive || IsLoading() || IsDesigning()) RaiseError(Messages::ConnectionInactive);
}

void TModbusConnection::CheckInactive() const {
  if (FActive && !IsLoading() && !IsDesigning()) RaiseError(Messages::ConnectionActive);
}

// ---- Events ----

void TModbusConnection::DoAfterClose() {
  if (FOnAfterClose) FOnAfterClose(*this);
}
void TModbusConnection::DoAfterOpen() {
  if (FOnAfterOpen) FOnAfterOpen(*this);
}
void TModbusConnection::DoBeforeClose() {
  if (FOnBeforeClose) FOnBeforeClose(*this);
}
void TModbusConnection::DoBeforeOpen() {
  if (FOnBeforeOpen) FOnBeforeOpen(*this);
}
void TModbusConnection::DoFrameReceive(const TFrameData& Data) {
  if (FOnFrameReceive) FOnFrameReceive(*this, Data);
}
void TModbusConnection::DoFrameSend(const TFrameData& Data) {
  if (FOnFrameSend) FOnFrameSend(*this, Data);
}

void TModbusConnection::DoPortLost() {
  if (FOnPortLost) FOnPortLost(*this);
}

void TModbusConnection::DoReady() {
  if (FOnReady) FOnReady(*this);
}

THookHandle TModbusConnection::DoGetHookedPortHandle() {
  THookHandle Handle = InvalidHookHandle;
  if (FOnGetHookedPortHandle) FOnGetHookedPortHandle(*this, Handle);
  return Handle;
}

// ---- Clients and servers ----

void TModbusConnection::RegisterClient(TModbusClient* Client) {
  RequireMainThread("RegisterClient");
  if (Client != nullptr && std::find(FClients.begin(), FClients.end(), Client) == FClients.end())
    FClients.push_back(Client);
}

void TModbusConnection::UnregisterClient(TModbusClient* Client) {
  RequireMainThread("UnregisterClient");
  std::erase(FClients, Client);
}

void TModbusConnection::RegisterServer(TModbusServer* Server) {
  RequireMainThread("RegisterServer");
  std::lock_guard Lock(FEngine->ServersLock);
  if (Server != nullptr && std::find(FServers.begin(), FServers.end(), Server) == FServers.end())
    FServers.push_back(Server);
}

void TModbusConnection::UnregisterServer(TModbusServer* Server) {
  RequireMainThread("UnregisterServer");
  std::lock_guard Lock(FEngine->ServersLock);
  std::erase(FServers, Server);
}

TModbusClient* TModbusConnection::FindClient(Byte Address) const {
  for (auto* Client : FClients)
    if (Client->ServerAddress() == Address) return Client;
  return nullptr;
}

TModbusServer* TModbusConnection::FindServer(Byte Address) const {
  for (auto* Server : FServers)
    if (Server->AnswersAddress(Address)) return Server;
  return nullptr;
}

void TModbusConnection::WriteServerAddress(const TModbusClient* Client, TModbusBuffer& Buffer) const {
  WriteAddress(Client != nullptr ? Client->ServerAddress() : 0, Buffer);
}

void TModbusConnection::WriteOwnAddress(const TModbusServer& Server, TModbusBuffer& Buffer) const {
  WriteAddress(Server.ReplyAddress(), Buffer);
}

// ---- Transactions ----

void TModbusConnection::SubmitTransaction(std::unique_ptr<TModbusTransaction>& Transaction) {
  CheckActive();
  if (!FEngine->Thread->CarryHere(Transaction)) FEngine->Thread->Enqueue(std::move(Transaction));
}

void TModbusConnection::DispatchRequest(TModbusTransaction& Transaction) {
  const Byte Address = Transaction.Info.ServerAddress;
  if (Address != 0) {
    if (auto* Server = FindServer(Address))
      Server->HandleRequest(Transaction);
    else
      FEngine->Counters.Add(lcOtherAddresses);
    return;
  }
  // A handler may not change the list under us: walk a copy.
  const std::vector<TModbusServer*> Servers = FServers;
  for (auto* Server : Servers) Server->HandleRequest(Transaction);
}

void TModbusConnection::HandleWindowMessage(TMessage& Message) {
  switch (Message.Msg) {
    case WM_TRANSACTIONDONE: {
      // A result of an earlier opening belongs to requests that closing has ended.
      auto Transaction = Message.LParam.Take<TModbusTransaction>();
      if (Message.WParam == FSession) DeliverTransaction(std::move(Transaction));
      break;
    }
    case WM_PORTLOST:
      DeliverPortLost(static_cast<Cardinal>(Message.WParam));
      break;
    case WM_READY:
      DeliverReady(static_cast<Cardinal>(Message.WParam));
      break;
    case WM_FRAMEDATA:
      DeliverFrameData(Message.WParam != 0, Message.LParam.Take<TFrameData>());
      break;
    default:
      break;
  }
}

// The transaction goes to the first client registered with its address, which need not be the
// one that submitted it, and is freed in every case.
void TModbusConnection::DeliverTransaction(std::unique_ptr<TModbusTransaction> Transaction) {
  if (!Transaction) return;
  try {
    TModbusClient* Client = FindClient(Transaction->Info.ServerAddress);
    if (Client != nullptr && FActive && !IsDestroying() && !Client->IsDestroying()) Client->ProcessReply(*Transaction);
  } catch (...) {
    Application::HandleException(std::current_exception());
  }
}

void TModbusConnection::DeliverPortLost(Cardinal Session) {
  if (Session != FSession || !FActive || IsDestroying()) return;
  try {
    DoPortLost();
  } catch (...) {
    Application::HandleException(std::current_exception());
  }
}

void TModbusConnection::NotePortFailure() {
  if (FEngine->FailureReported) return;
  FEngine->FailureReported = true;
  FEngine->Window.PostAlways(WM_PORTLOST, FSession, {});
}

// Raised inside OnAfterOpen too, when that handler pumps messages: the worker is running then.
void TModbusConnection::DeliverReady(Cardinal Session) {
  if (Session != FSession || !FEngine->Thread || IsDestroying()) return;
  try {
    DoReady();
  } catch (...) {
    Application::HandleException(std::current_exception());
  }
}

// Delivered even when the connection has closed meanwhile.
void TModbusConnection::DeliverFrameData(bool Sent, std::unique_ptr<TFrameData> Data) {
  if (!Data) return;
  try {
    if (Sent)
      DoFrameSend(*Data);
    else
      DoFrameReceive(*Data);
  } catch (...) {
    Application::HandleException(std::current_exception());
  }
}

}  // namespace Quorvel
