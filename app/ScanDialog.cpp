#include "ScanDialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <stdexcept>

#include <Quorvel/Connection.h>
#include "DorvaneApplication.h"
#include "WindowTexts.h"

using namespace Quorvel;

namespace {

// The rates a field device is usually set to.
constexpr Cardinal CommonRates[] = {1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};

template <class T>
T* Named(T* Widget, const char* Name) {
  Widget->setObjectName(QString::fromLatin1(Name));
  return Widget;
}

}  // namespace

TScanDialog::TScanDialog(const TModbusConnection& Connection, QWidget* Parent) : QDialog(Parent) {
  setObjectName(QStringLiteral("ScanDialog"));
  setWindowTitle(QStringLiteral("Procurar dispositivo"));
  TModbusConnection& Line = FScanner.Connection();
  Line.SetPort(Connection.Port());
  Line.SetDataBits(Connection.DataBits());
  Line.SetStopBits(Connection.StopBits());
  Line.SetFlowControl(Connection.FlowControl());
  Line.SetMaxRetries(Connection.MaxRetries());

  const Cardinal Rate = BaudRateValue(Connection.BaudRate(), Connection.CustomBaudRate());
  BaudList = Named(new QListWidget, "BaudList");
  std::vector<Cardinal> Rates(std::begin(CommonRates), std::end(CommonRates));
  if (std::find(Rates.begin(), Rates.end(), Rate) == Rates.end()) Rates.push_back(Rate);
  for (const Cardinal Each : Rates) {
    auto* Item = new QListWidgetItem(QString::number(Each), BaudList);
    Item->setFlags(Item->flags() | Qt::ItemIsUserCheckable);
    Item->setCheckState(Each == Rate ? Qt::Checked : Qt::Unchecked);
  }
  auto* RateBox = new QGroupBox(QStringLiteral("Velocidades (bit/s)"));
  (new QVBoxLayout(RateBox))->addWidget(BaudList);

  ParityNone = Named(new QCheckBox(QStringLiteral("Nenhuma")), "ParityNone");
  ParityEven = Named(new QCheckBox(QStringLiteral("Par")), "ParityEven");
  ParityOdd = Named(new QCheckBox(QStringLiteral("Ímpar")), "ParityOdd");
  ParityNone->setChecked(Connection.Parity() == psNone);
  ParityEven->setChecked(Connection.Parity() == psEven);
  ParityOdd->setChecked(Connection.Parity() == psOdd);
  auto* ParityBox = new QGroupBox(QStringLiteral("Paridade"));
  auto* ParityLayout = new QVBoxLayout(ParityBox);
  for (QCheckBox* Box : {ParityNone, ParityEven, ParityOdd}) ParityLayout->addWidget(Box);

  ModeRTU = Named(new QRadioButton(QStringLiteral("RTU")), "ModeRTU");
  ModeASCII = Named(new QRadioButton(QStringLiteral("ASCII")), "ModeASCII");
  ModeBoth = Named(new QRadioButton(QStringLiteral("RTU e ASCII")), "ModeBoth");
  (Connection.TransmissionMode() == tmASCII ? ModeASCII : ModeRTU)->setChecked(true);
  auto* ModeBox = new QGroupBox(QStringLiteral("Modo"));
  auto* ModeLayout = new QVBoxLayout(ModeBox);
  for (QRadioButton* Button : {ModeRTU, ModeASCII, ModeBoth}) ModeLayout->addWidget(Button);

  FirstAddress = Named(new QSpinBox, "FirstAddress");
  LastAddress = Named(new QSpinBox, "LastAddress");
  for (QSpinBox* Spin : {FirstAddress, LastAddress}) Spin->setRange(1, 247);
  FirstAddress->setValue(1);
  LastAddress->setValue(247);
  BurstCheck = Named(new QCheckBox(QStringLiteral("Modo rápido (burst)")), "BurstCheck");
  BurstCheck->setToolTip(QStringLiteral("Uma tentativa por endereço e o menor tempo de espera seguro; "
                                        "um dispositivo lento pode não ser encontrado."));
  TimeoutEdit = Named(new QSpinBox, "TimeoutEdit");
  TimeoutEdit->setRange(0, 10000);
  TimeoutEdit->setSingleStep(50);
  TimeoutEdit->setSpecialValueText(QStringLiteral("automático"));
  TimeoutEdit->setSuffix(QStringLiteral(" ms"));
  TimeoutEdit->setToolTip(QStringLiteral("Quanto esperar por cada resposta; automático: 1 s, ou no modo rápido "
                                         "o menor tempo seguro para a velocidade."));
  auto* AddressBox = new QGroupBox(QStringLiteral("Endereços"));
  auto* AddressLayout = new QGridLayout(AddressBox);
  AddressLayout->addWidget(new QLabel(QStringLiteral("De")), 0, 0);
  AddressLayout->addWidget(FirstAddress, 0, 1);
  AddressLayout->addWidget(new QLabel(QStringLiteral("até")), 1, 0);
  AddressLayout->addWidget(LastAddress, 1, 1);
  AddressLayout->addWidget(new QLabel(QStringLiteral("Espera")), 2, 0);
  AddressLayout->addWidget(TimeoutEdit, 2, 1);
  AddressLayout->addWidget(BurstCheck, 3, 0, 1, 2);

  StartButton = Named(new QPushButton(QStringLiteral("Procurar")), "StartButton");
  CancelButton = Named(new QPushButton(QStringLiteral("Cancelar")), "CancelButton");
  Progress = Named(new QProgressBar, "Progress");
  Progress->setRange(0, 1);
  Progress->setValue(0);
  ProgressText = Named(new QLabel(QStringLiteral("Porta %1").arg(QString::fromStdString(Connection.Port()))), "ProgressText");

  FoundList = Named(new QTreeWidget, "FoundList");
  FoundList->setRootIsDecorated(false);
  FoundList->setHeaderLabels({QStringLiteral("Endereço"), QStringLiteral("Linha"), QStringLiteral("Identificação"),
                              QStringLiteral("Resposta"), QStringLiteral("Tempo")});
  FoundList->header()->setStretchLastSection(false);
  FoundList->header()->setSectionResizeMode(2, QHeaderView::Stretch);
  FoundList->setMinimumHeight(110);
  UseButton = Named(new QPushButton(QStringLiteral("Usar")), "UseButton");
  CloseButton = Named(new QPushButton(QStringLiteral("Fechar")), "CloseButton");

  auto* Choices = new QHBoxLayout;
  Choices->addWidget(RateBox);
  Choices->addWidget(ParityBox);
  Choices->addWidget(ModeBox);
  Choices->addWidget(AddressBox);
  auto* Run = new QHBoxLayout;
  Run->addWidget(Progress, 1);
  Run->addWidget(StartButton);
  Run->addWidget(CancelButton);
  auto* Ends = new QHBoxLayout;
  Ends->addStretch(1);
  Ends->addWidget(UseButton);
  Ends->addWidget(CloseButton);
  auto* Layout = new QVBoxLayout(this);
  Layout->addLayout(Choices);
  Layout->addLayout(Run);
  Layout->addWidget(ProgressText);
  Layout->addWidget(new QLabel(QStringLiteral("Dispositivos encontrados:")));
  Layout->addWidget(FoundList, 1);
  Layout->addLayout(Ends);
  BaudList->setMaximumHeight(ParityBox->sizeHint().height() + 20);
  resize(760, 420);

  FScanner.SetOnDeviceFound([this](TModbusScanner&, const TScanDevice& Device) { DeviceFound(Device); });
  FScanner.SetOnProgress([this](TModbusScanner&, const TScanProgress& Now) { ProgressMade(Now); });
  FScanner.SetOnFinished([this](TModbusScanner&, TScanOutcome Outcome) { Finished(Outcome); });
  connect(StartButton, &QPushButton::clicked, this, [this] { Guarded([this] { StartButtonClick(); }); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { Guarded([this] { CancelButtonClick(); }); });
  connect(UseButton, &QPushButton::clicked, this, [this] { Guarded([this] { UseButtonClick(); }); });
  connect(CloseButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(FoundList, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
  connect(FoundList, &QTreeWidget::itemDoubleClicked, this, [this] { Guarded([this] { UseButtonClick(); }); });
  StartButton->setDefault(true);
  UpdateButtons();
}

TScanDialog::~TScanDialog() {
  FScanner.SetOnDeviceFound(nullptr);
  FScanner.SetOnProgress(nullptr);
  FScanner.SetOnFinished(nullptr);
}

TScanPlan TScanDialog::PlanFromChoices() const {
  TScanPlan Plan;
  Plan.BaudRates.clear();
  for (int I = 0; I < BaudList->count(); ++I)
    if (BaudList->item(I)->checkState() == Qt::Checked) Plan.BaudRates.push_back(BaudList->item(I)->text().toUInt());
  Plan.Parities.clear();
  if (ParityNone->isChecked()) Plan.Parities.push_back(psNone);
  if (ParityEven->isChecked()) Plan.Parities.push_back(psEven);
  if (ParityOdd->isChecked()) Plan.Parities.push_back(psOdd);
  Plan.Modes = ModeBoth->isChecked() ? std::vector{tmRTU, tmASCII} : std::vector{ModeASCII->isChecked() ? tmASCII : tmRTU};
  Plan.Addresses.clear();
  for (int Address = FirstAddress->value(); Address <= LastAddress->value(); ++Address)
    Plan.Addresses.push_back(static_cast<Byte>(Address));
  Plan.Burst = BurstCheck->isChecked();
  Plan.Timeout = static_cast<Cardinal>(TimeoutEdit->value());
  return Plan;
}

void TScanDialog::StartButtonClick() {
  const TScanPlan Plan = PlanFromChoices();
  if (Plan.Combinations() == 0) {
    ProgressText->setText(ScanNothingToTryText());
    return;
  }
  FScanner.SetPlan(Plan);
  FFound.clear();
  FoundList->clear();
  Progress->setRange(0, static_cast<int>(Plan.Combinations()));
  Progress->setValue(0);
  try {
    FScanner.Start();
  } catch (const std::exception& Error) {
    ProgressText->setText(ScanFailedText(QString::fromStdString(Error.what())));
    UpdateButtons();
    return;
  }
  ProgressText->setText(ScanProgressText(FScanner.Progress(), FScanner.Connection().DataBits(), FScanner.Connection().StopBits()));
  UpdateButtons();
}

void TScanDialog::CancelButtonClick() {
  if (!FScanner.Scanning()) return;
  FScanner.Cancel();
  ProgressText->setText(ScanCancellingText());
  CancelButton->setEnabled(false);
}

void TScanDialog::UseButtonClick() {
  if (FScanner.Scanning()) return;
  const QList<QTreeWidgetItem*> Selected = FoundList->selectedItems();
  if (Selected.isEmpty()) return;
  const int Index = FoundList->indexOfTopLevelItem(Selected.front());
  if (Index < 0 || Index >= static_cast<int>(FFound.size())) return;
  FChosen = FFound[static_cast<std::size_t>(Index)];
  accept();
}

void TScanDialog::reject() {
  // The port stays the scan's until the request under way has its answer.
  if (FScanner.Scanning()) {
    FCloseWhenDone = true;
    CancelButtonClick();
    return;
  }
  QDialog::reject();
}

void TScanDialog::DeviceFound(const TScanDevice& Device) {
  FFound.push_back(Device);
  const TModbusConnection& Line = FScanner.Connection();
  auto* Item = new QTreeWidgetItem(FoundList, {QString::number(Device.Address), ScanLineText(Device.Line, Line.DataBits(), Line.StopBits()),
                                               Device.Identity.empty() ? QStringLiteral("(sem identificação)") : QString::fromStdString(Device.Identity),
                                               ScanAnswerText(Device), QStringLiteral("%1 ms").arg(Device.RoundTrip)});
  if (FoundList->topLevelItemCount() == 1) FoundList->setCurrentItem(Item);
  for (int Column = 0; Column < FoundList->columnCount(); ++Column)
    if (Column != 2) FoundList->resizeColumnToContents(Column);
}

void TScanDialog::ProgressMade(const TScanProgress& Now) {
  Progress->setValue(static_cast<int>(Now.Done));
  ProgressText->setText(ScanProgressText(Now, FScanner.Connection().DataBits(), FScanner.Connection().StopBits()));
}

void TScanDialog::Finished(TScanOutcome Outcome) {
  ProgressText->setText(ScanOutcomeText(Outcome, FScanner.Progress(), QString::fromStdString(FScanner.FailureMessage())));
  UpdateButtons();
  if (FCloseWhenDone) QDialog::reject();
}

void TScanDialog::UpdateButtons() {
  const bool Scanning = FScanner.Scanning();
  StartButton->setEnabled(!Scanning);
  CancelButton->setEnabled(Scanning);
  UseButton->setEnabled(!Scanning && !FoundList->selectedItems().isEmpty());
  for (QWidget* Choice : std::initializer_list<QWidget*>{BaudList, ParityNone, ParityEven, ParityOdd, ModeRTU, ModeASCII,
                                                         ModeBoth, FirstAddress, LastAddress, BurstCheck, TimeoutEdit})
    Choice->setEnabled(!Scanning);
}
