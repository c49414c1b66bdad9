#!/usr/bin/python3
"""Frames built by pymodbus (its request and response classes and its RTU framer), decoded by
our decoder tool; every field must match the values pymodbus put into the frame.

Usage: pymodbus_check.py PATH_TO_modbus_decode
"""
import json
import subprocess
import sys

from pymodbus.bit_read_message import (ReadCoilsRequest, ReadCoilsResponse,
                                       ReadDiscreteInputsRequest, ReadDiscreteInputsResponse)
from pymodbus.bit_write_message import (WriteMultipleCoilsRequest, WriteMultipleCoilsResponse,
                                        WriteSingleCoilRequest, WriteSingleCoilResponse)
from pymodbus.diag_message import ReturnQueryDataRequest, ReturnQueryDataResponse
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.mei_message import ReadDeviceInformationRequest, ReadDeviceInformationResponse
from pymodbus.other_message import (ReadExceptionStatusRequest, ReadExceptionStatusResponse,
                                    ReportSlaveIdRequest, ReportSlaveIdResponse)
from pymodbus.pdu import ExceptionResponse
from pymodbus.register_read_message import (ReadHoldingRegistersRequest,
                                            ReadHoldingRegistersResponse,
                                            ReadInputRegistersRequest, ReadInputRegistersResponse,
                                            ReadWriteMultipleRegistersRequest,
                                            ReadWriteMultipleRegistersResponse)
from pymodbus.register_write_message import (MaskWriteRegisterRequest, MaskWriteRegisterResponse,
                                             WriteMultipleRegistersRequest,
                                             WriteMultipleRegistersResponse,
                                             WriteSingleRegisterRequest,
                                             WriteSingleRegisterResponse)
from pymodbus.utilities import computeCRC

FRAMER = ModbusRtuFramer(None)


def packet(message, unit):
    message.unit_id = unit
    return FRAMER.buildPacket(message)


def bits_of(values, count):
    return [1 if bit else 0 for bit in values[:count]]


def exchanges():
    """(request bytes, fields, reply bytes, fields) with the fields pymodbus holds."""
    coils = [True, False, True, True, False, False, True, True, True, False, True]
    out = []
    for request, response in ((ReadCoilsRequest, ReadCoilsResponse),
                              (ReadDiscreteInputsRequest, ReadDiscreteInputsResponse)):
        req = request(0x13, len(coils))
        rsp = response(coils)
        out.append((packet(req, 1), {"function": req.function_code, "address": req.address,
                                     "count": req.count},
                    packet(rsp, 1), {"function": rsp.function_code, "address": req.address,
                                     "values": bits_of(rsp.bits, req.count)}))
    for request, response in ((ReadHoldingRegistersRequest, ReadHoldingRegistersResponse),
                              (ReadInputRegistersRequest, ReadInputRegistersResponse)):
        req = request(0x0000, 10)
        rsp = response(list(range(10)) + [])
        rsp.registers[9] = 0xFFFF
        out.append((packet(req, 17), {"function": req.function_code, "address": 0, "count": 10},
                    packet(rsp, 17), {"function": rsp.function_code, "address": 0,
                                      "values": rsp.registers}))
    req = WriteSingleCoilRequest(0xAC, True)
    rsp = WriteSingleCoilResponse(0xAC, True)
    out.append((packet(req, 2), {"function": 5, "address": 0xAC, "value": 0xFF00},
                packet(rsp, 2), {"function": 5, "address": 0xAC, "value": 0xFF00}))
    req = WriteSingleRegisterRequest(1, 0x1234)
    rsp = WriteSingleRegisterResponse(1, 0x1234)
    out.append((packet(req, 3), {"function": 6, "address": 1, "value": req.value},
                packet(rsp, 3), {"function": 6, "address": 1, "value": rsp.value}))
    req = ReadExceptionStatusRequest()
    rsp = ReadExceptionStatusResponse(0x6D)
    out.append((packet(req, 4), {"function": 7},
                packet(rsp, 4), {"function": 7, "value": rsp.status}))
    req = ReturnQueryDataRequest(0xA537)
    rsp = ReturnQueryDataResponse(0xA537)
    out.append((packet(req, 5), {"function": 8, "sub_function": req.sub_function_code,
                                 "data": "A5 37"},
                packet(rsp, 5), {"function": 8, "sub_function": rsp.sub_function_code,
                                 "data": "A5 37"}))
    req = WriteMultipleCoilsRequest(0x13, coils[:10])
    rsp = WriteMultipleCoilsResponse(0x13, 10)
    out.append((packet(req, 6), {"function": 15, "address": 0x13, "count": 10,
                                 "values": bits_of(req.values, 10)},
                packet(rsp, 6), {"function": 15, "address": 0x13, "count": rsp.count}))
    req = WriteMultipleRegistersRequest(1, [10, 258, 65535])
    rsp = WriteMultipleRegistersResponse(1, 3)
    out.append((packet(req, 7), {"function": 16, "address": 1, "count": 3,
                                 "values": req.values},
                packet(rsp, 7), {"function": 16, "address": 1, "count": rsp.count}))
    req = ReportSlaveIdRequest()
    rsp = ReportSlaveIdResponse(b"KORV", True)
    out.append((packet(req, 8), {"function": 17},
                packet(rsp, 8), {"function": 17,
                                 "data": " ".join("%02X" % b for b in b"KORV\xFF")}))
    req = MaskWriteRegisterRequest(4, 0x00F2, 0x0025)
    rsp = MaskWriteRegisterResponse(4, 0x00F2, 0x0025)
    out.append((packet(req, 9), {"function": 22, "address": 4, "and_mask": req.and_mask,
                                 "or_mask": req.or_mask},
                packet(rsp, 9), {"function": 22, "address": 4, "and_mask": rsp.and_mask,
                                 "or_mask": rsp.or_mask}))
    req = ReadWriteMultipleRegistersRequest(read_address=3, read_count=6, write_address=14,
                                            write_registers=[255, 256, 257])
    rsp = ReadWriteMultipleRegistersResponse([1, 2, 3, 4, 5, 60000])
    out.append((packet(req, 10), {"function": 23, "address": 3, "count": 6,
                                  "write_address": 14, "write_count": 3,
                                  "values": req.write_registers},
                packet(rsp, 10), {"function": 23, "address": 3, "values": rsp.registers}))
    req = ReadDeviceInformationRequest(read_code=1, object_id=0)
    rsp = ReadDeviceInformationResponse(read_code=1, information={
        0: b"Korvane Labs", 1: b"KV-1", 2: b"V2.11"})
    out.append((packet(req, 11), {"function": 43, "device_id_code": 1, "object_id": 0},
                packet(rsp, 11), {"function": 43, "device_id_code": 1, "objects": [
                    {"id": k, "value": v.decode()} for k, v in rsp.information.items()]}))
    req = ReadHoldingRegistersRequest(0x0100, 2)
    rsp = ExceptionResponse(0x03, 0x02)
    out.append((packet(req, 12), {"function": 3, "address": 0x100, "count": 2},
                packet(rsp, 12), {"function": 3, "kind": "exception",
                                  "exception": rsp.exception_code,
                                  "exception_name": "Illegal Data Address"}))
    return out


