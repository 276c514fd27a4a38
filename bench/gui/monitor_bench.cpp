// The traffic monitor under a line at 115200 bit/s going flat out: is the window still responsive,
// what does each frame cost, and does its memory stay bounded over an hour of traffic.
//
//   bench_monitor_bench [SECONDS]
//
// The frames are what the utility's busiest use puts on the line: the display-line request (31
// bytes) and its reply (8 bytes), back to back, with nothing between them, so 11520 bytes a second
// carry 295 exchanges, 590 frames. They reach the monitor as the connection delivers them, through
// its frame events on the main thread.
//
// 1. Real time (SECONDS, default 10): the frames of each 10 ms are delivered every 10 ms, while a
//    probe timer due every 5 ms measures how late the event loop serves it (what a click would wait).
// 2. An hour of frames (2.1 million) delivered as fast as the monitor takes them, in batches as
//    the event loop would give them: the cost per frame (CPU), and the resident memory before and
//    after.

#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <Quorvel/Checksums.h>
#include <Quorvel/Connection.h>
#include "TrafficMonitor.h"

using namespace Quorvel;

namespace {

constexpr int FramesPerSecond = 590;

TFrameData WithCrc(TFrameData Frame) {
  const Word Crc = CRC16(Frame);
  Frame.push_back(static_cast<Byte>(Crc & 0xFF));
  Frame.push_back(static_cast<Byte>(Crc >> 8));
  return Frame;
}

TFrameData Request() {
  TFrameData Frame{0x01, 0x10, 0x01, 0xBB, 0x00, 0x0B, 0x16, 0x00, 0x03};
  Frame.insert(Frame.end(), 20, 0x41);
  return WithCrc(Frame);
}

const TFrameData RequestFrame = Request();
const TFrameData ReplyFrame = WithCrc({0x01, 0x10, 0x01, 0xBB, 0x00, 0x0B});

// Frame N of the stream: requests and replies in turn.
void Deliver(TModbusConnection& Connection, long long N) {
  if (N % 2 == 0)
    Connection.OnFrameSend()(Connection, RequestFrame);
  else
    Connection.OnFrameReceive()(Connection, ReplyFrame);
}

double CpuSeconds() {
  timespec Now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Now);
  return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) / 1e9;
}

long ResidentKiB() {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line))
    if (Line.rfind("VmRSS:", 0) == 0) return std::atol(Line.c_str() + 6);
  return -1;
}

double Percentile(std::vector<double> Values, double P) {
  if (Values.empty()) return 0;
  std::sort(Values.begin(), Values.end());
  return Values[static_cast<std::size_t>(P * static_cast<double>(Values.size() - 1))];
}

void RealTime(TModbusConnection& Connection, TTrafficMonitor& Monitor, int Seconds) {
  std::vector<double> Lateness;
  long long Delivered = 0;
  QElapsedTimer Clock;
  Clock.start();
  const double CpuStart = CpuSeconds();

  QTimer Line;
  Line.setTimerType(Qt::PreciseTimer);
  QObject::connect(&Line, &QTimer::timeout, [&] {
    // Every frame due by now: the line does not wait for the window.
    const long long Due = Clock.elapsed() * FramesPerSecond / 1000;
    while (Delivered < Due) Deliver(Connection, Delivered++);
  });
  Line.start(10);

  QTimer Probe;
  Probe.setTimerType(Qt::PreciseTimer);
  qint64 Expected = 5;
  QObject::connect(&Probe, &QTimer::timeout, [&] {
    const qint64 Now = Clock.elapsed();
    Lateness.push_back(static_cast<double>(std::max<qint64>(0, Now - Expected)));
    Expected = Now + 5;
  });
  Probe.start(5);

  // A loop of its own: quitting the application would close the monitor too.
  QEventLoop Loop;
  QTimer::singleShot(Seconds * 1000, &Loop, &QEventLoop::quit);
  Loop.exec();
  Line.stop();
  Probe.stop();
  const double Cpu = CpuSeconds() - CpuStart;
  std::printf("real time, %d s at %d frames/s: %lld frames, %d lines shown\n", Seconds, FramesPerSecond, Delivered,
              Monitor.LineCount());
  std::printf("  event-loop lateness of a 5 ms timer: median %.1f ms, 99th percentile %.1f ms, max %.1f ms\n",
              Percentile(Lateness, 0.5), Percentile(Lateness, 0.99), Percentile(Lateness, 1.0));
  std::printf("  CPU: %.1f %% of one core (the whole process: monitor, painting, timers)\n",
              100.0 * Cpu / static_cast<double>(Seconds));
}

void AnHour(TModbusConnection& Connection, TTrafficMonitor& Monitor) {
  constexpr long long Frames = 3600LL * FramesPerSecond;
  constexpr long long PerBatch = FramesPerSecond / 10;  // what one flush interval collects
  const long Before = ResidentKiB();
  const double CpuStart = CpuSeconds();
  long Peak = Before;
  for (long long N = 0; N < Frames;) {
    for (long long I = 0; I < PerBatch && N < Frames; ++I) Deliver(Connection, N++);
    Monitor.Flush();
    if (N % (PerBatch * 1000) == 0) {
      QCoreApplication::processEvents();
      Peak = std::max(Peak, ResidentKiB());
    }
  }
  QCoreApplication::processEvents();
  const double Cpu = CpuSeconds() - CpuStart;
  const long After = ResidentKiB();
  std::printf("an hour of frames, %lld, in batches of %lld: %.2f us CPU a frame (%.1f s in all)\n", Frames, PerBatch,
              1e6 * Cpu / static_cast<double>(Frames), Cpu);
  std::printf("  resident memory: %ld KiB before, %ld KiB peak, %ld KiB after; %d lines kept\n", Before, Peak, After,
              Monitor.LineCount());
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const int Seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  int QtArgc = 1;
  QApplication App(QtArgc, argv);
  TModbusConnection Connection;
  TTrafficMonitor Monitor(Connection);
  Monitor.show();
  QCoreApplication::processEvents();
  RealTime(Connection, Monitor, Seconds);
  AnHour(Connection, Monitor);
  return 0;
}
