#include "MainWindow.h"

#include <QAction>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Scanner.h>
#include <Quorvel/SerialPorts.h>
#include "DisplayLine.h"
#include "DorvaneApplication.h"
#include "LCD.h"
#include "ModbusConnectionEditor.h"
#include "PortWatch.h"
#include "ScanDialog.h"
#include "TrafficMonitor.h"
#include "WindowTexts.h"

namespace {

constexpr const char* Line1Text = "      T18 V6.0";

// The stored colours, blue-green-red as the display widget takes them.
constexpr TLCD::TColor ClBlack = 0x000000;
constexpr TLCD::TColor ClAqua = 0xFFFF00;
constexpr TLCD::TColor DarkCyan = 4210688;  // 404000h: red 0, green 64, blue 64

// "MS Sans Serif", height -11: 11 pixels, 8 points at 96 pixels per inch. Substitutes count only
// where the face itself is missing: Windows has it (or its TrueType successor, Microsoft Sans Serif,
// which Windows itself puts in its place). Linux has neither, and the usual sans-serif face is wide
// enough to cut off the centred warning in its 138 pixels: the condensed DejaVu face is close to
// the stored one's widths. Without any of them the font database picks the closest sans-serif face.
QFont StoredFont() {
  static const bool Substituted =
      (QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                  {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("DejaVu Sans Condensed")}),
       true);
  (void)Substituted;
  QFont Font(QStringLiteral("MS Sans Serif"));
  Font.setStyleHint(QFont::SansSerif);
  Font.setPixelSize(11);
  return Font;
}

QLabel* CreateLabel(QWidget* Parent, const char* Name, const QString& Caption, const QRect& Bounds) {
  auto* Label = new QLabel(Caption, Parent);
  Label->setObjectName(QString::fromLatin1(Name));
  Label->setGeometry(Bounds);
  Label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  return Label;
}

QPushButton* CreateButton(QWidget* Parent, const char* Name, const QString& Caption, const QRect& Bounds) {
  auto* Button = new QPushButton(Caption, Parent);
  Button->setObjectName(QString::fromLatin1(Name));
  Button->setGeometry(Bounds);
  return Button;
}

// A panel with a lowered outer bevel, filled with the button-text colour.
QFrame* CreatePanel(QWidget* Parent, const char* Name, const QRect& Bounds) {
  auto* Panel = new QFrame(Parent);
  Panel->setObjectName(QString::fromLatin1(Name));
  Panel->setGeometry(Bounds);
  Panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel->setLineWidth(1);
  QPalette Colours = Panel->palette();
  Colours.setColor(QPalette::Window, Colours.color(QPalette::ButtonText));
  Panel->setPalette(Colours);
  Panel->setAutoFillBackground(true);
  return Panel;
}

TLCD* CreateDisplay(QWidget* Parent, const char* Name, const QRect& Bounds, const QByteArray& Text) {
  auto* Display = new TLCD(Parent);
  Display->setObjectName(QString::fromLatin1(Name));
  Display->setGeometry(Bounds);
  Display->SetLine1Txt(Text);
  Display->SetCols(20);
  Display->SetTamDOT(2);
  Display->SetBackGround(ClBlack);
  Display->SetPixelOn(ClAqua);
  Display->SetPixelOff(DarkCyan);
  return Display;
}

// The caption of a display line inside its panel: own font, yellow on the panel's colour.
QLabel* CreateLineLabel(QWidget* Parent, const char* Name, const QString& Caption, const QRect& Bounds) {
  QLabel* Label = CreateLabel(Parent, Name, Caption, Bounds);
  Label->setFont(StoredFont());
  QPalette Colours = Label->palette();
  Colours.setColor(QPalette::WindowText, QColor(255, 255, 0));
  Label->setPalette(Colours);
  return Label;
}

QLineEdit* CreateEdit(QWidget* Parent, const char* Name, const QString& Text, const QRect& Bounds) {
  auto* Edit = new QLineEdit(Text, Parent);
  Edit->setObjectName(QString::fromLatin1(Name));
  Edit->setGeometry(Bounds);
  return Edit;
}

