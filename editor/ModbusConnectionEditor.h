#pragma once
// The connection settings dialog: every setting of a TModbusConnection on two pages, checked when
// the operator leaves a page or confirms, and written back to the connection on OK. Settings that
// an open connection refuses are applied by closing the port, writing everything and reopening it;
// the others go to the open connection directly.

#include <QDialog>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/SerialPorts.h>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;
class QStandardItemModel;
class QWidget;
class TPageControl;
class TRadioGroup;

namespace Quorvel {
class TModbusConnection;
}

// Shows the settings of Connection in a modal dialog titled Caption. True when the operator
// confirmed with OK, after the settings were written back; false for Cancel, Escape or the close
// box, which change nothing. An exception from writing back or reopening reaches the caller after
// the dialog is gone, with the port reopened if the dialog had closed it.
bool EditConnection(Quorvel::TModbusConnection& Connection, const QString& Caption);

// The dialog's reading of an integer: leading blanks, an optional sign, then decimal digits, or
// hexadecimal digits after "$" or "0x"; nothing may follow. Decimal values must fit a signed 64-bit
// integer; hexadecimal ones are 64-bit patterns ("$FFFFFFFFFFFFFFFF" is -1). False for anything else,
// the empty text included.
bool TryParseInt64(const QString& Text, std::int64_t& Value);

// Raises EQuorvelError "'<text>' is not a valid integer value" when Edit's text is no integer, and
// "Value must be between Min and Max" when it lies outside Min..Max (Min == Max: no range). Either
// way the focus goes to the edit first, if the edit is visible and enabled.
void CheckEditRange(QLineEdit* Edit, std::int64_t Min, std::int64_t Max);

// Enables or disables Edit and paints it in the colour that says so: the window colour when
// enabled, the button face when not.
void SetEditEnabled(QLineEdit* Edit, bool Enabled);

class TModbusConnectionEditForm : public QDialog {
  Q_OBJECT

 public:
  explicit TModbusConnectionEditForm(QWidget* Parent = nullptr);
  ~TModbusConnectionEditForm() override;

  // The steps of EditConnection, for callers that drive the form themselves.
  // Fills the controls from the connection, running the radio groups' click handlers as it goes.
  // The connection's port goes first in the port list, listed or not.
  void ShowConnection(const Quorvel::TModbusConnection& Connection);
  // Replaces the port list (the system's, at creation): each port by the name to open it by, its
  // stable name where it has one, beside what the system knows of it, sorted by name.
  void SetPortList(const std::vector<Quorvel::TSerialPortInfo>& Ports);
  // True when the connection is open for real and one of the settings it takes only while closed
  // (port, flow control, DTR, RTS, transmission mode, connection mode) differs in the dialog.
  bool NeedsReopen(const Quorvel::TModbusConnection& Connection) const;
  // Writes the controls back, closing the port first and reopening it afterwards when NeedsReopen.
  // Not all-or-nothing: what was written before a setter raised keeps its new value.
  void ApplyTo(Quorvel::TModbusConnection& Connection);

  // Handlers, connected to the controls' signals. An exception that escapes one reaches
  // Quorvel::Application::HandleException, never Qt.
  void FormShow();
  void PageControl1Changing(bool& AllowChange);
  void PageControl1Change();
  void BaudRateComboBoxClick();
  void TransmissionModeRadioGroupClick();
  void RTUDefaultsButtonClick();
  void ASCIIDefaultsButtonClick();
  void OKButtonClick();
  void ConnectionModeRadioGroupClick();
  void FlowControlRadioGroupClick();

 protected:
  void showEvent(QShowEvent* Event) override;

 private:
  void CreateControls();
  void SetTabOrder();
  void ConnectHandlers();
  void ValidateSerialPage();
  void ValidateTransactionPage();
  bool ClientModeSelected() const;
  Quorvel::TTransmissionMode SelectedTransmissionMode() const;
  void WriteBack(Quorvel::TModbusConnection& Connection);
  void PutPortFirst(const std::string& Port);

  TPageControl* PageControl1 = nullptr;
  QWidget* SerialCommTabSheet = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* PortComboBox = nullptr;
  // The port list's two columns: the name (what the combo box shows and writes back) and what the
  // system knows of the port.
  QStandardItemModel* FPortModel = nullptr;
  std::vector<Quorvel::TSerialPortInfo> FPorts;
  QCheckBox* EchoCheckBox = nullptr;
  TRadioGroup* DataBitsRadioGroup = nullptr;
  TRadioGroup* ParitySchemeRadioGroup = nullptr;
  TRadioGroup* StopBitsRadioGroup = nullptr;
  TRadioGroup* TransmissionModeRadioGroup = nullptr;
  // The mode shown last: a framing the group does not offer (Modbus TCP) leaves it with nothing
  // selected, and is written back as it was until the user picks RTU or ASCII.
  Quorvel::TTransmissionMode FShownTransmissionMode = Quorvel::tmRTU;
  QLabel* Label2 = nullptr;
  QComboBox* BaudRateComboBox = nullptr;
  QLineEdit* CustomBaudRateEdit = nullptr;
  TRadioGroup* FlowControlRadioGroup = nullptr;
  QGroupBox* EnabledLinesGroupBox = nullptr;
  QCheckBox* DTREnabledCheckBox = nullptr;
  QCheckBox* RTSEnabledCheckBox = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* SilentIntervalEdit = nullptr;
  QWidget* TransactionMgmtTabSheet = nullptr;
  TRadioGroup* ConnectionModeRadioGroup = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* RefetchDelayEdit = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* SendTimeoutEdit = nullptr;
  QLabel* Label6 = nullptr;
  QLineEdit* ReceiveTimeoutEdit = nullptr;
  QLabel* Label7 = nullptr;
  QLineEdit* MaxRetriesEdit = nullptr;
  QLabel* Label8 = nullptr;
  QLineEdit* TurnaroundDelayEdit = nullptr;
  TRadioGroup* ThreadPriorityRadioGroup = nullptr;
  QPushButton* RTUDefaultsButton = nullptr;
  QPushButton* ASCIIDefaultsButton = nullptr;
  QPushButton* OKButton = nullptr;
  QPushButton* CancelButton = nullptr;
};