def decode(tool, records, sniff=False):
    text = "".join("%s %d %s\n" % (d, t, data.hex(" ")) for d, t, data in records)
    args = [tool] + (["--sniff"] if sniff else [])
    result = subprocess.run(args, input=text, capture_output=True, text=True, check=True)
    return [json.loads(line) for line in result.stdout.splitlines()]


def check(frame, expected, kind, where, failures):
    want = dict(expected)
    want.setdefault("kind", kind)
    want["crc"] = "ok"
    for key, value in want.items():
        got = frame.get(key)
        if key == "objects" and got is not None:
            got = [{"id": o["id"], "value": o["value"]} for o in got]
        if got != value:
            failures.append("%s: %s is %r, pymodbus built %r (frame %r)"
                            % (where, key, got, value, frame))


def main():
    tool = sys.argv[1]
    failures = []
    table = exchanges()

    # A port we talk through: requests sent, replies received, one record each.
    records = []
    for i, (req, _, rsp, _) in enumerate(table):
        records += [("tx", 1000 * i, req), ("rx", 1000 * i + 12, rsp)]
    frames = decode(tool, records)
    if len(frames) != 2 * len(table):
        failures.append("records: %d frames for %d" % (len(frames), 2 * len(table)))
    for i, (_, req_fields, _, rsp_fields) in enumerate(table):
        if 2 * i + 1 < len(frames):
            check(frames[2 * i], req_fields, "request", "port %d request" % i, failures)
            check(frames[2 * i + 1], rsp_fields, "reply", "port %d reply" % i, failures)
            if frames[2 * i + 1].get("reply_ms") != 12:
                failures.append("port %d: reply_ms %r" % (i, frames[2 * i + 1].get("reply_ms")))

    # A sniffed bus: the whole exchange glued into one received stream, cut at odd places.
    stream = b"".join(req + rsp for req, _, rsp, _ in table)
    cuts = list(range(0, len(stream), 7)) + [len(stream)]
    records = [("rx", 5 * i, stream[a:b]) for i, (a, b) in enumerate(zip(cuts, cuts[1:]))]
    frames = decode(tool, records, sniff=True)
    if len(frames) != 2 * len(table):
        failures.append("sniffed: %d frames for %d" % (len(frames), 2 * len(table)))
    for i, (_, req_fields, _, rsp_fields) in enumerate(table):
        if 2 * i + 1 < len(frames):
            check(frames[2 * i], req_fields, "request", "sniffed %d request" % i, failures)
            check(frames[2 * i + 1], rsp_fields, "reply", "sniffed %d reply" % i, failures)

    # A bad CRC: the expected one is pymodbus's.
    req = packet(ReadHoldingRegistersRequest(0, 10), 1)
    crc = computeCRC(req[:-2])
    frames = decode(tool, [("tx", 0, req[:-2] + b"\x00\x00")])
    want = "%02X %02X" % (crc >> 8, crc & 0xFF)
    if len(frames) != 1 or frames[0].get("crc") != "bad" or frames[0].get("crc_expected") != want:
        failures.append("bad CRC: %r, expected %s" % (frames, want))

    for failure in failures:
        print(failure)
    print("%d exchanges built by pymodbus checked, %d failures" % (len(table), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
