#include "ModbusConnectionEditor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QStandardItemModel>
#include <QTabBar>
#include <QTreeView>

#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <Quorvel/Application.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include <Quorvel/SerialPorts.h>
#include "PageControl.h"
#include "RadioGroup.h"

using namespace Quorvel;

namespace {

constexpr std::int64_t CardinalMax = 4294967295;
constexpr int CustomBaudRateIndex = brCustom;

const char* const InvalidInteger = "'%s' is not a valid integer value";

// Index = TBaudRate ordinal.
const char* const BaudRateNames[] = {"110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",   "14400",
                                     "19200", "38400", "56000", "57600", "115200", "128000", "256000", "Custom"};
static_assert(std::size(BaudRateNames) == brCustom + 1);

[[noreturn]] void RaiseInvalidInteger(const QString& Text) {
  std::string Message = InvalidInteger;
  Message.replace(Message.find("%s"), 2, Text.toStdString());
  throw EQuorvelError(Message);
}

void FocusIfPossible(QWidget* Widget) {
  // Focus given to a hidden or disabled widget would be lost, or worse, land on a page not shown.
  if (Widget->isVisible() && Widget->isEnabled()) Widget->setFocus(Qt::OtherFocusReason);
}

std::int64_t CheckedEditValue(QLineEdit* Edit, std::int64_t Min, std::int64_t Max) {
  std::int64_t Value = 0;
  if (!TryParseInt64(Edit->text(), Value)) {
    FocusIfPossible(Edit);
    RaiseInvalidInteger(Edit->text());
  }
  if (Min != Max && (Value < Min || Value > Max)) {
    FocusIfPossible(Edit);
    RaiseErrorFmt(Messages::ValueRange, Min, Max);
  }
  return Value;
}

// The value written back from an edit: the same reading as the checks, so a text that slipped
// past them can never be truncated into a 32-bit property.
Cardinal EditCardinal(QLineEdit* Edit) { return static_cast<Cardinal>(CheckedEditValue(Edit, 0, CardinalMax)); }

QString DecimalText(Cardinal Value) { return QString::number(Value); }

// An enumeration outside its list shows the property's default.
int ListIndex(int Value, int Count, int Default) { return Value >= 0 && Value < Count ? Value : Default; }

template <typename TWidget>
TWidget* Place(TWidget* Widget, const char* Name, int Left, int Top, int Width, int Height) {
  Widget->setObjectName(QString::fromLatin1(Name));
  Widget->setGeometry(Left, Top, Width, Height);
  return Widget;
}

// Labels keep their place but grow with their caption, so that a longer caption set at run time
// (the silent-interval unit) is never cut off.
void FitLabel(QLabel* Label) {
  const QSize Hint = Label->sizeHint();
  Label->resize(std::max(Label->width(), Hint.width()), std::max(Label->height(), Hint.height()));
}

QLabel* MakeLabel(QWidget* Parent, const char* Name, const char* Caption, QWidget* FocusTarget, int Left, int Top,
                  int Width, int Height) {
  auto* Label = Place(new QLabel(QString::fromUtf8(Caption), Parent), Name, Left, Top, Width, Height);
  Label->setBuddy(FocusTarget);
  FitLabel(Label);
  return Label;
}

TRadioGroup* MakeRadioGroup(QWidget* Parent, const char* Name, const char* Caption, int Columns,
                            const QStringList& Items, int Left, int Top, int Width, int Height) {
  auto* Group = Place(new TRadioGroup(Parent), Name, Left, Top, Width, Height);
  Group->setTitle(QString::fromUtf8(Caption));
  Group->SetColumns(Columns);
  Group->SetItems(Items);
  return Group;
}

QLineEdit* MakeEdit(QWidget* Parent, const char* Name, int Left, int Top, int Width, int Height) {
  return Place(new QLineEdit(Parent), Name, Left, Top, Width, Height);
}

QPushButton* MakeButton(QWidget* Parent, const char* Name, const char* Caption, int Left, int Top) {
  return Place(new QPushButton(QString::fromUtf8(Caption), Parent), Name, Left, Top, 81, 25);
}

}  // namespace

