#pragma once
// Waits for a port that has gone (a USB adapter pulled out) to come back: once a second, and only
// while it waits, it asks whether one of the port's names leads to a device again, and offers each
// such name to its handler, which reopens the connection through it.

#include <QObject>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

class TPortWatch : public QObject {
  Q_OBJECT

 public:
  static constexpr int CheckIntervalMs = 1000;

  // Reopens through Name; true when the port is open again, which ends the watch.
  using TBackHandler = std::function<bool(const std::string& Name)>;

  explicit TPortWatch(TBackHandler OnBack, QObject* Parent = nullptr);

  // Starts waiting for Names, in the order given (the connection's own port name first, then the
  // stable names that led to the same device).
  void Start(std::vector<std::string> Names);
  void Stop();
  bool Watching() const { return FTimer.isActive(); }
  // One look, as the timer does it.
  void Check();

 private:
  TBackHandler FOnBack;
  std::vector<std::string> FNames;
  QTimer FTimer;
};
