// The settings dialog on its own: its controls, how it shows a connection, its handlers, the
// integer reading and the checks that guard the page change and OK.

#include <QCheckBox>
#include <QAbstractItemModel>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabBar>

#include <cstdint>
#include <functional>
#include <optional>

#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include "EditorTestSupport.h"
#include "ModbusConnectionEditor.h"
#include "PageControl.h"
#include "RadioGroup.h"

using namespace EditorTest;
using namespace Quorvel;

namespace {

const std::string ValueRange0 = "Value must be between 0 and 4294967295";
const std::string ValueRange1 = "Value must be between 1 and 4294967295";
using TMessages = std::vector<std::string>;

// Name, parent, left, top, width, height, caption (none for edits and combo boxes).
struct TPlacement {
  const char *Name, *Parent;
  int Left, Top, Width, Height;
  const char* Caption;
};
constexpr const char *Form_ = "ModbusConnectionEditForm", *Serial = "SerialCommTabSheet",
                     *Lines = "EnabledLinesGroupBox", *Trans = "TransactionMgmtTabSheet";
// clang-format off
const TPlacement Placements[] = {
  {"PageControl1", Form_, 8, 8, 425, 369, nullptr},
  {"Label1", Serial, 16, 16, 53, 13, "Serial &Port:"},          {"PortComboBox", Serial, 16, 32, 193, 21, nullptr},
  {"EchoCheckBox", Serial, 16, 58, 193, 17, "Echo Query Before Reply"},
  {"DataBitsRadioGroup", Serial, 16, 88, 193, 49, "&Data Bits:"}, {"ParitySchemeRadioGroup", Serial, 16, 144, 193, 73, "P&arity:"},
  {"StopBitsRadioGroup", Serial, 16, 224, 193, 49, "&Stop Bits:"},
  {"TransmissionModeRadioGroup", Serial, 16, 280, 193, 49, "&Transmission Mode:"},
  {"Label2", Serial, 216, 16, 82, 13, "&Baud Rate [bps]:"},     {"BaudRateComboBox", Serial, 216, 32, 193, 21, nullptr},
  {"CustomBaudRateEdit", Serial, 216, 56, 89, 21, nullptr},     {"FlowControlRadioGroup", Serial, 216, 88, 193, 129, "&Flow Control:"},
  {"EnabledLinesGroupBox", Serial, 216, 224, 193, 49, "&Enabled lines:"},
  {"DTREnabledCheckBox", Lines, 8, 20, 73, 17, "DTR"},          {"RTSEnabledCheckBox", Lines, 88, 20, 73, 17, "RTS"},
  {"Label3", Serial, 216, 280, 71, 13, "Silent &Interval:"},    {"SilentIntervalEdit", Serial, 216, 296, 89, 21, nullptr},
  {"ConnectionModeRadioGroup", Trans, 16, 16, 393, 49, "&Connection Mode:"},
  {"Label4", Trans, 16, 76, 96, 13, "&Refetch Delay [ms]:"},    {"RefetchDelayEdit", Trans, 216, 72, 193, 21, nullptr},
  {"Label5", Trans, 16, 100, 93, 13, "&Send Timeout [ms]:"},    {"SendTimeoutEdit", Trans, 216, 96, 193, 21, nullptr},
  {"Label6", Trans, 16, 124, 107, 13, "R&eceive Timeout [ms]:"}, {"ReceiveTimeoutEdit", Trans, 216, 120, 193, 21, nullptr},
  {"Label7", Trans, 16, 148, 85, 13, "&Maximum Retries:"},      {"MaxRetriesEdit", Trans, 216, 144, 193, 21, nullptr},
  {"Label8", Trans, 16, 172, 114, 13, "T&urnaround Delay [ms]:"}, {"TurnaroundDelayEdit", Trans, 216, 168, 193, 21, nullptr},
  {"ThreadPriorityRadioGroup", Trans, 16, 200, 393, 129, "&Thread Priority:"},
  {"RTUDefaultsButton", Form_, 8, 384, 81, 25, "&RTU Defaults"}, {"ASCIIDefaultsButton", Form_, 96, 384, 81, 25, "AS&CII Defaults"},
  {"OKButton", Form_, 264, 384, 81, 25, "OK"},                  {"CancelButton", Form_, 352, 384, 81, 25, "Cancel"},
};
const std::pair<const char*, const char*> Buddies[] = {
  {"Label1", "PortComboBox"}, {"Label2", "BaudRateComboBox"}, {"Label3", "SilentIntervalEdit"},
  {"Label4", "RefetchDelayEdit"}, {"Label5", "SendTimeoutEdit"}, {"Label6", "ReceiveTimeoutEdit"},
  {"Label7", "MaxRetriesEdit"}, {"Label8", "TurnaroundDelayEdit"}};
const std::pair<const char*, QStringList> GroupItems[] = {
  {"DataBitsRadioGroup", {"7 bits", "8 bits"}}, {"ParitySchemeRadioGroup", {"None", "Odd", "Even"}},
  {"StopBitsRadioGroup", {"1 bit", "2 bits"}}, {"TransmissionModeRadioGroup", {"RTU", "ASCII"}},
  {"FlowControlRadioGroup", {"None", "RTS Toggle", "RTS/CTS", "DTR/DSR"}}, {"ConnectionModeRadioGroup", {"Client", "Server"}},
  {"ThreadPriorityRadioGroup", {"Idle", "Lowest", "Lower", "Normal", "Higher", "Highest", "Time Critical"}}};
// clang-format on

QString CaptionOf(QWidget* Widget) {
  if (auto* Label = qobject_cast<QLabel*>(Widget)) return Label->text();
  if (auto* Box = qobject_cast<QGroupBox*>(Widget)) return Box->title();
  if (auto* Button = qobject_cast<QAbstractButton*>(Widget)) return Button->text();
  return {};
}

TEST(ConnectionEditor, ControlsSitWhereTheLayoutPutsThem) {
  TModbusConnectionEditForm Form;
  EXPECT_EQ(Form.size(), QSize(440, 416));
  EXPECT_EQ(Form.minimumSize(), Form.maximumSize());
  EXPECT_EQ(Form.font().family(), "Tahoma");
  EXPECT_EQ(Form.font().pixelSize(), 11);
  for (const TPlacement& Row : Placements) {
    SCOPED_TRACE(Row.Name);
    auto* Widget = Child<QWidget>(Form, Row.Name);
    ASSERT_TRUE(Widget && Widget->parentWidget());
    EXPECT_EQ(Widget->parentWidget()->objectName(), Row.Parent);
    EXPECT_EQ(Widget->pos(), QPoint(Row.Left, Row.Top));
    if (auto* Label = qobject_cast<QLabel*>(Widget)) {
      // Labels grow with their caption, never below their stored size.
      EXPECT_GE(Label->width(), std::max(Row.Width, Label->sizeHint().width()));
    } else {
      EXPECT_EQ(Widget->size(), QSize(Row.Width, Row.Height));
    }
    if (Row.Caption) {
      EXPECT_EQ(CaptionOf(Widget), Row.Caption);
    }
  }
  for (const auto& [Label, Target] : Buddies) EXPECT_EQ(Child<QLabel>(Form, Label)->buddy()->objectName(), Target);
  for (const auto& [Name, Items] : GroupItems) {
    EXPECT_EQ(Child<TRadioGroup>(Form, Name)->Items(), Items) << Name;
    EXPECT_EQ(Child<TRadioGroup>(Form, Name)->ItemIndex(), -1) << Name << ": no stored selection";
  }
  // Two columns fill the first from top to bottom: "Higher" sits beside "Idle".
  auto* Priority = Child<TRadioGroup>(Form, "ThreadPriorityRadioGroup");
  const auto At = [Priority](int Index) { return Priority->Button(Index)->geometry(); };
  EXPECT_TRUE(At(0).left() == At(3).left() && At(0).top() < At(3).top() && At(4).top() == At(0).top() &&
              At(4).left() > At(0).right() && At(6).top() == At(2).top());

  auto* Pages = Child<TPageControl>(Form, "PageControl1");
  ASSERT_EQ(Pages->count(), 2);
  EXPECT_EQ(Pages->tabText(0), "Serial Communication");
  EXPECT_EQ(Pages->tabText(1), "Modbus Transaction Management");
  EXPECT_EQ(Pages->currentWidget()->objectName(), Serial);
  EXPECT_TRUE(Child<QPushButton>(Form, "OKButton")->isDefault());
  EXPECT_TRUE(Child<QComboBox>(Form, "PortComboBox")->isEditable());
  auto* Rates = Child<QComboBox>(Form, "BaudRateComboBox");
  EXPECT_FALSE(Rates->isEditable());
  ASSERT_EQ(Rates->count(), 16);
  EXPECT_EQ(Rates->itemText(br56000), "56000");
  EXPECT_EQ(Rates->itemText(brCustom), "Custom");
  EXPECT_TRUE(Form.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(Form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  ShowActive(Form);
  EXPECT_LE((Form.frameGeometry().center() - Form.screen()->availableGeometry().center()).manhattanLength(), 4);
}

// The direct children of Parent in the order that Tab reaches them (or their buttons).
QStringList TabOrderWithin(QWidget& Form, const char* ParentName) {
  const QWidget* Parent = ParentName == Form_ ? &Form : Child<QWidget>(Form, ParentName);
  QStringList Names;
  for (QWidget* Widget = Form.nextInFocusChain(); Widget != &Form; Widget = Widget->nextInFocusChain()) {
    // Hidden on their own (the tab bar's scroll buttons), not merely on a page not shown.
    if (!(Widget->focusPolicy() & Qt::TabFocus) || Widget->isHidden()) continue;
    QWidget* Child = Widget;
    while (Child && Child->parentWidget() != Parent) Child = Child->parentWidget();
    if (Child && (Names.isEmpty() || Names.back() != Child->objectName())) Names << Child->objectName();
  }
  return Names;
}

TEST(ConnectionEditor, TabVisitsTheControlsInTheirOrder) {
  TModbusConnection Connection;
  Connection.SetCustomBaudRate(500000);  // so that its edit is shown
  TModbusConnectionEditForm Form;
  Form.ShowConnection(Connection);
  ShowActive(Form);
  EXPECT_EQ(TabOrderWithin(Form, Form_),
            QStringList({"PageControl1", "RTUDefaultsButton", "ASCIIDefaultsButton", "OKButton", "CancelButton"}));
  EXPECT_EQ(TabOrderWithin(Form, Serial),
            QStringList({"PortComboBox", "EchoCheckBox", "DataBitsRadioGroup", "ParitySchemeRadioGroup",
                         "StopBitsRadioGroup", "TransmissionModeRadioGroup", "BaudRateComboBox", "CustomBaudRateEdit",
                         "FlowControlRadioGroup", "EnabledLinesGroupBox", "SilentIntervalEdit"}));
  EXPECT_EQ(TabOrderWithin(Form, Lines), QStringList({"DTREnabledCheckBox", "RTSEnabledCheckBox"}));
  EXPECT_EQ(TabOrderWithin(Form, Trans),
            QStringList({"ConnectionModeRadioGroup", "RefetchDelayEdit", "SendTimeoutEdit", "ReceiveTimeoutEdit",
                         "MaxRetriesEdit", "TurnaroundDelayEdit", "ThreadPriorityRadioGroup"}));
}

auto Settings(const TModbusConnection& C) {
  return std::tuple(C.Port(), C.BaudRate(), C.CustomBaudRate(), C.EchoQueryBeforeReply(), C.DataBits(), C.Parity(),
                    C.StopBits(), C.FlowControl(), C.DTREnabled(), C.RTSEnabled(), C.TransmissionMode(),
                    C.SilentInterval(), C.ConnectionMode(), C.ThreadPriority(), C.RefetchDelay(), C.SendTimeout(),
                    C.ReceiveTimeout(), C.MaxRetries(), C.TurnaroundDelay());
}

// Shown and written back to a fresh connection, every property arrives unchanged.
TEST(ConnectionEditor, EveryPropertyMakesTheRoundTrip) {
  TModbusConnection Source, Target;
  Source.SetPort("/dev/not-in-the-list");
  Source.SetCustomBaudRate(4294967295u);  // selects the custom rate too
  Source.SetEchoQueryBeforeReply(true);
  Source.SetDataBits(db7);
  Source.SetParity(psOdd);
  Source.SetStopBits(sb2);
  Source.SetFlowControl(fcDtrDsr);
  Source.SetDTREnabled(false);
  Source.SetRTSEnabled(false);
  Source.SetTransmissionMode(tmASCII);
  Source.SetSilentInterval(250);
  Source.SetThreadPriority(tpTimeCritical);
  Source.SetRefetchDelay(7);
  Source.SetSendTimeout(8);
  Source.SetReceiveTimeout(9);
  Source.SetMaxRetries(10);
  Source.SetTurnaroundDelay(11);
  TModbusConnectionEditForm Form;
  Form.ShowConnection(Source);
  EXPECT_EQ(Edit(Form, "CustomBaudRateEdit")->text(), "4294967295");
  // Filling the radio groups ran their click handlers.
  EXPECT_EQ(Child<QLabel>(Form, "Label3")->text(), "Silent &Interval [milliseconds]:");
  EXPECT_FALSE(Child<QCheckBox>(Form, "DTREnabledCheckBox")->isEnabled());
  Form.ApplyTo(Target);
  EXPECT_EQ(Settings(Target), Settings(Source));
}

// Modbus TCP is no choice of the dialog: shown with neither RTU nor ASCII selected, written back
// unchanged, until the user picks one.
TEST(ConnectionEditor, AModeTheDialogDoesNotOfferIsKeptUntilAnotherIsPicked) {
  TModbusConnection Source, Target;
  Source.SetTransmissionMode(tmModbusTCP);
  TModbusConnectionEditForm Form;
  Form.ShowConnection(Source);
  auto* Modes = Child<TRadioGroup>(Form, "TransmissionModeRadioGroup");
  EXPECT_EQ(Modes->ItemIndex(), -1);
  Form.ApplyTo(Target);
  EXPECT_EQ(Target.TransmissionMode(), tmModbusTCP);
  Modes->SetItemIndex(tmASCII);
  Form.ApplyTo(Target);
  EXPECT_EQ(Target.TransmissionMode(), tmASCII);
}

TEST(ConnectionEditor, ARadioGroupClicksOncePerRealChangeOfSelection) {
  TRadioGroup Group;
  Group.SetItems({"A", "B", "C"});
  std::vector<int> Clicks;
  QObject::connect(&Group, &TRadioGroup::itemClicked, [&Clicks](int Index) { Clicks.push_back(Index); });
  const std::tuple<const char*, std::function<void()>, int, std::vector<int>> Steps[] = {
      {"select from code", [&] { Group.SetItemIndex(1); }, 1, {1}},
      {"same again from code", [&] { Group.SetItemIndex(1); }, 1, {1}},
      {"user clicks another", [&] { Group.Button(2)->click(); }, 2, {1, 2}},
      {"user clicks the selected one", [&] { Group.Button(2)->click(); }, 2, {1, 2}},
      {"out of range clears", [&] { Group.SetItemIndex(3); }, -1, {1, 2}},
      {"select after clearing", [&] { Group.SetItemIndex(2); }, 2, {1, 2, 2}},
  };
  for (const auto& [What, Action, ItemIndex, Expected] : Steps) {
    Action();
    EXPECT_EQ(Group.ItemIndex(), ItemIndex) << What;
    EXPECT_EQ(Clicks, Expected) << What;
    for (int Index = 0; Index < Group.Count(); ++Index)
      EXPECT_EQ(Group.Button(Index)->isChecked(), Index == ItemIndex) << What;
  }
}

TEST(ConnectionEditor, HandlersFollowTheSelections) {
  TModbusConnection Connection;
  TModbusConnectionEditForm Form;
  Form.ShowConnection(Connection);
  ShowActive(Form);
  auto* Dtr = Child<QCheckBox>(Form, "DTREnabledCheckBox");
  auto* Rts = Child<QCheckBox>(Form, "RTSEnabledCheckBox");
  for (const auto& [Flow, DtrOn, RtsOn] : {std::tuple{fcRtsToggle, true, false}, std::tuple{fcRtsCts, true, false},
                                           std::tuple{fcDtrDsr, false, true}, std::tuple{fcNone, true, true}}) {
    Child<TRadioGroup>(Form, "FlowControlRadioGroup")->Button(Flow)->click();
    EXPECT_TRUE(Dtr->isEnabled() == DtrOn && Rts->isEnabled() == RtsOn) << Flow;
  }
  auto* BaudRate = Child<QComboBox>(Form, "BaudRateComboBox");
  EXPECT_TRUE(Edit(Form, "CustomBaudRateEdit")->isHidden());
  BaudRate->setCurrentIndex(brCustom);
  emit BaudRate->activated(brCustom);
  EXPECT_TRUE(Edit(Form, "CustomBaudRateEdit")->isVisible());

  const QPalette& Standard = QGuiApplication::palette();
  for (const bool Client : {false, true}) {
    Child<TRadioGroup>(Form, "ConnectionModeRadioGroup")->Button(Client ? 0 : 1)->click();
    for (const char* Name : {"Label4", "RefetchDelayEdit", "Label6", "ReceiveTimeoutEdit", "Label7", "MaxRetriesEdit",
                             "Label8", "TurnaroundDelayEdit"})
      EXPECT_EQ(Child<QWidget>(Form, Name)->isEnabled(), Client) << Name;
    EXPECT_EQ(Edit(Form, "MaxRetriesEdit")->palette().color(QPalette::Base),
              Standard.color(Client ? QPalette::Base : QPalette::Button));
    EXPECT_TRUE(Child<QWidget>(Form, "Label5")->isEnabled() && Edit(Form, "SendTimeoutEdit")->isEnabled());
  }
  auto* Rtu = Child<QPushButton>(Form, "RTUDefaultsButton");
  auto* Ascii = Child<QPushButton>(Form, "ASCIIDefaultsButton");
  EXPECT_TRUE(Rtu->isEnabled() && Ascii->isEnabled());
  // The defaults buttons set the frame format and the silent interval, and nothing else.
  const auto Frame = [&Form] {
    QStringList Result;
    for (const char* Name : {"DataBitsRadioGroup", "ParitySchemeRadioGroup", "StopBitsRadioGroup",
                             "TransmissionModeRadioGroup", "FlowControlRadioGroup"})
      Result << QString::number(Child<TRadioGroup>(Form, Name)->ItemIndex());
    return Result << Edit(Form, "SilentIntervalEdit")->text() << Child<QLabel>(Form, "Label3")->text()
                  << Child<QComboBox>(Form, "BaudRateComboBox")->currentText();
  };
  Child<TRadioGroup>(Form, "StopBitsRadioGroup")->SetItemIndex(sb2);
  Child<TRadioGroup>(Form, "FlowControlRadioGroup")->SetItemIndex(fcRtsCts);
  Ascii->click();
  EXPECT_EQ(Frame(), QStringList({"0", "2", "0", "1", "2", "1000", "Silent &Interval [milliseconds]:", "Custom"}));
  Child<TRadioGroup>(Form, "ParitySchemeRadioGroup")->SetItemIndex(psNone);
  Rtu->click();
  EXPECT_EQ(Frame(), QStringList({"1", "2", "0", "0", "2", "4", "Silent &Interval [character times]:", "Custom"}));
  Child<TPageControl>(Form, "PageControl1")->setCurrentIndex(1);
  EXPECT_FALSE(Rtu->isEnabled() || Ascii->isEnabled());
}

TEST(ConnectionEditor, ReadsIntegersTheWayTheDialogPromises) {
  constexpr std::int64_t Max = INT64_MAX, Min = INT64_MIN;
  const std::optional<std::int64_t> Bad;
  const std::pair<const char*, std::optional<std::int64_t>> Rows[] = {
      {"0", 0}, {"  42", 42}, {"\t42", 42}, {"+42", 42}, {"-42", -42}, {"010", 10}, {"$10", 16}, {"$ff", 255},
      {"0x1F", 31}, {"0X1f", 31}, {"-$10", -16}, {" -0x10", -16}, {"4294967296", 4294967296},
      {"9223372036854775807", Max}, {"-9223372036854775808", Min}, {"$8000000000000000", Min},
      {"$FFFFFFFFFFFFFFFF", -1}, {"9223372036854775808", Bad}, {"-9223372036854775809", Bad},
      {"$10000000000000000", Bad}, {"", Bad}, {"   ", Bad}, {"12abc", Bad}, {"12 ", Bad}, {"1 2", Bad},
      {"- 1", Bad}, {"+-1", Bad}, {"-", Bad}, {"$", Bad}, {"0x", Bad}, {"x10", Bad}, {"$1g", Bad}, {"1e3", Bad},
      {"\xEF\xBC\x91", Bad}};  // a full-width digit one
  for (const auto& [Text, Expected] : Rows) {
    std::int64_t Value = 12345;
    const bool Parsed = TryParseInt64(QString::fromUtf8(Text), Value);
    EXPECT_EQ(Parsed ? std::optional(Value) : Bad, Expected) << '"' << Text << '"';
  }
}

std::string CheckMessage(QLineEdit& Edit, std::int64_t Min, std::int64_t Max) {
  try {
    CheckEditRange(&Edit, Min, Max);
  } catch (const EQuorvelError& Error) {
    return Error.what();
  }
  return "";
}

TEST(ConnectionEditor, CheckEditRangeNamesTheProblemAndFocusesTheEdit) {
  const std::tuple<const char*, std::int64_t, std::int64_t, std::string> Rows[] = {
      {"", 0, 4294967295, "'' is not a valid integer value"},
      {"99999999999999999999", 0, 4294967295, "'99999999999999999999' is not a valid integer value"},
      {"4294967296", 0, 4294967295, ValueRange0}, {"-1", 0, 4294967295, ValueRange0},
      {"0", 1, 4294967295, ValueRange1}, {"4294967295", 0, 4294967295, ""},
      {"-99", 3, 3, ""},  // equal bounds test no range
      {"x", 3, 3, "'x' is not a valid integer value"}};
  QWidget Window;
  QLineEdit Shown(&Window), Disabled(&Window), Hidden(&Window), Other(&Window);
  Disabled.setEnabled(false);
  Hidden.hide();
  ShowActive(Window);
  for (const auto& [Text, Min, Max, Message] : Rows) {
    Other.setFocus();
    Shown.setText(QString::fromUtf8(Text));
    EXPECT_EQ(CheckMessage(Shown, Min, Max), Message) << Text;
    EXPECT_EQ(QApplication::focusWidget(), Message.empty() ? &Other : &Shown) << Text;
  }
  for (QLineEdit* Unfocusable : {&Disabled, &Hidden}) {
    Other.setFocus();
    EXPECT_EQ(CheckMessage(*Unfocusable, 0, 10), "'' is not a valid integer value");
    EXPECT_EQ(QApplication::focusWidget(), &Other);
  }
}

// A form on screen, showing a default connection, with its error display caught.
class TPageChange : public testing::Test {
 protected:
  void SetUp() override {
    Form.ShowConnection(Connection);
    ShowActive(Form);
    Pages = Child<TPageControl>(Form, "PageControl1");
    QObject::connect(Pages, &QTabWidget::currentChanged, [this] { ++Changes; });
  }

  void ClickTab(int Index) {
    const QPoint At = Pages->tabBar()->tabRect(Index).center();
    const QPoint Global = Pages->tabBar()->mapToGlobal(At);
    QMouseEvent Press(QEvent::MouseButtonPress, At, Global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent Release(QEvent::MouseButtonRelease, At, Global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(Pages->tabBar(), &Press);
    QApplication::sendEvent(Pages->tabBar(), &Release);
  }

  QCheckBox* Echo() const { return Child<QCheckBox>(Form, "EchoCheckBox"); }

  static void Key(QWidget* Target, int Key, Qt::KeyboardModifiers Modifiers) {
    QKeyEvent Press(QEvent::KeyPress, Key, Modifiers);
    QApplication::sendEvent(Target, &Press);
  }

  TModbusConnection Connection;
  TModbusConnectionEditForm Form;
  TShownErrors Errors;
  TPageControl* Pages = nullptr;
  int Changes = 0;
};

TEST_F(TPageChange, EveryWayToLeaveThePageIsCheckedFirst) {
  const std::pair<const char*, std::function<void()>> Ways[] = {
      {"click", [this] { ClickTab(1 - Pages->currentIndex()); }},
      {"Ctrl+Tab", [] { Key(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier); }},
      {"Ctrl+Shift+Tab",
       [] { Key(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier); }},
      {"arrow on the tabs",
       [this] { Key(Pages->tabBar(), Pages->currentIndex() == 0 ? Qt::Key_Right : Qt::Key_Left, Qt::NoModifier); }},
  };
  auto* Silent = Edit(Form, "SilentIntervalEdit");
  auto* Retries = Edit(Form, "MaxRetriesEdit");
  for (const auto& [Way, Leave] : Ways) {
    SCOPED_TRACE(Way);
    Changes = 0;
    Silent->setText("4x");
    Pages->tabBar()->setFocus();
    Leave();
    EXPECT_TRUE(Pages->currentIndex() == 0 && Changes == 0) << "refused before the change, not undone after it";
    EXPECT_EQ(Errors.Take(), TMessages{"'4x' is not a valid integer value"});
    EXPECT_EQ(QApplication::focusWidget(), Silent);

    Silent->setText("$10");
    Leave();
    EXPECT_EQ(Pages->currentIndex(), 1);
    Retries->setText("0");
    Leave();
    EXPECT_EQ(Pages->currentIndex(), 1);
    EXPECT_EQ(Errors.Take(), TMessages{ValueRange1});
    EXPECT_EQ(QApplication::focusWidget(), Retries);
    Retries->setText("1");
    Leave();
    EXPECT_TRUE(Pages->currentIndex() == 0 && Changes == 2);
    EXPECT_TRUE(Errors.Take().empty());
  }
}

TEST_F(TPageChange, OnlyTheEditsInUseAreChecked) {
  auto* Mode = Child<TRadioGroup>(Form, "ConnectionModeRadioGroup");
  Edit(Form, "CustomBaudRateEdit")->setText("not a rate");  // hidden: "Custom" is not chosen
  Mode->SetItemIndex(cmServer);
  EXPECT_TRUE(Echo()->isEnabled()) << "the echo box follows the mode only once the page is left";
  ClickTab(1);
  ASSERT_EQ(Pages->currentIndex(), 1);
  EXPECT_FALSE(Echo()->isEnabled());
  // A server ignores the client's timings, but the receive time-out is checked, though its edit
  // is disabled and cannot take the focus.
  Edit(Form, "MaxRetriesEdit")->setText("0");
  Edit(Form, "RefetchDelayEdit")->setText("");
  Edit(Form, "ReceiveTimeoutEdit")->setText("");
  Edit(Form, "SendTimeoutEdit")->setFocus();
  ClickTab(0);
  EXPECT_EQ(Pages->currentIndex(), 1);
  EXPECT_EQ(Errors.Take(), TMessages{"'' is not a valid integer value"});
  EXPECT_EQ(QApplication::focusWidget(), Edit(Form, "SendTimeoutEdit"));
  Edit(Form, "ReceiveTimeoutEdit")->setText("0");
  ClickTab(0);
  EXPECT_EQ(Pages->currentIndex(), 0);

  // With "Custom" chosen its edit is checked, before the silent interval; nothing after the
  // first failure runs, so the echo box keeps its state.
  Child<QComboBox>(Form, "BaudRateComboBox")->setCurrentIndex(brCustom);
  Edit(Form, "SilentIntervalEdit")->setText("bad too");
  Mode->SetItemIndex(cmClient);
  ClickTab(1);
  EXPECT_EQ(Errors.Take(), TMessages{"'not a rate' is not a valid integer value"});
  EXPECT_FALSE(Echo()->isEnabled());
}

}  // namespace

// The port list: each port by the name to open it by (its stable name where it has one) beside what
// the system knows of it, the connection's own port first.
TEST(ConnectionEditor, PortsAreListedByStableNameWithTheCurrentPortFirst) {
  const std::string ById = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  const std::vector<TSerialPortInfo> System = {
      {"ttyS0", "ttyS0", "", "", "", ""},
      {ById, "ttyUSB0", ById, "FTDI", "FT232R USB UART", "A50285BI"},
      {"ttyACM0", "ttyACM0", "", "", "Pico", ""},
  };
  const auto Rows = [](const TModbusConnectionEditForm& Form) {
    const QAbstractItemModel* Model = Child<QComboBox>(Form, "PortComboBox")->model();
    std::vector<std::pair<std::string, std::string>> Result;
    for (int Row = 0; Row < Model->rowCount(); ++Row)
      Result.emplace_back(Model->index(Row, 0).data().toString().toStdString(),
                          Model->index(Row, 1).data().toString().toStdString());
    return Result;
  };
  const std::string Adapter = "FTDI FT232R USB UART, serial A50285BI (ttyUSB0)";

  struct TCase {
    std::string Port;
    std::vector<std::pair<std::string, std::string>> Expected;
  };
  const TCase Cases[] = {
      {"ttyS0", {{"ttyS0", "ttyS0"}, {ById, Adapter}, {"ttyACM0", "Pico (ttyACM0)"}}},
      {"COM1", {{"ttyS0", "ttyS0"}, {ById, Adapter}, {"ttyACM0", "Pico (ttyACM0)"}}},  // the first serial port
      // The device path behind the stable name: that port first, the text as the connection has it.
      {"/dev/ttyUSB0", {{ById, Adapter}, {"ttyACM0", "Pico (ttyACM0)"}, {"ttyS0", "ttyS0"}}},
      {ById, {{ById, Adapter}, {"ttyACM0", "Pico (ttyACM0)"}, {"ttyS0", "ttyS0"}}},
      // Not listed: still shown, first; blanks and accents as they are.
      {"/tmp/porta de teste nº 2",
       {{"/tmp/porta de teste nº 2", "current port, not found now"}, {ById, Adapter}, {"ttyACM0", "Pico (ttyACM0)"},
        {"ttyS0", "ttyS0"}}},
  };
  for (const TCase& Case : Cases) {
    TModbusConnectionEditForm Form;
    Form.SetPortList(System);
    TModbusConnection Connection, Target;
    Connection.SetPort(Case.Port);
    Form.ShowConnection(Connection);
    EXPECT_EQ(Rows(Form), Case.Expected) << Case.Port;
    EXPECT_EQ(Child<QComboBox>(Form, "PortComboBox")->currentText().toStdString(), Case.Port);
    // A connection opened through a stable name keeps it, and any name comes back unchanged.
    Form.ApplyTo(Target);
    EXPECT_EQ(Target.Port(), Case.Port);
  }

  // Choosing an adapter from the list writes its stable name back.
  TModbusConnectionEditForm Form;
  Form.SetPortList(System);
  TModbusConnection Connection;
  Form.ShowConnection(Connection);
  auto* Ports = Child<QComboBox>(Form, "PortComboBox");
  Ports->setCurrentIndex(Ports->findText(QString::fromStdString(ById)));
  Form.ApplyTo(Connection);
  EXPECT_EQ(Connection.Port(), ById);
}
