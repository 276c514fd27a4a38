#include "Startup.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QWindow>
#include <QtGlobal>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>

#include <Quorvel/Application.h>
#include <Quorvel/Version.h>
#include "DorvaneApplication.h"
#include "MainWindow.h"
#include "ModbusConnectionEditor.h"
#include "ScanDialog.h"
#include "TrafficMonitor.h"

namespace {

constexpr const char* DemoLine1 = "  Demo do Dorvane";
constexpr const char* DemoLine2 = "Linha 2: teste OK";

void RunDemo(TForm1& Form) {
  // One line at a time, with room for each request to be answered before the next is queued.
  QTimer::singleShot(300, &Form, [&Form] {
    Form.Edit3->setText(QString::fromLatin1(DemoLine1));
    Form.Button14->click();
    std::cout << "Sent line 1: \"" << DemoLine1 << "\"" << std::endl;
  });
  QTimer::singleShot(1000, &Form, [&Form] {
    Form.Edit1->setText(QString::fromLatin1(DemoLine2));
    Form.Button1->click();
    std::cout << "Sent line 2: \"" << DemoLine2 << "\"" << std::endl;
  });
  QTimer::singleShot(1700, &Form, [&Form] { Form.close(); });
}

// Qt wants a private runtime folder and warns at start when the session has none (a console
// login, ssh, CI). The one it would fall back to is made here, so that nothing is said.
void EnsureRuntimeDirectory() {
  if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) return;
  const QByteArray Path = QDir::tempPath().toLocal8Bit() + "/runtime-" + QByteArray::number(::getuid());
  ::mkdir(Path.constData(), 0700);
  struct stat Info {};
  if (::stat(Path.constData(), &Info) == 0 && Info.st_uid == ::getuid() && S_ISDIR(Info.st_mode)) {
    ::chmod(Path.constData(), 0700);
    qputenv("XDG_RUNTIME_DIR", Path);
  }
}

// The offscreen platform cannot size a window to its contents and says so each time a window's
// size limits change; nothing is wrong, so that one message is dropped.
QtMessageHandler PreviousMessageHandler = nullptr;
void FilterPlatformMessages(QtMsgType Type, const QMessageLogContext& Context, const QString& Message) {
  if (Message.startsWith(u"This plugin does not support propagateSizeHints")) return;
  if (PreviousMessageHandler) PreviousMessageHandler(Type, Context, Message);
}

}  // namespace

TDorvaneOptions ParseDorvaneArguments(const QStringList& Arguments) {
  TDorvaneOptions Options;
  for (qsizetype I = 0; I < Arguments.size(); ++I) {
    QString Option = Arguments[I];
    std::optional<QString> Value;
    if (const auto Equals = Option.indexOf(u'='); Option.startsWith(u"--") && Equals > 0) {
      Value = Option.mid(Equals + 1);
      Option.truncate(Equals);
    }
    const auto TakeValue = [&]() -> QString {
      if (!Value) {
        if (I + 1 >= Arguments.size()) throw ECommandLineError(Option.toStdString() + " needs a value");
        Value = Arguments[++I];
      }
      if (Value->isEmpty()) throw ECommandLineError(Option.toStdString() + " needs a value");
      return *Value;
    };
    const auto Flag = [&] {
      if (Value) throw ECommandLineError(Option.toStdString() + " takes no value");
    };
    if (Option == u"--port") {
      Options.Port = TakeValue().toStdString();
    } else if (Option == u"--screenshot") {
      Options.ScreenshotDirectory = TakeValue();
    } else if (Option == u"--demo") {
      Flag();
      Options.Demo = true;
    } else if (Option == u"--help" || Option == u"-h") {
      Flag();
      Options.Help = true;
    } else if (Option == u"--version") {
      Flag();
      Options.Version = true;
    } else {
      throw ECommandLineError("unknown argument '" + Arguments[I].toStdString() + "'");
    }
  }
  if (Options.ScreenshotDirectory && Options.Demo) throw ECommandLineError("--screenshot and --demo do not go together");
  return Options;
}