// A label of the status line: never wider than its place, the text cut with an ellipsis where it
// does not fit, and whole in its tool tip.
class TStatusLabel : public QLabel {
 public:
  TStatusLabel(QWidget* Parent, const char* Name) : QLabel(Parent) {
    setObjectName(QString::fromLatin1(Name));
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  }
  QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }
  QSize sizeHint() const override { return {0, QLabel::sizeHint().height()}; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter Painter(this);
    const QRect Area = contentsRect();
    Painter.drawText(Area, Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(text(), Qt::ElideRight, Area.width()));
  }
};

void SetStatusText(QLabel& Label, const QString& Text, const QString& Detail = QString()) {
  Label.setText(Text);
  Label.setToolTip(Detail.isEmpty() ? Text : Text + QLatin1Char('\n') + Detail);
}

}  // namespace

TForm1::TForm1(const std::optional<std::string>& Port, QWidget* Parent) : QMainWindow(Parent) {
  BeginLoading();
  LoadLayout(Port);
  // The connection opens here, with every stored property in place; it shows its own failure.
  EndLoading();
  ConnectHandlers();
  FormCreate();
}

TForm1::~TForm1() {
  // The components outlive this body (they are the TComponent base's), the widgets and the watch
  // do not: nothing may call back into them from here on.
  delete TrafficMonitor1;
  TrafficMonitor1 = nullptr;
  FPortWatch->Stop();
  ModbusClient1->SetOnMultipleRegistersWrite(nullptr);
  ModbusClient1->SetOnHoldingRegistersRead(nullptr);
  ModbusConnection1->SetOnAfterOpen(nullptr);
  ModbusConnection1->SetOnAfterClose(nullptr);
  ModbusConnection1->SetOnPortLost(nullptr);
}

void TForm1::LoadLayout(const std::optional<std::string>& Port) {
  setObjectName(QStringLiteral("Form1"));
  SetName("Form1");
  setWindowTitle(QStringLiteral("Configurar Usuário"));
  move(311, 324);
  resize(503, 257);
  setFont(StoredFont());

  FClient = new QWidget(this);
  FClient->setObjectName(QStringLiteral("ClientArea"));
  QPalette Colours = FClient->palette();
  Colours.setColor(QPalette::Window, Colours.color(QPalette::Button));  // the button face
  FClient->setPalette(Colours);
  FClient->setAutoFillBackground(true);
  setCentralWidget(FClient);

  Label1 = CreateLabel(FClient, "Label1", QStringLiteral("ATENÇÃO: Não use acentos"), {144, 28, 138, 17});
  Button14 = CreateButton(FClient, "Button14", QStringLiteral("Enviar linha 1"), {391, 43, 98, 82});
  Panel1 = CreatePanel(FClient, "Panel1", {8, 44, 377, 81});
  LCD1 = CreateDisplay(Panel1, "LCD1", {8, 44, 364, 25}, QByteArray(Line1Text));
  Label2 = CreateLineLabel(Panel1, "Label2", QStringLiteral("Linha 1 do display"), {12, 12, 126, 17});
  Edit3 = CreateEdit(Panel1, "Edit3", QString::fromLatin1(Line1Text), {127, 9, 174, 21});
  Button1 = CreateButton(FClient, "Button1", QStringLiteral("Enviar linha 2"), {391, 132, 98, 85});
  Panel2 = CreatePanel(FClient, "Panel2", {8, 132, 377, 85});
  LCD2 = CreateDisplay(Panel2, "LCD2", {8, 48, 364, 25}, QByteArray(DefaultLine2Text));
  Label3 = CreateLineLabel(Panel2, "Label3", QStringLiteral("Linha 2 do display"), {8, 12, 130, 17});
  Edit1 = CreateEdit(Panel2, "Edit1", QString::fromLatin1(DefaultLine2Text), {127, 12, 174, 21});

  ModbusConnection1 = CreateOwned<Quorvel::TModbusConnection>();
  ModbusConnection1->SetName("ModbusConnection1");
  // Only remembered while the layout is read; the port opens when loading ends.
  ModbusConnection1->SetActive(true);
  ModbusConnection1->SetParity(Quorvel::psNone);
  if (Port) ModbusConnection1->SetPort(*Port);

  ModbusClient1 = CreateOwned<Quorvel::TModbusClient>();
  ModbusClient1->SetName("ModbusClient1");
  ModbusClient1->SetConnection(ModbusConnection1);

  MainMenu1 = menuBar();
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
  Conexo1 = MainMenu1->addMenu(QStringLiteral("Conexão"));
  Conexo1->setObjectName(QStringLiteral("Conexo1"));
  Conectar1 = Conexo1->addAction(QStringLiteral("Configurar conexão..."));
  Conectar1->setObjectName(QStringLiteral("Conectar1"));
  Monitor1 = Conexo1->addAction(QStringLiteral("Monitor de tráfego..."));
  Monitor1->setObjectName(QStringLiteral("Monitor1"));
  Procurar1 = Conexo1->addAction(QStringLiteral("Procurar dispositivo..."));
  Procurar1->setObjectName(QStringLiteral("Procurar1"));
  LerDisplay1 = Conexo1->addAction(QStringLiteral("Ler display do dispositivo"));
  LerDisplay1->setObjectName(QStringLiteral("LerDisplay1"));

  CreateStatusLine();
  FPortWatch = new TPortWatch([this](const std::string& Name) { return ReopenThrough(Name); }, this);
  // Before loading ends, which opens the connection.
  ConnectComponentEvents();

  // Tab order within each parent: Button14, Panel1 (Edit3), Button1, Panel2 (Edit1).
  setTabOrder(Button14, Edit3);
  setTabOrder(Edit3, Button1);
  setTabOrder(Button1, Edit1);
  Button14->setFocus();
}

