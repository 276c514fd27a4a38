#pragma once
// The traffic monitor: every frame that a connection sends and receives, as it happens, with its
// time, direction, bytes and what it is, and the connection's line statistics.
//
// It costs the connection nothing while it is hidden: only a shown monitor holds the frame events
// (and hands each frame on to a handler that was there before it). Frames are collected as they
// come and shown in batches, a few times a second, so that a busy line cannot flood the window;
// the list keeps the newest MaxLines lines.

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <deque>

#include <Quorvel/Connection.h>
#include <Quorvel/Types.h>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TTrafficMonitor : public QWidget {
  Q_OBJECT

 public:
  static constexpr int MaxLines = 5000;
  static constexpr int FlushIntervalMs = 100;

  // A window of its own, shown by the caller. Connection must outlive it.
  explicit TTrafficMonitor(Quorvel::TModbusConnection& Connection, QWidget* Parent = nullptr);
  ~TTrafficMonitor() override;

  // Widgets, found by their objectName too.
  QPushButton* PauseButton = nullptr;
  QPushButton* ClearButton = nullptr;
  QPushButton* CopyButton = nullptr;
  QPushButton* SaveButton = nullptr;
  QPlainTextEdit* Log = nullptr;
  QLabel* Statistics = nullptr;
  QLabel* Info = nullptr;

  // A line of the window's own between the frames ("porta perdida"), in its place in time.
  void Note(const QString& Text);
  // Shows what has been collected now rather than at the next batch.
  void Flush();
  // The lines shown, one per line.
  QString Text() const;
  int LineCount() const;
  // Writes the lines shown to Path as UTF-8 text; false, with the reason in Info, when it cannot.
  bool SaveTo(const QString& Path);

  // Handlers of the buttons.
  void PauseButtonClick();
  void ClearButtonClick();
  void CopyButtonClick();
  void SaveButtonClick();

 protected:
  void showEvent(QShowEvent* Event) override;
  void hideEvent(QHideEvent* Event) override;

 private:
  struct TPending {
    int TimeOfDayMs;  // local time, milliseconds since midnight
    bool Sent;
    bool IsNote;
    Quorvel::TFrameData Data;
    QString Note;
  };

  void CreateControls();
  void Attach();
  void Detach();
  void Take(bool Sent, const Quorvel::TFrameData& Data);
  void Queue(TPending Pending);
  QString LineOf(const TPending& Pending);
  void ShowStatistics();

  Quorvel::TModbusConnection& FConnection;
  bool FAttached = false;
  Quorvel::TModbusConnection::TFrameDataEvent FPreviousSend, FPreviousReceive;
  std::deque<TPending> FPending;
  Quorvel::TFrameData FLastRequest;
  bool FPaused = false;
  qint64 FSkipped = 0;
  QTimer FFlushTimer;
};
