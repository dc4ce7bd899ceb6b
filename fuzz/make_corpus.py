#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets from valid frames.

    python3 fuzz/make_corpus.py [OUTPUT_DIR]     (default: fuzz/corpus)

fuzz_device_list seeds are device-list files. fuzz_replies seeds are
scripted sessions in that target's input format (see fuzz_replies.cpp and
fake_network.h): a sequence of exports, and for every exchange the reply a
well-behaved unit sends, with the right command, status 0 and the right
sequence number, so that the fuzzer starts from calls that succeed and
mutates from there. A few seeds add the failures every call must survive.
"""
import os
import struct
import sys

CMD_READ, CMD_INFO, CMD_MEM_READ, CMD_MEM_STATUS = 0x11, 0x12, 0x19, 0x1B
CMD_WRITE, CMD_CONFIG, CMD_MEM_WRITE, CMD_MEM_CONTROL = 0x21, 0x24, 0x29, 0x2B
REPLY_BIT = 0x80
CHUNK = 248

# Operation codes of fuzz_replies.
(INITIAL, BROWSE, BROWSE_INDEX, OPEN, OPEN_BY_IP, CLOSE, ACCESS, VERINFO, READ_DIO, WRITE_DIO,
 MULTI_READ_DIO, MULTI_WRITE_DIO, SET_DIR_DIO, READ_AIO, READ_COU, WRITE_AIO, WRITE_COU,
 MULTI_READ_AIO, MULTI_WRITE_AIO, SET_GAIN_AIO, SET_MODE_COU, SETTING, MEM_CONTROL, MEM_STATUS,
 MEM_SEEK, MEM_READ, MEM_WRITE, DISCOVER) = range(28)
WIDE = 0x40  # opcode bit: byte arguments with garbage in their upper bits

# Initial's device-list kinds.
LIST_NONE, LIST_MODE1, LIST_MODE2, LIST_MODE0, LIST_MODE_AGAIN, LIST_RAW = range(6)

# Reply record flags.
REPLY_FAILS, REPLY_LONG, REPLY_PATCH = 0x40, 0x20, 0x80


def unit(index):
    """The handle byte that names the unit at this position of the list."""
    return 4 + 8 * index


def reply_frame(command, sequence, length, fields=None):
    """A valid reply of `length` bytes: command | 0x80, status 0, sequence."""
    frame = bytearray(max(length, 3))
    frame[0], frame[1], frame[2] = command | REPLY_BIT, 0, sequence & 0xFF
    for offset, data in (fields or {}).items():
        frame[offset:offset + len(data)] = bytes(data)
    return bytes(frame[:length] if length >= 3 else frame)


class Session:
    """One fuzz_replies input; keeps each unit's sequence counter."""

    def __init__(self):
        self.ops = bytearray()
        self.replies = bytearray()
        self.answers = bytearray()
        self.control = bytearray()
        self.sequence = {}

    def op(self, code, *args):
        self.ops.append(code)
        for a in args:
            if isinstance(a, (bytes, bytearray, list)):
                self.ops += bytes(a)
            else:
                self.ops.append(a & 0xFF)

    def reply(self, data, flags=0):
        extra = len(data) - 256 if len(data) > 255 else -1
        if extra >= 0:
            flags |= REPLY_LONG
            self.replies += bytes([flags, extra]) + data
        else:
            self.replies += bytes([flags, len(data)]) + data

    def failed_receive(self):
        self.replies.append(REPLY_FAILS)

    def answer(self, sender, data):
        self.answers += bytes([len(data)]) + bytes(sender) + bytes(data)

    def next_sequence(self, index, step=True):
        s = self.sequence.get(index, 0)
        if step:
            self.sequence[index] = (s + 1) & 0xFF
        return s

    # A valid reply to the next exchange of unit `index`.
    def unit_reply(self, index, command, length, fields=None, step=True):
        self.reply(reply_frame(command, self.next_sequence(index, step), length, fields))

    def initial(self, kind, units, answers=0):
        """units: (model, unit ID, aux, host) per device line."""
        self.op(INITIAL, kind, len(units), answers)
        for u in units:
            self.op_args(*u)
        self.sequence = {}

    def op_args(self, *args):
        for a in args:
            self.ops.append(a & 0xFF)

    def bytes(self):
        header = struct.pack("<HHH", len(self.ops), len(self.replies), len(self.answers))
        return header + self.ops + self.replies + self.answers + self.control