void TForm1::CreateStatusLine() {
  StatusLine = new QStatusBar(this);
  StatusLine->setObjectName(QStringLiteral("StatusLine"));
  StatusLine->setSizeGripEnabled(false);
  Line1Status = new TStatusLabel(StatusLine, "Line1Status");
  Line2Status = new TStatusLabel(StatusLine, "Line2Status");
  PortStatus = new TStatusLabel(StatusLine, "PortStatus");
  StatusLine->addPermanentWidget(Line1Status, 5);
  StatusLine->addPermanentWidget(Line2Status, 5);
  StatusLine->addPermanentWidget(PortStatus, 4);
  setStatusBar(StatusLine);
}

void TForm1::ConnectComponentEvents() {
  using namespace Quorvel;
  ModbusClient1->SetOnMultipleRegistersWrite(
      [this](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) {
        ModbusClient1MultipleRegistersWrite(Info);
      });
  ModbusClient1->SetOnHoldingRegistersRead(
      [this](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues& Values) {
        ModbusClient1HoldingRegistersRead(Info, Values);
      });
  ModbusConnection1->SetOnAfterOpen([this](TModbusConnection&) { ModbusConnection1AfterOpen(); });
  ModbusConnection1->SetOnAfterClose([this](TModbusConnection&) { ModbusConnection1AfterClose(); });
  ModbusConnection1->SetOnPortLost([this](TModbusConnection&) { ModbusConnection1PortLost(); });
}

void TForm1::ConnectHandlers() {
  connect(Edit3, &QLineEdit::textChanged, this, [this] { Guarded([this] { Edit3Change(); }); });
  connect(Edit1, &QLineEdit::textChanged, this, [this] { Guarded([this] { Edit1Change(); }); });
  // An edit has no click signal: its mouse release over it is the click.
  Edit3->installEventFilter(this);
  Edit1->installEventFilter(this);
  connect(Button14, &QPushButton::clicked, this, [this] { Guarded([this] { Button14Click(); }); });
  connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
  connect(Conectar1, &QAction::triggered, this, [this] { Guarded([this] { Conectar1Click(); }); });
  connect(Monitor1, &QAction::triggered, this, [this] { Guarded([this] { Monitor1Click(); }); });
  connect(Procurar1, &QAction::triggered, this, [this] { Guarded([this] { Procurar1Click(); }); });
  connect(LerDisplay1, &QAction::triggered, this, [this] { Guarded([this] { LerDisplay1Click(); }); });
}

