#include "engine/FrameData.h"

namespace Quorvel {

TFrameDataCell NewFrameData(std::size_t Length) { return std::make_unique<TFrameData>(Length); }

void DisposeFrameData(TFrameDataCell& Cell) noexcept {
  TFrameDataCell Released = std::move(Cell);
}

}  // namespace Quorvel