bool TryParseInt64(const QString& Text, std::int64_t& Value) {
  const qsizetype Length = Text.size();
  const auto At = [&](qsizetype Index) { return Index < Length ? Text.at(Index).unicode() : char16_t{0}; };
  qsizetype Index = 0;
  while (At(Index) == u' ' || At(Index) == u'\t') ++Index;
  bool Negative = false;
  if (At(Index) == u'+' || At(Index) == u'-') {
    Negative = At(Index) == u'-';
    ++Index;
  }
  unsigned Base = 10;
  if (At(Index) == u'$') {
    Base = 16;
    Index += 1;
  } else if (At(Index) == u'0' && (At(Index + 1) == u'x' || At(Index + 1) == u'X')) {
    Base = 16;
    Index += 2;
  }
  // The magnitude is gathered unsigned so that the most negative value, whose magnitude no signed
  // 64-bit integer holds, needs no special case.
  constexpr std::uint64_t SignedMax = 0x7FFFFFFFFFFFFFFFu;
  const std::uint64_t Limit = Base == 16 ? ~std::uint64_t{0} : Negative ? SignedMax + 1 : SignedMax;
  std::uint64_t Magnitude = 0;
  const qsizetype FirstDigit = Index;
  for (; Index < Length; ++Index) {
    const char16_t Character = At(Index);
    unsigned Digit = 0;
    if (Character >= u'0' && Character <= u'9')
      Digit = Character - u'0';
    else if (Base == 16 && Character >= u'a' && Character <= u'f')
      Digit = Character - u'a' + 10;
    else if (Base == 16 && Character >= u'A' && Character <= u'F')
      Digit = Character - u'A' + 10;
    else
      return false;
    if (Magnitude > (Limit - Digit) / Base) return false;
    Magnitude = Magnitude * Base + Digit;
  }
  if (Index == FirstDigit) return false;
  // Two's complement: a hexadecimal pattern with the top bit set comes out negative.
  Value = static_cast<std::int64_t>(Negative ? std::uint64_t{0} - Magnitude : Magnitude);
  return true;
}

void CheckEditRange(QLineEdit* Edit, std::int64_t Min, std::int64_t Max) { CheckedEditValue(Edit, Min, Max); }

void SetEditEnabled(QLineEdit* Edit, bool Enabled) {
  Edit->setEnabled(Enabled);
  QPalette Palette = Edit->palette();
  const QPalette& Standard = QGuiApplication::palette();
  Palette.setColor(QPalette::Base, Standard.color(QPalette::Active, Enabled ? QPalette::Base : QPalette::Button));
  Edit->setPalette(Palette);
}

bool EditConnection(TModbusConnection& Connection, const QString& Caption) {
  // Destroyed on every way out, before an exception reaches the caller.
  const auto Form = std::make_unique<TModbusConnectionEditForm>();
  Form->setWindowTitle(Caption);
  Form->ShowConnection(Connection);
  const bool Confirmed = Form->exec() == QDialog::Accepted;
  if (Confirmed) Form->ApplyTo(Connection);
  return Confirmed;
}

TModbusConnectionEditForm::TModbusConnectionEditForm(QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  CreateControls();
  SetTabOrder();

  std::vector<TSerialPortInfo> Ports;
  GetSerialPortInfos(Ports);
  SetPortList(Ports);

  BaudRateComboBox->clear();
  for (const char* Name : BaudRateNames) BaudRateComboBox->addItem(QString::fromLatin1(Name));

  PageControl1->setCurrentWidget(SerialCommTabSheet);
  ConnectHandlers();

  if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
    const QRect Desktop = Screen->availableGeometry();
    move(Desktop.x() + (Desktop.width() - width()) / 2, Desktop.y() + (Desktop.height() - height()) / 2);
  }
}

