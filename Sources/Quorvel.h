#pragma once
// Quorvel: Modbus RTU and ASCII over serial lines. Include this header for the whole public API.

#include "Errors.h"
#include "Types.h"