def le16(v):
    return list(struct.pack("<H", v & 0xFFFF))


def le32(v):
    return list(struct.pack("<I", v & 0xFFFFFFFF))


def digital():
    s = Session()
    # KV-103 (1 in, 1 out), KV-116 (4 in, 4 out), KV-112 (8 in).
    s.initial(LIST_MODE1, [(3, 1, 0, 2), (16, 2, 0, 3), (12, 3, 0, 4)])
    s.op(BROWSE)
    s.op(BROWSE_INDEX, 4 + 1)
    s.op(OPEN, 1, 0, 0)  # the unit at position 0
    s.op(READ_DIO, unit(0), 0)
    s.unit_reply(0, CMD_READ, 24, {3: [0xFF, 8], 16: [0x5A, 0x01, 0, 0, 0, 0, 0, 0]})
    s.op(WRITE_DIO, unit(0), 1, 0x0F, 0xFF)
    s.unit_reply(0, CMD_WRITE, 8)
    s.op(MULTI_READ_DIO, unit(0), 2, [0, 0])
    s.unit_reply(0, CMD_READ, 24, {16: [0x33, 0x44]})
    s.op(SET_DIR_DIO, unit(0), 2, [1, 0])
    s.unit_reply(0, CMD_CONFIG, 8)
    s.op(OPEN, 1, 1, 0)
    s.op(MULTI_WRITE_DIO, unit(1), 3, [4, 5, 4], [0xAA, 0x55, 0x0F], [0xFF, 0xFF, 0xF0])
    s.unit_reply(1, CMD_WRITE, 8)
    s.op(MULTI_READ_DIO, unit(1), 4, [0, 1, 2, 3])
    s.unit_reply(1, CMD_READ, 24, {16: [1, 2, 3, 4, 5, 6, 7, 8]})
    s.op(OPEN, 1, 2, 0)
    s.op(READ_DIO, unit(2), 7)
    s.unit_reply(2, CMD_READ, 24, {16: [0, 0, 0, 0, 0, 0, 0, 0x80]})
    s.op(CLOSE, unit(0))
    s.op(READ_DIO, unit(0), 0)  # closed: fails once and reconnects
    s.next_sequence(0)
    s.op(READ_DIO, unit(0), 0)
    s.unit_reply(0, CMD_READ, 24)
    return s


def analog():
    s = Session()
    # KV-109 (16 analog inputs), KV-110 (4 analog outputs), KV-111 (counter).
    s.initial(LIST_MODE1, [(9, 1, 0, 5), (10, 2, 0, 6), (11, 3, 0, 7)])
    for i in range(3):
        s.op(OPEN, 1, i, 0)
    s.op(READ_AIO, unit(0), 3)
    s.unit_reply(0, CMD_READ, 18, {16: [0x34, 0x82]})
    channels = [0, 5, 15]
    block = bytearray(240)
    for ch in range(16):
        block[4 * ch:4 * ch + 4] = struct.pack("<i", ch * 100 - 700)
    s.op(MULTI_READ_AIO, unit(0), len(channels), channels)
    s.unit_reply(0, CMD_READ, 256, {16: block})
    s.op(SET_GAIN_AIO, unit(0), 1, 2)
    s.unit_reply(0, CMD_CONFIG, 8)
    s.op(WRITE_AIO, unit(1), 2, le32(1234))
    s.unit_reply(1, CMD_WRITE, 8)
    s.op(MULTI_WRITE_AIO, unit(1), 2, [3, 0], le32(-5) + le32(4095))
    s.unit_reply(1, CMD_WRITE, 8)
    s.op(READ_COU, unit(2), 1)
    s.unit_reply(2, CMD_READ, 18, {16: [0xFF, 0x7F]})
    s.op(WRITE_COU, unit(2), 0, le32(77))
    s.unit_reply(2, CMD_WRITE, 8)
    s.op(SET_MODE_COU, unit(2), 1, 2, 1)
    s.unit_reply(2, CMD_CONFIG, 8)
    s.op(READ_AIO, unit(1), 0)  # an output unit: refused, no exchange
    return s