TModbusConnectionEditForm::~TModbusConnectionEditForm() = default;

void TModbusConnectionEditForm::CreateControls() {
  setObjectName(QStringLiteral("ModbusConnectionEditForm"));
  setFixedSize(440, 416);
  QFont Font(QStringLiteral("Tahoma"));
  Font.setPixelSize(11);
  setFont(Font);

  // Created in tab order within each parent: Qt's focus chain follows creation, and SetTabOrder
  // only makes it explicit. The pages start as children of the page control so that the labels
  // measure their captions in the dialog's font.
  PageControl1 = Place(new TPageControl(this), "PageControl1", 8, 8, 425, 369);

  SerialCommTabSheet = new QWidget(PageControl1);
  SerialCommTabSheet->setObjectName(QStringLiteral("SerialCommTabSheet"));
  QWidget* Serial = SerialCommTabSheet;
  PortComboBox = Place(new QComboBox(Serial), "PortComboBox", 16, 32, 193, 21);
  PortComboBox->setEditable(true);
  // A typed name is the port to use, not a new entry of the list.
  PortComboBox->setInsertPolicy(QComboBox::NoInsert);
  // The list shows each port's name beside what the system knows of it; the edit, the name.
  FPortModel = new QStandardItemModel(0, 2, PortComboBox);
  auto* PortView = new QTreeView(PortComboBox);
  PortView->setObjectName(QStringLiteral("PortListView"));
  PortView->setHeaderHidden(true);
  PortView->setRootIsDecorated(false);
  PortView->setItemsExpandable(false);
  PortView->setAllColumnsShowFocus(true);
  PortView->setSelectionBehavior(QAbstractItemView::SelectRows);
  PortView->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  PortView->setMinimumWidth(400);
  PortComboBox->setModel(FPortModel);
  PortComboBox->setView(PortView);
  PortComboBox->setModelColumn(0);
  EchoCheckBox = Place(new QCheckBox(QStringLiteral("Echo Query Before Reply"), Serial), "EchoCheckBox", 16, 58, 193, 17);
  DataBitsRadioGroup = MakeRadioGroup(Serial, "DataBitsRadioGroup", "&Data Bits:", 2, {"7 bits", "8 bits"}, 16, 88, 193, 49);
  ParitySchemeRadioGroup =
      MakeRadioGroup(Serial, "ParitySchemeRadioGroup", "P&arity:", 1, {"None", "Odd", "Even"}, 16, 144, 193, 73);
  StopBitsRadioGroup = MakeRadioGroup(Serial, "StopBitsRadioGroup", "&Stop Bits:", 2, {"1 bit", "2 bits"}, 16, 224, 193, 49);
  TransmissionModeRadioGroup =
      MakeRadioGroup(Serial, "TransmissionModeRadioGroup", "&Transmission Mode:", 2, {"RTU", "ASCII"}, 16, 280, 193, 49);
  BaudRateComboBox = Place(new QComboBox(Serial), "BaudRateComboBox", 216, 32, 193, 21);
  CustomBaudRateEdit = MakeEdit(Serial, "CustomBaudRateEdit", 216, 56, 89, 21);
  FlowControlRadioGroup = MakeRadioGroup(Serial, "FlowControlRadioGroup", "&Flow Control:", 1,
                                         {"None", "RTS Toggle", "RTS/CTS", "DTR/DSR"}, 216, 88, 193, 129);
  EnabledLinesGroupBox = Place(new QGroupBox(QStringLiteral("&Enabled lines:"), Serial), "EnabledLinesGroupBox", 216,
                               224, 193, 49);
  DTREnabledCheckBox =
      Place(new QCheckBox(QStringLiteral("DTR"), EnabledLinesGroupBox), "DTREnabledCheckBox", 8, 20, 73, 17);
  RTSEnabledCheckBox =
      Place(new QCheckBox(QStringLiteral("RTS"), EnabledLinesGroupBox), "RTSEnabledCheckBox", 88, 20, 73, 17);
  SilentIntervalEdit = MakeEdit(Serial, "SilentIntervalEdit", 216, 296, 89, 21);
  Label1 = MakeLabel(Serial, "Label1", "Serial &Port:", PortComboBox, 16, 16, 53, 13);
  Label2 = MakeLabel(Serial, "Label2", "&Baud Rate [bps]:", BaudRateComboBox, 216, 16, 82, 13);
  Label3 = MakeLabel(Serial, "Label3", "Silent &Interval:", SilentIntervalEdit, 216, 280, 71, 13);

  TransactionMgmtTabSheet = new QWidget(PageControl1);
  TransactionMgmtTabSheet->setObjectName(QStringLiteral("TransactionMgmtTabSheet"));
  QWidget* Transaction = TransactionMgmtTabSheet;
  ConnectionModeRadioGroup =
      MakeRadioGroup(Transaction, "ConnectionModeRadioGroup", "&Connection Mode:", 2, {"Client", "Server"}, 16, 16, 393, 49);
  RefetchDelayEdit = MakeEdit(Transaction, "RefetchDelayEdit", 216, 72, 193, 21);
  SendTimeoutEdit = MakeEdit(Transaction, "SendTimeoutEdit", 216, 96, 193, 21);
  ReceiveTimeoutEdit = MakeEdit(Transaction, "ReceiveTimeoutEdit", 216, 120, 193, 21);
  MaxRetriesEdit = MakeEdit(Transaction, "MaxRetriesEdit", 216, 144, 193, 21);
  TurnaroundDelayEdit = MakeEdit(Transaction, "TurnaroundDelayEdit", 216, 168, 193, 21);
  ThreadPriorityRadioGroup =
      MakeRadioGroup(Transaction, "ThreadPriorityRadioGroup", "&Thread Priority:", 2,
                     {"Idle", "Lowest", "Lower", "Normal", "Higher", "Highest", "Time Critical"}, 16, 200, 393, 129);
  Label4 = MakeLabel(Transaction, "Label4", "&Refetch Delay [ms]:", RefetchDelayEdit, 16, 76, 96, 13);
  Label5 = MakeLabel(Transaction, "Label5", "&Send Timeout [ms]:", SendTimeoutEdit, 16, 100, 93, 13);
  Label6 = MakeLabel(Transaction, "Label6", "R&eceive Timeout [ms]:", ReceiveTimeoutEdit, 16, 124, 107, 13);
  Label7 = MakeLabel(Transaction, "Label7", "&Maximum Retries:", MaxRetriesEdit, 16, 148, 85, 13);
  Label8 = MakeLabel(Transaction, "Label8", "T&urnaround Delay [ms]:", TurnaroundDelayEdit, 16, 172, 114, 13);

  PageControl1->addTab(SerialCommTabSheet, QStringLiteral("Serial Communication"));
  PageControl1->addTab(TransactionMgmtTabSheet, QStringLiteral("Modbus Transaction Management"));

  RTUDefaultsButton = MakeButton(this, "RTUDefaultsButton", "&RTU Defaults", 8, 384);
  ASCIIDefaultsButton = MakeButton(this, "ASCIIDefaultsButton", "AS&CII Defaults", 96, 384);
  OKButton = MakeButton(this, "OKButton", "OK", 264, 384);
  OKButton->setDefault(true);
  CancelButton = MakeButton(this, "CancelButton", "Cancel", 352, 384);
}

