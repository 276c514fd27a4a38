#!/usr/bin/python3
"""A pymodbus peer for the interoperability tests, run by them as a child process.

    pymodbus_peer.py server PORT rtu|ascii|socket [ADDRESS]
    pymodbus_peer.py client PORT rtu|ascii|socket [ADDRESS]

PORT is a serial port, or tcp://HOST:PORT: the server then listens there, the client connects
there, and the frames are the framer's over TCP (socket: Modbus TCP's own framing).

Both modes print "ready" once the port is open, and end when standard input closes: the test
that started the peer stops it by closing the pipe, so no signal and no sleep is needed.

The server answers at ADDRESS (1 unless given) from four tables of 2000 entries from address 0,
filled by the formulas below, which InteropData.h repeats for the C++ side; the client asks that
address.

The client reads one request per line from standard input and prints one result line:
    request          result
    1 START COUNT    ok BIT...       (read coils; 2 reads discrete inputs)
    3 START COUNT    ok VALUE...     (read holding registers; 4 reads input registers)
    5 ADDR 0|1       ok ADDR 0|1     (the address and value the reply echoed)
    6 ADDR VALUE     ok ADDR VALUE
    15 START BIT...  ok START COUNT
    16 START VAL...  ok START COUNT
    7                ok STATUS
    8 SUB DATA       ok SUB WORD...  (diagnostics: the sub-function and the data words of the reply)
    11               ok STATUS EVENTCOUNT
    12               ok STATUS EVENTCOUNT MESSAGECOUNT EVENT...
    17               ok BYTE...
    20 FILE RECORD COUNT [FILE RECORD COUNT...]   ok VALUE...  (every record's, in order)
    21 FILE RECORD VALUE...   ok FILE RECORD VALUE...  (the record the reply echoed)
    22 ADDR AND OR   ok ADDR AND OR
    23 READSTART READCOUNT WRITESTART VALUE...   ok VALUE...  (those read)
    24 ADDR          ok VALUE...
    43 CODE OBJECT   ok CONFORMITY MOREFOLLOWS NEXTOBJECT ID:HEX...  (read device identification)
    65 BYTE...       ok BYTE...      (a function of the test's own: a byte count, then the bytes)
An exception reply prints "exc FUNCTION CODE", anything else "err TEXT". Numbers are decimal.

The server also answers 43/14 with the identification below, long enough that a regular read
takes two requests.
"""

import asyncio
import logging
import struct
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.device import ModbusDeviceIdentification
from pymodbus.file_message import ReadFifoQueueResponse
from pymodbus.framer.ascii_framer import ModbusAsciiFramer
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.framer.socket_framer import ModbusSocketFramer
from pymodbus.pdu import ModbusRequest, ModbusResponse

TABLE_SIZE = 2000
SERVER_ADDRESS = 1  # or the command line's ADDRESS
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


# Objects 0 to 6 of read device identification: the regular ones do not fit one reply.
DEVICE_IDENTIFICATION = {
    "VendorName": "Quorvel interop",
    "ProductCode": "QI",
    "MajorMinorRevision": "3.0",
    "VendorUrl": "u" * 100,
    "ProductName": "p" * 100,
    "ModelName": "m" * 100,
    "UserApplicationName": "a",
}

CUSTOM_FUNCTION = 0x41


class FifoQueueResponse(ReadFifoQueueResponse):
    """pymodbus 3.0 reads a FIFO queue's registers short (as many as its count less four): read
    them as the protocol lays them out, the queue's count word first."""

    def decode(self, data):
        count = struct.unpack(">H", data[2:4])[0]
        self.values = [struct.unpack(">H", data[4 + 2 * i : 6 + 2 * i])[0] for i in range(count)]


class CountedBytes:
    """The test's own function, its request and its reply alike: a byte count, then the bytes."""

    function_code = CUSTOM_FUNCTION
    _rtu_byte_count_pos = 2

    def __init__(self, data=b"", **kwargs):
        super().__init__(**kwargs)
        self.data = bytes(data)

    def encode(self):
        return bytes([len(self.data)]) + self.data

    def decode(self, data):
        self.data = bytes(data[1 : 1 + data[0]])


class CustomRequest(CountedBytes, ModbusRequest):
    pass


class CustomResponse(CountedBytes, ModbusResponse):
    pass


def framer_of(name):
    return {"rtu": ModbusRtuFramer, "ascii": ModbusAsciiFramer, "socket": ModbusSocketFramer}[name]


def tcp_address(port):
    """(HOST, PORT) of a tcp://HOST:PORT port, or None for a serial port."""
    if not port.startswith("tcp://"):
        return None
    host, _, number = port[len("tcp://") :].rpartition(":")
    return host, int(number)


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
    identity = ModbusDeviceIdentification(info_name=DEVICE_IDENTIFICATION)
    address = tcp_address(port)
    if address is not None:
        from pymodbus.server.async_io import ModbusTcpServer

        server = ModbusTcpServer(
            context,
            framer=framer,
            address=address,
            allow_reuse_address=True,
            ignore_missing_slaves=True,
            identity=identity,
            defer_start=True,
        )
        server_task = asyncio.create_task(server.serve_forever())
        # A port that cannot be had ends the task before the server is serving.
        await asyncio.wait({server_task, server.serving}, timeout=10, return_when=asyncio.FIRST_COMPLETED)
        if not server.serving.done():
            print("err cannot listen on", port, flush=True)
            return 1
        print("ready", flush=True)
        await wait_for_stdin_to_close()
        await server.shutdown()
        server_task.cancel()
        return 0
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
        identity=identity,
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
    if function == 8:
        return "ok " + " ".join(str(w) for w in [response.sub_function_code, *response.message])
    if function == 11:
        return f"ok {0 if response.status else 0xFFFF} {response.count}"
    if function == 12:
        head = [0 if response.status else 0xFFFF, response.event_count, response.message_count]
        return "ok " + " ".join(str(v) for v in head + list(response.events))
    if function == 20:
        return "ok " + " ".join(str(v) for r in response.records for v in words_of(r.record_data))
    if function == 21:
        r = response.records[0]
        return " ".join(["ok", str(r.file_number), str(r.record_number)] + [str(v) for v in words_of(r.record_data)])
    if function == 23:
        return "ok " + " ".join(str(v) for v in response.registers)
    if function == 24:
        return "ok " + " ".join(str(v) for v in response.values)
    if function == 43:
        head = f"ok {response.conformity} {response.more_follows} {response.next_object_id}"
        return head + "".join(f" {i}:{bytes(v).hex()}" for i, v in sorted(response.information.items()))
    if function == CUSTOM_FUNCTION:
        return "ok " + " ".join(str(b) for b in response.data)
    return f"err unknown function {function}"