def sampling():
    s = Session()
    s.initial(LIST_MODE1, [(9, 1, 0, 8), (12, 2, 0, 9)])
    s.op(OPEN, 1, 0, 0)
    s.op(OPEN, 1, 1, 0)
    # Settings: which, handle, a, c, value (4 bytes), then extra bytes.
    s.op(SETTING, 1, unit(0), 0x04, 10, le32(0))  # SetMemSamplingCycleAI
    s.op(SETTING, 3, unit(0), 0x01, 0x20, le32(0x1234))  # SetMemTriggerAIO
    s.op(SETTING, 7, unit(0), 3, 0, le32(0), [0, 1, 9])  # SetMemTargetChannelAI
    s.op(SETTING, 5, unit(0), 2, 0x80, le32(0))  # SetMemTrgDataAI
    s.op(SETTING, 0, unit(1), 0x04, 5, le32(0))  # SetMemSamplingCycleDIO
    s.op(SETTING, 4, unit(1), 2, 0, le32(0), [1, 2, 3, 4])  # SetMemTrgDataDIO
    s.op(SETTING, 8, unit(1), 0x04, 0, le32(100000))  # SetMemSamplingFreqAO
    s.op(SETTING, 6, unit(1), 0x08, 0, le32(0))  # SetMemOutputModeAO
    for which in range(9, 17):
        s.op(SETTING, which, unit(which % 2), 2, 0, le32(0))
    s.op(MEM_CONTROL, 1, unit(0))  # MemStartAIO
    s.unit_reply(0, CMD_MEM_CONTROL, 8)
    s.op(MEM_STATUS, 1, unit(0))
    s.unit_reply(0, CMD_MEM_STATUS, 16, {8: [0x81, 0, 3, 0]})
    s.op(MEM_SEEK, 1, unit(0), le32(4096))
    s.unit_reply(0, CMD_MEM_CONTROL, 8)
    s.op(MEM_READ, 1, unit(0), le16(600))
    done = 0
    while done < 600:
        c = min(CHUNK, 600 - done)
        s.unit_reply(0, CMD_MEM_READ, 8 + c, {4: [c], 8: [(done + i) & 0xFF for i in range(c)]})
        done += c
    s.op(MEM_WRITE, 2, unit(1), le16(300), 7)
    s.unit_reply(1, CMD_MEM_WRITE, 8)
    s.unit_reply(1, CMD_MEM_WRITE, 8)
    s.op(MEM_READ, 2, unit(1), le16(248))
    s.unit_reply(1, CMD_MEM_READ, 256, {8: [0x11] * 248})
    s.op(MEM_STATUS, 0, unit(1))
    s.unit_reply(1, CMD_MEM_STATUS, 12, {8: [0x02, 0, 0x10, 0]})
    s.op(MEM_CONTROL, 2, unit(0))  # MemStopDIO
    s.unit_reply(0, CMD_MEM_CONTROL, 8)
    s.op(MEM_READ, 0, unit(0), le16(0))  # nothing to move: no exchange
    return s


def identification_reply(model, aux, unit_id):
    return reply_frame(CMD_INFO, 0, 19, {16: [model, aux, unit_id]})