void TModbusConnectionEditForm::SetTabOrder() {
  std::vector<QWidget*> Order;
  const auto Add = [&Order](std::initializer_list<QWidget*> Widgets) { Order.insert(Order.end(), Widgets); };
  // Tab enters a radio group at its buttons; the arrow keys move between them.
  const auto AddGroup = [&Order](const TRadioGroup* Group) {
    for (int Index = 0; Index < Group->Count(); ++Index) Order.push_back(Group->Button(Index));
  };
  Add({PageControl1->tabBar(), PortComboBox, EchoCheckBox});
  AddGroup(DataBitsRadioGroup);
  AddGroup(ParitySchemeRadioGroup);
  AddGroup(StopBitsRadioGroup);
  AddGroup(TransmissionModeRadioGroup);
  Add({BaudRateComboBox, CustomBaudRateEdit});
  AddGroup(FlowControlRadioGroup);
  Add({DTREnabledCheckBox, RTSEnabledCheckBox, SilentIntervalEdit});
  AddGroup(ConnectionModeRadioGroup);
  Add({RefetchDelayEdit, SendTimeoutEdit, ReceiveTimeoutEdit, MaxRetriesEdit, TurnaroundDelayEdit});
  AddGroup(ThreadPriorityRadioGroup);
  Add({RTUDefaultsButton, ASCIIDefaultsButton, OKButton, CancelButton});
  for (std::size_t Index = 1; Index < Order.size(); ++Index) QWidget::setTabOrder(Order[Index - 1], Order[Index]);
}

