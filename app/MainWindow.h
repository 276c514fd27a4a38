#pragma once
// TForm1, the utility's main window: the two lines of the field device's display, each with its
// edit, its dot-matrix preview and its send button, and the connection that carries them.
//
// Under the display lines a status line tells the outcome of each line's last send and the state
// of the port; it never shows a box. When the port vanishes (a USB adapter pulled out) the window
// closes the connection, once the sends under way have ended with their outcome, and reopens it by
// itself when the port comes back. "Conexão" also opens the traffic monitor, the scan for a device
// whose settings are not known (its address then goes to the sends), and reads the display back
// from the device: only when asked.
//
// The window is also the owner of its non-visual components (the connection and the client), as a
// form is: it creates them while it loads its stored layout and destroys them with itself, the
// client first, so that the connection closes its port when the window goes.

#include <QMainWindow>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QElapsedTimer>

#include <Quorvel/Component.h>
#include <Quorvel/Types.h>

class QAction;
class QEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QStatusBar;
class TLCD;
class TPortWatch;
class TTrafficMonitor;

namespace Quorvel {
struct TScanDevice;
class TModbusClient;
class TModbusConnection;
struct TTransactionInfo;
}  // namespace Quorvel

// The text of line 2 at start: one blank and the maker's web address.
inline constexpr const char* DefaultLine2Text = " www.dorvane.com.br";

class TForm1 : public QMainWindow, public Quorvel::TComponent {
  Q_OBJECT

 public:
  // Loads the stored layout, which opens the connection at its end (a failure is shown by the
  // application's error display), then runs FormCreate. Port, when given, replaces the stored
  // connection's port before that first open.
  explicit TForm1(const std::optional<std::string>& Port = std::nullopt, QWidget* Parent = nullptr);
  ~TForm1() override;

  // The components, in creation order; each widget's objectName is its name here.
  QLabel* Label1 = nullptr;
  QPushButton* Button14 = nullptr;
  QFrame* Panel1 = nullptr;
  TLCD* LCD1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Edit3 = nullptr;
  QPushButton* Button1 = nullptr;
  QFrame* Panel2 = nullptr;
  TLCD* LCD2 = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* Edit1 = nullptr;
  Quorvel::TModbusConnection* ModbusConnection1 = nullptr;
  Quorvel::TModbusClient* ModbusClient1 = nullptr;
  QMenuBar* MainMenu1 = nullptr;
  QMenu* Conexo1 = nullptr;
  QAction* Conectar1 = nullptr;
  QAction* Monitor1 = nullptr;
  QAction* Procurar1 = nullptr;
  QAction* LerDisplay1 = nullptr;
  // The status line: each display line's last send, and the port.
  QStatusBar* StatusLine = nullptr;
  QLabel* Line1Status = nullptr;
  QLabel* Line2Status = nullptr;
  QLabel* PortStatus = nullptr;
  // Made when first asked for; a window of its own, owned by this one.
  TTrafficMonitor* TrafficMonitor1 = nullptr;

  // The handlers, connected to their widgets' signals through Guarded: what they raise reaches the
  // application's error display.
  void FormCreate();
  void Edit3Change();
  void Edit3Click();
  void Edit1Change();
  void Edit1Click();
  void Button14Click();
  void Button1Click();
  void Conectar1Click();
  void Monitor1Click();
  void Procurar1Click();
  void LerDisplay1Click();
  // The client's and the connection's events.
  void ModbusClient1MultipleRegistersWrite(const Quorvel::TTransactionInfo& Info);
  void ModbusClient1HoldingRegistersRead(const Quorvel::TTransactionInfo& Info, const Quorvel::TRegValues& Values);
  void ModbusConnection1AfterOpen();
  void ModbusConnection1AfterClose();
  void ModbusConnection1PortLost();

  // While the port is gone: the watch that reopens it.
  bool WaitingForPort() const;

  // On, the window's client area takes exactly the extent of its controls and keeps it.
  bool AutoSize() const noexcept { return FAutoSize; }
  void SetAutoSize(bool Value);

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  struct TPendingSend {
    int Line;
    QElapsedTimer Since;
  };

  void LoadLayout(const std::optional<std::string>& Port);
  void CreateStatusLine();
  void ConnectHandlers();
  void ConnectComponentEvents();
  void ApplyAutoSize();
  static void RefreshDisplay(const QLineEdit& Edit, TLCD& Display);
  void SendDisplayLine(const QLineEdit& Edit, Quorvel::Word Selector, int Line);
  void SetLineStatus(int Line, const QString& Text);
  void SetPortStatus(const QString& Text, const QString& Detail = QString());
  void NoteInMonitor(const QString& Text);
  void CloseLostPort();
  void UseScannedDevice(const Quorvel::TScanDevice& Device);
  void ShowReadBack(const Quorvel::TRegValues& Values);
  bool ReopenThrough(const std::string& Name);

  QWidget* FClient = nullptr;
  bool FAutoSize = false;
  TPortWatch* FPortWatch = nullptr;
  // Sends whose client event has not come yet, by transaction number.
  std::map<Quorvel::Cardinal, TPendingSend> FPendingSends;
  // The read-back whose event has not come yet.
  std::optional<Quorvel::Cardinal> FPendingReadBack;
  // The port failed under the worker; the connection closes once the pending sends have ended.
  bool FPortLost = false;
  // The stable names that led to the port when it opened, for finding it again under another name.
  std::vector<std::string> FStableNames;
};
