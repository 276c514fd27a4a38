// What the technician sees of the line: the status line after each send, the traffic monitor, and
// the window finding its port again after an unplug, driven through the window over virtual lines
// with the simulated device, with the device stopped, and with a line unplugged and replugged.

#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <Quorvel/Checksums.h>
#include "MainWindowFixture.h"
#include "TrafficMonitor.h"
#include "SocketPeer.h"
#include "VirtualSerialLine.h"

namespace {

using namespace Quorvel;
using namespace MainWindowTesting;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Text(const QLabel* Label) { return Label->text().toStdString(); }

TFrameData WithCrc(TFrameData Frame) {
  const Word Crc = CRC16(Frame);
  Frame.push_back(static_cast<Byte>(Crc & 0xFF));
  Frame.push_back(static_cast<Byte>(Crc >> 8));
  return Frame;
}

// The device end played by a script of its own, for answers the simulated device never gives.
class TScriptedDevice {
 public:
  TScriptedDevice(const std::string& Port, std::function<void(Testing::TLinePeer&)> Script)
      : FPeer(Port), FThread([this, Script = std::move(Script)] {
          Script(FPeer);
          Finished = true;
        }) {}
  ~TScriptedDevice() { FThread.join(); }
  std::atomic<bool> Finished{false};

 private:
  Testing::TLinePeer FPeer;
  std::thread FThread;
};

TEST_F(MainWindowTest, TheStatusLineTellsEachSendsOutcome) {
  Testing::TVirtualSerialLine Line(19200);
  auto Device = std::make_unique<TSimulatedDevice>(Line.PortB());
  TForm1 Form(Line.PortA());
  Form.show();
  EXPECT_EQ(Text(Form.PortStatus), "Conectado");
  EXPECT_EQ(Form.PortStatus->toolTip().toStdString(), "Conectado\n" + Line.PortA());
  ASSERT_TRUE(DeviceAnswers(Form));

  // Written: the time since the press, on the line's own part of the status line.
  Form.Button14->click();
  EXPECT_EQ(Text(Form.Line1Status), "Linha 1: enviando…");
  ASSERT_TRUE(WaitFor([&] { return Form.Line1Status->text().startsWith(QStringLiteral("Linha 1: gravada em ")); }));
  EXPECT_TRUE(Form.Line1Status->text().endsWith(QStringLiteral(" ms"))) << Text(Form.Line1Status);
  EXPECT_TRUE(Text(Form.Line2Status).empty());

  // Refused by the device: its exception code with the meaning.
  Device->Display.Server().HoldingRegisters().First = 500;
  Form.Button1->click();
  ASSERT_TRUE(WaitFor([&] { return !Form.Line2Status->text().endsWith(QStringLiteral("enviando…")); }));
  EXPECT_EQ(Text(Form.Line2Status), "Linha 2: recusada pelo dispositivo, exceção 2 (endereço de dados ilegal)");
  EXPECT_TRUE(Form.Line1Status->text().startsWith(QStringLiteral("Linha 1: gravada em ")));

  // The device stopped: no reply after every attempt.
  Device.reset();
  Form.ModbusConnection1->SetReceiveTimeout(200);
  Form.ModbusConnection1->SetMaxRetries(2);
  Form.Button14->click();
  ASSERT_TRUE(WaitFor([&] { return !Form.Line1Status->text().endsWith(QStringLiteral("enviando…")); }));
  EXPECT_EQ(Text(Form.Line1Status), "Linha 1: sem resposta após 2 tentativas");

  // A reply that does not fit the request (another register count).
  Form.ModbusConnection1->SetMaxRetries(1);
  Form.ModbusConnection1->SetReceiveTimeout(2000);
  {
    TScriptedDevice Odd(Line.PortB(), [](Testing::TLinePeer& Peer) {
      if (!Peer.ReadFrame(30ms, 5000ms).empty()) Peer.Write(WithCrc({0x01, 0x10, 0x01, 0xBB, 0x00, 0x0C}));
    });
    Line.WaitForOpen(Testing::TLineSide::B, 2s);
    Form.Button1->click();
    ASSERT_TRUE(WaitFor([&] { return !Form.Line2Status->text().endsWith(QStringLiteral("enviando…")); }));
    EXPECT_EQ(Text(Form.Line2Status), "Linha 2: resposta inválida do dispositivo");
  }

  // Not connected: the library's box as before, and the status line says it too.
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
  Form.ModbusConnection1->Close();
  EXPECT_EQ(Text(Form.PortStatus), "Sem conexão");
  Form.Button1->click();
  EXPECT_EQ(Boxes, std::vector<TBox>{Critical("There is no active connection")});
  EXPECT_EQ(Text(Form.Line2Status), "Linha 2: não enviada, sem conexão");
}

TEST_F(MainWindowTest, TheTrafficMonitorListsEveryFrameAndCostsNothingClosed) {
  Testing::TVirtualSerialLine Line(19200);
  TSimulatedDevice Device(Line.PortB());
  TForm1 Form(Line.PortA());
  Form.show();
  ASSERT_TRUE(DeviceAnswers(Form));
  EXPECT_FALSE(Form.ModbusConnection1->OnFrameSend()) << "nothing listens before the monitor opens";

  Form.Monitor1->trigger();
  TTrafficMonitor* Monitor = Form.TrafficMonitor1;
  ASSERT_NE(Monitor, nullptr);
  ASSERT_TRUE(WaitFor([&] { return Monitor->isVisible(); }));
  EXPECT_EQ(Monitor->windowTitle(), QStringLiteral("Monitor de tráfego"));
  Monitor->ClearButton->click();
  EXPECT_TRUE(Monitor->Statistics->text().startsWith(QStringLiteral("Enviados 0 · recebidos 0")));

  Form.Edit1->setText(QStringLiteral("AB"));
  Form.Button1->click();
  ASSERT_TRUE(WaitFor([&] { return Form.Line2Status->text().contains(QStringLiteral("gravada")); }));
  // Shown in batches: the next one comes within a tenth of a second.
  ASSERT_TRUE(WaitFor([&] { return Monitor->LineCount() == 2; }));
  const QStringList Lines = Monitor->Text().split(QLatin1Char('\n'));
  // Time, direction, what the frame is, its bytes.
  EXPECT_TRUE(Lines[0].contains(QStringLiteral("  →  pedido ao 1: escrever registradores 443–453   "))) << Lines[0].toStdString();
  EXPECT_TRUE(Lines[0].contains(QStringLiteral("  01 10 01 BB 00 0B 16 00 04 41 42 20 20"))) << Lines[0].toStdString();
  EXPECT_TRUE(Lines[1].contains(QStringLiteral("  ←  resposta do 1: escrever registradores 443–453"))) << Lines[1].toStdString();
  EXPECT_TRUE(Lines[1].endsWith(QStringLiteral("  01 10 01 BB 00 0B F0 17"))) << Lines[1].toStdString();
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d  ")).match(Lines[0]).hasMatch());
  ASSERT_TRUE(WaitFor([&] { return Monitor->Statistics->text().startsWith(QStringLiteral("Enviados 1 · recebidos 1")); }));

  // Paused: frames are counted, not listed; going on says how many were left out.
  Monitor->PauseButton->click();
  EXPECT_EQ(Monitor->PauseButton->text(), QStringLiteral("Continuar"));
  Form.Button14->click();
  ASSERT_TRUE(WaitFor([&] { return Form.Line1Status->text().contains(QStringLiteral("gravada")); }));
  Monitor->Flush();
  EXPECT_EQ(Monitor->LineCount(), 2);
  Monitor->PauseButton->click();
  Monitor->Flush();
  EXPECT_TRUE(Monitor->Text().endsWith(QStringLiteral("—  2 quadros não mostrados durante a pausa")))
      << Monitor->Text().toStdString();

  // Copy and save as text.
  Monitor->CopyButton->click();
  EXPECT_EQ(QApplication::clipboard()->text(), Monitor->Text());
  QTemporaryDir Directory;
  const QString Saved = Directory.filePath(QStringLiteral("tráfego 1.txt"));
  WhenDialogShows([&Saved](QWidget& Dialog) {
    auto* Files = qobject_cast<QFileDialog*>(&Dialog);
    ASSERT_NE(Files, nullptr);
    // As typed into the name field: the dialog may still be reading its directory.
    auto* FileName = Files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(FileName, nullptr);
    FileName->setText(Saved);
    QMetaObject::invokeMethod(Files, "accept");
  });
  Monitor->SaveButton->click();
  QFile File(Saved);
  ASSERT_TRUE(File.open(QIODevice::ReadOnly)) << Monitor->Info->text().toStdString();
  EXPECT_EQ(QString::fromUtf8(File.readAll()), Monitor->Text() + QLatin1Char('\n'));
  EXPECT_FALSE(Monitor->SaveTo(QStringLiteral("/nonexistent/dir/trafego.txt")));
  EXPECT_TRUE(Monitor->Info->text().startsWith(QStringLiteral("Não foi possível salvar em /nonexistent/dir/trafego.txt")));

  // Bounded: the oldest lines go.
  for (int I = 0; I < TTrafficMonitor::MaxLines + 1000; ++I) Monitor->Note(QStringLiteral("nota %1").arg(I));
  Monitor->Flush();
  EXPECT_EQ(Monitor->LineCount(), TTrafficMonitor::MaxLines);
  EXPECT_TRUE(Monitor->Text().section(QLatin1Char('\n'), 0, 0).endsWith(QStringLiteral("nota 1000")));

  // Closed, it lets go of the connection's frame events: the worker copies no frame for it.
  Monitor->close();
  EXPECT_FALSE(Form.ModbusConnection1->OnFrameSend());
  EXPECT_FALSE(Form.ModbusConnection1->OnFrameReceive());
  // Opened again, it hands each frame on to a handler that was there before it.
  int Before = 0;
  Form.ModbusConnection1->SetOnFrameSend([&Before](TModbusConnection&, const TFrameData&) { ++Before; });
  Form.Monitor1->trigger();
  EXPECT_EQ(Form.TrafficMonitor1, Monitor);
  Monitor->ClearButton->click();
  Form.Button14->click();
  ASSERT_TRUE(WaitFor([&] { return Monitor->LineCount() == 2; }));
  EXPECT_EQ(Before, 1);
  Monitor->close();
  ASSERT_TRUE(Form.ModbusConnection1->OnFrameSend());
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
}

TEST_F(MainWindowTest, TheMonitorNamesRepliesFromElsewhereAndGarbage) {
  Testing::TVirtualSerialLine Line(19200);
  TForm1 Form(Line.PortA());
  Form.ModbusConnection1->SetReceiveTimeout(500);
  Form.show();
  Form.Monitor1->trigger();
  TTrafficMonitor& Monitor = *Form.TrafficMonitor1;
  TScriptedDevice Device(Line.PortB(), [](Testing::TLinePeer& Peer) {
    if (!Peer.ReadFrame(30ms, 5000ms).empty()) Peer.Write(WithCrc({0x07, 0x10, 0x01, 0xBB, 0x00, 0x0B}));
    TFrameData Garbage(200);
    for (std::size_t I = 0; I < Garbage.size(); ++I) Garbage[I] = static_cast<Byte>(I * 37 + 11);
    if (!Peer.ReadFrame(30ms, 5000ms).empty()) Peer.Write(Garbage);
  });
  ASSERT_TRUE(Line.WaitForOpen(Testing::TLineSide::B, 2s));
  Form.Button14->click();
  ASSERT_TRUE(WaitFor([&] { return Form.Line1Status->text().contains(QStringLiteral("sem resposta")); }));
  Form.Button1->click();
  ASSERT_TRUE(WaitFor([&] { return Form.Line2Status->text().contains(QStringLiteral("sem resposta")); }));
  Monitor.Flush();
  const QString Log = Monitor.Text();
  EXPECT_TRUE(Log.contains(QStringLiteral("quadro de outro endereço (7): escrever registradores"))) << Log.toStdString();
  EXPECT_TRUE(Log.contains(QStringLiteral("erro de CRC"))) << Log.toStdString();
  EXPECT_TRUE(Log.contains(QStringLiteral("sem resposta (tempo esgotado)"))) << Log.toStdString();
  EXPECT_TRUE(Monitor.Statistics->text().contains(QStringLiteral("outros endereços 1"))) << Monitor.Statistics->text().toStdString();
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
}

// The port by a name with blanks and accents, as a link that a replug can point elsewhere.
class TStableName {
 public:
  explicit TStableName(const std::string& Target) {
    Path = (fs::path(Directory.path().toStdString()) / "porta estável nº 1").string();
    PointTo(Target);
  }
  void PointTo(const std::string& Target) {
    std::error_code Ignored;
    fs::remove(Path, Ignored);
    fs::create_symlink(Target, Path);
  }
  QTemporaryDir Directory;
  std::string Path;
};

TEST_F(MainWindowTest, AfterAnUnplugTheWindowWaitsAndReopensByItself) {
  auto Line = std::make_unique<Testing::TVirtualSerialLine>(19200);
  auto Device = std::make_unique<TSimulatedDevice>(Line->PortB());
  TStableName Name(Line->PortA());
  TForm1 Form(Name.Path);
  Form.show();
  Form.Monitor1->trigger();
  ASSERT_TRUE(Form.ModbusConnection1->Active());
  ASSERT_TRUE(DeviceAnswers(Form));

  // Pulled out: said in the status line, the connection closed, a watch running.
  Line->Unplug();
  ASSERT_TRUE(WaitFor([&] { return !Form.ModbusConnection1->Active(); }));
  EXPECT_EQ(Text(Form.PortStatus), "Porta perdida, aguardando");
  EXPECT_TRUE(Form.WaitingForPort());
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
  // Sending meanwhile is refused as on any closed connection; nothing is queued.
  Form.Button14->click();
  EXPECT_EQ(Boxes, std::vector<TBox>{Critical("There is no active connection")});
  EXPECT_EQ(Text(Form.Line1Status), "Linha 1: não enviada, sem conexão");

  // A link that points nowhere is waited out without a word.
  Name.PointTo("/nonexistent/ttyUSB9");
  WaitFor([] { return false; }, 1500);
  EXPECT_TRUE(Form.WaitingForPort());
  EXPECT_EQ(Boxes.size(), 1u);

  // Plugged in again: another line behind the same stable name.
  Device.reset();
  Line = std::make_unique<Testing::TVirtualSerialLine>(19200);
  Device = std::make_unique<TSimulatedDevice>(Line->PortB());
  Name.PointTo(Line->PortA());
  ASSERT_TRUE(WaitFor([&] { return Form.ModbusConnection1->Active(); }, 5000));
  EXPECT_EQ(Text(Form.PortStatus), "Porta reconectada");
  EXPECT_EQ(Form.ModbusConnection1->Port(), Name.Path) << "opened through its stable name, it keeps it";
  EXPECT_FALSE(Form.WaitingForPort());
  // Confirming the settings changes nothing: the dialog shows the stable name and writes it back.
  QString Shown;
  WhenDialogShows([&Shown](QWidget& Dialog) {
    Shown = Dialog.findChild<QComboBox*>(QStringLiteral("PortComboBox"))->currentText();
    Press(Dialog, "OKButton");
  });
  Form.Conectar1->trigger();
  EXPECT_EQ(Shown.toStdString(), Name.Path);
  EXPECT_EQ(Form.ModbusConnection1->Port(), Name.Path);
  EXPECT_TRUE(Form.ModbusConnection1->Active());
  ASSERT_TRUE(DeviceAnswers(Form));
  Form.Edit1->setText(QStringLiteral("de volta"));
  Form.Button1->click();
  ASSERT_TRUE(WaitFor([&] { return Form.Line2Status->text().contains(QStringLiteral("gravada")); }));
  EXPECT_EQ(std::string(Device->Display.Line(2).begin(), Device->Display.Line(2).end()), "de volta            ");
  Form.TrafficMonitor1->Flush();
  const QString Log = Form.TrafficMonitor1->Text();
  EXPECT_TRUE(Log.contains(QStringLiteral("—  porta ") + QString::fromStdString(Name.Path) + QStringLiteral(" perdida")));
  EXPECT_TRUE(Log.contains(QStringLiteral("—  porta reaberta por ") + QString::fromStdString(Name.Path)));
  EXPECT_EQ(Boxes.size(), 1u);
}

TEST_F(MainWindowTest, ASendUnderWayWhenThePortGoesEndsWithItsOutcome) {
  Testing::TVirtualSerialLine Line(19200);  // nobody answers on the other side
  TForm1 Form(Line.PortA());
  Form.ModbusConnection1->SetReceiveTimeout(1500);
  Form.show();
  Form.Button14->click();
  EXPECT_EQ(Text(Form.Line1Status), "Linha 1: enviando…");
  Line.Unplug();
  ASSERT_TRUE(WaitFor([&] { return Form.WaitingForPort(); }, 8000));
  EXPECT_EQ(Text(Form.Line1Status), "Linha 1: sem resposta após 1 tentativa");
  EXPECT_FALSE(Form.ModbusConnection1->Active());
  EXPECT_EQ(Text(Form.PortStatus), "Porta perdida, aguardando");
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
}

}  // namespace

