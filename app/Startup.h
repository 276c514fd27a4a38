#pragma once
// The program entry's work: the command line, the application and its services, the main window,
// and the two modes that need no screen (screenshots, a scripted demonstration).

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>
#include <string>

class QWidget;
class TForm1;

struct TDorvaneOptions {
  // Replaces the stored connection's port before it first opens.
  std::optional<std::string> Port;
  // Writes the main window, the traffic monitor, the settings dialog and the scan dialog as PNG
  // files there, then ends.
  std::optional<QString> ScreenshotDirectory;
  // Types a line into each edit, presses both send buttons, and ends.
  bool Demo = false;
  bool Help = false;
  bool Version = false;
};

class ECommandLineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Arguments without the program name, after Qt has taken its own. Raises ECommandLineError with
// a message for the user.
TDorvaneOptions ParseDorvaneArguments(const QStringList& Arguments);

// Arguments without Qt's own options ("-style fusion", "-platform offscreen", "-reverse", ...),
// as Qt takes them out when it starts. Lets the program answer --help and usage errors before Qt
// starts, and so without a screen.
QStringList WithoutQtOptions(const QStringList& Arguments);

QString DorvaneUsage();

// Shows Widget and waits until the window system has it on screen (offscreen too).
bool ShowAndWaitExposed(QWidget& Widget, int TimeoutMs = 5000);

// Writes DIR/main-window.png, DIR/traffic-monitor.png and DIR/settings-dialog.png, after sending
// both lines when the connection is open; false when a file cannot be written.
// DIR/scan-dialog.png too, after a scan when the connection is open.
bool SaveScreenshots(TForm1& Form, const QString& Directory);
bool SaveScanScreenshot(TForm1& Form, const QString& Directory);

// The whole program.
int RunDorvane(int Argc, char** Argv);