def discovery():
    s = Session()
    # Mode 2: one listed unit, then three datagrams (the last too long for
    # the 64-byte buffer), then every unit identified in list order.
    s.initial(LIST_MODE2, [(3, 1, 0, 10)], answers=3)
    mac = [0x02, 0x00, 0x00, 0x00, 0x00, 0x21]
    s.answer([127, 0, 0, 11], [0] * 24 + mac + [0] * 4)
    s.answer([127, 0, 0, 12], [0] * 24 + mac[:5] + [0x22])
    s.answer([127, 0, 0, 13], [0] * 80)
    s.reply(identification_reply(3, 0, 1))
    s.reply(identification_reply(9, 0, 2))
    s.reply(identification_reply(11, 1, 3))
    s.op(BROWSE)
    s.op(OPEN_BY_IP, 1, 1)  # the address of the unit at position 1
    s.op(READ_AIO, unit(1), 0)
    s.unit_reply(1, CMD_READ, 18, {16: [1, 0]})
    s.op(OPEN_BY_IP, 0, 9, list(b"127.0.0.1"))  # no such unit
    s.op(DISCOVER, 2)
    s.answer([127, 0, 0, 14], [0] * 30)
    s.answer([127, 0, 0, 15], [0] * 64)
    s.op(BROWSE)
    return s


def version_and_access():
    s = Session()
    s.initial(LIST_MODE1, [(16, 4, 1, 20)])
    s.op(OPEN, 0, 16, 4)
    s.op(VERINFO, unit(0))
    s.unit_reply(0, CMD_INFO, 25, {19: [2, 5, 26, 12, 8, 0x41]}, step=False)
    request = [CMD_READ, 0, 0, 0xFF, 8, 0, 0, 0]
    s.op(ACCESS, unit(0), 0, le16(8), len(request), request)
    s.unit_reply(0, CMD_READ, 24, {4: [8], 16: [9, 8, 7, 6, 5, 4, 3, 2]})
    request = [CMD_CONFIG, 0, 0, 0xFF, 0, 0, 0, 0] + [0xFF] * 8 + [1] * 8
    s.op(ACCESS, unit(0), 0, le16(24), len(request), request)
    s.unit_reply(0, CMD_CONFIG, 16, {4: [0]})
    s.op(ACCESS, unit(0), 0, le16(7), 0)  # shorter than a header: refused
    s.op(CLOSE, unit(0))
    s.op(VERINFO, unit(0))  # not connected: the library part only
    return s