namespace {

// A slot body that Qt never sees throw: what escapes a handler goes to the application's error
// display, and the dialog carries on.
template <typename THandler>
void Guarded(THandler&& Handler) noexcept {
  try {
    Handler();
  } catch (...) {
    Application::HandleException(std::current_exception());
  }
}

}  // namespace

void TModbusConnectionEditForm::ConnectHandlers() {
  using Form = TModbusConnectionEditForm;
  const auto Slot = [this](void (Form::*Handler)()) {
    return [this, Handler] { Guarded([&] { (this->*Handler)(); }); };
  };
  connect(PageControl1, &TPageControl::changing, this,
          [this](bool& AllowChange) { Guarded([&] { PageControl1Changing(AllowChange); }); });
  connect(PageControl1, &QTabWidget::currentChanged, this, Slot(&Form::PageControl1Change));
  // activated: a choice the user made, which is when the original list reports a click.
  connect(BaudRateComboBox, &QComboBox::activated, this, Slot(&Form::BaudRateComboBoxClick));
  connect(TransmissionModeRadioGroup, &TRadioGroup::itemClicked, this, Slot(&Form::TransmissionModeRadioGroupClick));
  connect(FlowControlRadioGroup, &TRadioGroup::itemClicked, this, Slot(&Form::FlowControlRadioGroupClick));
  connect(ConnectionModeRadioGroup, &TRadioGroup::itemClicked, this, Slot(&Form::ConnectionModeRadioGroupClick));
  connect(RTUDefaultsButton, &QPushButton::clicked, this, Slot(&Form::RTUDefaultsButtonClick));
  connect(ASCIIDefaultsButton, &QPushButton::clicked, this, Slot(&Form::ASCIIDefaultsButtonClick));
  connect(OKButton, &QPushButton::clicked, this, Slot(&Form::OKButtonClick));
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void TModbusConnectionEditForm::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  // A spontaneous show is the window system restoring the window, not the dialog opening.
  if (!Event->spontaneous()) Guarded([this] { FormShow(); });
}

void TModbusConnectionEditForm::SetPortList(const std::vector<TSerialPortInfo>& Ports) {
  FPorts = Ports;
  std::stable_sort(FPorts.begin(), FPorts.end(), [](const TSerialPortInfo& Left, const TSerialPortInfo& Right) {
    return QString::compare(QString::fromStdString(Left.Name), QString::fromStdString(Right.Name), Qt::CaseInsensitive) < 0;
  });
  const QString Text = PortComboBox->currentText();
  FPortModel->removeRows(0, FPortModel->rowCount());
  for (const TSerialPortInfo& Port : FPorts) {
    auto* Name = new QStandardItem(QString::fromStdString(Port.Name));
    auto* Description = new QStandardItem(QString::fromStdString(Port.Description()));
    Name->setToolTip(Name->text() + QLatin1Char('\n') + Description->text());
    Description->setToolTip(Name->toolTip());
    FPortModel->appendRow({Name, Description});
  }
  PortComboBox->setCurrentText(Text);
}

