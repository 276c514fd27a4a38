// Finding the device from the window ("Procurar dispositivo...") and reading its display back
// ("Ler display do dispositivo"), driven through the window over virtual lines with the simulated
// device at an address and in a framing that the window does not start with.

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <string>

#include <Quorvel/Version.h>
#include "LCD.h"
#include "MainWindowFixture.h"
#include "ScanDialog.h"
#include "VirtualSerialLine.h"

namespace {

using namespace Quorvel;
using namespace MainWindowTesting;

std::string Text(const QLabel* Label) { return Label->text().toStdString(); }

TEST_F(MainWindowTest, TheScanFindsTheDeviceAndUsarTakesItsSettingsAndAddress) {
  Testing::TVirtualSerialLine Line(19200);
  TSimulatedDevice Device(Line.PortB(), 6, tmASCII);
  TForm1 Form(Line.PortA());
  Form.show();
  ASSERT_TRUE(Form.ModbusConnection1->Active());
  EXPECT_EQ(Form.ModbusClient1->ServerAddress(), 1);

  bool Checked = false;
  WhenDialogShows([&](QWidget& Shown) {
    auto* Dialog = qobject_cast<TScanDialog*>(&Shown);
    ASSERT_NE(Dialog, nullptr);
    EXPECT_EQ(Dialog->windowTitle(), QStringLiteral("Procurar dispositivo"));
    EXPECT_FALSE(Form.ModbusConnection1->Active()) << "the scan has the port to itself";
    // The window's own settings are checked at first.
    const TScanPlan First = Dialog->PlanFromChoices();
    EXPECT_EQ(First.LineSettings(), (std::vector<TScanLineSettings>{{19200, psNone, tmRTU}}));
    EXPECT_EQ(First.Addresses.size(), 247u);
    EXPECT_FALSE(Dialog->UseButton->isEnabled());

    Dialog->ModeBoth->setChecked(true);
    Dialog->FirstAddress->setValue(5);
    Dialog->LastAddress->setValue(7);
    Dialog->TimeoutEdit->setValue(300);
    // The window stays responsive while it scans: its own timers run.
    bool TimerRan = false;
    bool ScanningWhenItRan = false;
    Dialog->StartButton->click();
    EXPECT_TRUE(Dialog->Scanner().Scanning());
    EXPECT_FALSE(Dialog->StartButton->isEnabled());
    EXPECT_TRUE(Dialog->CancelButton->isEnabled());
    QTimer::singleShot(0, Dialog, [&] {
      TimerRan = true;
      ScanningWhenItRan = Dialog->Scanner().Scanning();
    });
    ASSERT_TRUE(WaitFor([&] { return !Dialog->Scanner().Scanning(); }, 30000));
    EXPECT_TRUE(TimerRan && ScanningWhenItRan);

    EXPECT_EQ(Dialog->Progress->value(), 6);
    EXPECT_EQ(Dialog->Progress->maximum(), 6);
    EXPECT_EQ(Dialog->ProgressText->text().toStdString(), "Concluído: 6 combinações, 1 dispositivo encontrado");
    ASSERT_EQ(Dialog->FoundList->topLevelItemCount(), 1);
    const QTreeWidgetItem* Found = Dialog->FoundList->topLevelItem(0);
    EXPECT_EQ(Found->text(0).toStdString(), "6");
    EXPECT_EQ(Found->text(1).toStdString(), "19200 bit/s, 8N1, ASCII");
    EXPECT_EQ(Found->text(2).toStdString(), std::string("Quorvel dorvane-device ") + QUORVEL_VERSION_STRING);
    EXPECT_EQ(Found->text(3).toStdString(), "exceção 2 (endereço de dados ilegal)");
    EXPECT_TRUE(Found->text(4).endsWith(QStringLiteral(" ms")));
    EXPECT_TRUE(Dialog->UseButton->isEnabled()) << "the first device found is selected";
    Checked = true;
    Dialog->UseButton->click();
  });
  Form.Procurar1->trigger();
  ASSERT_TRUE(Checked);

  // Its settings on the connection, its address on the sends; the connection open again.
  EXPECT_TRUE(Form.ModbusConnection1->Active());
  EXPECT_EQ(Form.ModbusConnection1->TransmissionMode(), tmASCII);
  EXPECT_EQ(Form.ModbusConnection1->SilentInterval(), 1000u);
  EXPECT_EQ(Form.ModbusConnection1->BaudRate(), br19200);
  EXPECT_EQ(Form.ModbusConnection1->Parity(), psNone);
  EXPECT_EQ(Form.ModbusClient1->ServerAddress(), 6);
  EXPECT_EQ(Text(Form.PortStatus), "Conectado");

  Form.Edit3->setText(QStringLiteral("Olá, técnico"));
  Form.Button14->click();
  ASSERT_TRUE(WaitFor([&] { return Form.Line1Status->text().contains(QStringLiteral("gravada")); }, 10000))
      << Text(Form.Line1Status);
  EXPECT_EQ(std::string(Device.Display.Line(1).begin(), Device.Display.Line(1).end()), "Ol\xE1, t\xE9" "cnico        ");

  // Read back: the preview of the line the device holds shows it, the edit keeps what was typed.
  Form.Edit3->setText(QStringLiteral("outra coisa"));
  Form.LerDisplay1->trigger();
  EXPECT_EQ(Text(Form.Line1Status), "Lendo o display do dispositivo…");
  ASSERT_TRUE(WaitFor([&] { return !Form.Line1Status->text().endsWith(QStringLiteral("…")); }, 10000));
  EXPECT_EQ(Text(Form.Line1Status), "Linha 1 no dispositivo: “Olá, técnico”");
  EXPECT_EQ(Form.LCD1->Line1Txt(), QByteArray("Ol\xE1, t\xE9" "cnico        "));
  EXPECT_EQ(Form.Edit3->text(), QStringLiteral("outra coisa"));
  EXPECT_EQ(Form.LCD2->Line1Txt(), QByteArray(DefaultLine2Text)) << "the other line is not the device's now";

  // Line 2 sent last: the device's registers hold line 2.
  Form.Edit1->setText(QStringLiteral("AB"));
  Form.Button1->click();
  ASSERT_TRUE(WaitFor([&] { return Form.Line2Status->text().contains(QStringLiteral("gravada")); }, 10000));
  Form.Edit1->setText(QStringLiteral("CD"));
  Form.LerDisplay1->trigger();
  ASSERT_TRUE(WaitFor([&] { return !Form.Line2Status->text().endsWith(QStringLiteral("…")); }, 10000));
  EXPECT_EQ(Text(Form.Line2Status), "Linha 2 no dispositivo: “AB”");
  EXPECT_EQ(Form.LCD2->Line1Txt(), QByteArray("AB                  "));

  // Refused: the status line tells the exception's meaning.
  Device.Display.Server().HoldingRegisters().First = 500;
  Form.LerDisplay1->trigger();
  ASSERT_TRUE(WaitFor([&] { return !Form.Line1Status->text().endsWith(QStringLiteral("…")); }, 10000));
  EXPECT_EQ(Text(Form.Line1Status), "Leitura do display recusada pelo dispositivo, exceção 2 (endereço de dados ilegal)");
  EXPECT_EQ(Text(Form.Line2Status), Text(Form.Line1Status));
  EXPECT_EQ(Form.LCD2->Line1Txt(), QByteArray("AB                  ")) << "nothing shown from a refusal";

  // Closed: refused as a send is.
  Form.ModbusConnection1->Close();
  Form.LerDisplay1->trigger();
  EXPECT_EQ(Boxes, std::vector<TBox>{Critical("There is no active connection")});
  EXPECT_EQ(Text(Form.Line1Status), "Leitura do display não feita, sem conexão");
}

TEST_F(MainWindowTest, ACancelledScanLeavesTheConnectionAsItWas) {
  Testing::TVirtualSerialLine Line(19200);  // nobody answers
  TForm1 Form(Line.PortA());
  Form.show();
  ASSERT_TRUE(Form.ModbusConnection1->Active());
  std::string Outcome;
  WhenDialogShows([&](QWidget& Shown) {
    auto& Dialog = *qobject_cast<TScanDialog*>(&Shown);
    Dialog.TimeoutEdit->setValue(200);
    Dialog.StartButton->click();
    ASSERT_TRUE(WaitFor([&] { return Dialog.Progress->value() >= 1; }, 10000));
    Dialog.CancelButton->click();
    EXPECT_EQ(Dialog.ProgressText->text().toStdString(), "Cancelando…");
    ASSERT_TRUE(WaitFor([&] { return !Dialog.Scanner().Scanning(); }, 10000));
    Outcome = Dialog.ProgressText->text().toStdString();
    EXPECT_FALSE(Dialog.UseButton->isEnabled());
    // Closing during a scan waits for it to let go of the port; here it has.
    Dialog.CloseButton->click();
  });
  Form.Procurar1->trigger();
  EXPECT_EQ(Outcome.rfind("Cancelado após ", 0), 0u) << Outcome;
  EXPECT_NE(Outcome.find(" de 247 combinações: nenhum dispositivo encontrado"), std::string::npos) << Outcome;
  EXPECT_TRUE(Form.ModbusConnection1->Active()) << "open again, as before";
  EXPECT_EQ(Form.ModbusConnection1->TransmissionMode(), tmRTU);
  EXPECT_EQ(Form.ModbusClient1->ServerAddress(), 1);
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();

  // Closed while scanning: the dialog goes once the request under way has ended.
  bool Closed = false;
  WhenDialogShows([&](QWidget& Shown) {
    auto& Dialog = *qobject_cast<TScanDialog*>(&Shown);
    Dialog.TimeoutEdit->setValue(200);
    Dialog.StartButton->click();
    Dialog.CloseButton->click();
    EXPECT_TRUE(Dialog.isVisible()) << "not before the port is free";
    Closed = true;
  });
  Form.Procurar1->trigger();
  EXPECT_TRUE(Closed);
  EXPECT_TRUE(Form.ModbusConnection1->Active());
}

}  // namespace
