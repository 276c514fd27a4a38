// The main window's packing of a display line and its single-byte text, without any widget, and
// the program's command line.

#include <iconv.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DisplayLine.h"
#include "Startup.h"

namespace {

using Quorvel::TRegValues;
using Quorvel::Word;

TRegValues Blanks(Word Selector) { return TRegValues{Selector, 0x2020, 0x2020, 0x2020, 0x2020, 0x2020,
                                                     0x2020, 0x2020, 0x2020, 0x2020, 0x2020}; }

TRegValues Pack(Word Selector, const QString& Text) {
  const QByteArray Bytes = ToWindows1252(Text);
  return PackDisplayLine(Selector, std::string_view(Bytes.constData(), static_cast<std::size_t>(Bytes.size())));
}

TEST(DisplayLinePacking, TwoCharactersPerRegisterAfterTheSelector) {
  struct TCase {
    const char* Name;
    Word Selector;
    QString Text;
    TRegValues Expected;
  };
  TRegValues Nineteen = Blanks(3), Twenty = Blanks(3), Accented = Blanks(3), Worked = Blanks(4);
  for (int K = 1; K <= 10; ++K) {
    const Word High = static_cast<Word>('A' + 2 * K - 2), Low = static_cast<Word>('A' + 2 * K - 1);
    Twenty[K] = static_cast<Word>(High << 8 | Low);
    Nineteen[K] = K < 10 ? Twenty[K] : static_cast<Word>(High << 8 | ' ');
  }
  Accented[1] = 0xC741;  // the cedilla's Windows-1252 code, unsigned, in the high byte
  Accented[2] = 0xC3E3;
  Worked[1] = 0x4142;
  const QString Letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXY");
  const TCase Cases[] = {
      {"empty line: 20 blanks", 3, QString(), Blanks(3)},
      {"19 characters: one blank in the low byte of 453", 3, Letters.left(19), Nineteen},
      {"20 characters: unchanged", 3, Letters.left(20), Twenty},
      {"25 characters: the first 20 only", 3, Letters, Twenty},
      {"accented letters as single bytes", 3, QStringLiteral("ÇAÃã"), Accented},
      {"line 2 \"AB\": 4, 4142h, nine times 2020h", 4, QStringLiteral("AB"), Worked},
  };
  for (const TCase& Case : Cases) {
    EXPECT_EQ(Pack(Case.Selector, Case.Text), Case.Expected) << Case.Name;
  }
}

// What a read of the block gives back is what the send packed: the selector left out, the 20
// characters (blank-filled) in order; a short reply reads as blanks where it ends.
TEST(DisplayLinePacking, UnpackingAReadGivesTheCharactersBack) {
  EXPECT_EQ(UnpackDisplayLine(Pack(4, QStringLiteral("AB"))), "AB                  ");
  EXPECT_EQ(UnpackDisplayLine(Pack(3, QStringLiteral("Ação: 20 caracteres!!"))), "A\xE7\xE3o: 20 caracteres!");
  EXPECT_EQ(UnpackDisplayLine({3, 0x4142}), "AB                  ");
}

TEST(DisplayLineText, EachCharacterIsOneByteAndAMissingOneIsAQuestionMark) {
  EXPECT_EQ(ToWindows1252(QStringLiteral("ATENÇÃO €")), QByteArray("ATEN\xC7\xC3O \x80"));
  // A character beyond the basic plane is one character, so one "?".
  EXPECT_EQ(ToWindows1252(QStringLiteral("ā\U0001F600b")), QByteArray("??b"));
}

// The system's converter as the reference: every code it assigns must come back from the
// character it names, and the codes it leaves unassigned must not be produced.
TEST(DisplayLineText, AgreesWithTheSystemsWindows1252Table) {
  const iconv_t Converter = ::iconv_open("UTF-32LE", "WINDOWS-1252");
  ASSERT_NE(Converter, reinterpret_cast<iconv_t>(-1));
  int Assigned = 0;
  for (int Code = 0; Code < 256; ++Code) {
    char In = static_cast<char>(Code);
    char32_t Out = 0;
    char* InPtr = &In;
    char* OutPtr = reinterpret_cast<char*>(&Out);
    std::size_t InLeft = 1, OutLeft = sizeof Out;
    if (::iconv(Converter, &InPtr, &InLeft, &OutPtr, &OutLeft) == static_cast<std::size_t>(-1)) {
      ::iconv(Converter, nullptr, nullptr, nullptr, nullptr);
      EXPECT_EQ(ToWindows1252(QString(QChar(Code))), QByteArray("?")) << "unassigned code " << Code;
      EXPECT_EQ(FromWindows1252(std::string(1, static_cast<char>(Code))), QStringLiteral("?")) << "unassigned code " << Code;
      continue;
    }
    ++Assigned;
    const QString Character = QString::fromUcs4(&Out, 1);
    EXPECT_EQ(ToWindows1252(Character), QByteArray(1, static_cast<char>(Code))) << "code " << Code;
    EXPECT_EQ(FromWindows1252(std::string(1, static_cast<char>(Code))), Character) << "code " << Code;
  }
  ::iconv_close(Converter);
  EXPECT_EQ(Assigned, 251);
}

TEST(DorvaneCommandLine, TakesThePortAndTheModesWithoutAScreen) {
  const auto Parse = [](QStringList Arguments) { return ParseDorvaneArguments(Arguments); };
  EXPECT_FALSE(Parse({}).Port.has_value());
  EXPECT_EQ(Parse({"--port", "/dev/ttyUSB0"}).Port, "/dev/ttyUSB0");
  EXPECT_EQ(Parse({"--port=COM3"}).Port, "COM3");
  EXPECT_EQ(Parse({"--screenshot", "docs"}).ScreenshotDirectory, QStringLiteral("docs"));
  EXPECT_TRUE(Parse({"--demo", "--port", "x"}).Demo);
  EXPECT_TRUE(Parse({"-h"}).Help);

  const QStringList Refused[] = {{"--port"}, {"--port="}, {"--bogus"}, {"/dev/ttyS0"}, {"--demo=yes"},
                                 {"--demo", "--screenshot", "docs"}, {"-platform", "xcb"}};
  for (const QStringList& Arguments : Refused) {
    EXPECT_THROW(Parse(Arguments), ECommandLineError) << Arguments.join(' ').toStdString();
  }
}

TEST(DorvaneCommandLine, QtsOwnOptionsAreSetAsideForQt) {
  const std::pair<QStringList, QStringList> Rows[] = {
      {{"-style", "fusion", "--port", "x"}, {"--port", "x"}},
      {{"-platform", "offscreen", "--demo", "-reverse"}, {"--demo"}},
      {{"--platform", "offscreen", "-style=fusion", "-qmljsdebugger=port:1234"}, {}},
      {{"--port", "-style"}, {"--port", "-style"}},  // no value left for it: not Qt's
      {{"-bogus", "--bogus"}, {"-bogus", "--bogus"}},
      {{"-style=", "--demo"}, {"-style=", "--demo"}},
  };
  for (const auto& [Arguments, Ours] : Rows) {
    EXPECT_EQ(WithoutQtOptions(Arguments), Ours) << Arguments.join(' ').toStdString();
  }
}

#ifdef DORVANE_PROGRAM

// The program as a technician starts it; without a screen unless Qt is told to run offscreen.
struct TRun {
  int Status;
  QString Output;
  QString Errors;
};

TRun RunDorvaneProgram(const QStringList& Arguments, bool WithScreen) {
  QProcess Program;
  QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
  for (const char* Name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) Environment.remove(QString::fromLatin1(Name));
  if (WithScreen) Environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  Program.setProcessEnvironment(Environment);
  Program.start(QStringLiteral(DORVANE_PROGRAM), Arguments);
  const bool Finished = Program.waitForFinished(30000);
  if (!Finished) Program.kill();
  return {Finished ? Program.exitCode() : -1, QString::fromUtf8(Program.readAllStandardOutput()),
          QString::fromUtf8(Program.readAllStandardError())};
}

TEST(DorvaneProgram, QtTakesItsOptionsFirstAndOursFollow) {
  QTemporaryDir Directory;
  ASSERT_TRUE(Directory.isValid());
  const TRun Shots = RunDorvaneProgram({"-style", "fusion", "-platform", "offscreen", "--port", "/nonexistent/ttyX",
                                        "--screenshot", Directory.path()},
                                       false);
  EXPECT_EQ(Shots.Status, 0) << Shots.Errors.toStdString();
  EXPECT_TRUE(QFile::exists(Directory.filePath(QStringLiteral("main-window.png"))));

  // Help and usage errors need no screen, Qt's options or not.
  const TRun Help = RunDorvaneProgram({"-style", "fusion", "--help"}, false);
  EXPECT_EQ(Help.Status, 0);
  EXPECT_TRUE(Help.Output.startsWith(QStringLiteral("Usage: dorvane"))) << Help.Output.toStdString();
  for (const bool WithScreen : {false, true}) {
    const TRun Unknown = RunDorvaneProgram({"-platform", "offscreen", "--bogus", "-style", "fusion"}, WithScreen);
    EXPECT_EQ(Unknown.Status, 2) << WithScreen;
    EXPECT_TRUE(Unknown.Errors.contains(QStringLiteral("unknown argument '--bogus'"))) << Unknown.Errors.toStdString();
    EXPECT_TRUE(Unknown.Errors.contains(QStringLiteral("Usage: dorvane"))) << Unknown.Errors.toStdString();
  }
}

#endif

}  // namespace
