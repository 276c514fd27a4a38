// The settings dialog and a real connection on pseudo-terminal ports: what it writes back, when
// it closes and reopens the port, and EditConnection from start to end.

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include "EditorTestSupport.h"
#include "ModbusConnectionEditor.h"
#include "RadioGroup.h"
#include "VirtualSerialLine.h"

using namespace EditorTest;
using namespace Quorvel;

namespace {

using TForm = TModbusConnectionEditForm;
using TFormEdit = std::function<void(TForm&)>;

void Select(TForm& Form, const char* Group, int Index) { Child<TRadioGroup>(Form, Group)->SetItemIndex(Index); }
void Type(TForm& Form, const char* Name, const char* Text) { Edit(Form, Name)->setText(Text); }
void Port(TForm& Form, const std::string& Text) {
  Child<QComboBox>(Form, "PortComboBox")->setCurrentText(QString::fromStdString(Text));
}

std::string MessageOf(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const EQuorvelError& Error) {
    return Error.what();
  }
  return "";
}

class TWriteBack : public testing::Test {
 protected:
  // A connection on the line that counts how often its port is closed and opened.
  std::unique_ptr<TModbusConnection> MakeConnection(bool Open) {
    auto Connection = std::make_unique<TModbusConnection>();
    Connection->SetPort(Line.PortA());
    Connection->SetOnBeforeClose([this](TModbusConnection&) { ++Closes; });
    Connection->SetOnAfterOpen([this](TModbusConnection&) { ++Opens; });
    if (Open) Connection->Open();
    Closes = Opens = 0;
    return Connection;
  }

  Testing::TVirtualSerialLine Line{0};
  Testing::TVirtualSerialLine OtherLine{0};
  int Closes = 0;
  int Opens = 0;
};

TEST_F(TWriteBack, AnOpenPortIsReopenedOnlyForTheSettingsThatNeedIt) {
  using TCheck = std::function<bool(const TModbusConnection&)>;
  // clang-format off
  const std::tuple<const char*, TFormEdit, bool, TCheck> Rows[] = {
    {"nothing", [](TForm&) {}, false, [this](auto& C) { return C.Port() == Line.PortA(); }},
    {"line settings", [](TForm& F) { Child<QComboBox>(F, "BaudRateComboBox")->setCurrentIndex(brCustom);
        Type(F, "CustomBaudRateEdit", "500000"); Select(F, "DataBitsRadioGroup", db7);
        Select(F, "ParitySchemeRadioGroup", psOdd); Select(F, "StopBitsRadioGroup", sb2); }, false,
     [](auto& C) { return C.BaudRate() == brCustom && C.CustomBaudRate() == 500000 && C.DataBits() == db7 &&
                          C.Parity() == psOdd && C.StopBits() == sb2; }},
    {"timing", [](TForm& F) { Type(F, "SilentIntervalEdit", "$10"); Type(F, "SendTimeoutEdit", " 2500");
        Type(F, "ReceiveTimeoutEdit", "0x20"); Type(F, "RefetchDelayEdit", "5");
        Type(F, "MaxRetriesEdit", "4294967295"); Type(F, "TurnaroundDelayEdit", "+7"); }, false,
     [](auto& C) { return C.SilentInterval() == 16 && C.SendTimeout() == 2500 && C.ReceiveTimeout() == 32 &&
                          C.RefetchDelay() == 5 && C.MaxRetries() == 4294967295u && C.TurnaroundDelay() == 7; }},
    {"priority and echo", [](TForm& F) { Select(F, "ThreadPriorityRadioGroup", tpHigher);
        Child<QCheckBox>(F, "EchoCheckBox")->setChecked(true); }, false,
     [](auto& C) { return C.ThreadPriority() == tpHigher && C.EchoQueryBeforeReply(); }},
    {"port", [this](TForm& F) { Port(F, OtherLine.PortA()); }, true,
     [this](auto& C) { return C.Port() == OtherLine.PortA(); }},
    {"flow control", [](TForm& F) { Select(F, "FlowControlRadioGroup", fcRtsCts); }, true,
     [](auto& C) { return C.FlowControl() == fcRtsCts; }},
    {"DTR", [](TForm& F) { Child<QCheckBox>(F, "DTREnabledCheckBox")->setChecked(false); }, true,
     [](auto& C) { return !C.DTREnabled(); }},
    {"RTS", [](TForm& F) { Child<QCheckBox>(F, "RTSEnabledCheckBox")->setChecked(false); }, true,
     [](auto& C) { return !C.RTSEnabled(); }},
    {"transmission mode", [](TForm& F) { Child<QPushButton>(F, "ASCIIDefaultsButton")->click(); }, true,
     [](auto& C) { return C.TransmissionMode() == tmASCII && C.DataBits() == db7 && C.SilentInterval() == 1000; }},
    // A server ignores the client's timings: not written, whatever their edits hold.
    {"connection mode", [](TForm& F) { Select(F, "ConnectionModeRadioGroup", cmServer);
        Type(F, "RefetchDelayEdit", "junk"); Type(F, "MaxRetriesEdit", "0"); Type(F, "TurnaroundDelayEdit", "");
        Type(F, "SendTimeoutEdit", "12"); Type(F, "ReceiveTimeoutEdit", "13"); }, true,
     [](auto& C) { return C.ConnectionMode() == cmServer && C.RefetchDelay() == 0 && C.MaxRetries() == 1 &&
                          C.TurnaroundDelay() == 100 && C.SendTimeout() == 12 && C.ReceiveTimeout() == 13; }},
  };
  // clang-format on
  for (const auto& [What, Change, Reopens, Check] : Rows) {
    SCOPED_TRACE(What);
    auto Connection = MakeConnection(true);
    TForm Form;
    Form.ShowConnection(*Connection);
    Change(Form);
    EXPECT_EQ(Form.NeedsReopen(*Connection), Reopens);
    ASSERT_NO_THROW(Form.ApplyTo(*Connection));
    EXPECT_TRUE(Connection->Active());
    EXPECT_EQ(std::pair(Closes, Opens), Reopens ? std::pair(1, 1) : std::pair(0, 0));
    EXPECT_TRUE(Check(*Connection));
  }
}

