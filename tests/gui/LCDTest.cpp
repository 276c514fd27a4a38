#include "LCD.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPalette>
#include <QWindow>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

constexpr TLCD::TColor Aqua = 0xFFFF00;
constexpr TLCD::TColor DarkCyan = 4210688;  // 404000h
const QRgb AquaRgb = qRgb(0, 255, 255);
const QRgb DarkCyanRgb = qRgb(0, 64, 64);
const QRgb BlackRgb = qRgb(0, 0, 0);

using TBytes = std::vector<std::uint8_t>;

TBytes Cell(const TLCD::TColumns& Columns, int Index) {
  const auto first = Columns.begin() + Index * TLCD::ColumnsPerCell;
  return TBytes(first, first + TLCD::ColumnsPerCell);
}

// A 20-cell display with dot size 2, coloured as the main window stores it.
void MakeLikeMainWindow(TLCD& Lcd) {
  Lcd.SetCols(20);
  Lcd.SetTamDOT(2);
  Lcd.SetBackGround(0);
  Lcd.SetPixelOn(Aqua);
  Lcd.SetPixelOff(DarkCyan);
}

void ShowExposed(QWidget& Widget) {
  Widget.show();
  QElapsedTimer timer;
  timer.start();
  while (!(Widget.windowHandle() && Widget.windowHandle()->isExposed()) && timer.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  QCoreApplication::processEvents();
  ASSERT_TRUE(Widget.windowHandle() && Widget.windowHandle()->isExposed());
}

QImage Grabbed(TLCD& Lcd) {
  return Lcd.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Reads the dot columns back from a picture, checking the geometry on the way: every dot a
// uniform t-by-t square in PixelOn or PixelOff, every spacing column, gap and margin background.
testing::AssertionResult ReadDots(const QImage& Image, int Cols, int T, TLCD::TColumns& Columns) {
  if (Image.size() != TLCD::SizeFor(Cols, T)) {
    return testing::AssertionFailure() << "picture is " << Image.width() << "x" << Image.height();
  }
  std::vector<bool> inDot(static_cast<std::size_t>(Image.width() * Image.height()), false);
  Columns = {};
  for (int c = 1; c <= Cols * TLCD::ColumnsPerCell; ++c) {
    for (int r = 0; r < TLCD::RowCount; ++r) {
      const int left = (T + 1) * c + 1;
      const int top = (T + 1) * r + 1;
      const QRgb colour = Image.pixel(left, top);
      for (int y = top; y < top + T; ++y) {
        for (int x = left; x < left + T; ++x) {
          inDot[static_cast<std::size_t>(y * Image.width() + x)] = true;
          if (Image.pixel(x, y) != colour) {
            return testing::AssertionFailure() << "dot " << c << "," << r << " is not uniform";
          }
        }
      }
      const bool spacing = c % TLCD::ColumnsPerCell == 0;
      if (spacing ? colour != BlackRgb : colour != AquaRgb && colour != DarkCyanRgb) {
        return testing::AssertionFailure() << "dot " << c << "," << r << " has colour " << std::hex << colour;
      }
      if (colour == AquaRgb) {
        Columns[static_cast<std::size_t>(c - 1)] |= static_cast<std::uint8_t>(1u << r);
      }
    }
  }
  for (int y = 0; y < Image.height(); ++y) {
    for (int x = 0; x < Image.width(); ++x) {
      if (!inDot[static_cast<std::size_t>(y * Image.width() + x)] && Image.pixel(x, y) != BlackRgb) {
        return testing::AssertionFailure() << "gap or margin pixel " << x << "," << y << " is not background";
      }
    }
  }
  return testing::AssertionSuccess();
}

bool AllPixels(const QImage& Image, QRgb Colour) {
  for (int y = 0; y < Image.height(); ++y) {
    for (int x = 0; x < Image.width(); ++x) {
      if (Image.pixel(x, y) != Colour) {
        return false;
      }
    }
  }
  return !Image.isNull();
}

class CountingLCD : public TLCD {
 public:
  using TLCD::TLCD;
  int Paints = 0;

 protected:
  void paintEvent(QPaintEvent* Event) override {
    ++Paints;
    TLCD::paintEvent(Event);
  }
};

}  // namespace

TEST(LCDColumns, EachCharacterTakesFiveGlyphColumnsAndOneEmpty) {
  const TLCD::TColumns columns = TLCD::BuildColumns("A(~");
  EXPECT_EQ(Cell(columns, 0), (TBytes{0x7E, 0x09, 0x09, 0x09, 0x7E, 0}));
  EXPECT_EQ(Cell(columns, 1), (TBytes{0x00, 0x7E, 0x81, 0x00, 0x00, 0}));  // row 7 reached
  EXPECT_EQ(Cell(columns, 2), (TBytes{0x00, 0x0E, 0x11, 0x11, 0x0E, 0}));  // the ring, not a tilde
  for (int cell = 3; cell < TLCD::MaxCols; ++cell) {
    EXPECT_EQ(Cell(columns, cell), TBytes(6, 0)) << "cell " << cell;
  }
  EXPECT_EQ(Cell(TLCD::BuildColumns(" !"), 1), (TBytes{0x00, 0x00, 0x5F, 0x00, 0x00, 0}));
  EXPECT_EQ(Cell(TLCD::BuildColumns("z"), 0), (TBytes{0x44, 0x64, 0x54, 0x4C, 0x44, 0}));
}

TEST(LCDColumns, BytesWithoutGlyphShowAHollowBox) {
  const TBytes box{0x7F, 0x41, 0x41, 0x41, 0x7F, 0};
  for (const unsigned code : {0x00u, 0x1Fu, 0x7Fu, 0x80u, 0xC7u, 0xFFu}) {
    const QByteArray text(1, static_cast<char>(code));
    EXPECT_EQ(Cell(TLCD::BuildColumns(text), 0), box) << std::hex << code;
  }
  EXPECT_EQ(Cell(TLCD::BuildColumns(" "), 0), TBytes(6, 0));
  // A byte with the top bit set must not count as a negative code and land on another glyph.
  const QByteArray accented("\xC7" "A", 2);
  EXPECT_EQ(Cell(TLCD::BuildColumns(accented), 1), (TBytes{0x7E, 0x09, 0x09, 0x09, 0x7E, 0}));
}

TEST(LCDWidget, DefaultsBeforeAnyPropertyIsSet) {
  TLCD lcd;
  EXPECT_TRUE(lcd.Line1Txt().isEmpty());
  EXPECT_EQ(lcd.Columns(), TLCD::TColumns{});
  EXPECT_EQ(lcd.size(), QSize(75, 17));  // 6 cells, dot size 1
  EXPECT_EQ(lcd.Picture().pixel(0, 0), qRgb(0, 0, 0));
  EXPECT_EQ(lcd.Picture().pixel(3, 1), qRgb(128, 128, 0));  // first dot, unlit olive
}

TEST(LCDWidget, SizeFollowsColsAndTamDOT) {
  struct TCase {
    int Cols, TamDOT, Width, Height;
  };
  for (const TCase& c : {TCase{20, 2, 364, 25}, TCase{40, 6, 1688, 57}, TCase{1, 1, 15, 17}}) {
    // Either setter alone must resize: try both orders.
    for (const bool colsFirst : {true, false}) {
      TLCD lcd;
      lcd.setGeometry(8, 44, 500, 500);  // a stored geometry cannot stretch it past its picture
      if (colsFirst) lcd.SetCols(c.Cols);
      lcd.SetTamDOT(c.TamDOT);
      if (!colsFirst) lcd.SetCols(c.Cols);
      EXPECT_EQ(lcd.size(), QSize(c.Width, c.Height)) << c.Cols << " cells, dot " << c.TamDOT;
      EXPECT_EQ(lcd.Picture().size(), lcd.size());
      EXPECT_EQ(lcd.pos(), QPoint(8, 44));
      lcd.resize(1000, 1000);
      EXPECT_EQ(lcd.size(), QSize(c.Width, c.Height));
    }
  }
}

TEST(LCDWidget, LetterAOnTwentyCellsAsPainted) {
  QWidget host;
  auto* lcd = new TLCD(&host);
  lcd->setObjectName("LCD1");
  MakeLikeMainWindow(*lcd);
  lcd->SetLine1Txt("A");
  ShowExposed(host);
  const QImage image = Grabbed(*lcd);
  EXPECT_EQ(image, lcd->Picture().convertToFormat(QImage::Format_RGB32));
  TLCD::TColumns shown;
  ASSERT_TRUE(ReadDots(image, 20, 2, shown));
  TLCD::TColumns expected{};
  for (const int c : {0, 4}) expected[static_cast<std::size_t>(c)] = 0x7E;
  for (const int c : {1, 2, 3}) expected[static_cast<std::size_t>(c)] = 0x09;
  EXPECT_EQ(shown, expected);
}

TEST(LCDWidget, LongTextShowsItsFirstColsCharactersAndShorterTextClearsTheRest) {
  TLCD lcd;
  MakeLikeMainWindow(lcd);
  const QByteArray text = "ABCDEFGHIJKLMNOPQRSTUVWXY";
  lcd.SetLine1Txt(text);
  EXPECT_EQ(lcd.Line1Txt(), text);
  TLCD::TColumns shown;
  ASSERT_TRUE(ReadDots(lcd.Picture(), 20, 2, shown));
  EXPECT_EQ(Cell(shown, 19), (TBytes{0x01, 0x01, 0x7F, 0x01, 0x01, 0}));  // T, the 20th
  EXPECT_EQ(shown, TLCD::BuildColumns(text.left(20)));

  lcd.SetLine1Txt("12345");
  ASSERT_TRUE(ReadDots(lcd.Picture(), 20, 2, shown));
  EXPECT_EQ(Cell(shown, 0), (TBytes{0x00, 0x42, 0x7F, 0x40, 0x00, 0}));
  for (int cell = 5; cell < 20; ++cell) {
    EXPECT_EQ(Cell(shown, cell), TBytes(6, 0)) << "cell " << cell + 1;
  }
}

TEST(LCDWidget, CharactersPastTheFortiethAreDroppedSafely) {
  TLCD lcd;
  lcd.SetCols(40);
  QByteArray text(TLCD::MaxCols - 1, 'A');
  text += 'T';
  for (int i = 0; i < 5000; ++i) text += static_cast<char>(i * 37);
  lcd.SetLine1Txt(text);
  EXPECT_EQ(lcd.Line1Txt().size(), text.size());
  EXPECT_EQ(Cell(lcd.Columns(), 0), (TBytes{0x7E, 0x09, 0x09, 0x09, 0x7E, 0}));
  EXPECT_EQ(Cell(lcd.Columns(), TLCD::MaxCols - 1), (TBytes{0x01, 0x01, 0x7F, 0x01, 0x01, 0}));
}

TEST(LCDWidget, DisabledShowsOnlyTheBackground) {
  QWidget host;
  auto* lcd = new TLCD(&host);
  MakeLikeMainWindow(*lcd);
  lcd->SetLine1Txt("Hello");
  ShowExposed(host);
  lcd->setEnabled(false);
  EXPECT_EQ(lcd->size(), QSize(364, 25));
  EXPECT_TRUE(AllPixels(Grabbed(*lcd), BlackRgb));

  lcd->setEnabled(true);
  TLCD::TColumns shown;
  ASSERT_TRUE(ReadDots(Grabbed(*lcd), 20, 2, shown));
  EXPECT_EQ(shown, TLCD::BuildColumns("Hello"));

  // Only the widget's own flag counts, not a disabled parent's.
  host.setEnabled(false);
  ASSERT_TRUE(ReadDots(Grabbed(*lcd), 20, 2, shown));
  EXPECT_EQ(shown, TLCD::BuildColumns("Hello"));
}

TEST(LCDWidget, HiddenShowsButtonFace) {
  QWidget host;
  auto* lcd = new TLCD(&host);
  MakeLikeMainWindow(*lcd);
  lcd->SetLine1Txt("Hi");
  ShowExposed(host);
  lcd->hide();
  EXPECT_TRUE(AllPixels(lcd->Picture(), QGuiApplication::palette().color(QPalette::Button).rgb()));
  EXPECT_EQ(lcd->Picture().size(), QSize(364, 25));

  lcd->show();
  TLCD::TColumns shown;
  ASSERT_TRUE(ReadDots(Grabbed(*lcd), 20, 2, shown));
  EXPECT_EQ(shown, TLCD::BuildColumns("Hi"));

  // A hidden parent leaves the display's own picture alone.
  host.hide();
  ASSERT_TRUE(ReadDots(lcd->Picture(), 20, 2, shown));
}

TEST(LCDSetters, RepaintAtOnceOnlyOnAcceptedValues) {
  QWidget host;
  auto* lcd = new CountingLCD(&host);
  MakeLikeMainWindow(*lcd);
  lcd->SetLine1Txt("same");
  ShowExposed(host);

  struct TCase {
    std::string Name;
    std::function<void()> Set;
    int Paints;
  };
  const std::vector<TCase> cases{
      {"same text", [&] { lcd->SetLine1Txt("same"); }, 0},
      {"new text", [&] { lcd->SetLine1Txt("other"); }, 1},
      {"same BackGround", [&] { lcd->SetBackGround(0); }, 0},
      {"same PixelOn", [&] { lcd->SetPixelOn(Aqua); }, 0},
      {"same PixelOff", [&] { lcd->SetPixelOff(DarkCyan); }, 0},
      {"same Cols", [&] { lcd->SetCols(20); }, 1},
      {"same TamDOT", [&] { lcd->SetTamDOT(2); }, 1},
      {"Cols 0", [&] { lcd->SetCols(0); }, 0},
      {"Cols 41", [&] { lcd->SetCols(41); }, 0},
      {"TamDOT 0", [&] { lcd->SetTamDOT(0); }, 0},
      {"TamDOT 7", [&] { lcd->SetTamDOT(7); }, 0},
      {"new PixelOn", [&] { lcd->SetPixelOn(0x0000FF); }, 1},
      {"new PixelOff", [&] { lcd->SetPixelOff(0x000080); }, 1},
      {"new BackGround", [&] { lcd->SetBackGround(0x404040); }, 1},
  };
  for (const TCase& c : cases) {
    QCoreApplication::processEvents();
    const QImage before = lcd->Picture();
    lcd->Paints = 0;
    c.Set();
    EXPECT_EQ(lcd->Paints, c.Paints) << c.Name;
    EXPECT_EQ(lcd->Cols(), 20) << c.Name;
    EXPECT_EQ(lcd->TamDOT(), 2) << c.Name;
    EXPECT_EQ(lcd->size(), QSize(364, 25)) << c.Name;
    if (c.Paints == 0) {
      EXPECT_EQ(lcd->Picture(), before) << c.Name;
    }
  }

  EXPECT_EQ(lcd->Picture().pixel(0, 0), qRgb(0x40, 0x40, 0x40));
}
