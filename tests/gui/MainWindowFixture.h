#pragma once
// What the main window's tests share: the window as the utility runs it (library messages pumped
// by Qt's loop, message boxes recorded instead of shown), waiting on Qt's loop, and driving the
// dialogs that the window opens.

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <Quorvel/Application.h>
#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include "DisplayDevice.h"
#include "DorvaneApplication.h"
#include "MainWindow.h"

namespace MainWindowTesting {

using namespace Quorvel;

inline const char* const MissingPort = "/nonexistent/ttyDorvane0";

struct TBox {
  std::string Title;
  std::string Text;
  QMessageBox::Icon Icon;
  bool operator==(const TBox&) const = default;
};

inline std::ostream& operator<<(std::ostream& Stream, const TBox& Box) {
  return Stream << "[" << Box.Title << "] " << Box.Text << " (icon " << Box.Icon << ")";
}

inline bool WaitFor(const std::function<bool()>& Done, int TimeoutMs = 5000) {
  QElapsedTimer Timer;
  Timer.start();
  while (!Done() && Timer.elapsed() < TimeoutMs) QApplication::processEvents(QEventLoop::AllEvents, 10);
  return Done();
}

// The window as the utility runs it: library messages pumped by Qt's loop, errors in message boxes
// (recorded here instead of shown).
class MainWindowTest : public ::testing::Test {
 protected:
  std::vector<TBox> Boxes;
  TQtMessagePump Pump;

  void SetUp() override {
    InstallExceptionDisplay();
    SetMessageBoxHook([this](const QString& Title, const QString& Text, QMessageBox::Icon Icon) {
      Boxes.push_back({Title.toStdString(), Text.toStdString(), Icon});
    });
  }
  void TearDown() override {
    SetMessageBoxHook(nullptr);
    Application::SetExceptionDisplay(nullptr);
  }

  static TBox Critical(const char* Text) { return {ApplicationTitle().toStdString(), Text, QMessageBox::Critical}; }
  static TBox PortMissing() {
    return {ApplicationTitle().toStdString(), "A porta selecionada não está disponível", QMessageBox::NoIcon};
  }
};

// Runs Action when a modal dialog is up, from inside its modal loop.
inline void WhenDialogShows(const std::function<void(QWidget& Dialog)>& Action) {
  auto* Poll = new QTimer;
  QObject::connect(Poll, &QTimer::timeout, Poll, [Poll, Action] {
    if (QWidget* Dialog = QApplication::activeModalWidget()) {
      Poll->stop();
      Poll->deleteLater();
      Action(*Dialog);
    }
  });
  Poll->start(10);
}

inline void Press(QWidget& Dialog, const char* Button) {
  auto* Widget = Dialog.findChild<QPushButton*>(QString::fromLatin1(Button));
  ASSERT_NE(Widget, nullptr) << Button;
  Widget->click();
}

// The simulated field device on one end of a line, served on this main thread: at address 1 in RTU
// as the window expects it, or where a scan has to find it.
struct TSimulatedDevice {
  explicit TSimulatedDevice(const std::string& Port, Byte Address = 1, TTransmissionMode Mode = tmRTU)
      : Display((Setup(Port, Mode), Connection), Address) {
    Connection.Open();
  }
  void Setup(const std::string& Port, TTransmissionMode Mode) {
    Connection.SetPort(Port);
    Connection.SetParity(psNone);
    Connection.SetConnectionMode(cmServer);
    Connection.SetTransmissionMode(Mode);
    if (Mode == tmASCII) Connection.SetSilentInterval(1000);
  }
  TModbusConnection Connection;
  Dorvane::TDisplayDevice Display;
};

// The device's worker drops what arrived before it listened: true once it answers the window's
// connection (a read, so that no display line changes and no window event is raised).
inline bool DeviceAnswers(TForm1& Form) {
  bool Answered = false;
  const Cardinal Retries = Form.ModbusConnection1->MaxRetries();
  // The window's own read-back handler comes back afterwards.
  const TMultipleRegistersAccessEvent WindowHandler = Form.ModbusClient1->OnHoldingRegistersRead();
  Form.ModbusClient1->SetOnHoldingRegistersRead(
      [&Answered](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) {
        Answered = Info.ReplyStatus == rsSuccess;
      });
  Form.ModbusConnection1->SetMaxRetries(5);
  Form.ModbusClient1->ReadHoldingRegisters(443, 1);
  const bool Done = WaitFor([&] { return Answered; }, 15000);
  Form.ModbusConnection1->SetMaxRetries(Retries);
  Form.ModbusClient1->SetOnHoldingRegistersRead(WindowHandler);
  return Done;
}

}  // namespace MainWindowTesting