void TModbusConnectionEditForm::PutPortFirst(const std::string& Port) {
  // The port as the connection names it may be the device's name or path behind a listed stable
  // name, or the stable name itself.
  const auto Listed = std::find_if(FPorts.begin(), FPorts.end(),
                                   [&Port](const TSerialPortInfo& Info) { return Info.IsNamedBy(Port); });
  if (Listed != FPorts.end()) {
    FPortModel->insertRow(0, FPortModel->takeRow(static_cast<int>(Listed - FPorts.begin())));
    std::rotate(FPorts.begin(), Listed, Listed + 1);
    return;
  }
  if (Port.empty()) return;
  // A current port that the system does not list (gone, or not a port it knows) is still shown; a
  // serial device server reached over TCP is never listed.
  const bool OverTcp = Port.rfind("tcp://", 0) == 0 || Port.rfind("tcp-listen://", 0) == 0;
  auto* Name = new QStandardItem(QString::fromStdString(Port));
  auto* Description =
      new QStandardItem(OverTcp ? QStringLiteral("current port, over TCP") : QStringLiteral("current port, not found now"));
  FPortModel->insertRow(0, {Name, Description});
  TSerialPortInfo Current;
  Current.Name = Current.Device = Port;
  FPorts.insert(FPorts.begin(), Current);
}

void TModbusConnectionEditForm::ShowConnection(const TModbusConnection& Connection) {
  PutPortFirst(Connection.Port());
  PortComboBox->setCurrentText(QString::fromStdString(Connection.Port()));
  BaudRateComboBox->setCurrentIndex(ListIndex(Connection.BaudRate(), brCustom + 1, br19200));
  CustomBaudRateEdit->setText(DecimalText(Connection.CustomBaudRate()));
  EchoCheckBox->setChecked(Connection.EchoQueryBeforeReply());
  DataBitsRadioGroup->SetItemIndex(ListIndex(Connection.DataBits(), 2, db8));
  ParitySchemeRadioGroup->SetItemIndex(ListIndex(Connection.Parity(), 3, psEven));
  StopBitsRadioGroup->SetItemIndex(ListIndex(Connection.StopBits(), 2, sb1));
  FlowControlRadioGroup->SetItemIndex(ListIndex(Connection.FlowControl(), 4, fcNone));
  DTREnabledCheckBox->setChecked(Connection.DTREnabled());
  RTSEnabledCheckBox->setChecked(Connection.RTSEnabled());
  FShownTransmissionMode =
      static_cast<TTransmissionMode>(ListIndex(Connection.TransmissionMode(), tmModbusTCP + 1, tmRTU));
  TransmissionModeRadioGroup->SetItemIndex(FShownTransmissionMode);
  SilentIntervalEdit->setText(DecimalText(Connection.SilentInterval()));
  ConnectionModeRadioGroup->SetItemIndex(ListIndex(Connection.ConnectionMode(), 2, cmClient));
  ThreadPriorityRadioGroup->SetItemIndex(ListIndex(Connection.ThreadPriority(), 7, tpNormal));
  RefetchDelayEdit->setText(DecimalText(Connection.RefetchDelay()));
  SendTimeoutEdit->setText(DecimalText(Connection.SendTimeout()));
  ReceiveTimeoutEdit->setText(DecimalText(Connection.ReceiveTimeout()));
  MaxRetriesEdit->setText(DecimalText(Connection.MaxRetries()));
  TurnaroundDelayEdit->setText(DecimalText(Connection.TurnaroundDelay()));
}

