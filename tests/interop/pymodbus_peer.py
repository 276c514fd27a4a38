#!/usr/bin/python3
"""A pymodbus peer for the interoperability tests, run by them as a child process.

    pymodbus_peer.py server PORT rtu|ascii
    pymodbus_peer.py client PORT rtu|ascii

Both modes print "ready" once the port is open, and end when standard input closes: the test
that started the peer stops it by closing the pipe, so no signal and no sleep is needed.

The server answers at address 1 from four tables of 2000 entries from address 0, filled by
the formulas below, which InteropData.h repeats for the C++ side.

The client reads one request per line from standard input and prints one result line:
    request          result
    1 START COUNT    ok BIT...       (read coils; 2 reads discrete inputs)
    3 START COUNT    ok VALUE...     (read holding registers; 4 reads input registers)
    5 ADDR 0|1       ok ADDR 0|1     (the address and value the reply echoed)
    6 ADDR VALUE     ok ADDR VALUE
    15 START BIT...  ok START COUNT
    16 START VAL...  ok START COUNT
    7                ok STATUS
    17               ok BYTE...
    22 ADDR AND OR   ok ADDR AND OR
An exception reply prints "exc FUNCTION CODE", anything else "err TEXT". Numbers are decimal.
"""

import asyncio
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.framer.ascii_framer import ModbusAsciiFramer
from pymodbus.framer.rtu_framer import ModbusRtuFramer

TABLE_SIZE = 2000
SERVER_ADDRESS = 1
BAUD_RATE = 19200
SERVER_IDENTIFICATION = b"Quorvel interop"


def coil(address):
    return address % 3 == 0


def discrete_input(address):
    return address % 5 in (1, 4)


def holding_register(address):
    return (address * 0x0101 + 0x1234) & 0xFFFF


def input_register(address):
    return (address * 0x3131 + 0xA5A5) & 0xFFFF


def framer_of(name):
    return {"rtu": ModbusRtuFramer, "ascii": ModbusAsciiFramer}[name]


async def wait_for_stdin_to_close():
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)


async def serve(port, framer):
    from pymodbus.server.async_io import ModbusSerialServer

    def block(formula):
        return ModbusSequentialDataBlock(0, [formula(a) for a in range(TABLE_SIZE)])

    # zero_mode: address 0 on the wire is the first entry, not address 1; without it pymodbus
    # shifts every address by one, which no other Modbus implementation does.
    store = ModbusSlaveContext(
        co=block(coil),
        di=block(discrete_input),
        hr=block(holding_register),
        ir=block(input_register),
        zero_mode=True,
    )
    store.reportSlaveIdData = SERVER_IDENTIFICATION
    context = ModbusServerContext(slaves={SERVER_ADDRESS: store}, single=False)
    # The serial server's framer must be named: it takes ASCII when none is given.
    # ignore_missing_slaves: requests to other addresses stay unanswered, as on a real bus.
    server = ModbusSerialServer(
        context,
        framer=framer,
        port=port,
        baudrate=BAUD_RATE,
        bytesize=8,
        parity="N",
        stopbits=1,
        ignore_missing_slaves=True,
    )
    await server.start()
    if server.transport is None:
        print("err cannot open", port, flush=True)
        return 1
    print("ready", flush=True)
    await wait_for_stdin_to_close()
    await server.shutdown()
    return 0


def result_of(function, response):
    if response.isError():
        code = getattr(response, "exception_code", None)
        if code is None:
            return f"err {response}"
        return f"exc {response.function_code} {code}"
    if function in (1, 2):
        return None  # needs the count, see run_request
    if function in (3, 4):
        return "ok " + " ".join(str(v) for v in response.registers)
    if function == 5:
        return f"ok {response.address} {int(bool(response.value))}"
    if function == 6:
        return f"ok {response.address} {response.value}"
    if function in (15, 16):
        return f"ok {response.address} {response.count}"
    if function == 7:
        return f"ok {response.status}"
    if function == 17:
        # pymodbus keeps every byte after the byte count as the identifier, the run status too.
        return "ok " + " ".join(str(b) for b in bytes(response.identifier))
    if function == 22:
        return f"ok {response.address} {response.and_mask} {response.or_mask}"
    return f"err unknown function {function}"


def run_request(client, words):
    function, args = words[0], words[1:]
    unit = {"slave": SERVER_ADDRESS}
    if function == 1:
        response = client.read_coils(args[0], args[1], **unit)
    elif function == 2:
        response = client.read_discrete_inputs(args[0], args[1], **unit)
    elif function == 3:
        response = client.read_holding_registers(args[0], args[1], **unit)
    elif function == 4:
        response = client.read_input_registers(args[0], args[1], **unit)
    elif function == 5:
        response = client.write_coil(args[0], bool(args[1]), **unit)
    elif function == 6:
        response = client.write_register(args[0], args[1], **unit)
    elif function == 15:
        response = client.write_coils(args[0], [bool(v) for v in args[1:]], **unit)
    elif function == 16:
        response = client.write_registers(args[0], args[1:], **unit)
    elif function == 7:
        response = client.read_exception_status(**unit)
    elif function == 17:
        from pymodbus.other_message import ReportSlaveIdRequest

        response = client.execute(ReportSlaveIdRequest(SERVER_ADDRESS))
    elif function == 22:
        from pymodbus.register_write_message import MaskWriteRegisterRequest

        response = client.execute(MaskWriteRegisterRequest(args[0], args[1], args[2], unit=SERVER_ADDRESS))
    else:
        return f"err unsupported request {function}"
    if function in (1, 2) and not response.isError():
        # The reply carries whole bytes; only the first COUNT bits were asked for.
        return "ok " + " ".join(str(int(b)) for b in response.bits[: args[1]])
    return result_of(function, response)


def run_client(port, framer):
    from pymodbus.client import ModbusSerialClient

    client = ModbusSerialClient(
        port, framer=framer, baudrate=BAUD_RATE, bytesize=8, parity="N", stopbits=1, timeout=1, retries=0
    )
    if not client.connect():
        print("err cannot open", port, flush=True)
        return 1
    print("ready", flush=True)
    for line in sys.stdin:
        words = [int(w) for w in line.split()]
        if not words:
            continue
        try:
            result = run_request(client, words)
        except Exception as exc:  # every failure is a result line, the test decides
            result = f"err {type(exc).__name__}: {exc}"
        print(result.replace("\n", " "), flush=True)
    client.close()
    return 0


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("server", "client"):
        print(__doc__, file=sys.stderr)
        return 2
    # Exception replies and the cancelled port handler at shutdown are expected here, not errors.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    role, port, framer = sys.argv[1], sys.argv[2], framer_of(sys.argv[3])
    if role == "server":
        return asyncio.run(serve(port, framer))
    return run_client(port, framer)


if __name__ == "__main__":
    sys.exit(main())