bool TForm1::eventFilter(QObject* Watched, QEvent* Event) {
  if (Event->type() == QEvent::MouseButtonRelease && (Watched == Edit3 || Watched == Edit1)) {
    const auto* Mouse = static_cast<const QMouseEvent*>(Event);
    const auto* Edit = static_cast<const QLineEdit*>(Watched);
    if (Mouse->button() == Qt::LeftButton && Edit->rect().contains(Mouse->position().toPoint())) {
      Guarded([this, Edit] { Edit == Edit3 ? Edit3Click() : Edit1Click(); });
    }
  }
  return QMainWindow::eventFilter(Watched, Event);
}

void TForm1::SetAutoSize(bool Value) {
  if (Value == FAutoSize) return;
  FAutoSize = Value;
  ApplyAutoSize();
}

void TForm1::ApplyAutoSize() {
  if (FAutoSize) {
    QRect Extent;
    for (QWidget* Child : FClient->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
      if (!Child->isHidden()) Extent = Extent.united(Child->geometry());
    }
    // The controls keep their places; the client area ends where the last of them ends.
    FClient->setFixedSize(Extent.x() + Extent.width(), Extent.y() + Extent.height());
    layout()->setSizeConstraint(QLayout::SetFixedSize);
  } else {
    FClient->setMinimumSize(0, 0);
    FClient->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    layout()->setSizeConstraint(QLayout::SetDefaultConstraint);
  }
}

void TForm1::FormCreate() {
  SetAutoSize(true);
  try {
    ModbusConnection1->Open();
  } catch (...) {
    // The window stays usable without a connection: the menu can still set one up.
    SetPortStatus(QStringLiteral("Sem conexão"), QString::fromStdString(ModbusConnection1->Port()));
    ShowMessageBox(QStringLiteral("A porta selecionada não está disponível"), QMessageBox::NoIcon);
  }
}

void TForm1::RefreshDisplay(const QLineEdit& Edit, TLCD& Display) {
  // The display repaints only when its text changes: passing through blanks makes every refresh a
  // real change, so the dots are rebuilt from the edit even when its text is the same as before.
  Display.SetLine1Txt(QByteArray(DisplayColumns, ' '));
  Display.SetLine1Txt(ToWindows1252(Edit.text()));
}

void TForm1::Edit3Change() { RefreshDisplay(*Edit3, *LCD1); }
void TForm1::Edit3Click() { RefreshDisplay(*Edit3, *LCD1); }
void TForm1::Edit1Change() { RefreshDisplay(*Edit1, *LCD2); }
void TForm1::Edit1Click() { RefreshDisplay(*Edit1, *LCD2); }

void TForm1::SendDisplayLine(const QLineEdit& Edit, Quorvel::Word Selector, int Line) {
  const QByteArray Text = ToWindows1252(Edit.text());
  // Queues the request and returns; its outcome comes with the client's event. A closed connection
  // raises "There is no active connection", which the caller's guard shows.
  Quorvel::Cardinal Transaction = 0;
  try {
    Transaction = ModbusClient1->WriteMultipleRegisters(
        DisplayFirstRegister, PackDisplayLine(Selector, std::string_view(Text.constData(), Text.size())), 0);
  } catch (...) {
    if (!ModbusConnection1->Active()) SetLineStatus(Line, NotConnectedText(Line));
    throw;
  }
  TPendingSend& Pending = FPendingSends[Transaction];
  Pending.Line = Line;
  Pending.Since.start();
  SetLineStatus(Line, SendingText(Line));
}

void TForm1::Button14Click() { SendDisplayLine(*Edit3, Line1Selector, 1); }
void TForm1::Button1Click() { SendDisplayLine(*Edit1, Line2Selector, 2); }

void TForm1::SetLineStatus(int Line, const QString& Text) { SetStatusText(Line == 1 ? *Line1Status : *Line2Status, Text); }