QStringList WithoutQtOptions(const QStringList& Arguments) {
  // The options of QGuiApplication, QApplication and the X11 platform plugin; Qt also takes each
  // with two dashes. Those in the first list take the next argument as their value.
  static const QStringList WithValue = {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                        "qwindowicon", "qwindowtitle", "session", "display", "geometry", "title",
                                        "name", "style", "stylesheet"};
  static const QStringList Flags = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};
  static const QStringList Joined = {"style=", "stylesheet=", "qmljsdebugger="};
  QStringList Rest;
  for (qsizetype I = 0; I < Arguments.size(); ++I) {
    const QString& Argument = Arguments[I];
    const QString Name = Argument.startsWith(u"--") ? Argument.mid(2) : Argument.startsWith(u'-') ? Argument.mid(1) : QString();
    const bool TakesValue = WithValue.contains(Name) && I + 1 < Arguments.size();
    const bool JoinedValue = std::any_of(Joined.begin(), Joined.end(), [&Name](const QString& Prefix) {
      return Name.startsWith(Prefix) && Name.size() > Prefix.size();
    });
    if (TakesValue) {
      ++I;
    } else if (!Flags.contains(Name) && !JoinedValue) {
      Rest << Argument;
    }
  }
  return Rest;
}

QString DorvaneUsage() {
  return QStringLiteral(
      "Usage: dorvane [Qt options] [--port NAME] [--screenshot DIR | --demo]\n"
      "\n"
      "Types the two lines of a field device's display and sends each to the device.\n"
      "\n"
      "  --port NAME        use this serial port instead of the stored one (COM1, /dev/ttyS0)\n"
      "  --screenshot DIR   write DIR/main-window.png, DIR/traffic-monitor.png,\n"
      "                     DIR/settings-dialog.png and DIR/scan-dialog.png (both lines sent\n"
      "                     and addresses 1 to 10 scanned first when the port opens), then end\n"
      "  --demo             without a screen: type a line into each edit, press both send\n"
      "                     buttons, then end\n"
      "  --version          print the version and end\n"
      "\n"
      "Qt's own options come first or anywhere: -style fusion, -platform offscreen, ...\n");
}

