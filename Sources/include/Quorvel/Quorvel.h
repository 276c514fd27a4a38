#pragma once
/// @file
/// Quorvel: Modbus RTU and ASCII over serial lines. Include this header for the whole public API.

#include <Quorvel/Application.h>
#include <Quorvel/BitPacking.h>
#include <Quorvel/Checksums.h>
#include <Quorvel/Client.h>
#include <Quorvel/Component.h>
#include <Quorvel/Connection.h>
#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/Diagnostics.h>
#include <Quorvel/Errors.h>
#include <Quorvel/FileRecords.h>
#include <Quorvel/FrameCodec.h>
#include <Quorvel/FrameDescription.h>
#include <Quorvel/HookHandle.h>
#include <Quorvel/LineStatistics.h>
#include <Quorvel/MemoryServer.h>
#include <Quorvel/Messages.h>
#include <Quorvel/ModbusBuffer.h>
#include <Quorvel/Protocol.h>
#include <Quorvel/SerialPorts.h>
#include <Quorvel/Server.h>
#include <Quorvel/ThreadPriority.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>
#include <Quorvel/Version.h>