void TForm1::SetPortStatus(const QString& Text, const QString& Detail) { SetStatusText(*PortStatus, Text, Detail); }

void TForm1::NoteInMonitor(const QString& Text) {
  if (TrafficMonitor1 != nullptr && TrafficMonitor1->isVisible()) TrafficMonitor1->Note(Text);
}

void TForm1::ModbusClient1MultipleRegistersWrite(const Quorvel::TTransactionInfo& Info) {
  const auto Pending = FPendingSends.find(Info.TransactionID);
  if (Pending != FPendingSends.end()) {
    SetLineStatus(Pending->second.Line, SendOutcomeText(Pending->second.Line, Info, Pending->second.Since.elapsed()));
    FPendingSends.erase(Pending);
  }
  if (FPortLost && FPendingSends.empty()) CloseLostPort();
}

void TForm1::ModbusConnection1AfterOpen() {
  FPortWatch->Stop();
  FPortLost = false;
  FStableNames = Quorvel::StableNamesOf(ModbusConnection1->Port());
  SetPortStatus(QStringLiteral("Conectado"), QString::fromStdString(ModbusConnection1->Port()));
}

void TForm1::ModbusConnection1AfterClose() {
  // Closing drops what the worker still had: these sends will have no event.
  for (const auto& [Transaction, Pending] : FPendingSends) SetLineStatus(Pending.Line, InterruptedText(Pending.Line));
  FPendingSends.clear();
  FPendingReadBack.reset();
  if (!FPortLost) SetPortStatus(QStringLiteral("Sem conexão"), QString::fromStdString(ModbusConnection1->Port()));
}

void TForm1::ModbusConnection1PortLost() {
  FPortLost = true;
  const QString Port = QString::fromStdString(ModbusConnection1->Port());
  SetPortStatus(QStringLiteral("Porta perdida, aguardando"), QStringLiteral("A porta %1 sumiu; a conexão volta sozinha quando ela voltar.").arg(Port));
  NoteInMonitor(QStringLiteral("porta %1 perdida").arg(Port));
  // Sends under way end with their outcome first; nothing new waits in a dead queue.
  if (FPendingSends.empty()) CloseLostPort();
}

void TForm1::CloseLostPort() {
  // Not from inside the connection's own event: its message handling is still on the stack.
  QTimer::singleShot(0, this, [this] {
    Guarded([this] {
      if (!FPortLost || !FPendingSends.empty() || !ModbusConnection1->Active()) return;
      std::vector<std::string> Names{ModbusConnection1->Port()};
      for (const std::string& Name : FStableNames)
        if (Name != Names.front()) Names.push_back(Name);
      ModbusConnection1->Close();
      FPortWatch->Start(std::move(Names));
    });
  });
}

bool TForm1::WaitingForPort() const { return FPortWatch->Watching(); }

bool TForm1::ReopenThrough(const std::string& Name) {
  try {
    // Another device path behind the same stable name: the connection keeps the stable name.
    if (Name != ModbusConnection1->Port()) ModbusConnection1->SetPort(Name);
    ModbusConnection1->Open();
  } catch (...) {
    // Back in the device list but not ready yet (permissions, another opener): next second.
    return false;
  }
  const QString Port = QString::fromStdString(Name);
  SetPortStatus(QStringLiteral("Porta reconectada"), QStringLiteral("Reaberta por %1.").arg(Port));
  NoteInMonitor(QStringLiteral("porta reaberta por %1").arg(Port));
  return true;
}

void TForm1::Monitor1Click() {
  if (TrafficMonitor1 == nullptr) TrafficMonitor1 = new TTrafficMonitor(*ModbusConnection1, this);
  // An open monitor comes to the front; a new one is shown there anyway.
  if (TrafficMonitor1->isVisible()) TrafficMonitor1->raise();
  TrafficMonitor1->show();
  TrafficMonitor1->activateWindow();
}

void TForm1::Conectar1Click() {
  try {
    // The dialog closes and reopens an open port itself where a setting needs it; a port that was
    // not open (missing at start, say) opens here once the operator confirms.
    if (EditConnection(*ModbusConnection1, QStringLiteral("Configuração Modbus"))) ModbusConnection1->Open();
  } catch (...) {
    ShowMessageBox(QStringLiteral("A porta selecionada não está disponível"), QMessageBox::NoIcon);
  }
}

