// Cost of one display refresh as the main window causes it per keystroke: a changed Line1Txt
// builds the columns, composes the picture and paints it synchronously inside the setter.

#include "LCD.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWindow>

#include <benchmark/benchmark.h>

namespace {

class CountingLCD : public TLCD {
 public:
  using TLCD::TLCD;
  std::int64_t Paints = 0;

 protected:
  void paintEvent(QPaintEvent* Event) override {
    ++Paints;
    TLCD::paintEvent(Event);
  }
};

bool ShowExposed(QWidget& Widget) {
  Widget.show();
  QElapsedTimer timer;
  timer.start();
  while (!(Widget.windowHandle() && Widget.windowHandle()->isExposed()) && timer.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  QCoreApplication::processEvents();
  return Widget.windowHandle() && Widget.windowHandle()->isExposed();
}

void BM_Line1TxtChange(benchmark::State& State) {
  QWidget host;
  auto* lcd = new CountingLCD(&host);
  lcd->SetCols(static_cast<int>(State.range(0)));
  lcd->SetTamDOT(static_cast<int>(State.range(1)));
  lcd->SetPixelOn(0xFFFF00);
  lcd->SetPixelOff(4210688);
  if (!ShowExposed(host)) {
    State.SkipWithError("the window was never exposed, so nothing would be painted");
    return;
  }
  // The main window's refresh alternates between blanks and the edit's text.
  const QByteArray texts[2] = {QByteArray(lcd->Cols(), ' '),
                               QByteArray("      T18 V6.0 www.quorvel.example").left(lcd->Cols())};
  lcd->Paints = 0;
  std::size_t next = 0;
  for (auto _ : State) {
    lcd->SetLine1Txt(texts[next]);
    next ^= 1u;
  }
  if (lcd->Paints != State.iterations()) {
    State.SkipWithError("a text change did not paint synchronously");
  }
  State.counters["pixels"] = lcd->width() * lcd->height();
}

BENCHMARK(BM_Line1TxtChange)
    ->ArgNames({"Cols", "TamDOT"})
    ->Args({20, 2})
    ->Args({40, 6})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  benchmark::Initialize(&argc, argv);
  QApplication app(argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