TEST_F(TWriteBack, AClosedConnectionIsWrittenAndLeftClosed) {
  auto Connection = MakeConnection(false);
  TForm Form;
  Form.ShowConnection(*Connection);
  Port(Form, "typed-port");
  Select(Form, "TransmissionModeRadioGroup", tmASCII);
  Type(Form, "CustomBaudRateEdit", "fast");  // counts only while "Custom" is chosen
  EXPECT_FALSE(Form.NeedsReopen(*Connection));
  Form.ApplyTo(*Connection);
  EXPECT_FALSE(Connection->Active());
  EXPECT_EQ(Closes + Opens, 0);
  EXPECT_EQ(Connection->Port(), "typed-port");
  EXPECT_EQ(Connection->TransmissionMode(), tmASCII);
  EXPECT_EQ(Connection->CustomBaudRate(), 19200u);
  // In the form designer an "active" connection has no port to reopen.
  Connection->SetDesigning(true);
  Connection->Open();
  Port(Form, "another");
  EXPECT_FALSE(Form.NeedsReopen(*Connection));
}

TEST_F(TWriteBack, AFailedWriteStillReopensThePort) {
  auto Connection = MakeConnection(true);
  TForm Form;
  Form.ShowConnection(*Connection);
  Select(Form, "TransmissionModeRadioGroup", tmASCII);
  Type(Form, "ReceiveTimeoutEdit", "3000");
  Type(Form, "MaxRetriesEdit", "0");  // refused by the connection's own setter
  Type(Form, "TurnaroundDelayEdit", "77");
  EXPECT_EQ(MessageOf([&] { Form.ApplyTo(*Connection); }), "Value must be between 1 and 4294967295");
  EXPECT_TRUE(Connection->Active());
  EXPECT_EQ(std::pair(Closes, Opens), std::pair(1, 1));
  // Not all-or-nothing: what came before the failure stays written, what came after does not.
  EXPECT_EQ(Connection->TransmissionMode(), tmASCII);
  EXPECT_EQ(Connection->ReceiveTimeout(), 3000u);
  EXPECT_EQ(Connection->TurnaroundDelay(), 100u);
}

