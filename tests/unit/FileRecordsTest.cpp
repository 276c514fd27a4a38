#include <Quorvel/FileRecords.h>

#include <gtest/gtest.h>

#include <Quorvel/Errors.h>
#include "ErrorMessage.h"

using QuorvelTest::MessageOf;

using namespace Quorvel;

TEST(FileRecords, RecordsEndAtRecordNumber9999) {
  EXPECT_EQ(TModbusFileRecord(1, 9990, 10).RegCount(), 10);
  EXPECT_EQ(MessageOf<EQuorvelError>([] { TModbusFileRecord(1, 9990, 11); }),
            "Starting register index is invalid (9990)");
  EXPECT_EQ(TModbusFileRecord(1, 10000, 0).RegCount(), 0) << "10000 + 0 - 1 = 9999";
  EXPECT_EQ(MessageOf<EQuorvelError>([] { TModbusFileRecord(1, 10001, 0); }),
            "Starting register index is invalid (10001)");
  EXPECT_EQ(MessageOf<EQuorvelError>([] { TModbusFileRecord(1, 65535, 65535); }),
            "Starting register index is invalid (65535)");
}

TEST(FileRecords, ValuesStartAtZeroAndIndicesAreChecked) {
  TModbusFileRecord Record(4, 7, 3);
  EXPECT_EQ(Record.FileNumber(), 4);
  EXPECT_EQ(Record.StartReg(), 7);
  EXPECT_EQ(Record.RegValues(), (TRegValues{0, 0, 0}));
  Record.SetRegValue(2, 0xBEEF);
  EXPECT_EQ(Record.RegValue(2), 0xBEEF);
  EXPECT_EQ(MessageOf<EQuorvelError>([&] { Record.SetRegValue(3, 1); }), "Register index is invalid (3)");
  EXPECT_EQ(MessageOf<EQuorvelError>([&] { Record.SetRegValue(-1, 1); }), "Register index is invalid (-1)");
  EXPECT_EQ(MessageOf<EQuorvelError>([&] { Record.RegValue(3); }), "Register index is invalid (3)");
  EXPECT_EQ(Record.RegValues(), (TRegValues{0, 0, 0xBEEF}));
}

TEST(FileRecords, ListOwnsAndIndexesItsRecords) {
  TModbusFileRecordList List;
  List.Add(1, 0, 2);
  List.Add(2, 10, 1).SetRegValue(0, 42);
  List.Add(3, 20, 0);
  EXPECT_EQ(List.Count(), 3);
  EXPECT_EQ(List.Items(1).RegValue(0), 42);
  EXPECT_EQ(MessageOf<EListError>([&] { List.Items(3); }), "List index out of bounds (3)");
  EXPECT_EQ(MessageOf<EListError>([&] { List.Delete(-1); }), "List index out of bounds (-1)");

  EXPECT_THROW(List.Add(9, 9999, 2), EQuorvelError);
  EXPECT_EQ(List.Count(), 3) << "a refused record is not added";

  List.Delete(0);
  EXPECT_EQ(List.Items(0).FileNumber(), 2);
  List.Clear();
  EXPECT_EQ(List.Count(), 0);
}