bool TModbusConnectionEditForm::NeedsReopen(const TModbusConnection& Connection) const {
  if (!Connection.Active() || Connection.IsDesigning()) return false;
  return PortComboBox->currentText().toStdString() != Connection.Port() ||
         FlowControlRadioGroup->ItemIndex() != Connection.FlowControl() ||
         DTREnabledCheckBox->isChecked() != Connection.DTREnabled() ||
         RTSEnabledCheckBox->isChecked() != Connection.RTSEnabled() ||
         SelectedTransmissionMode() != Connection.TransmissionMode() ||
         ConnectionModeRadioGroup->ItemIndex() != Connection.ConnectionMode();
}

void TModbusConnectionEditForm::ApplyTo(TModbusConnection& Connection) {
  const bool Reopen = NeedsReopen(Connection);
  if (Reopen) Connection.Close();
  try {
    WriteBack(Connection);
  } catch (...) {
    // The port goes back into use with whatever was written; if that open fails too, its error is
    // the one the caller sees.
    if (Reopen) Connection.Open();
    throw;
  }
  if (Reopen) Connection.Open();
}

void TModbusConnectionEditForm::WriteBack(TModbusConnection& Connection) {
  Connection.SetPort(PortComboBox->currentText().toStdString());
  const int BaudRate = BaudRateComboBox->currentIndex();
  Connection.SetBaudRate(static_cast<TBaudRate>(BaudRate));
  if (BaudRate == CustomBaudRateIndex) Connection.SetCustomBaudRate(EditCardinal(CustomBaudRateEdit));
  Connection.SetEchoQueryBeforeReply(EchoCheckBox->isChecked());
  Connection.SetDataBits(static_cast<TDataBits>(DataBitsRadioGroup->ItemIndex()));
  Connection.SetParity(static_cast<TParityScheme>(ParitySchemeRadioGroup->ItemIndex()));
  Connection.SetStopBits(static_cast<TStopBits>(StopBitsRadioGroup->ItemIndex()));
  Connection.SetFlowControl(static_cast<TFlowControl>(FlowControlRadioGroup->ItemIndex()));
  Connection.SetDTREnabled(DTREnabledCheckBox->isChecked());
  Connection.SetRTSEnabled(RTSEnabledCheckBox->isChecked());
  Connection.SetTransmissionMode(SelectedTransmissionMode());
  Connection.SetSilentInterval(EditCardinal(SilentIntervalEdit));
  Connection.SetConnectionMode(static_cast<TConnectionMode>(ConnectionModeRadioGroup->ItemIndex()));
  Connection.SetThreadPriority(static_cast<TThreadPriority>(ThreadPriorityRadioGroup->ItemIndex()));
  const bool Client = ClientModeSelected();
  if (Client) Connection.SetRefetchDelay(EditCardinal(RefetchDelayEdit));
  Connection.SetSendTimeout(EditCardinal(SendTimeoutEdit));
  Connection.SetReceiveTimeout(EditCardinal(ReceiveTimeoutEdit));
  if (Client) Connection.SetMaxRetries(EditCardinal(MaxRetriesEdit));
  if (Client) Connection.SetTurnaroundDelay(EditCardinal(TurnaroundDelayEdit));
}

bool TModbusConnectionEditForm::ClientModeSelected() const { return ConnectionModeRadioGroup->ItemIndex() == cmClient; }

TTransmissionMode TModbusConnectionEditForm::SelectedTransmissionMode() const {
  const int Index = TransmissionModeRadioGroup->ItemIndex();
  return Index < 0 ? FShownTransmissionMode : static_cast<TTransmissionMode>(Index);
}

void TModbusConnectionEditForm::ValidateSerialPage() {
  if (BaudRateComboBox->currentIndex() == CustomBaudRateIndex) CheckEditRange(CustomBaudRateEdit, 0, CardinalMax);
  // The echo of the query is a client's concern: a server never waits for a reply.
  EchoCheckBox->setEnabled(ClientModeSelected());
  CheckEditRange(SilentIntervalEdit, 0, CardinalMax);
}