bool ShowAndWaitExposed(QWidget& Widget, int TimeoutMs) {
  Widget.show();
  QElapsedTimer Timer;
  Timer.start();
  const auto Exposed = [&Widget] { return Widget.windowHandle() && Widget.windowHandle()->isExposed(); };
  while (!Exposed() && Timer.elapsed() < TimeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  QCoreApplication::processEvents();
  return Exposed();
}

namespace {

// With a device on the line, both lines are sent first, so that the status line and the monitor
// show what a technician sees after a send.
void SendBothLinesAndWait(TForm1& Form) {
  if (!Form.ModbusConnection1->Active()) return;
  Form.Button14->click();
  Form.Button1->click();
  QElapsedTimer Timer;
  Timer.start();
  const auto Sending = [&Form] {
    return Form.Line1Status->text().endsWith(QStringLiteral("…")) || Form.Line2Status->text().endsWith(QStringLiteral("…"));
  };
  while (Sending() && Timer.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  // The monitor shows its next batch.
  Form.TrafficMonitor1->Flush();
  QCoreApplication::processEvents();
}

}  // namespace

bool SaveScreenshots(TForm1& Form, const QString& Directory) {
  if (!QDir().mkpath(Directory)) return false;
  ShowAndWaitExposed(Form);
  Form.Monitor1->trigger();
  SendBothLinesAndWait(Form);
  const bool MainSaved = Form.grab().save(QDir(Directory).filePath(QStringLiteral("main-window.png")));
  ShowAndWaitExposed(*Form.TrafficMonitor1);
  const bool MonitorSaved =
      Form.TrafficMonitor1->grab().save(QDir(Directory).filePath(QStringLiteral("traffic-monitor.png")));
  Form.TrafficMonitor1->close();
  // The dialog as the connection menu shows it, filled from the window's connection.
  TModbusConnectionEditForm Dialog(&Form);
  Dialog.setWindowTitle(QStringLiteral("Configuração Modbus"));
  Dialog.ShowConnection(*Form.ModbusConnection1);
  ShowAndWaitExposed(Dialog);
  const bool DialogSaved = Dialog.grab().save(QDir(Directory).filePath(QStringLiteral("settings-dialog.png")));
  Dialog.close();
  return MainSaved && MonitorSaved && DialogSaved && SaveScanScreenshot(Form, Directory);
}

bool SaveScanScreenshot(TForm1& Form, const QString& Directory) {
  // The scan dialog as "Procurar dispositivo..." shows it; with a line, after a scan of the first
  // ten addresses in both framings.
  TScanDialog Scan(*Form.ModbusConnection1, &Form);
  const bool WasActive = Form.ModbusConnection1->Active();
  Form.ModbusConnection1->Close();
  Scan.ModeBoth->setChecked(true);
  Scan.LastAddress->setValue(10);
  Scan.TimeoutEdit->setValue(200);
  ShowAndWaitExposed(Scan);
  if (WasActive) {
    Scan.StartButton->click();
    QElapsedTimer Timer;
    Timer.start();
    while (Scan.Scanner().Scanning() && Timer.elapsed() < 30000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::processEvents();
  }
  const bool Saved = Scan.grab().save(QDir(Directory).filePath(QStringLiteral("scan-dialog.png")));
  Scan.close();
  if (WasActive) Guarded([&Form] { Form.ModbusConnection1->Open(); });
  return Saved;
}

namespace {

QStringList ArgumentList(int Argc, char** Argv) {
  QStringList Arguments;
  for (int I = 1; I < Argc; ++I) Arguments << QString::fromLocal8Bit(Argv[I]);
  return Arguments;
}

bool ParseOrComplain(const QStringList& Arguments, TDorvaneOptions& Options) {
  try {
    Options = ParseDorvaneArguments(Arguments);
    return true;
  } catch (const ECommandLineError& Error) {
    std::cerr << "dorvane: " << Error.what() << "\n\n" << DorvaneUsage().toStdString();
    return false;
  }
}

}  // namespace

int RunDorvane(int Argc, char** Argv) {
  // A first reading before Qt starts, with Qt's options set aside, so that help, the version and
  // usage errors need no screen and the modes without one can choose the offscreen platform.
  TDorvaneOptions Options;
  if (!ParseOrComplain(WithoutQtOptions(ArgumentList(Argc, Argv)), Options)) return 2;
  if (Options.Version) {
    std::cout << "dorvane " << QUORVEL_VERSION_STRING << " (Quorvel library " << Quorvel::VersionString() << ")\n";
    return 0;
  }
  if (Options.Help) {
    std::cout << DorvaneUsage().toStdString();
    return 0;
  }
  if (Options.ScreenshotDirectory || Options.Demo) qputenv("QT_QPA_PLATFORM", "offscreen");
  EnsureRuntimeDirectory();
  PreviousMessageHandler = qInstallMessageHandler(FilterPlatformMessages);
  // Qt takes its own options out of Argc and Argv; what it leaves is ours, read again.
  TDorvaneApplication App(Argc, Argv);
  if (!ParseOrComplain(ArgumentList(Argc, Argv), Options)) return 2;

  TQtMessagePump Pump;
  InstallExceptionDisplay();
  if (Options.ScreenshotDirectory || Options.Demo) {
    // Nobody could close a box here: say it on standard error instead.
    SetMessageBoxHook([](const QString& Title, const QString& Text, QMessageBox::Icon) {
      std::cerr << Title.toStdString() << ": " << Text.toStdString() << std::endl;
    });
  }

  int Result = 0;
  {
    std::unique_ptr<TForm1> Form;
    try {
      Form = std::make_unique<TForm1>(Options.Port);
    } catch (...) {
      Quorvel::Application::HandleException(std::current_exception());
      return 1;
    }
    if (Options.ScreenshotDirectory) {
      Result = SaveScreenshots(*Form, *Options.ScreenshotDirectory) ? 0 : 1;
      if (Result == 0) std::cout << "Wrote main-window.png, traffic-monitor.png, settings-dialog.png and scan-dialog.png to "
                                 << Options.ScreenshotDirectory->toStdString() << std::endl;
    } else {
      Form->show();
      if (Options.Demo) RunDemo(*Form);
      Result = App.exec();
    }
    // The window's connection closes here, while the application and its displays still exist.
  }
  Quorvel::Application::SetExceptionDisplay(nullptr);
  SetMessageBoxHook(nullptr);
  return Result;
}
