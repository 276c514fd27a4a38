#include "LCD.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>

#include <algorithm>

static_assert(TLCD::ColumnCount == 240);

TLCD::TLCD(QWidget* Parent) : QWidget(Parent) {
  // Every pixel comes from the picture, so Qt need not clear the background first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  // Sized and composed at once: Qt paints only in paintEvent, too late to size the widget there,
  // and a layout that reads the size before the first paint must get the right one.
  ApplySize();
  ComposePicture();
}

void TLCD::SetLine1Txt(const QByteArray& Value) {
  if (Value == FLine1Txt) {
    return;
  }
  FColumns = BuildColumns(Value);
  ComposePicture();
  repaint();
  FLine1Txt = Value;
}

// Deliberately no equality check, unlike the text and the colours: setting the current Cols or
// TamDOT again still redraws.
void TLCD::SetCols(int Value) {
  if (Value < MinCols || Value > MaxCols) {
    return;
  }
  FCols = Value;
  ApplySize();
  ComposePicture();
  repaint();
}

void TLCD::SetTamDOT(int Value) {
  if (Value < MinTamDOT || Value > MaxTamDOT) {
    return;
  }
  FTamDOT = Value;
  ApplySize();
  ComposePicture();
  repaint();
}

void TLCD::SetBackGround(TColor Value) {
  if (Value == FBackGround) {
    return;
  }
  FBackGround = Value;
  ComposePicture();
  repaint();
}

void TLCD::SetPixelOn(TColor Value) {
  if (Value == FPixelOn) {
    return;
  }
  FPixelOn = Value;
  ComposePicture();
  repaint();
}

void TLCD::SetPixelOff(TColor Value) {
  if (Value == FPixelOff) {
    return;
  }
  FPixelOff = Value;
  ComposePicture();
  repaint();
}

TLCD::TColumns TLCD::BuildColumns(const QByteArray& Text) {
  TColumns columns{};
  // The buffer holds exactly the widest display; characters past it could never be drawn.
  const qsizetype count = std::min<qsizetype>(Text.size(), MaxCols);
  for (qsizetype n = 0; n < count; ++n) {
    // Unsigned: a signed char would turn the code page's upper half into negative codes.
    const TGlyph& glyph = Glyph(static_cast<std::uint8_t>(Text[n]));
    const auto cell = static_cast<std::size_t>(n) * ColumnsPerCell;
    std::copy(glyph.begin(), glyph.end(), columns.begin() + static_cast<std::ptrdiff_t>(cell));
    // The sixth column of the cell stays 0.
  }
  return columns;
}

const TLCD::TGlyph& TLCD::Glyph(std::uint8_t Code) {
  if (Code < FirstCode || Code > LastCode) {
    return MissingGlyph;
  }
  return Font[Code - FirstCode];
}

QSize TLCD::SizeFor(int Cols, int TamDOT) {
  return {(ColumnsPerCell * Cols + 1) * (TamDOT + 1) + 1, RowCount * TamDOT + RowCount + 1};
}

QRgb TLCD::ToRgb(TColor Color) {
  return qRgb(static_cast<int>(Color & 0xFF), static_cast<int>((Color >> 8) & 0xFF),
              static_cast<int>((Color >> 16) & 0xFF));
}

void TLCD::setVisible(bool Visible) {
  QWidget::setVisible(Visible);
  ComposePicture();
}

void TLCD::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(0, 0, FPicture);
}

void TLCD::changeEvent(QEvent* Event) {
  if (Event->type() == QEvent::EnabledChange) {
    ComposePicture();
    update();
  }
  QWidget::changeEvent(Event);
}

void TLCD::ApplySize() {
  // Fixed, so that neither a layout nor a stored geometry can stretch the widget past its picture.
  setFixedSize(SizeFor(FCols, FTamDOT));
}

void TLCD::ComposePicture() {
  const QSize size = SizeFor(FCols, FTamDOT);
  if (FPicture.size() != size) {
    FPicture = QImage(size, QImage::Format_RGB32);
  }
  if (!OwnVisible()) {
    FPicture.fill(QGuiApplication::palette().color(QPalette::Button));
    return;
  }
  FPicture.fill(ToRgb(FBackGround));
  // A disabled display is the plain background, with no dots at all.
  if (OwnEnabled()) {
    DrawDots();
  }
}

void TLCD::DrawDots() {
  const int side = FTamDOT;
  // One pixel of background between neighbouring dots, in both directions.
  const int pitch = side + 1;
  const QRgb on = ToRgb(FPixelOn);
  const QRgb off = ToRgb(FPixelOff);
  // FCols is kept within 1..40 by its setter, so this never passes the 240 columns.
  const int lastColumn = FCols * ColumnsPerCell;
  for (int c = 1; c <= lastColumn; ++c) {
    // The spacing column of each cell is background, which the fill already painted.
    if (c % ColumnsPerCell == 0) {
      continue;
    }
    const unsigned bits = FColumns[static_cast<std::size_t>(c - 1)];
    const int left = pitch * c + 1;
    for (int r = 0; r < RowCount; ++r) {
      const QRgb colour = ((bits >> r) & 1u) != 0 ? on : off;
      const int top = pitch * r + 1;
      for (int y = top; y < top + side; ++y) {
        auto* line = reinterpret_cast<QRgb*>(FPicture.scanLine(y));
        std::fill(line + left, line + left + side, colour);
      }
    }
  }
}

// The widget's own flags decide, as with a control's Visible property: a display inside a hidden
// panel still holds its normal picture, ready for when the panel is shown. Qt marks every new
// widget hidden until it is first shown, so only an explicit hide counts.
bool TLCD::OwnVisible() const {
  return !(testAttribute(Qt::WA_WState_Hidden) && testAttribute(Qt::WA_WState_ExplicitShowHide));
}

// Likewise only this widget's own setEnabled(false), not a disabled ancestor.
bool TLCD::OwnEnabled() const {
  return !testAttribute(Qt::WA_ForceDisabled);
}
