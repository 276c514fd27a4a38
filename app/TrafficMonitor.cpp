#include "TrafficMonitor.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QTime>
#include <QVBoxLayout>

#include <Quorvel/FrameDescription.h>
#include <Quorvel/LineStatistics.h>
#include "DorvaneApplication.h"
#include "WindowTexts.h"

using namespace Quorvel;

namespace {

QPushButton* MakeButton(QWidget* Parent, const char* Name, const QString& Caption) {
  auto* Button = new QPushButton(Caption, Parent);
  Button->setObjectName(QString::fromLatin1(Name));
  return Button;
}

constexpr int DescriptionWidth = 46;

QString TimeText(int TimeOfDayMs) {
  return QTime::fromMSecsSinceStartOfDay(TimeOfDayMs).toString(QStringLiteral("HH:mm:ss.zzz"));
}

QString StatisticsText(const TLineStatistics& S) {
  return QStringLiteral(
             "Enviados %1 · recebidos %2 · erros de CRC/LRC %3 · malformados %4 · outros endereços %5 · "
             "ecos %6 · sem resposta %7 · repetições %8 · exceções %9 · bytes descartados %10 · "
             "cópias não mostradas %11")
      .arg(S.FramesSent)
      .arg(S.FramesReceived)
      .arg(S.CheckFailures)
      .arg(S.MalformedFrames)
      .arg(S.OtherAddresses)
      .arg(S.Echoes)
      .arg(S.Timeouts)
      .arg(S.Retries)
      .arg(S.ExceptionReplies)
      .arg(S.BytesPurged)
      .arg(S.FrameCopiesDropped);
}

}  // namespace

TTrafficMonitor::TTrafficMonitor(TModbusConnection& Connection, QWidget* Parent)
    : QWidget(Parent, Qt::Window), FConnection(Connection) {
  CreateControls();
  FFlushTimer.setInterval(FlushIntervalMs);
  connect(&FFlushTimer, &QTimer::timeout, this, [this] { Guarded([this] { Flush(); }); });
  connect(PauseButton, &QPushButton::clicked, this, [this] { Guarded([this] { PauseButtonClick(); }); });
  connect(ClearButton, &QPushButton::clicked, this, [this] { Guarded([this] { ClearButtonClick(); }); });
  connect(CopyButton, &QPushButton::clicked, this, [this] { Guarded([this] { CopyButtonClick(); }); });
  connect(SaveButton, &QPushButton::clicked, this, [this] { Guarded([this] { SaveButtonClick(); }); });
}

TTrafficMonitor::~TTrafficMonitor() { Detach(); }

void TTrafficMonitor::CreateControls() {
  setObjectName(QStringLiteral("TrafficMonitor"));
  setWindowTitle(QStringLiteral("Monitor de tráfego"));
  resize(720, 420);

  PauseButton = MakeButton(this, "PauseButton", QStringLiteral("Pausar"));
  PauseButton->setCheckable(true);
  ClearButton = MakeButton(this, "ClearButton", QStringLiteral("Limpar"));
  CopyButton = MakeButton(this, "CopyButton", QStringLiteral("Copiar"));
  SaveButton = MakeButton(this, "SaveButton", QStringLiteral("Salvar como texto..."));
  Info = new QLabel(this);
  Info->setObjectName(QStringLiteral("Info"));

  Log = new QPlainTextEdit(this);
  Log->setObjectName(QStringLiteral("Log"));
  Log->setReadOnly(true);
  Log->setLineWrapMode(QPlainTextEdit::NoWrap);
  // The oldest lines go: an hour at full speed must not grow the window without end.
  Log->setMaximumBlockCount(MaxLines);
  Log->setUndoRedoEnabled(false);
  Log->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

  Statistics = new QLabel(this);
  Statistics->setObjectName(QStringLiteral("Statistics"));
  Statistics->setWordWrap(true);

  auto* Buttons = new QHBoxLayout;
  for (QPushButton* Button : {PauseButton, ClearButton, CopyButton, SaveButton}) Buttons->addWidget(Button);
  Buttons->addWidget(Info, 1);
  auto* Layout = new QVBoxLayout(this);
  Layout->addLayout(Buttons);
  Layout->addWidget(Log, 1);
  Layout->addWidget(Statistics);
  ShowStatistics();
}

void TTrafficMonitor::showEvent(QShowEvent* Event) {
  QWidget::showEvent(Event);
  Attach();
  ShowStatistics();
  FFlushTimer.start();
}

void TTrafficMonitor::hideEvent(QHideEvent* Event) {
  QWidget::hideEvent(Event);
  // A minimised monitor still watches; only a closed one lets go.
  if (!isMinimized()) {
    FFlushTimer.stop();
    Detach();
    FPending.clear();
  }
}

