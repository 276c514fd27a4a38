// The client's requests: the checks before anything is built, and every frame byte for byte.

#include <Quorvel/Errors.h>
#include "ErrorMessage.h"
#include "LineFixture.h"
#include "TestBytes.h"

using namespace Quorvel;
using namespace QuorvelTest;

namespace {

TRegValues DisplayLine(Word Selector) {
  TRegValues Values(11, 0x2020);
  Values[0] = Selector;
  return Values;
}

class ClientRequest : public LineTest {
 protected:
  void SetUp() override {
    LineTest::SetUp();
    Connection.SetReceiveTimeout(20);  // nobody answers: each request ends quickly
  }
  // The frames the worker sent, once Count of them went out.
  const std::vector<TFrameData>& SentFrames(std::size_t Count) {
    EXPECT_TRUE(PumpUntil([&] { return Sent.size() >= Count; }));
    return Sent;
  }
};

}  // namespace

TEST_F(ClientRequest, TheConnectionIsCheckedFirst) {
  EXPECT_EQ(MessageOf([&] { Client.WriteMultipleRegisters(0, {}); }), "There is no active connection");
  TModbusClient Lonely;
  EXPECT_EQ(MessageOf([&] { Lonely.ReadCoils(0, 1); }), "There is no active connection");
}

TEST_F(ClientRequest, WriteMultipleRegistersLimits) {
  Connection.Open();
  const std::string CountMessage = "Register count must be between 1 and 123";
  EXPECT_EQ(MessageOf([&] { Client.WriteMultipleRegisters(0, {}); }), CountMessage);
  EXPECT_EQ(MessageOf([&] { Client.WriteMultipleRegisters(0, TRegValues(124)); }), CountMessage);
  EXPECT_EQ(MessageOf([&] { Client.WriteMultipleRegisters(65535, {1, 2}); }),
            "Starting register index is invalid (65535)");
  EXPECT_EQ(Connection.NextTransactionID(), 0u) << "a refused request takes no number";
  EXPECT_EQ(Client.WriteMultipleRegisters(65535, {1}), 1u);
  EXPECT_EQ(Client.WriteMultipleRegisters(65413, TRegValues(123)), 2u);
  EXPECT_EQ(Client.WriteMultipleRegisters(0, TRegValues(123)), 3u);
}

TEST_F(ClientRequest, OtherRequestsRefuseWhatAServerWould) {
  Connection.Open();
  EXPECT_EQ(MessageOf([&] { Client.ReadCoils(0, 0); }), "Value must be between 1 and 2000");
  EXPECT_EQ(MessageOf([&] { Client.ReadDiscreteInputs(0, 2001); }), "Value must be between 1 and 2000");
  EXPECT_EQ(MessageOf([&] { Client.ReadCoils(65000, 537); }), "Starting register index is invalid (65000)");
  EXPECT_EQ(MessageOf([&] { Client.ReadHoldingRegisters(0, 126); }), "Register count must be between 1 and 125");
  EXPECT_EQ(MessageOf([&] { Client.ReadInputRegisters(65500, 37); }), "Starting register index is invalid (65500)");
  EXPECT_EQ(MessageOf([&] { Client.WriteMultipleCoils(0, TBitValues(1969)); }), "Value must be between 1 and 1968");
  EXPECT_EQ(MessageOf([&] { Client.WriteMultipleCoils(65535, TBitValues(2)); }),
            "Starting register index is invalid (65535)");
  EXPECT_EQ(MessageOf([&] { Client.Diagnostics(static_cast<TDiagnosticAction>(15)); }),
            "Diagnostic action was not recognized");
  EXPECT_EQ(MessageOf([&] { Client.ReadWriteMultipleRegisters(0, 126, 0, {1}); }),
            "Register count must be between 1 and 125");
  EXPECT_EQ(MessageOf([&] { Client.ReadWriteMultipleRegisters(0, 1, 0, TRegValues(122)); }),
            "Register count must be between 1 and 121");
  EXPECT_EQ(MessageOf([&] { Client.ReadWriteMultipleRegisters(0, 1, 0, {}); }),
            "Register count must be between 1 and 121");
  EXPECT_EQ(MessageOf([&] { Client.ReadWriteMultipleRegisters(65535, 2, 0, {1}); }),
            "Starting register index is invalid (65535)");
  EXPECT_EQ(MessageOf([&] { Client.ReadWriteMultipleRegisters(0, 1, 65535, {1, 2}); }),
            "Starting register index is invalid (65535)");
  EXPECT_EQ(MessageOf([&] { Client.ReadDeviceIdentification(static_cast<TDeviceIdAccess>(5)); }),
            "Value must be between 1 and 4");
  EXPECT_EQ(MessageOf([&] { Client.ReadDeviceIdentification(static_cast<TDeviceIdAccess>(0)); }),
            "Value must be between 1 and 4");
  EXPECT_EQ(MessageOf([&] { Client.SendRawRequest({}); }), "Value must be between 1 and 127");
  EXPECT_EQ(MessageOf([&] { Client.SendRawRequest({0x80, 0x01}); }), "Value must be between 1 and 127")
      << "bit 7 marks an exception reply";
  EXPECT_EQ(MessageOf([&] { Client.SendRawRequest(TFrameData(254, 0x41)); }), "Value must be between 1 and 253");
  TModbusFileRecordList None;
  EXPECT_EQ(MessageOf([&] { Client.ReadFileRecord(None); }), "Value must be between 1 and 35");
  TModbusFileRecordList Big;
  Big.Add(1, 0, 122);
  EXPECT_EQ(MessageOf([&] { Client.ReadFileRecord(Big); }), "Register count must be between 1 and 121");
  EXPECT_EQ(MessageOf([&] { Client.WriteFileRecord(Big); }), "Register count must be between 1 and 119");
  EXPECT_EQ(Connection.NextTransactionID(), 0u);
}

