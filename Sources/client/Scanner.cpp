#include <Quorvel/Scanner.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>
#include <Quorvel/Protocol.h>

namespace Quorvel {

namespace {

// Normal mode waits as long as a connection does by default: slow devices answer within a second.
constexpr Cardinal NormalTimeout = 1000;
// The silence that ends a frame inside an ASCII reply may be long; the settings dialog's ASCII
// defaults allow a second, and so does the scan. RTU takes the standard 3.5 characters (4).
constexpr Cardinal ASCIISilentInterval = 1000;
constexpr Cardinal RTUSilentInterval = 4;

// The probe (function 3, one register) on the wire: 8 bytes in RTU, 17 characters in ASCII
// (colon, 6 bytes as 12 hex digits with the LRC's 2, CR LF); its longest answer, the one register,
// 7 bytes or 15 characters.
constexpr Cardinal ProbeRequestChars[] = {8, 17};
constexpr Cardinal ProbeReplyChars[] = {7, 15};
// The longest frame any answer can be, for the identification requests' time-out.
constexpr Cardinal LongestReplyChars[] = {256, 513};

// A character with start, data, parity and stop bits: 11 at most (8E2 counts 12, but no device
// waits for that to answer). Milliseconds for Count of them at BaudRate, rounded up.
Cardinal CharacterTime(Cardinal Count, Cardinal BaudRate) {
  if (BaudRate == 0) return Infinite;
  return static_cast<Cardinal>(std::ceil(11.0 * Count * 1000.0 / BaudRate));
}

// What the identification tells: printable text, or nothing.
std::string PrintableText(const std::string& Bytes) {
  std::string Text;
  for (const char Character : Bytes) {
    const auto Code = static_cast<unsigned char>(Character);
    if (Code >= 0x20 && Code < 0x7F) Text += Character;
  }
  return Text;
}

std::string IdentityOfObjects(const TDeviceObjects& Objects) {
  std::string Identity;
  for (const Byte Id : {DeviceObjects::VendorName, DeviceObjects::ProductCode, DeviceObjects::MajorMinorRevision}) {
    const auto Object = Objects.find(Id);
    if (Object == Objects.end()) continue;
    const std::string Text = PrintableText(Object->second);
    if (Text.empty()) continue;
    if (!Identity.empty()) Identity += ' ';
    Identity += Text;
  }
  return Identity;
}

// An identification report starts with the server's own id and its run indicator; what follows is
// the device's, often its name.
std::string IdentityOfReport(const TServerIdentificationData& Data) {
  if (Data.size() <= 2) return {};
  return PrintableText(std::string(Data.begin() + 2, Data.end()));
}

}  // namespace

// Posted steps hold a weak reference: a scanner destroyed meanwhile is not called.
struct TModbusScanner::TLiveness {};

std::vector<Byte> TScanPlan::AllAddresses() {
  std::vector<Byte> Addresses(247);
  for (std::size_t I = 0; I < Addresses.size(); ++I) Addresses[I] = static_cast<Byte>(I + 1);
  return Addresses;
}

std::vector<TScanLineSettings> TScanPlan::LineSettings() const {
  std::vector<TScanLineSettings> Lines;
  for (const Cardinal Rate : BaudRates)
    for (const TParityScheme Parity : Parities)
      for (const TTransmissionMode Mode : Modes) Lines.push_back({Rate, Parity, Mode});
  return Lines;
}

Cardinal TScanPlan::Combinations() const {
  return static_cast<Cardinal>(BaudRates.size() * Parities.size() * Modes.size() * Addresses.size());
}

TModbusScanner::TModbusScanner(TComponent* Owner) : TComponent(Owner) {
  FConnection = CreateOwned<TModbusConnection>();
  FClient = CreateOwned<TModbusClient>();
  FClient->SetConnection(FConnection);
  FClient->SetOnHoldingRegistersRead([this](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) {
    ProbeAnswered(Info.ReplyStatus == rsSuccess || Info.ReplyStatus == rsExceptionReply,
                  Info.ReplyStatus == rsExceptionReply, Info.ExceptionCode);
  });
  FClient->SetOnServerIdentificationReport(
      [this](TModbusClient&, const TTransactionInfo& Info, int, const TServerIdentificationData& Data) {
        IdentificationAnswered(Info.ReplyStatus == rsSuccess ? IdentityOfReport(Data) : std::string());
      });
  FClient->SetOnDeviceIdentificationRead(
      [this](TModbusClient&, const TTransactionInfo& Info, TDeviceIdAccess, Byte, Byte, const TDeviceObjects& Objects) {
        ReportIdentification(Info.ReplyStatus == rsSuccess ? IdentityOfObjects(Objects) : std::string());
      });
  FConnection->SetOnPortLost([this](TModbusConnection&) {
    if (!FScanning) return;
    FFailure = "The port " + FConnection->Port() + " went away";
    // Nothing more can be asked; the request in progress ends with its time-out.
    FCancelRequested = true;
  });
}

TModbusScanner::~TModbusScanner() {
  FLiveness.reset();
  FClient->SetOnHoldingRegistersRead(nullptr);
  FClient->SetOnDeviceIdentificationRead(nullptr);
  FClient->SetOnServerIdentificationReport(nullptr);
  FConnection->SetOnPortLost(nullptr);
}

void TModbusScanner::SetPlan(const TScanPlan& Value) {
  if (FScanning) throw std::logic_error("TModbusScanner: the plan cannot change while a scan runs");
  FPlan = Value;
}

Cardinal TModbusScanner::BurstTimeout(Cardinal BaudRate, TTransmissionMode Mode) noexcept {
  const std::size_t M = Mode == tmASCII ? 1 : 0;
  // The request is timed from the moment the driver has it: a USB adapter reports a write done
  // before its last byte is on the wire, so the request's own time counts too.
  const Cardinal Wire = CharacterTime(ProbeRequestChars[M] + ProbeReplyChars[M], BaudRate);
  // Before it answers an RTU device waits for the silence that ends the request: 3.5 characters,
  // 20 ms at least where it times that with a millisecond tick (as this library's server does).
  const Cardinal Silence = std::max<Cardinal>(CharacterTime(4, BaudRate), TModbusConnection::MinSilentTime);
  // What a device takes to act on a read of one register.
  constexpr Cardinal Allowance = 25;
  if (Wire == Infinite) return Infinite;
  return Wire + Silence + Allowance;
}

void TModbusScanner::Start() {
  if (FScanning) throw std::logic_error("TModbusScanner: a scan is running already");
  if (FPlan.Combinations() == 0) throw std::invalid_argument("TModbusScanner: the plan has nothing to try");
  for (const Byte Address : FPlan.Addresses)
    if (Address < 1 || Address > 247) throw std::invalid_argument("TModbusScanner: addresses are 1 to 247");
  FLines = FPlan.LineSettings();
  FLineIndex = 0;
  FAddressIndex = 0;
  FDevices.clear();
  FFailure.clear();
  FProgress = {0, FPlan.Combinations(), 0, FLines.front(), FPlan.Addresses.front()};
  FCancelRequested = false;
  FAwaiting = false;
  FLiveness = std::make_shared<TLiveness>();
  FUserTimeout = FConnection->ReceiveTimeout();
  FUserRetries = FConnection->MaxRetries();
  // A failure here reaches the caller, which has nothing to clean up: the port is closed again.
  OpenAt(FLines.front());
  FScanning = true;
  Probe();
}

void TModbusScanner::Cancel() {
  if (!FScanning || FCancelRequested) return;
  FCancelRequested = true;
  // Between two requests nothing else would move the scan on.
  if (!FAwaiting) Later([this] { Finish(soCancelled); });
}

void TModbusScanner::OpenAt(const TScanLineSettings& Line) {
  TModbusConnection& C = *FConnection;
  C.Close();
  C.SetConnectionMode(cmClient);
  TBaudRate Rate = brCustom;
  for (int R = br110; R < brCustom; ++R)
    if (BaudRateValue(static_cast<TBaudRate>(R), 0) == Line.BaudRate) Rate = static_cast<TBaudRate>(R);
  if (Rate == brCustom) C.SetCustomBaudRate(Line.BaudRate);
  C.SetBaudRate(Rate);
  C.SetParity(Line.Parity);
  C.SetTransmissionMode(Line.Mode);
  C.SetSilentInterval(Line.Mode == tmASCII ? ASCIISilentInterval : RTUSilentInterval);
  // Length-aware framing is RTU's: an ASCII frame ends at its CR LF anyway.
  C.SetLengthAwareFraming(FPlan.Burst && Line.Mode == tmRTU);
  C.SetRefetchDelay(0);
  C.Open();
}

void TModbusScanner::Apply(Cardinal Timeout, Cardinal Retries) {
  FConnection->SetReceiveTimeout(Timeout);
  FConnection->SetMaxRetries(Retries);
}

void TModbusScanner::Probe() {
  const TScanLineSettings& Line = FLines[FLineIndex];
  const Byte Address = FPlan.Addresses[FAddressIndex];
  const Cardinal Timeout = FPlan.Timeout != 0 ? FPlan.Timeout
                           : FPlan.Burst        ? BurstTimeout(Line.BaudRate, Line.Mode)
                                                : NormalTimeout;
  // Burst mode asks once; otherwise a probe that a noisy line spoiled is sent again, as the
  // connection would.
  Apply(Timeout, FPlan.Burst ? 1 : FUserRetries);
  FClient->SetServerAddress(Address);
  FCandidate = {};
  FCandidate.Address = Address;
  FCandidate.Line = Line;
  FProbeStart = std::chrono::steady_clock::now();
  Ask([this] { FClient->ReadHoldingRegisters(FPlan.ProbeRegister, 1); });
}

// A request that cannot be sent (the connection closed under the scan) ends the scan: no event
// would come to move it on.
void TModbusScanner::Ask(const std::function<void()>& Request) {
  FAwaiting = true;
  try {
    Request();
  } catch (const std::exception& Error) {
    FAwaiting = false;
    FFailure = Error.what();
    FCancelRequested = true;
    Later([this] { Finish(soFailed); });
  }
}

// Rounded up: an answer never takes no time, even on a line that carries it at once.
Cardinal TModbusScanner::ElapsedSinceProbe() const {
  const auto Elapsed = std::chrono::steady_clock::now() - FProbeStart;
  return static_cast<Cardinal>(std::chrono::ceil<std::chrono::milliseconds>(Elapsed).count());
}

void TModbusScanner::ProbeAnswered(bool Answered, bool Refused, Byte ExceptionCode) {
  if (!FScanning || !FAwaiting) return;
  FAwaiting = false;
  if (!Answered) {
    NextCombination();
    return;
  }
  FCandidate.RoundTrip = ElapsedSinceProbe();
  FCandidate.Refused = Refused;
  FCandidate.ExceptionCode = ExceptionCode;
  if (FCancelRequested) {
    ReportIdentification({});
    return;
  }
  AskIdentification();
}

void TModbusScanner::AskIdentification() {
  const TScanLineSettings& Line = FLines[FLineIndex];
  // An identification is longer than the probe's answer: time enough for the longest frame, at
  // least the probe's own time-out.
  const Cardinal Longest = CharacterTime(LongestReplyChars[Line.Mode == tmASCII ? 1 : 0], Line.BaudRate);
  Apply(std::max(FConnection->ReceiveTimeout(), Longest == Infinite ? NormalTimeout : Longest + 200), 1);
  Ask([this] { FClient->ReportServerIdentification(); });
}

// The identification report first: a device that sizes its requests by function code (libmodbus
// does) cannot size 43 and may lose the request after it. Where the report told nothing, the
// identification objects may.
void TModbusScanner::IdentificationAnswered(std::string Identity) {
  if (!FScanning || !FAwaiting) return;
  if (!Identity.empty() || FCancelRequested) {
    ReportIdentification(std::move(Identity));
    return;
  }
  Ask([this] { FClient->ReadDeviceIdentification(diBasic); });
}

void TModbusScanner::ReportIdentification(std::string Identity) {
  if (!FScanning) return;
  FAwaiting = false;
  FCandidate.Identity = std::move(Identity);
  FDevices.push_back(FCandidate);
  ++FProgress.Found;
  if (FOnDeviceFound) FOnDeviceFound(*this, FDevices.back());
  NextCombination();
}

void TModbusScanner::NextCombination() {
  if (!FScanning) return;
  FProgress.Done = std::min(FProgress.Done + 1, FProgress.Total);
  FProgress.Line = FLines[FLineIndex];
  FProgress.Address = FPlan.Addresses[FAddressIndex];
  if (FOnProgress) FOnProgress(*this, FProgress);
  if (!FScanning) return;  // the handler destroyed nothing, but it may have cancelled
  if (FCancelRequested) {
    Later([this] { Finish(FFailure.empty() ? soCancelled : soFailed); });
    return;
  }
  if (++FAddressIndex < FPlan.Addresses.size()) {
    Probe();
    return;
  }
  FAddressIndex = 0;
  if (++FLineIndex >= FLines.size()) {
    Later([this] { Finish(soCompleted); });
    return;
  }
  // Closing waits for the worker: not from inside the connection's own event.
  Later([this] {
    if (!FScanning) return;
    if (FCancelRequested) {
      Finish(FFailure.empty() ? soCancelled : soFailed);
      return;
    }
    try {
      OpenAt(FLines[FLineIndex]);
    } catch (const std::exception& Error) {
      FFailure = Error.what();
      Finish(soFailed);
      return;
    }
    Probe();
  });
}

void TModbusScanner::Later(std::function<void()> Step) {
  const std::weak_ptr<TLiveness> Alive = FLiveness;
  const auto Guarded = [Alive, Step = std::move(Step)] {
    if (Alive.lock()) Step();
  };
  // Refused only while ten thousand messages wait, that is while nobody pumps: then nothing is on
  // the stack that the step could disturb.
  if (!MainThread::Post(Guarded)) Guarded();
}

void TModbusScanner::Finish(TScanOutcome Outcome) {
  if (!FScanning) return;
  FScanning = false;
  FAwaiting = false;
  FConnection->Close();
  Apply(FUserTimeout, FUserRetries);
  if (FOnFinished) FOnFinished(*this, Outcome);
}

}  // namespace Quorvel
