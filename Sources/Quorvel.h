#pragma once
// Quorvel: Modbus RTU and ASCII over serial lines. Include this header for the whole public API.

#include "BitPacking.h"
#include "Checksums.h"
#include "ConnectionSettings.h"
#include "Errors.h"
#include "FileRecords.h"
#include "FrameCodec.h"
#include "FrameData.h"
#include "ModbusBuffer.h"
#include "Timing.h"
#include "Transaction.h"
#include "Types.h"