void TModbusConnectionEditForm::ValidateTransactionPage() {
  const bool Client = ClientModeSelected();
  if (Client) CheckEditRange(RefetchDelayEdit, 0, CardinalMax);
  CheckEditRange(SendTimeoutEdit, 0, CardinalMax);
  CheckEditRange(ReceiveTimeoutEdit, 0, CardinalMax);
  if (Client) CheckEditRange(MaxRetriesEdit, 1, CardinalMax);
  if (Client) CheckEditRange(TurnaroundDelayEdit, 0, CardinalMax);
}

void TModbusConnectionEditForm::FormShow() {
  BaudRateComboBoxClick();
  FlowControlRadioGroupClick();
  TransmissionModeRadioGroupClick();
  PageControl1Change();
  ConnectionModeRadioGroupClick();
}

void TModbusConnectionEditForm::PageControl1Changing(bool& AllowChange) {
  try {
    if (PageControl1->currentWidget() == SerialCommTabSheet)
      ValidateSerialPage();
    else
      ValidateTransactionPage();
  } catch (...) {
    AllowChange = false;
    Application::HandleException(std::current_exception());
  }
}

void TModbusConnectionEditForm::PageControl1Change() {
  const bool SerialPage = PageControl1->currentWidget() == SerialCommTabSheet;
  RTUDefaultsButton->setEnabled(SerialPage);
  ASCIIDefaultsButton->setEnabled(SerialPage);
}

void TModbusConnectionEditForm::BaudRateComboBoxClick() {
  CustomBaudRateEdit->setVisible(BaudRateComboBox->currentIndex() == CustomBaudRateIndex);
}

void TModbusConnectionEditForm::TransmissionModeRadioGroupClick() {
  const bool Rtu = TransmissionModeRadioGroup->ItemIndex() == tmRTU;
  Label3->setText(QStringLiteral("Silent &Interval [%1]:").arg(Rtu ? QStringLiteral("character times")
                                                                    : QStringLiteral("milliseconds")));
  FitLabel(Label3);
}

void TModbusConnectionEditForm::RTUDefaultsButtonClick() {
  DataBitsRadioGroup->SetItemIndex(db8);
  ParitySchemeRadioGroup->SetItemIndex(psEven);
  StopBitsRadioGroup->SetItemIndex(sb1);
  TransmissionModeRadioGroup->SetItemIndex(tmRTU);
  SilentIntervalEdit->setText(QStringLiteral("4"));
}

void TModbusConnectionEditForm::ASCIIDefaultsButtonClick() {
  DataBitsRadioGroup->SetItemIndex(db7);
  ParitySchemeRadioGroup->SetItemIndex(psEven);
  StopBitsRadioGroup->SetItemIndex(sb1);
  TransmissionModeRadioGroup->SetItemIndex(tmASCII);
  SilentIntervalEdit->setText(QStringLiteral("1000"));
}

void TModbusConnectionEditForm::OKButtonClick() {
  try {
    ValidateSerialPage();
    ValidateTransactionPage();
  } catch (...) {
    // The dialog stays open for the operator to correct the value.
    setResult(0);
    Application::HandleException(std::current_exception());
    return;
  }
  accept();
}

void TModbusConnectionEditForm::ConnectionModeRadioGroupClick() {
  const bool Client = ClientModeSelected();
  Label4->setEnabled(Client);
  SetEditEnabled(RefetchDelayEdit, Client);
  Label6->setEnabled(Client);
  SetEditEnabled(ReceiveTimeoutEdit, Client);
  Label7->setEnabled(Client);
  SetEditEnabled(MaxRetriesEdit, Client);
  Label8->setEnabled(Client);
  SetEditEnabled(TurnaroundDelayEdit, Client);
}

void TModbusConnectionEditForm::FlowControlRadioGroupClick() {
  const int Flow = FlowControlRadioGroup->ItemIndex();
  DTREnabledCheckBox->setEnabled(Flow != fcDtrDsr);
  // Under RTS toggle or RTS/CTS the driver drives RTS itself.
  RTSEnabledCheckBox->setEnabled(Flow != fcRtsToggle && Flow != fcRtsCts);
}
