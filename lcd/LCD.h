#pragma once
// TLCD: one line of text drawn the way a character LCD module shows it, as a row of
// 5-by-8 dot cells with its own fixed font. A passive widget: no input, no signals.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QWidget>

#include <array>
#include <cstdint>

class TLCD : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QByteArray Line1Txt READ Line1Txt WRITE SetLine1Txt)
  Q_PROPERTY(int Cols READ Cols WRITE SetCols)
  Q_PROPERTY(int TamDOT READ TamDOT WRITE SetTamDOT)
  Q_PROPERTY(uint BackGround READ BackGround WRITE SetBackGround)
  Q_PROPERTY(uint PixelOn READ PixelOn WRITE SetPixelOn)
  Q_PROPERTY(uint PixelOff READ PixelOff WRITE SetPixelOff)

 public:
  // A colour as the stored layouts give it, blue-green-red: red in bits 0..7, green in 8..15,
  // blue in 16..23 (4210688 = 404000h is red 0, green 64, blue 64). Bits 24..31 are ignored.
  using TColor = std::uint32_t;

  // One glyph: five dot columns, left to right; bit r of a column is dot row r, row 0 at the top.
  using TGlyph = std::array<std::uint8_t, 5>;

  static constexpr int MinCols = 1;
  static constexpr int MaxCols = 40;
  static constexpr int MinTamDOT = 1;
  static constexpr int MaxTamDOT = 6;
  static constexpr int RowCount = 8;
  // Five glyph columns and one spacing column per character cell.
  static constexpr int ColumnsPerCell = 6;
  static constexpr int ColumnCount = MaxCols * ColumnsPerCell;

  // Dot column c of the display (counted from 1, as in the layout of the picture) is element c - 1.
  // It holds the widest display's 40 cells, so every character past the 40th is dropped.
  using TColumns = std::array<std::uint8_t, ColumnCount>;

  // The font covers 20h..7Eh. Any other byte (control codes, 7Fh, the accented letters of the
  // code page) has no glyph here; the device's own character ROM decides what it shows for them,
  // so the preview marks such a cell with a hollow box rather than pretending to know.
  static constexpr std::uint8_t FirstCode = 0x20;
  static constexpr std::uint8_t LastCode = 0x7E;

  explicit TLCD(QWidget* Parent = nullptr);

  // The text is single-byte text (Windows-1252 from the main window), taken as bytes.
  const QByteArray& Line1Txt() const { return FLine1Txt; }
  void SetLine1Txt(const QByteArray& Value);

  int Cols() const { return FCols; }
  void SetCols(int Value);

  int TamDOT() const { return FTamDOT; }
  void SetTamDOT(int Value);

  TColor BackGround() const { return FBackGround; }
  void SetBackGround(TColor Value);

  TColor PixelOn() const { return FPixelOn; }
  void SetPixelOn(TColor Value);

  TColor PixelOff() const { return FPixelOff; }
  void SetPixelOff(TColor Value);

  // The dot pattern of the current text.
  const TColumns& Columns() const { return FColumns; }
  // The composed picture, exactly what paintEvent copies onto the widget.
  const QImage& Picture() const { return FPicture; }

  // Pure: the columns of a text, without any widget. Bytes past the 40th are not built;
  // the columns of cells past the text stay 0 (unlit).
  static TColumns BuildColumns(const QByteArray& Text);
  // The glyph of a byte; the hollow box for a byte the font does not cover.
  static const TGlyph& Glyph(std::uint8_t Code);
  // (6n + 1)(t + 1) + 1 by 8t + 9: side margins of t + 2 pixels, top and bottom margins of 1.
  static QSize SizeFor(int Cols, int TamDOT);
  static QRgb ToRgb(TColor Color);

  void setVisible(bool Visible) override;

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void changeEvent(QEvent* Event) override;

 private:
  void ApplySize();
  void ComposePicture();
  void DrawDots();
  bool OwnVisible() const;
  bool OwnEnabled() const;

  static const std::array<TGlyph, LastCode - FirstCode + 1> Font;
  static const TGlyph MissingGlyph;

  TColumns FColumns{};
  QByteArray FLine1Txt;
  int FCols = 6;
  int FTamDOT = 1;
  TColor FBackGround = 0x000000;  // black
  TColor FPixelOn = 0x00FFFF;     // yellow
  TColor FPixelOff = 0x008080;    // olive
  QImage FPicture;
};
