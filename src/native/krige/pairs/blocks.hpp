// The block functions of the pair-tile module.
#pragma once

#include "krige/core/common.hpp"

namespace orv::krige::tiles {

extern const pyrt::FunctionSpec kTileSize;
extern const pyrt::FunctionSpec kGreatCircleMatrix;
extern const pyrt::FunctionSpec kPointRange;
extern const pyrt::FunctionSpec kShortcutRange;
extern const pyrt::FunctionSpec kBlockRange;
extern const pyrt::FunctionSpec kBlockClasses;

}  // namespace orv::krige::tiles
