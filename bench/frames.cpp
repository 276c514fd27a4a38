// Checksums and frame encoding/decoding, the per-frame work of the line path.

#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include <Quorvel/Checksums.h>
#include <Quorvel/FrameCodec.h>
#include <Quorvel/ModbusBuffer.h>

using namespace Quorvel;

namespace {

// The display-line request: 29 bytes of data and a 2-byte CRC, 31 on the line.
void BuildDisplayLine(const TModbusFrameCodec& Codec, TModbusBuffer& Buffer) {
  Buffer.SetSize(0);
  Buffer.WriteByte(1);
  Buffer.WriteByte(16);
  Buffer.WriteWord(443);
  Buffer.WriteWord(11);
  Buffer.WriteByte(22);
  Buffer.WriteWord(3);
  for (int I = 0; I < 10; ++I) Buffer.WriteWord(0x4142);
  Codec.AppendChecksum(Buffer);
}

void BM_CRC16(benchmark::State& State) {
  std::vector<Byte> Data(static_cast<std::size_t>(State.range(0)));
  for (std::size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<Byte>(I * 31);
  for (auto _ : State) benchmark::DoNotOptimize(CRC16(Data));
  State.SetBytesProcessed(State.iterations() * State.range(0));
}
BENCHMARK(BM_CRC16)->Arg(8)->Arg(31)->Arg(256);

void BM_LRC(benchmark::State& State) {
  std::vector<Byte> Data(static_cast<std::size_t>(State.range(0)));
  for (std::size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<Byte>(I * 31);
  for (auto _ : State) benchmark::DoNotOptimize(LRC(Data));
  State.SetBytesProcessed(State.iterations() * State.range(0));
}
BENCHMARK(BM_LRC)->Arg(8)->Arg(255);

void BM_Encode(benchmark::State& State) {
  const TModbusFrameCodec Codec(static_cast<TTransmissionMode>(State.range(0)));
  TModbusBuffer Buffer(Codec.FrameBufferSize());
  BuildDisplayLine(Codec, Buffer);
  std::array<Byte, 513> Raw{};
  for (auto _ : State) {
    benchmark::DoNotOptimize(Codec.EncodeFrame(Buffer, Raw.data(), Codec.RawFrameSize()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Encode)->ArgName("ascii")->Arg(tmRTU)->Arg(tmASCII);

// Decoding and the checks a received reply goes through: valid frame, matches, exception.
void BM_DecodeAndJudge(benchmark::State& State) {
  const TModbusFrameCodec Codec(static_cast<TTransmissionMode>(State.range(0)));
  TModbusBuffer Request(Codec.FrameBufferSize());
  BuildDisplayLine(Codec, Request);
  std::array<Byte, 513> Raw{};
  const int Length = Codec.EncodeFrame(Request, Raw.data(), Codec.RawFrameSize());
  TModbusBuffer Reply(Codec.FrameBufferSize());
  for (auto _ : State) {
    Codec.DecodeFrame(Raw.data(), Reply, Length);
    bool Good = Codec.IsValidFrame(Reply) && Codec.MatchesRequest(Request, Reply) && !Codec.IsExceptionReply(Reply);
    benchmark::DoNotOptimize(Good);
  }
}
BENCHMARK(BM_DecodeAndJudge)->ArgName("ascii")->Arg(tmRTU)->Arg(tmASCII);

}  // namespace

BENCHMARK_MAIN();