void TForm1::LerDisplay1Click() {
  // One read of the whole block: the selector tells which line the text registers hold now.
  try {
    FPendingReadBack = ModbusClient1->ReadHoldingRegisters(DisplayFirstRegister, DisplayRegisterCount);
  } catch (...) {
    if (!ModbusConnection1->Active()) {
      SetLineStatus(1, ReadBackNotConnectedText());
      SetLineStatus(2, ReadBackNotConnectedText());
    }
    throw;
  }
  SetLineStatus(1, ReadingDisplayText());
  SetLineStatus(2, ReadingDisplayText());
}

void TForm1::ModbusClient1HoldingRegistersRead(const Quorvel::TTransactionInfo& Info, const Quorvel::TRegValues& Values) {
  if (!FPendingReadBack || *FPendingReadBack != Info.TransactionID) return;
  FPendingReadBack.reset();
  if (Info.ReplyStatus == Quorvel::rsSuccess) {
    ShowReadBack(Values);
  } else {
    SetLineStatus(1, ReadBackOutcomeText(Info));
    SetLineStatus(2, ReadBackOutcomeText(Info));
  }
}

void TForm1::ShowReadBack(const Quorvel::TRegValues& Values) {
  const Quorvel::Word Selector = Values.empty() ? 0 : Values[0];
  const int Line = Selector == Line1Selector ? 1 : Selector == Line2Selector ? 2 : 0;
  if (Line == 0) {
    SetLineStatus(1, ReadBackNoLineText(Selector));
    SetLineStatus(2, ReadBackNoLineText(Selector));
    return;
  }
  // The preview shows what the device holds; the edit keeps what the operator typed, and typing
  // or clicking into it shows that again.
  const std::string Text = UnpackDisplayLine(Values);
  TLCD& Display = Line == 1 ? *LCD1 : *LCD2;
  Display.SetLine1Txt(QByteArray(DisplayColumns, ' '));
  Display.SetLine1Txt(QByteArray(Text.data(), static_cast<qsizetype>(Text.size())));
  QString Shown = FromWindows1252(Text);
  while (Shown.endsWith(QLatin1Char(' '))) Shown.chop(1);
  SetLineStatus(Line, ReadBackLineText(Line, Shown));
}

void TForm1::Procurar1Click() {
  TScanDialog Dialog(*ModbusConnection1, this);
  // The scan needs the port to itself; the connection opens again when the dialog ends.
  const bool WasActive = ModbusConnection1->Active();
  ModbusConnection1->Close();
  const bool Used = Dialog.exec() == QDialog::Accepted && Dialog.Chosen().has_value();
  try {
    if (Used) UseScannedDevice(*Dialog.Chosen());
    if (Used || WasActive) ModbusConnection1->Open();
  } catch (...) {
    ShowMessageBox(QStringLiteral("A porta selecionada não está disponível"), QMessageBox::NoIcon);
  }
}

void TForm1::UseScannedDevice(const Quorvel::TScanDevice& Device) {
  using namespace Quorvel;
  TModbusConnection& C = *ModbusConnection1;
  if (C.TransmissionMode() != Device.Line.Mode) {
    C.SetTransmissionMode(Device.Line.Mode);
    // The silence that the settings dialog's defaults give each framing.
    C.SetSilentInterval(Device.Line.Mode == tmASCII ? 1000 : 4);
  }
  TBaudRate Rate = brCustom;
  for (int R = br110; R < brCustom; ++R)
    if (BaudRateValue(static_cast<TBaudRate>(R), 0) == Device.Line.BaudRate) Rate = static_cast<TBaudRate>(R);
  if (Rate == brCustom) C.SetCustomBaudRate(Device.Line.BaudRate);
  C.SetBaudRate(Rate);
  C.SetParity(Device.Line.Parity);
  ModbusClient1->SetServerAddress(Device.Address);
}
