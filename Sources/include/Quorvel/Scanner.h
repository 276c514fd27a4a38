#pragma once
/// @file
/// TModbusScanner: finds the devices on a serial line whose settings are not known. For each line
/// setting of a plan (baud rate, parity, framing) and each address it sends a harmless read (one
/// holding register); any answer, an exception reply too, means that a device is there, which is
/// then asked who it is (its identification report, 17, or its identification objects, 43/14,
/// where the report tells nothing). It runs on the main thread through
/// the connection's events, one request at a time, so a program's event loop stays free while it
/// scans.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <Quorvel/Component.h>
#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/Export.h>
#include <Quorvel/Types.h>

namespace Quorvel {

class TModbusClient;
class TModbusConnection;

/// One line setting that a scan tries: the rate, the parity and the framing. Data and stop bits
/// are the scanner's connection's own.
struct TScanLineSettings {
  Cardinal BaudRate = 19200;  ///< bits per second
  TParityScheme Parity = psNone;  ///< the parity bit
  TTransmissionMode Mode = tmRTU;  ///< RTU or ASCII
  /// Compares every field.
  bool operator==(const TScanLineSettings&) const = default;
};

/// What a scan tries, and how long it waits for each answer.
struct QUORVEL_EXPORT TScanPlan {
  /// The rates, parities and framings, tried in this order: every address at the first rate, first
  /// parity and first framing, then the next framing, and so on.
  ///@{
  std::vector<Cardinal> BaudRates{19200};
  std::vector<TParityScheme> Parities{psNone};
  std::vector<TTransmissionMode> Modes{tmRTU};
  ///@}
  /// The server addresses asked, 1..247 each, in this order.
  std::vector<Byte> Addresses = AllAddresses();
  /// Milliseconds to wait for each answer; 0 for the scan's own: 1000, or in burst mode
  /// TModbusScanner::BurstTimeout of the line setting.
  Cardinal Timeout = 0;
  /// Burst mode: length-aware framing (a reply ends at its last byte, not at the silence after
  /// it), one attempt per address, and the shortest time-out that a prompt device can answer in.
  bool Burst = false;
  /// The holding register that the probe reads. Reading one the device lacks is harmless too: its
  /// exception reply tells just as well that it is there.
  Word ProbeRegister = 0;

  /// 1..247.
  static std::vector<Byte> AllAddresses();
  /// Every combination of rate, parity and framing, in the order tried.
  std::vector<TScanLineSettings> LineSettings() const;
  /// Line settings times addresses: what the progress counts to.
  Cardinal Combinations() const;
};

/// A device that answered.
struct TScanDevice {
  Byte Address = 0;  ///< the server address it answered at
  TScanLineSettings Line;  ///< the line setting it answered at
  /// The probe's answer was an exception reply (ExceptionCode says which); a device that refuses
  /// the register is still there.
  bool Refused = false;
  Byte ExceptionCode = 0;  ///< for Refused
  /// Who it says it is: the text of its identification report, or its basic identification
  /// objects (vendor, product code, revision) joined by blanks; empty when it tells neither.
  std::string Identity;
  Cardinal RoundTrip = 0;  ///< milliseconds from sending the probe to its answer, rounded up
};

/// How far a scan is.
struct TScanProgress {
  Cardinal Done = 0;  ///< combinations asked
  Cardinal Total = 0;  ///< TScanPlan::Combinations
  Cardinal Found = 0;  ///< devices found so far
  TScanLineSettings Line;  ///< the line setting of the latest combination
  Byte Address = 0;  ///< its address
};

/// How a scan ended.
enum TScanOutcome : std::uint8_t {
  soCompleted,  ///< every combination was asked
  soCancelled,  ///< Cancel ended it
  soFailed  ///< the port could not be opened at a line setting, or it went away
};

/// See the file's description. The scanner owns its connection and its client; set the port and
/// any setting beyond the plan's (data bits, stop bits, flow control) on Connection() before
/// Start; in normal mode each probe is sent up to the connection's MaxRetries times. Main thread
/// only; its events are raised there.
class QUORVEL_EXPORT TModbusScanner : public TComponent {
 public:
  /// The handlers of the scanner's events.
  ///@{
  using TDeviceFoundEvent = std::function<void(TModbusScanner& Sender, const TScanDevice& Device)>;
  using TProgressEvent = std::function<void(TModbusScanner& Sender, const TScanProgress& Progress)>;
  using TFinishedEvent = std::function<void(TModbusScanner& Sender, TScanOutcome Outcome)>;
  ///@}