void TTrafficMonitor::Attach() {
  if (FAttached) return;
  FAttached = true;
  FPreviousSend = FConnection.OnFrameSend();
  FPreviousReceive = FConnection.OnFrameReceive();
  FConnection.SetOnFrameSend([this](TModbusConnection& Sender, const TFrameData& Data) {
    Take(true, Data);
    if (FPreviousSend) FPreviousSend(Sender, Data);
  });
  FConnection.SetOnFrameReceive([this](TModbusConnection& Sender, const TFrameData& Data) {
    Take(false, Data);
    if (FPreviousReceive) FPreviousReceive(Sender, Data);
  });
}

void TTrafficMonitor::Detach() {
  if (!FAttached) return;
  FAttached = false;
  // Without a handler the worker does not even copy the frames.
  FConnection.SetOnFrameSend(std::move(FPreviousSend));
  FConnection.SetOnFrameReceive(std::move(FPreviousReceive));
  FPreviousSend = nullptr;
  FPreviousReceive = nullptr;
}

void TTrafficMonitor::Take(bool Sent, const TFrameData& Data) {
  if (FPaused) {
    ++FSkipped;
    return;
  }
  Queue({QTime::currentTime().msecsSinceStartOfDay(), Sent, false, Data, {}});
}

void TTrafficMonitor::Note(const QString& Text) {
  Queue({QTime::currentTime().msecsSinceStartOfDay(), false, true, {}, Text});
}

void TTrafficMonitor::Queue(TPending Pending) {
  // Bounded like the list: what would scroll out at the next batch is not even kept.
  if (FPending.size() >= static_cast<std::size_t>(MaxLines)) FPending.pop_front();
  FPending.push_back(std::move(Pending));
}

QString TTrafficMonitor::LineOf(const TPending& Pending) {
  const QString Time = TimeText(Pending.TimeOfDayMs);
  if (Pending.IsNote) return Time + QStringLiteral("  —  ") + Pending.Note;
  const TTransmissionMode Mode = FConnection.TransmissionMode();
  TFrameDescription Description;
  if (Pending.Sent) {
    Description = DescribeRequest(Mode, Pending.Data);
    FLastRequest = Pending.Data;
  } else {
    Description = DescribeReply(Mode, Pending.Data, FLastRequest);
  }
  // What the frame is before its bytes, in a column of its own: a request's bytes run long.
  return Time + (Pending.Sent ? QStringLiteral("  →  ") : QStringLiteral("  ←  ")) +
         FrameDescriptionText(Description, Mode).leftJustified(DescriptionWidth) + QStringLiteral("  ") +
         WireText(Mode, Pending.Data);
}

void TTrafficMonitor::Flush() {
  ShowStatistics();
  if (FPending.empty()) return;
  // One append for the whole batch: one layout pass and one repaint, however many frames came.
  QString Batch;
  for (const TPending& Pending : FPending) {
    if (!Batch.isEmpty()) Batch += QLatin1Char('\n');
    Batch += LineOf(Pending);
  }
  FPending.clear();
  Log->appendPlainText(Batch);
}

void TTrafficMonitor::ShowStatistics() { Statistics->setText(StatisticsText(FConnection.Statistics())); }

QString TTrafficMonitor::Text() const { return Log->toPlainText(); }

int TTrafficMonitor::LineCount() const { return Log->document()->isEmpty() ? 0 : Log->blockCount(); }

bool TTrafficMonitor::SaveTo(const QString& Path) {
  QSaveFile File(Path);
  const QByteArray Content = (Text() + QLatin1Char('\n')).toUtf8();
  if (!File.open(QIODevice::WriteOnly | QIODevice::Text) || File.write(Content) != Content.size() || !File.commit()) {
    Info->setText(QStringLiteral("Não foi possível salvar em %1: %2").arg(Path, File.errorString()));
    return false;
  }
  Info->setText(QStringLiteral("Salvo em %1").arg(Path));
  return true;
}

void TTrafficMonitor::PauseButtonClick() {
  FPaused = PauseButton->isChecked();
  PauseButton->setText(FPaused ? QStringLiteral("Continuar") : QStringLiteral("Pausar"));
  if (FPaused) {
    Flush();
    FSkipped = 0;
  } else if (FSkipped > 0) {
    Note(QStringLiteral("%1 quadros não mostrados durante a pausa").arg(FSkipped));
    FSkipped = 0;
  }
}

void TTrafficMonitor::ClearButtonClick() {
  FPending.clear();
  Log->clear();
  FConnection.ResetStatistics();
  ShowStatistics();
  Info->clear();
}

void TTrafficMonitor::CopyButtonClick() {
  Flush();
  const QString Selected = Log->textCursor().selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  QApplication::clipboard()->setText(Selected.isEmpty() ? Text() : Selected);
  Info->setText(Selected.isEmpty() ? QStringLiteral("Tudo copiado") : QStringLiteral("Seleção copiada"));
}

void TTrafficMonitor::SaveButtonClick() {
  Flush();
  const QString Path = QFileDialog::getSaveFileName(this, QStringLiteral("Salvar tráfego"), QStringLiteral("trafego.txt"),
                                                    QStringLiteral("Texto (*.txt);;Todos os arquivos (*)"));
  if (!Path.isEmpty()) SaveTo(Path);
}