TEST_F(ClientRequest, DisplayLinesAsTheUtilitySendsThem) {
  Connection.Open();
  Client.WriteMultipleRegisters(443, DisplayLine(3));
  Client.WriteMultipleRegisters(443, DisplayLine(4));
  const auto& Frames = SentFrames(2);
  EXPECT_EQ(Frames[0], Hex("01 10 01 BB 00 0B 16 00 03 2020202020202020202020202020202020202020 05 45"));
  EXPECT_EQ(Frames[1], Hex("01 10 01 BB 00 0B 16 00 04 2020202020202020202020202020202020202020 73 F2"));
}

TEST_F(ClientRequest, EveryFunctionsFrame) {
  Client.SetServerAddress(17);
  Connection.Open();
  TModbusFileRecordList Records;
  Records.Add(4, 1, 2).SetRegValue(1, 0x0A0B);
  Records.Add(3, 9, 1);
  struct Row {
    std::function<void()> Request;
    const char* Frame;  // without the check
  };
  const Row Rows[] = {
      {[&] { Client.ReadCoils(19, 37); }, "11 01 0013 0025"},
      {[&] { Client.ReadDiscreteInputs(196, 22); }, "11 02 00C4 0016"},
      {[&] { Client.ReadHoldingRegisters(107, 3); }, "11 03 006B 0003"},
      {[&] { Client.ReadInputRegisters(8, 1); }, "11 04 0008 0001"},
      {[&] { Client.WriteSingleCoil(172, true); }, "11 05 00AC FF00"},
      {[&] { Client.WriteSingleCoil(172, false); }, "11 05 00AC 0000"},
      {[&] { Client.WriteSingleRegister(1, 3); }, "11 06 0001 0003"},
      {[&] { Client.ReadExceptionStatus(); }, "11 07"},
      {[&] { Client.Diagnostics(daReturnQueryData); }, "11 08 0000 A55A"},
      {[&] { Client.Diagnostics(daRestartCommunicationsClearLog); }, "11 08 0001 FF00"},
      {[&] { Client.Diagnostics(daReturnBusMessageCount); }, "11 08 000B 0000"},
      {[&] { Client.Diagnostics(daClearOverrunCounter); }, "11 08 0014 0000"},
      {[&] { Client.WriteMultipleCoils(19, {true, false, true, true, false, false, true, true, true, false}); },
       "11 0F 0013 000A 02 CD 01"},
      {[&] { Client.WriteMultipleRegisters(1, {0x000A, 0x0102}); }, "11 10 0001 0002 04 000A 0102"},
      {[&] { Client.ReportServerIdentification(); }, "11 11"},
      {[&] { Client.ReadFileRecord(Records); }, "11 14 0E 06 0004 0001 0002 06 0003 0009 0001"},
      {[&] { Client.WriteFileRecord(Records); }, "11 15 14 06 0004 0001 0002 0000 0A0B 06 0003 0009 0001 0000"},
      {[&] { Client.MaskWriteSingleRegister(4, 0x00F2, 0x0025); }, "11 16 0004 00F2 0025"},
      {[&] { Client.GetCommEventCounter(); }, "11 0B"},
      {[&] { Client.GetCommEventLog(); }, "11 0C"},
      {[&] { Client.ReadWriteMultipleRegisters(3, 2, 16, {0xABCD, 0x0001}); }, "11 17 0003 0002 0010 0002 04 ABCD 0001"},
      {[&] { Client.ReadFifoQueue(0x04D2); }, "11 18 04D2"},
      {[&] { Client.ReadDeviceIdentification(diExtended, 0x80); }, "11 2B 0E 03 80"},
      {[&] { Client.SendRawRequest(Hex("41 0102")); }, "11 41 0102"},
      {[&] { Client.SendRawRequest(Hex("03 0000 0001")); }, "11 03 0000 0001"},
  };
  for (const auto& R : Rows) R.Request();
  const auto& Frames = SentFrames(std::size(Rows));
  for (std::size_t I = 0; I < std::size(Rows); ++I) EXPECT_EQ(Frames[I], WithCrc(Hex(Rows[I].Frame))) << Rows[I].Frame;
}

TEST_F(ClientRequest, TransactionNumbersComeFromTheConnection) {
  TRecordingClient Second;
  Second.SetConnection(&Connection);
  Second.SetServerAddress(2);
  Connection.Open();
  EXPECT_EQ(Client.ReadCoils(0, 1, 77), 0u);
  EXPECT_EQ(Second.ReadCoils(0, 1), 1u);
  EXPECT_EQ(Client.ReadCoils(0, 1), 2u);
  ASSERT_TRUE(PumpUntil([&] { return Client.Replies.size() == 2 && Second.Replies.size() == 1; }));
  EXPECT_EQ(Client.Replies[0].Info.TransactionID, 0u);
  EXPECT_EQ(Client.Replies[0].Info.UserData, 77u);
  EXPECT_EQ(Client.Replies[0].Info.ServerAddress, 1);
  EXPECT_EQ(Second.Replies[0].Info.TransactionID, 1u);
  EXPECT_EQ(Second.Replies[0].Info.ServerAddress, 2);
}
