// The main window: its stored layout, start-up with and without its port, the display refresh, the
// send actions, the connection menu, and both lines reaching the simulated device over a virtual
// serial line.

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <Quorvel/Application.h>
#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include "DisplayDevice.h"
#include "DisplayLine.h"
#include "DorvaneApplication.h"
#include "LCD.h"
#include "MainWindow.h"
#include "MainWindowFixture.h"
#include "Startup.h"
#include "TrafficMonitor.h"
#include "VirtualSerialLine.h"

namespace {

using namespace Quorvel;
using namespace MainWindowTesting;

TEST_F(MainWindowTest, StartingWithoutThePortShowsBothMessagesInTurnAndGoesOn) {
  ASSERT_FALSE(ApplicationTitle().isEmpty());
  TForm1 Form(MissingPort);
  // The load-time open through the standard error display, then FormCreate's own box.
  EXPECT_EQ(Boxes, (std::vector<TBox>{Critical("Could not open serial port"), PortMissing()}));
  EXPECT_FALSE(Form.ModbusConnection1->Active());
  EXPECT_TRUE(Form.AutoSize());

  // Usable without a connection: a send is refused by the client and shown, nothing else happens.
  Form.show();
  Form.Button14->click();
  Form.Button1->click();
  EXPECT_EQ(Boxes.size(), 4u);
  EXPECT_EQ(Boxes[2], Critical("There is no active connection"));
  EXPECT_EQ(Boxes[3], Critical("There is no active connection"));
  // The handler itself does not catch: the guard around it does.
  EXPECT_THROW(Form.Button1Click(), EQuorvelError);
  EXPECT_TRUE(Form.isVisible());
}

TEST_F(MainWindowTest, StartingWithThePortOpensItAtLoadingWithoutAWord) {
  Testing::TVirtualSerialLine Line;
  TForm1 Form(Line.PortA());
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
  EXPECT_TRUE(Form.ModbusConnection1->Active());
  EXPECT_EQ(Form.ModbusConnection1->Port(), Line.PortA());
  EXPECT_TRUE(Line.WaitForOpen(Testing::TLineSide::A, std::chrono::seconds(2)));
}

TEST_F(MainWindowTest, StoredConnectionDiffersFromTheDefaultsOnlyInParity) {
  TForm1 Form;  // the stored port, whatever this machine has there
  const TModbusConnection Defaults;
  const TModbusConnection& C = *Form.ModbusConnection1;
  EXPECT_EQ(C.Port(), "COM1");
  EXPECT_EQ(C.Parity(), psNone);
  EXPECT_EQ(std::tuple(C.BaudRate(), C.DataBits(), C.StopBits(), C.TransmissionMode(), C.ConnectionMode()),
            std::tuple(Defaults.BaudRate(), Defaults.DataBits(), Defaults.StopBits(), Defaults.TransmissionMode(),
                       Defaults.ConnectionMode()));
  EXPECT_EQ(Boxes.size(), C.Active() ? 0u : 2u);
  // Owned in creation order, so the client goes first and the connection closes last.
  ASSERT_EQ(Form.ComponentCount(), 2);
  EXPECT_EQ(Form.Components(1), Form.ModbusClient1);
  EXPECT_EQ(Form.ModbusClient1->Connection(), Form.ModbusConnection1);
}

TEST_F(MainWindowTest, ControlsSitWhereTheLayoutPutsThemAndTheWindowFitsThem) {
  TForm1 Form(MissingPort);
  struct TExpected {
    const char* Name;
    const char* Parent;
    QRect Bounds;
  };
  const TExpected Controls[] = {
      {"Label1", "ClientArea", {144, 28, 138, 17}}, {"Button14", "ClientArea", {391, 43, 98, 82}},
      {"Panel1", "ClientArea", {8, 44, 377, 81}},   {"LCD1", "Panel1", {8, 44, 364, 25}},
      {"Label2", "Panel1", {12, 12, 126, 17}},      {"Edit3", "Panel1", {127, 9, 174, 21}},
      {"Button1", "ClientArea", {391, 132, 98, 85}}, {"Panel2", "ClientArea", {8, 132, 377, 85}},
      {"LCD2", "Panel2", {8, 48, 364, 25}},         {"Label3", "Panel2", {8, 12, 130, 17}},
      {"Edit1", "Panel2", {127, 12, 174, 21}},
  };
  for (const TExpected& Expected : Controls) {
    auto* Widget = Form.findChild<QWidget*>(QString::fromLatin1(Expected.Name));
    ASSERT_NE(Widget, nullptr) << Expected.Name;
    EXPECT_EQ(Widget->parentWidget()->objectName(), QString::fromLatin1(Expected.Parent)) << Expected.Name;
    EXPECT_EQ(Widget->geometry(), Expected.Bounds) << Expected.Name;
  }
  EXPECT_EQ(Form.Edit3->text(), QStringLiteral("      T18 V6.0"));
  EXPECT_EQ(Form.LCD2->Line1Txt(), ToWindows1252(Form.Edit1->text()));
  // The stored entry first; the traffic monitor, the scan and the read-back follow it.
  EXPECT_EQ(Form.Conexo1->actions(), (QList<QAction*>{Form.Conectar1, Form.Monitor1, Form.Procurar1, Form.LerDisplay1}));
  EXPECT_EQ(Form.Monitor1->text(), QStringLiteral("Monitor de tráfego..."));
  EXPECT_EQ(Form.Procurar1->text(), QStringLiteral("Procurar dispositivo..."));
  EXPECT_EQ(Form.LerDisplay1->text(), QStringLiteral("Ler display do dispositivo"));

  // Tab order: Button14, Edit3 (in Panel1), Button1, Edit1 (in Panel2), and round again.
  const QWidget* const Order[] = {Form.Button14, Form.Edit3, Form.Button1, Form.Edit1, Form.Button14};
  for (int I = 0; I + 1 < 5; ++I) {
    QWidget* Next = Order[I]->nextInFocusChain();
    while (Next != Order[I + 1] && !(Next->focusPolicy() & Qt::TabFocus)) Next = Next->nextInFocusChain();
    EXPECT_EQ(Next, Order[I + 1]) << "after " << Order[I]->objectName().toStdString();
  }

  // Automatic size: the client area ends where the last control ends (Button1 and Panel2: 489, 217),
  // below the menu bar and above the status line, and stays so.
  Form.show();
  ASSERT_TRUE(WaitFor([&] { return Form.centralWidget()->size() == QSize(489, 217); }));
  EXPECT_EQ(Form.size(), QSize(489, 217 + Form.MainMenu1->height() + Form.StatusLine->height()));
  EXPECT_EQ(Form.StatusLine->geometry(), QRect(0, Form.MainMenu1->height() + 217, 489, Form.StatusLine->height()));
  EXPECT_GT(Form.StatusLine->height(), 10);
  EXPECT_EQ(Form.layout()->sizeConstraint(), QLayout::SetFixedSize);
  EXPECT_EQ(Form.focusWidget(), Form.Button14);
}

// Every paint of a display widget, with the dots it painted. (Its text property takes the new value
// only after the repaint, so the dot columns are what tells what was painted.)
class TPaintRecorder : public QObject {
 public:
  explicit TPaintRecorder(TLCD& Display) : FDisplay(Display) { Display.installEventFilter(this); }
  std::vector<TLCD::TColumns> Painted;

