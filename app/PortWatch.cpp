#include "PortWatch.h"

#include <Quorvel/SerialPorts.h>
#include "DorvaneApplication.h"

TPortWatch::TPortWatch(TBackHandler OnBack, QObject* Parent) : QObject(Parent), FOnBack(std::move(OnBack)) {
  FTimer.setInterval(CheckIntervalMs);
  connect(&FTimer, &QTimer::timeout, this, [this] { Guarded([this] { Check(); }); });
}

void TPortWatch::Start(std::vector<std::string> Names) {
  FNames = std::move(Names);
  FTimer.start();
}

void TPortWatch::Stop() {
  FTimer.stop();
  FNames.clear();
}

void TPortWatch::Check() {
  // A copy: a handler that succeeds stops the watch, which clears the list.
  const std::vector<std::string> Names = FNames;
  for (const std::string& Name : Names) {
    if (Quorvel::SerialPortPresent(Name) && FOnBack(Name)) {
      Stop();
      return;
    }
  }
}
