// Arbitrary bytes as a Modbus TCP stream, framed as the engine frames it and decoded as the
// worker decodes it.
//
// The input is what a peer sent, from the start of a frame. What must hold: no crash, no read
// past the input; each frame found is one that ScanMbapFrame calls whole, of 8 to 260 bytes with
// protocol id 0 and its length field's size, and decodes to its unit id and PDU exactly; a scan
// that calls the bytes bad has a protocol id other than 0 or a length out of bounds in them; one
// that needs more is given fewer bytes than its frame; the traffic monitor's descriptions of each
// frame, as a request and as a reply, never throw.

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include <Quorvel/FrameCodec.h>
#include <Quorvel/FrameDescription.h>
#include "FuzzConnection.h"
#include "protocol/MbapFrame.h"

using namespace Quorvel;

namespace {

Word WordAt(const std::uint8_t* Bytes) { return static_cast<Word>(Bytes[0] << 8 | Bytes[1]); }

void CheckFrame(std::span<const Byte> Frame, const TMbapHeader& Header) {
  FUZZ_CHECK(Frame.size() >= 8 && Frame.size() <= static_cast<std::size_t>(MbapMaxFrameSize));
  FUZZ_CHECK(WordAt(Frame.data() + 2) == 0 && Header.ProtocolId == 0);
  FUZZ_CHECK(WordAt(Frame.data() + 4) == Frame.size() - MbapPrefixSize && Header.Length == Frame.size() - 6);
  FUZZ_CHECK(Header.TransactionId == MbapTransactionId(Frame) && Header.UnitId == Frame[6]);
  for (const TConnectionMode Role : {cmClient, cmServer}) {
    const TModbusFrameCodec Codec(tmModbusTCP, Role);
    TModbusBuffer Buffer(Codec.FrameBufferSize());
    FUZZ_CHECK(Codec.DecodeReceivedFrame(Frame.data(), Buffer, static_cast<int>(Frame.size())));
    FUZZ_CHECK(Buffer.Size() == static_cast<int>(Frame.size()) - MbapPrefixSize);
    FUZZ_CHECK(std::memcmp(Buffer.Memory(), Frame.data() + MbapPrefixSize, static_cast<std::size_t>(Buffer.Size())) == 0);
    // Cut short or run long, the same bytes are no frame.
    TModbusBuffer Other(Codec.FrameBufferSize());
    FUZZ_CHECK(!Codec.DecodeReceivedFrame(Frame.data(), Other, static_cast<int>(Frame.size()) - 1));
  }
  DescribeRequest(tmModbusTCP, Frame);
  DescribeReply(tmModbusTCP, Frame, Frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::span<const Byte> Rest(Data, Size);
  while (!Rest.empty()) {
    TMbapHeader Header;
    int Length = 0;
    const TMbapScan Scan = ScanMbapFrame(Rest, Header, Length);
    if (Scan == TMbapScan::Bad) {
      const bool BadProtocol = Rest.size() >= 4 && WordAt(Rest.data() + 2) != 0;
      const Word Claimed = Rest.size() >= 6 ? WordAt(Rest.data() + 4) : 0;
      FUZZ_CHECK(BadProtocol || (Rest.size() >= 6 && (Claimed < MbapMinLength || Claimed > MbapMaxLength)));
      break;
    }
    if (Scan == TMbapScan::NeedMore) {
      FUZZ_CHECK(Rest.size() < 7 || Rest.size() < static_cast<std::size_t>(MbapPrefixSize) + WordAt(Rest.data() + 4));
      break;
    }
    FUZZ_CHECK(Length > 0 && static_cast<std::size_t>(Length) <= Rest.size());
    CheckFrame(Rest.first(static_cast<std::size_t>(Length)), Header);
    Rest = Rest.subspan(static_cast<std::size_t>(Length));
  }
  return 0;
}