 protected:
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::Paint) Painted.push_back(FDisplay.Columns());
    return false;
  }

 private:
  TLCD& FDisplay;
};

std::vector<TLCD::TColumns> Dots(std::initializer_list<QByteArray> Texts) {
  std::vector<TLCD::TColumns> Result;
  for (const QByteArray& Text : Texts) Result.push_back(TLCD::BuildColumns(Text));
  return Result;
}

void Click(QWidget& Widget) {
  const QPointF Centre = QRectF(Widget.rect()).center();
  for (const QEvent::Type Type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent Event(Type, Centre, Widget.mapToGlobal(Centre), Qt::LeftButton,
                      Type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&Widget, &Event);
  }
}

void Type(QWidget& Widget, const QString& Text) {
  for (const QChar Character : Text) {
    QKeyEvent Press(QEvent::KeyPress, 0, Qt::NoModifier, QString(Character));
    QApplication::sendEvent(&Widget, &Press);
  }
}

TEST_F(MainWindowTest, TypingOrClickingRedrawsTheLineAtOnceThroughBlanks) {
  TForm1 Form(MissingPort);
  ASSERT_TRUE(ShowAndWaitExposed(Form));
  TPaintRecorder Line1(*Form.LCD1), Line2(*Form.LCD2);
  const QByteArray Blank(20, ' ');

  Form.Edit3->clear();
  Type(*Form.Edit3, QStringLiteral("Ç1"));
  // Each keystroke: blanks, then the edit's whole text as single bytes, painted before it returns.
  EXPECT_EQ(Line1.Painted, Dots({Blank, "", Blank, "\xC7", Blank, "\xC7" "1"}));
  // "1" is 00 42 7F 40 00: the middle column of the second cell (dot column 9) is lit from row 0 to 6.
  EXPECT_EQ(Form.LCD1->Picture().pixel(3 * 9 + 1, 3 * 3 + 1), qRgb(0, 255, 255));

  // A click redraws too, although the text has not changed.
  Line1.Painted.clear();
  Click(*Form.Edit3);
  EXPECT_EQ(Line1.Painted, Dots({Blank, "\xC7" "1"}));
  EXPECT_EQ(Form.LCD1->Line1Txt(), QByteArray("\xC7" "1"));
  EXPECT_TRUE(Line2.Painted.empty()) << "line 2 has its own edit";

  // The display is given the whole text, longer than 20 characters too.
  Line2.Painted.clear();
  Form.Edit1->setText(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXY"));
  Click(*Form.Edit1);
  EXPECT_EQ(Line2.Painted, Dots({Blank, "ABCDEFGHIJKLMNOPQRSTUVWXY", Blank, "ABCDEFGHIJKLMNOPQRSTUVWXY"}));
  EXPECT_EQ(Form.LCD2->Line1Txt(), QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXY"));
  EXPECT_EQ(Line1.Painted.size(), 2u);
}

TEST_F(MainWindowTest, ConnectionMenuOpensOnlyAfterAConfirmedDialog) {
  Testing::TVirtualSerialLine Line;
  TForm1 Form(MissingPort);
  Form.show();
  Boxes.clear();

  // Cancelled: no second open, so no box about the missing port either.
  QString Caption;
  WhenDialogShows([&Caption](QWidget& Dialog) {
    Caption = Dialog.windowTitle();
    Press(Dialog, "CancelButton");
  });
  Form.Conectar1->trigger();
  EXPECT_EQ(Caption, QStringLiteral("Configuração Modbus"));
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
  EXPECT_FALSE(Form.ModbusConnection1->Active());

  // Confirmed with a port that is still missing: the open fails with the window's own box.
  WhenDialogShows([](QWidget& Dialog) { Press(Dialog, "OKButton"); });
  Form.Conectar1->trigger();
  EXPECT_EQ(Boxes, std::vector<TBox>{PortMissing()});
  EXPECT_FALSE(Form.ModbusConnection1->Active());

  // Confirmed with a port that is there: the window opens the connection.
  WhenDialogShows([&Line](QWidget& Dialog) {
    auto* Port = Dialog.findChild<QComboBox*>(QStringLiteral("PortComboBox"));
    ASSERT_NE(Port, nullptr);
    Port->setEditText(QString::fromStdString(Line.PortA()));
    Press(Dialog, "OKButton");
  });
  Form.Conectar1->trigger();
  EXPECT_EQ(Boxes.size(), 1u);
  EXPECT_TRUE(Form.ModbusConnection1->Active());
  EXPECT_EQ(Form.ModbusConnection1->Port(), Line.PortA());
}

TEST_F(MainWindowTest, BothLinesReachTheSimulatedDevice) {
  Testing::TVirtualSerialLine Line(19200);
  // The device end, in server mode on the other side of the line, on this same main thread.
  TModbusConnection DeviceConnection;
  DeviceConnection.SetPort(Line.PortB());
  DeviceConnection.SetParity(psNone);
  DeviceConnection.SetConnectionMode(cmServer);
  Dorvane::TDisplayDevice Device(DeviceConnection);
  int Writes = 0;
  Device.SetOnWrite([&Writes](Dorvane::TDisplayDevice&, Word, Word) { ++Writes; });
  DeviceConnection.Open();

  TForm1 Form(Line.PortA());
  ASSERT_TRUE(Boxes.empty()) << Boxes.front();
  std::vector<TFrameData> Sent;
  Form.ModbusConnection1->SetOnFrameSend([&Sent](TModbusConnection&, const TFrameData& Data) { Sent.push_back(Data); });
  std::vector<TReplyStatus> Outcomes;
  Form.ModbusClient1->SetOnMultipleRegistersWrite(
      [&Outcomes](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) {
        Outcomes.push_back(Info.ReplyStatus);
      });
  Form.show();
  // The device's worker drops what arrived before it listened: make sure it listens.
  bool Listening = false;
  Form.ModbusClient1->SetOnHoldingRegistersRead(
      [&Listening](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) {
        Listening = Info.ReplyStatus == rsSuccess;
      });
  Form.ModbusConnection1->SetMaxRetries(5);
  Form.ModbusClient1->ReadHoldingRegisters(443, 1);
  ASSERT_TRUE(WaitFor([&] { return Listening; }, 15000));
  Form.ModbusConnection1->SetMaxRetries(1);
  Sent.clear();

  Form.Edit3->setText(QStringLiteral("Técnico: Ação OK"));
  Form.Button14->click();
  ASSERT_TRUE(WaitFor([&] { return Outcomes.size() == 1; }));
  Form.Edit1->setText(QStringLiteral("AB"));
  Form.Button1->click();
  ASSERT_TRUE(WaitFor([&] { return Outcomes.size() == 2; }));

  EXPECT_EQ(Outcomes, (std::vector<TReplyStatus>{rsSuccess, rsSuccess}));
  EXPECT_EQ(Writes, 2);
  const auto Text = [](const Dorvane::TDisplayText& Line) { return std::string(Line.begin(), Line.end()); };
  EXPECT_EQ(Text(Device.Line(1)), "T\xE9" "cnico: A\xE7\xE3o OK    ");
  EXPECT_EQ(Text(Device.Line(2)), "AB                  ");

  // The worked example on the wire: address 1, then 10 01 BB 00 0B 16 00 04 41 42 and eighteen 20h,
  // then the CRC.
  ASSERT_EQ(Sent.size(), 2u);
  TFrameData Pdu{0x01, 0x10, 0x01, 0xBB, 0x00, 0x0B, 0x16, 0x00, 0x04, 0x41, 0x42};
  Pdu.insert(Pdu.end(), 18, 0x20);
  ASSERT_EQ(Sent[1].size(), Pdu.size() + 2);
  EXPECT_EQ(TFrameData(Sent[1].begin(), Sent[1].end() - 2), Pdu);
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
}

TEST_F(MainWindowTest, ScreenshotsShowTheWindowAndTheDialog) {
  QTemporaryDir Directory;
  ASSERT_TRUE(Directory.isValid());
  TForm1 Form(MissingPort);
  ASSERT_TRUE(SaveScreenshots(Form, Directory.path()));
  const QImage Main =
      QImage(Directory.filePath(QStringLiteral("main-window.png"))).convertToFormat(QImage::Format_RGB32);
  const QImage Dialog(Directory.filePath(QStringLiteral("settings-dialog.png")));
  const QImage Monitor(Directory.filePath(QStringLiteral("traffic-monitor.png")));
  const QImage Scan(Directory.filePath(QStringLiteral("scan-dialog.png")));
  ASSERT_FALSE(Scan.isNull());
  EXPECT_GE(Scan.width(), 600 * Scan.devicePixelRatio());
  ASSERT_FALSE(Monitor.isNull());
  EXPECT_EQ(Monitor.size(), Form.TrafficMonitor1->size() * Monitor.devicePixelRatio());
  EXPECT_FALSE(Form.TrafficMonitor1->isVisible()) << "closed again";
  ASSERT_FALSE(Main.isNull());
  ASSERT_FALSE(Dialog.isNull());
  EXPECT_EQ(Main.size(), Form.size() * Main.devicePixelRatio());
  EXPECT_EQ(Dialog.size(), QSize(440, 416) * Dialog.devicePixelRatio());
  // The first display's picture sits in the screenshot where the display sits in the window.
  const QPoint Origin = Form.LCD1->mapTo(&Form, QPoint(0, 0));
  const QImage Picture = Form.LCD1->Picture().convertToFormat(QImage::Format_RGB32);
  int Compared = 0;
  for (int Y = 0; Y < Picture.height(); Y += 3) {
    for (int X = 0; X < Picture.width(); X += 5, ++Compared) {
      ASSERT_EQ(Main.pixel(Origin + QPoint(X, Y)), Picture.pixel(X, Y)) << X << "," << Y;
    }
  }
  EXPECT_GT(Compared, 500);
}

}  // namespace