namespace {

// A typed "tcp://HOST:PORT" is a port like any other: the window reaches the device behind a
// serial device server, shows it in its status line and monitor, and reconnects once the server
// is back after it went.
TEST_F(MainWindowTest, ADeviceServerTypedAsATcpPortIsReachedAndReconnected) {
  const std::string Address = "127.0.0.1:" + std::to_string(Testing::FreeTcpPort());
  const std::string Port = "tcp://" + Address;
  auto Device = std::make_unique<TSimulatedDevice>("tcp-listen://" + Address);
  TForm1 Form(MissingPort);
  Form.show();
  Form.Monitor1->trigger();
  Boxes.clear();
  QString Described;
  WhenDialogShows([&](QWidget& Dialog) {
    auto* Ports = Dialog.findChild<QComboBox*>(QStringLiteral("PortComboBox"));
    ASSERT_NE(Ports, nullptr);
    Ports->setEditText(QString::fromStdString(Port));
    Press(Dialog, "OKButton");
  });
  Form.Conectar1->trigger();
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
  ASSERT_TRUE(Form.ModbusConnection1->Active());
  EXPECT_EQ(Form.ModbusConnection1->Port(), Port);
  EXPECT_EQ(Text(Form.PortStatus), "Conectado");
  ASSERT_TRUE(DeviceAnswers(Form));
  Form.Edit1->setText(QStringLiteral("via TCP"));
  Form.Button1->click();
  ASSERT_TRUE(WaitFor([&] { return Form.Line2Status->text().contains(QStringLiteral("gravada")); }));
  EXPECT_EQ(std::string(Device->Display.Line(2).begin(), Device->Display.Line(2).end()), "via TCP             ");

  // The device server goes: the port is lost, and the window waits for it.
  Device.reset();
  ASSERT_TRUE(WaitFor([&] { return Form.WaitingForPort(); }));
  EXPECT_EQ(Text(Form.PortStatus), "Porta perdida, aguardando");
  // Back at the same address: the watch reconnects by itself.
  Device = std::make_unique<TSimulatedDevice>("tcp-listen://" + Address);
  ASSERT_TRUE(WaitFor([&] { return Form.ModbusConnection1->Active(); }, 5000));
  EXPECT_EQ(Text(Form.PortStatus), "Porta reconectada");
  ASSERT_TRUE(DeviceAnswers(Form));
  Form.TrafficMonitor1->Flush();
  EXPECT_TRUE(Form.TrafficMonitor1->Text().contains(QStringLiteral("—  porta reaberta por ") + QString::fromStdString(Port)));
  // The settings dialog shows it as the current port, over TCP.
  WhenDialogShows([&Described](QWidget& Dialog) {
    const QAbstractItemModel* Model = Dialog.findChild<QComboBox*>(QStringLiteral("PortComboBox"))->model();
    Described = Model->index(0, 1).data().toString();
    Press(Dialog, "CancelButton");
  });
  Form.Conectar1->trigger();
  EXPECT_EQ(Described, QStringLiteral("current port, over TCP"));
  EXPECT_TRUE(Boxes.empty()) << Boxes.front();
}

}  // namespace
