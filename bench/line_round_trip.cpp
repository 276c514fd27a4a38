// The display-line round trip of our client on a serial port that something else answers: the
// utility's one job, WriteMultipleRegisters(443, 11 values) to server address 1, from the call
// until the client's OnMultipleRegistersWrite event. A plain program (no Google Benchmark), so that
// the same source runs as a Linux program and, built by the mingw preset, as a Windows program
// under Wine; bench/wine_vs_linux.sh runs both against the simulated device on one paced line.
//
//   bench_line_round_trip PORT [ROUND-TRIPS]
//
// Prints each statistic on a line of its own; "median_ms" is the figure to compare.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <Quorvel/Client.h>
#include <Quorvel/Connection.h>
#include <Quorvel/Messages.h>

using namespace Quorvel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr Word FirstRegister = 443;
// Selector 3 and "Quorvel" padded with blanks to 20 characters, two to a register.
const TRegValues Line1 = {3, 0x5175, 0x6F72, 0x7665, 0x6C20, 0x2020, 0x2020, 0x2020, 0x2020, 0x2020, 0x2020};

double Percentile(std::vector<double> Values, double Fraction) {
  std::sort(Values.begin(), Values.end());
  const auto Index = static_cast<std::size_t>(Fraction * static_cast<double>(Values.size() - 1) + 0.5);
  return Values[Index];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT [ROUND-TRIPS]\n", argv[0]);
    return 2;
  }
  const int Count = argc > 2 ? std::atoi(argv[2]) : 200;
  TModbusConnection Connection;
  TModbusClient Client;
  Connection.SetPort(argv[1]);
  Connection.SetParity(psNone);
  Client.SetConnection(&Connection);
  bool Done = false;
  TReplyStatus Status = rsNoReply;
  Clock::time_point Answered;
  Client.SetOnMultipleRegistersWrite([&](TModbusClient&, const TTransactionInfo& Info, Word, Word, const TRegValues&) {
    Answered = Clock::now();
    Status = Info.ReplyStatus;
    Done = true;
  });
  try {
    Connection.Open();
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "%s: %s\n", argv[1], Error.what());
    return 1;
  }

  std::vector<double> Times;
  int Failed = 0;
  for (int I = 0; I < Count + 5; ++I) {
    Done = false;
    const auto Start = Clock::now();
    Client.WriteMultipleRegisters(FirstRegister, Line1);
    if (!MainThread::ProcessMessagesUntil([&] { return Done; }, 5000) || Status != rsSuccess) {
      ++Failed;
      continue;
    }
    // The first few warm the line and the caches up.
    if (I >= 5) Times.push_back(std::chrono::duration<double, std::milli>(Answered - Start).count());
  }
  Connection.Close();
  if (Times.empty()) {
    std::fprintf(stderr, "no round trip succeeded\n");
    return 1;
  }
  std::printf("round_trips %zu\nfailed %d\nmedian_ms %.3f\np10_ms %.3f\np90_ms %.3f\n", Times.size(), Failed,
              Percentile(Times, 0.5), Percentile(Times, 0.1), Percentile(Times, 0.9));
  return Failed == 0 ? 0 : 1;
}