def failures():
    s = Session()
    s.initial(LIST_MODE1, [(3, 1, 0, 30), (12, 2, 0, 31)])
    s.op(OPEN, 1, 0, 0)
    s.op(OPEN, 1, 1, 0)
    # Wrong status, wrong sequence, no reply bit, nothing at all, an error:
    # each fails with STATUS_COMM_ERROR and replaces the connection.
    s.op(READ_DIO, unit(0), 0)
    s.reply(reply_frame(CMD_READ, s.next_sequence(0), 24)[:1] + b"\x01" + bytes([0]) + bytes(21))
    s.op(READ_DIO, unit(0), 0)
    s.reply(reply_frame(CMD_READ, s.next_sequence(0) + 1, 24))
    s.op(READ_DIO, unit(0), 0)
    s.next_sequence(0)
    s.reply(bytes([CMD_READ, 0, 2]) + bytes(21))
    s.op(READ_DIO, unit(0), 0)
    s.next_sequence(0)
    s.reply(b"")
    s.op(READ_DIO, unit(0), 0)
    s.next_sequence(0)
    s.failed_receive()
    # A three-byte reply to a read is short: the read waits for the rest
    # and fails when the unit closes; a reply in two parts is read whole.
    # A reply longer than a frame is cut.
    s.op(READ_DIO, unit(0), 0)
    s.unit_reply(0, CMD_READ, 3)
    s.reply(b"")
    s.op(READ_DIO, unit(0), 0)
    whole = reply_frame(CMD_READ, s.next_sequence(0), 24, {16: [0x5A]})
    s.reply(whole[:5])
    s.reply(whole[5:])
    s.op(MULTI_READ_DIO, unit(1), 8, list(range(8)))
    s.unit_reply(1, CMD_READ, 300, {16: list(range(1, 9))})
    # A patched reply: the fake makes its header valid.
    s.op(MEM_STATUS, 0, unit(1))
    s.next_sequence(1)
    s.reply(bytes(16), REPLY_PATCH)
    # A transfer that fails on its second chunk.
    s.op(MEM_READ, 0, unit(1), le16(400))
    s.unit_reply(1, CMD_MEM_READ, 256, {8: [0x77] * 248})
    s.next_sequence(1)
    s.reply(reply_frame(CMD_MEM_WRITE, 0, 8))
    # Byte arguments with garbage above their low 8 bits.
    s.op(READ_DIO | WIDE, unit(1), 3)
    s.unit_reply(1, CMD_READ, 24, {16: [0, 0, 0, 0x3C]})
    s.op(OPEN, 6, 12, 2)  # model and unit ID with 0x100 added
    s.op(CLOSE, unit(1))
    s.op(CLOSE, unit(1))  # the second time: nothing to close
    s.op(READ_DIO, 1, 0)  # no unit
    s.op(READ_DIO, 0, 0)  # null handle
    return s


def list_kinds():
    s = Session()
    s.initial(LIST_MODE_AGAIN, [(5, 1, 2, 40), (255, 255, 255, 41)], answers=0)
    # Identification: neither unit answers; the second stays unidentified.
    s.reply(b"")
    s.reply(b"")
    s.op(BROWSE)
    text = b"1\r\nraw,14,1,127.0.0.42,02-00-00-00-00-01,0\r\nraw,300,2,1.2.3.300,x,-1\r\n"
    s.op(INITIAL, LIST_RAW, 0, 0, len(text), list(text))
    s.sequence = {}
    s.op(BROWSE)
    s.op(OPEN, 1, 0, 0)
    s.op(WRITE_DIO, unit(0), 7, 0xFF, 0x01)
    s.unit_reply(0, CMD_WRITE, 8)
    s.initial(LIST_MODE0, [(3, 1, 0, 43)], answers=1)
    s.answer([127, 0, 0, 44], [0] * 40)
    s.reply(identification_reply(20, 0, 9))
    s.op(OPEN, 0, 20, 9)
    s.op(WRITE_AIO, unit(0), 3, le32(-1))
    s.unit_reply(0, CMD_WRITE, 8)
    s.initial(LIST_NONE, [], answers=0)
    s.op(BROWSE)
    return s


REPLY_SEEDS = {
    "digital": digital,
    "analog": analog,
    "sampling": sampling,
    "discovery": discovery,
    "version-access": version_and_access,
    "failures": failures,
    "list-kinds": list_kinds,
}

