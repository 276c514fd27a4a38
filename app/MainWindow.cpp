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
#include <QPalette>
#include <QPushButton>

#include "Client.h"
#include "Connection.h"
#include "DisplayLine.h"
#include "DorvaneApplication.h"
#include "LCD.h"
#include "ModbusConnectionEditor.h"

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

}  // namespace

TForm1::TForm1(const std::optional<std::string>& Port, QWidget* Parent) : QMainWindow(Parent) {
  BeginLoading();
  LoadLayout(Port);
  // The connection opens here, with every stored property in place; it shows its own failure.
  EndLoading();
  ConnectHandlers();
  FormCreate();
}

TForm1::~TForm1() = default;

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

  // Tab order within each parent: Button14, Panel1 (Edit3), Button1, Panel2 (Edit1).
  setTabOrder(Button14, Edit3);
  setTabOrder(Edit3, Button1);
  setTabOrder(Button1, Edit1);
  Button14->setFocus();
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

void TForm1::SendDisplayLine(const QLineEdit& Edit, Quorvel::Word Selector) {
  const QByteArray Text = ToWindows1252(Edit.text());
  // Queues the request and returns; the reply is neither awaited nor shown. A closed connection
  // raises "There is no active connection", which the caller's guard shows.
  ModbusClient1->WriteMultipleRegisters(DisplayFirstRegister,
                                        PackDisplayLine(Selector, std::string_view(Text.constData(), Text.size())), 0);
}

void TForm1::Button14Click() { SendDisplayLine(*Edit3, Line1Selector); }
void TForm1::Button1Click() { SendDisplayLine(*Edit1, Line2Selector); }

void TForm1::Conectar1Click() {
  try {
    // The dialog closes and reopens an open port itself where a setting needs it; a port that was
    // not open (missing at start, say) opens here once the operator confirms.
    if (EditConnection(*ModbusConnection1, QStringLiteral("Configuração Modbus"))) ModbusConnection1->Open();
  } catch (...) {
    ShowMessageBox(QStringLiteral("A porta selecionada não está disponível"), QMessageBox::NoIcon);
  }
}
