#pragma once
// "Procurar dispositivo": the line scan in a dialog. The technician picks the rates, parities,
// framings and addresses to try, starts the scan, watches its progress and the devices it finds,
// and takes one with "Usar". The scan runs on the library's events, so the window stays responsive;
// the dialog holds no protocol logic beyond turning its choices into a plan.

#include <QDialog>

#include <optional>
#include <vector>

#include <Quorvel/Scanner.h>

class QCheckBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTreeWidget;

namespace Quorvel {
class TModbusConnection;
}

class TScanDialog : public QDialog {
  Q_OBJECT

 public:
  // Scans Connection's port with its data and stop bits; the rate, parity and framing it has now
  // are the ones checked at first. Connection itself must be closed while a scan runs.
  explicit TScanDialog(const Quorvel::TModbusConnection& Connection, QWidget* Parent = nullptr);
  ~TScanDialog() override;

  // The device chosen with "Usar".
  const std::optional<Quorvel::TScanDevice>& Chosen() const noexcept { return FChosen; }
  Quorvel::TModbusScanner& Scanner() noexcept { return FScanner; }
  // The plan that the dialog's choices make.
  Quorvel::TScanPlan PlanFromChoices() const;

  // The widgets, by their objectName.
  QListWidget* BaudList = nullptr;
  QCheckBox* ParityNone = nullptr;
  QCheckBox* ParityEven = nullptr;
  QCheckBox* ParityOdd = nullptr;
  QRadioButton* ModeRTU = nullptr;
  QRadioButton* ModeASCII = nullptr;
  QRadioButton* ModeBoth = nullptr;
  QSpinBox* FirstAddress = nullptr;
  QSpinBox* LastAddress = nullptr;
  QCheckBox* BurstCheck = nullptr;
  // Milliseconds to wait for each answer; 0 ("automático") leaves it to the scan.
  QSpinBox* TimeoutEdit = nullptr;
  QPushButton* StartButton = nullptr;
  QPushButton* CancelButton = nullptr;
  QProgressBar* Progress = nullptr;
  QLabel* ProgressText = nullptr;
  QTreeWidget* FoundList = nullptr;
  QPushButton* UseButton = nullptr;
  QPushButton* CloseButton = nullptr;

  void StartButtonClick();
  void CancelButtonClick();
  void UseButtonClick();

 protected:
  void reject() override;

 private:
  void DeviceFound(const Quorvel::TScanDevice& Device);
  void ProgressMade(const Quorvel::TScanProgress& Now);
  void Finished(Quorvel::TScanOutcome Outcome);
  void UpdateButtons();

  Quorvel::TModbusScanner FScanner;
  std::vector<Quorvel::TScanDevice> FFound;
  std::optional<Quorvel::TScanDevice> FChosen;
  // Close asked during a scan: the dialog goes once the scan has let go of the port.
  bool FCloseWhenDone = false;
};