DEVICE_LISTS = {
    "mode2-one-unit": b"2\r\nunit-a,3,1,192.168.0.20,02-00-00-00-00-01,0\r\n",
    "mode1-three-units": b"1\r\n"
    b"io-1,12,1,127.0.0.2,02-00-00-00-01-02,0\r\n"
    b"ai-1,9,2,127.0.0.3,02-00-00-00-01-03,1\r\n"
    b"cnt,11,3,127.0.0.4,02-00-00-00-01-04,255\r\n",
    "mode0-lines-ignored": b"0\r\nunit-a,3,1,192.168.0.20,02-00-00-00-00-01,0\r\n",
    "mode-again": b"-1\r\n1\r\nunit-a,20,7,10.0.0.1,0a-0b-0c-0d-0e-0f,3\r\n",
    "mode-with-text": b" 1 units follow\r\nx,1,1,127.0.0.1,1-2-3-4-5-6,0\r\n",
    "bare-line-feeds": b"1\nunit-a,3,1,192.168.0.20,02-00-00-00-00-01,0\n",
    "last-line-unterminated": b"1\r\na,3,1,127.0.0.1,02-00-00-00-00-01,0\r\nb,4,2,127.0.0.2,02-00-00-00-00-02,0",
    "wrapping-numbers": b"1\r\nbig,300,-1,127.0.0.5,fff-100-0-0-0-1ff,4294967297\r\n",
    "bad-fields": b"1\r\nbad,x,,192.168.0.300,02-00-00,y\r\n,,,\r\n\r\nseven,1,2,3.4.5.6,1-2-3-4-5-6,7,8,9\r\n",
    "unknown-models": b"2\r\nzero,0,1,127.0.0.9,0-0-0-0-0-0,0\r\nhigh,21,2,127.0.0.10,0-0-0-0-0-0,0\r\n"
    b"max,255,255,255.255.255.255,ff-ff-ff-ff-ff-ff,255\r\n",
    "every-model": b"1\r\n" + b"".join(
        b"m%d,%d,%d,127.0.1.%d,02-00-00-00-00-%02x,0\r\n" % (m, m, m, m, m) for m in range(1, 21)),
    "hex-and-space": b"\t+2\r\n sp , 7 , 3 ,127.0.0.1, 0x1a-0X2B-c-D-e-F , 9\r\n",
    "embedded-nul": b"1\r\na,3,1,127.0.0.1,0-0-0-0-0-1,0\r\n\x00b,4,1,127.0.0.2,0-0-0-0-0-2,0\r\n",
    "empty": b"",
}


def modbus(unit, function, data, transaction=1):
    """One Modbus TCP request frame."""
    return struct.pack(">HHHBB", transaction, 0, len(data) + 2, unit, function) + data


def modbus_seeds():
    """fuzz_modbus: a flags byte, then a client's byte stream (see fuzz_modbus.cpp)."""
    read = lambda unit, function, start, count: modbus(unit, function, struct.pack(">HH", start, count))
    return {
        "reads": b"\x00" + read(8, 1, 0, 24) + read(8, 2, 0, 24) + read(8, 3, 0, 3) +
                 read(8, 4, 0, 3) + read(9, 4, 100, 125) + read(9, 4, 300, 32) +
                 read(11, 4, 200, 4) + read(10, 3, 300, 8) + read(8, 4, 1000, 5),
        "writes": b"\x01" + modbus(8, 5, struct.pack(">HH", 3, 0xFF00)) +
                  modbus(14, 6, struct.pack(">HH", 5, 0x3C)) +
                  modbus(14, 15, struct.pack(">HHB", 6, 4, 1) + b"\x03") +
                  modbus(8, 16, struct.pack(">HHBHHH", 0, 3, 6, 1, 2, 3)) +
                  modbus(11, 16, struct.pack(">HHBHH", 200, 2, 4, 0, 40000)) +
                  modbus(10, 16, struct.pack(">HHBf", 300, 2, 4, 2.5)),
        "exceptions": b"\x00" + modbus(8, 0x2B, b"\x0e\x01\x00") + read(99, 4, 0, 1) +
                      read(20, 3, 100, 1) + read(8, 3, 0, 126) +
                      modbus(11, 6, struct.pack(">HH", 201, 1)),
        "truncated": b"\x00" + read(8, 4, 0, 3)[:9],
    }


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    for target, seeds in (("fuzz_device_list", {k: v for k, v in DEVICE_LISTS.items()}),
                          ("fuzz_replies", {k: f().bytes() for k, f in REPLY_SEEDS.items()}),
                          ("fuzz_modbus", modbus_seeds())):
        out = os.path.join(root, target)
        os.makedirs(out, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(out, "seed-" + name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