def words_of(data):
    return [struct.unpack(">H", bytes(data[i : i + 2]))[0] for i in range(0, len(data) - 1, 2)]


def diagnostics_request(sub, data):
    from pymodbus import diag_message as diag

    unit = {"unit": SERVER_ADDRESS}
    if sub == 0:
        return diag.ReturnQueryDataRequest(message=data, **unit)
    if sub == 1:
        return diag.RestartCommunicationsOptionRequest(toggle=data == 0xFF00, **unit)
    simple = {
        2: diag.ReturnDiagnosticRegisterRequest,
        4: diag.ForceListenOnlyModeRequest,
        10: diag.ClearCountersRequest,
        11: diag.ReturnBusMessageCountRequest,
        12: diag.ReturnBusCommunicationErrorCountRequest,
        13: diag.ReturnBusExceptionErrorCountRequest,
        14: diag.ReturnSlaveMessageCountRequest,
        15: diag.ReturnSlaveNoResponseCountRequest,
        16: diag.ReturnSlaveNAKCountRequest,
        17: diag.ReturnSlaveBusyCountRequest,
        18: diag.ReturnSlaveBusCharacterOverrunCountRequest,
        20: diag.ClearOverrunCountRequest,
    }
    return simple[sub](data=data, **unit)


def file_records(args):
    from pymodbus.file_message import FileRecord

    return [
        FileRecord(file_number=args[i], record_number=args[i + 1], record_length=args[i + 2])
        for i in range(0, len(args) - 2, 3)
    ]


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
    elif function == 8:
        response = client.execute(diagnostics_request(args[0], args[1]))
    elif function in (11, 12):
        from pymodbus.other_message import GetCommEventCounterRequest, GetCommEventLogRequest

        request = GetCommEventCounterRequest if function == 11 else GetCommEventLogRequest
        response = client.execute(request(unit=SERVER_ADDRESS))
    elif function == 20:
        from pymodbus.file_message import ReadFileRecordRequest

        response = client.execute(ReadFileRecordRequest(file_records(args), unit=SERVER_ADDRESS))
    elif function == 21:
        from pymodbus.file_message import FileRecord, WriteFileRecordRequest

        data = b"".join(struct.pack(">H", v) for v in args[2:])
        record = FileRecord(file_number=args[0], record_number=args[1], record_data=data)
        response = client.execute(WriteFileRecordRequest([record], unit=SERVER_ADDRESS))
    elif function == 23:
        from pymodbus.register_read_message import ReadWriteMultipleRegistersRequest

        request = ReadWriteMultipleRegistersRequest(
            read_address=args[0], read_count=args[1], write_address=args[2], write_registers=args[3:], unit=SERVER_ADDRESS
        )
        response = client.execute(request)
    elif function == 24:
        from pymodbus.file_message import ReadFifoQueueRequest

        response = client.execute(ReadFifoQueueRequest(args[0], unit=SERVER_ADDRESS))
    elif function == 43:
        from pymodbus.mei_message import ReadDeviceInformationRequest

        response = client.execute(ReadDeviceInformationRequest(read_code=args[0], object_id=args[1], unit=SERVER_ADDRESS))
    elif function == CUSTOM_FUNCTION:
        response = client.execute(CustomRequest(bytes(args), unit=SERVER_ADDRESS))
    else:
        return f"err unsupported request {function}"
    if function in (1, 2) and not response.isError():
        # The reply carries whole bytes; only the first COUNT bits were asked for.
        return "ok " + " ".join(str(int(b)) for b in response.bits[: args[1]])
    return result_of(function, response)


def run_client(port, framer):
    from pymodbus.client import ModbusSerialClient, ModbusTcpClient

    address = tcp_address(port)
    if address is not None:
        client = ModbusTcpClient(address[0], port=address[1], framer=framer, timeout=1, retries=0)
    else:
        client = ModbusSerialClient(
            port, framer=framer, baudrate=BAUD_RATE, bytesize=8, parity="N", stopbits=1, timeout=1, retries=0
        )
    client.register(FifoQueueResponse)
    client.register(CustomResponse)
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
    global SERVER_ADDRESS
    if len(sys.argv) not in (4, 5) or sys.argv[1] not in ("server", "client"):
        print(__doc__, file=sys.stderr)
        return 2
    if len(sys.argv) == 5:
        SERVER_ADDRESS = int(sys.argv[4])
    # Exception replies and the cancelled port handler at shutdown are expected here, not errors.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    role, port, framer = sys.argv[1], sys.argv[2], framer_of(sys.argv[3])
    if role == "server":
        return asyncio.run(serve(port, framer))
    return run_client(port, framer)


if __name__ == "__main__":
    sys.exit(main())