// Plays the operator: once the settings dialog is up in its modal loop, runs Script on it. After
// about five seconds more it closes a dialog that is still open, so a broken script cannot hang.
class TOperator {
 public:
  explicit TOperator(TFormEdit Script) : FScript(std::move(Script)) {
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      auto* Form = qobject_cast<TForm*>(QApplication::activeModalWidget());
      if (Form && !FRan) {
        FRan = true;
        FScript(*Form);
      } else if (Form && ++FTicksAfter > 500) {
        ADD_FAILURE() << "the dialog was still open after the script";
        Form->reject();
      }
    });
    FTimer.start(10);
  }
  bool Ran() const { return FRan; }

 private:
  TFormEdit FScript;
  QTimer FTimer;
  bool FRan = false;
  int FTicksAfter = 0;
};

bool NoEditorLeft() {
  const auto Windows = QApplication::topLevelWidgets();
  return std::none_of(Windows.begin(), Windows.end(), [](QWidget* W) { return qobject_cast<TForm*>(W) != nullptr; });
}

TEST_F(TWriteBack, EditConnectionConfirmed) {
  auto Connection = MakeConnection(true);
  TShownErrors Errors;
  QString Title;
  TOperator Operator([&](TForm& Form) {
    Title = Form.windowTitle();
    Type(Form, "SendTimeoutEdit", "not yet");
    Child<QPushButton>(Form, "OKButton")->click();
    // Refused, and still up: the operator corrects the value.
    Type(Form, "SendTimeoutEdit", "1234");
    Select(Form, "FlowControlRadioGroup", fcRtsCts);
    Child<QPushButton>(Form, "OKButton")->click();
  });
  EXPECT_TRUE(EditConnection(*Connection, QString::fromUtf8("Configuração Modbus")));
  EXPECT_TRUE(Operator.Ran());
  EXPECT_EQ(Title, QString::fromUtf8("Configuração Modbus"));
  EXPECT_EQ(Errors.Messages, std::vector<std::string>{"'not yet' is not a valid integer value"});
  EXPECT_EQ(Connection->SendTimeout(), 1234u);
  EXPECT_EQ(Connection->FlowControl(), fcRtsCts);
  EXPECT_TRUE(Connection->Active());
  EXPECT_EQ(std::pair(Closes, Opens), std::pair(1, 1));
  EXPECT_TRUE(NoEditorLeft());
}

TEST_F(TWriteBack, EditConnectionCancelledWritesNothing) {
  const std::pair<const char*, TFormEdit> Ways[] = {
      {"Cancel", [](TForm& Form) { Child<QPushButton>(Form, "CancelButton")->click(); }},
      {"Escape",
       [](TForm& Form) {
         QKeyEvent Escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
         QApplication::sendEvent(Form.focusWidget() ? Form.focusWidget() : &Form, &Escape);
       }},
      {"close box", [](TForm& Form) { Form.close(); }},
  };
  for (const auto& [Way, Leave] : Ways) {
    SCOPED_TRACE(Way);
    auto Connection = MakeConnection(true);
    TShownErrors Errors;
    TOperator Operator([&](TForm& Form) {
      Type(Form, "SendTimeoutEdit", "1234");
      Type(Form, "ReceiveTimeoutEdit", "not checked either");
      Select(Form, "TransmissionModeRadioGroup", tmASCII);
      Leave(Form);
    });
    EXPECT_FALSE(EditConnection(*Connection, "Settings"));
    EXPECT_TRUE(Operator.Ran());
    EXPECT_TRUE(Errors.Messages.empty());
    EXPECT_EQ(Connection->SendTimeout(), 1000u);
    EXPECT_EQ(Connection->TransmissionMode(), tmRTU);
    EXPECT_EQ(Closes + Opens, 0);
    EXPECT_TRUE(NoEditorLeft());
  }
}

TEST_F(TWriteBack, EditConnectionRaisesAfterTheDialogIsGone) {
  auto Connection = MakeConnection(true);
  TOperator Operator([](TForm& Form) {
    Port(Form, "/dev/quorvel-no-such-port");
    Child<QPushButton>(Form, "OKButton")->click();
  });
  EXPECT_EQ(MessageOf([&] { EditConnection(*Connection, "Settings"); }), "Could not open serial port");
  EXPECT_TRUE(Operator.Ran());
  EXPECT_TRUE(NoEditorLeft());
  EXPECT_FALSE(Connection->Active());
  EXPECT_EQ(Connection->Port(), "/dev/quorvel-no-such-port");
  EXPECT_EQ(std::pair(Closes, Opens), std::pair(1, 0));
}

}  // namespace