  /// An idle scanner with the default plan. Destroying one that scans ends the scan without its
  /// events.
  ///@{
  explicit TModbusScanner(TComponent* Owner = nullptr);
  ~TModbusScanner() override;
  ///@}

  /// The connection the scan runs on: closed while idle, opened by Start at each line setting.
  TModbusConnection& Connection() noexcept { return *FConnection; }

  /// What the next Start tries; raises std::logic_error during a scan.
  ///@{
  const TScanPlan& Plan() const noexcept { return FPlan; }
  void SetPlan(const TScanPlan& Value);
  ///@}

  /// Opens the port at the plan's first line setting and sends the first probe; returns at once.
  /// Raises what opening raises (the port cannot be opened), std::invalid_argument for a plan
  /// with nothing to try or an address outside 1..247, and std::logic_error during a scan.
  void Start();
  /// Ends the scan once the request in progress has its answer (at most one time-out later), with
  /// soCancelled; the devices found so far stay. Nothing happens while idle.
  void Cancel();
  /// From Start until OnFinished.
  bool Scanning() const noexcept { return FScanning; }
  /// The devices found by the latest scan, in the order found.
  const std::vector<TScanDevice>& Devices() const noexcept { return FDevices; }
  /// How far the latest scan is.
  const TScanProgress& Progress() const noexcept { return FProgress; }
  /// Why the latest scan failed (soFailed): the library's message.
  const std::string& FailureMessage() const noexcept { return FFailure; }

  /// The shortest time-out, in milliseconds, that a prompt device answers the probe within at
  /// BaudRate in Mode: the request and the reply on the wire, the silence that a device waits out
  /// before it answers, and a small allowance for the device to act.
  static Cardinal BurstTimeout(Cardinal BaudRate, TTransmissionMode Mode) noexcept;

  /// OnDeviceFound follows each device found, once it has told who it is; OnProgress each
  /// combination asked; OnFinished the end of the scan, after which Scanning is false and the
  /// port closed.
  ///@{
  void SetOnDeviceFound(TDeviceFoundEvent Handler) { FOnDeviceFound = std::move(Handler); }
  void SetOnProgress(TProgressEvent Handler) { FOnProgress = std::move(Handler); }
  void SetOnFinished(TFinishedEvent Handler) { FOnFinished = std::move(Handler); }
  ///@}

 private:
  struct TLiveness;

  void OpenAt(const TScanLineSettings& Line);
  void Probe();
  void Ask(const std::function<void()>& Request);
  void ProbeAnswered(bool Answered, bool Refused, Byte ExceptionCode);
  void AskIdentification();
  void IdentificationAnswered(std::string Identity);
  void ReportIdentification(std::string Identity);
  void NextCombination();
  void Later(std::function<void()> Step);
  void Finish(TScanOutcome Outcome);
  Cardinal ElapsedSinceProbe() const;
  void Apply(Cardinal Timeout, Cardinal Retries);

  TModbusConnection* FConnection = nullptr;
  TModbusClient* FClient = nullptr;
  TScanPlan FPlan;
  std::vector<TScanLineSettings> FLines;
  std::size_t FLineIndex = 0;
  std::size_t FAddressIndex = 0;
  bool FScanning = false;
  bool FCancelRequested = false;
  // A request of the scan is under way: its event comes before the scan may move on.
  bool FAwaiting = false;
  std::chrono::steady_clock::time_point FProbeStart;
  // What the connection had before the scan set its own time-outs; given back at its end.
  Cardinal FUserTimeout = 0;
  Cardinal FUserRetries = 1;
  TScanDevice FCandidate;
  std::vector<TScanDevice> FDevices;
  TScanProgress FProgress;
  std::string FFailure;
  std::shared_ptr<TLiveness> FLiveness;
  TDeviceFoundEvent FOnDeviceFound;
  TProgressEvent FOnProgress;
  TFinishedEvent FOnFinished;
};

}  // namespace Quorvel
