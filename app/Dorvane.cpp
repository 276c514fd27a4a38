// Dorvane: sets up the two display lines of a field device over Modbus.

#include "Startup.h"

int main(int argc, char** argv) { return RunDorvane(argc, argv); }
