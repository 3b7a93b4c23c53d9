#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Writes the fuzzers' seed corpora to tests/fuzz/corpus/<target>/ (or DIR).

The seeds are the cases of the unit and integration tests, laid out as each target
reads its input: a queue body (16-byte header, payload, NUL), a selector byte and
text, a payload, an XML file or NUL-separated arguments. Files found by the fuzzers
(crash-*) live beside them and are kept; only seed-* files are written.
Usage: scripts/fuzz-seeds.py [DIR]
"""
import hashlib
import pathlib
import struct
import sys


def body(serviceid, cid, rtcode, payload=b"", length=None):
    if isinstance(payload, str):
        payload = payload.encode()
    if length is None:
        length = len(payload)
    return struct.pack("<iiii", serviceid, cid, rtcode, length) + payload + b"\0"


# Answers of the simulated modem, as the AT channel tests see them.
AT_ANSWERS = [
    b'AT+GTSAPFWVER?\r\r\n+GTSAPFWVER: "81600.0000.00.29"\r\n\r\nOK\r\n',
    b"AT+CGMR\r\r\nKT300.01.02\r\n\r\nOK\r\n",
    b"\r\n861234567890123\r\n\r\nOK\r\n",
    b"AT+GTOEMUSBID?\r\r\n+GTOEMUSBID: 3f1e,0a12\r\n\r\nOK\r\n",
    b"AT+BODYSAREN?\r\r\n+BODYSAREN: 1\r\n\r\nOK\r\n",
    b"AT+GTFMODE=1\r\r\n\r\nOK\r\n",
    b"AT+GTFMODE=1\r\r\n\r\nERROR\r\n",
    b"ATI7\r\r\nKT300\r\nOK\r\n",
    b"\r\n+CME ERROR: 10\r\n",
    b"ab\0cd\r\nOK",
    b'x"abc\r\nOK',
    b"::a:b\r\n",
]

SET_PAYLOADS = [b"1", b"2,3", b"", b"1" * 116, b"1" * 117, b"1\rAT+CFUN=0", b"1\nAT+CFUN=0",
                b"1\x1a", b"1;+CFUN=0", b'"a;b"', b'"a";+CFUN=0', b'1,"x;AT+CFUN=']

FASTBOOT_PAYLOADS = [
    "ap:A1;md:M1;op:P1", "path:/fw/;ap:A;md:M;dev:D;oem:O;op:P", "ap:A1/..", "ap:A1",
    "op:P;oem:O;dev:D;md:M;ap:A;path:/fw/", "ap:A;md:M;dev:D;oem:O", "dev:default_X1",
    "path:fw/;ap:A", "path:/fw;ap:A", "ap:", "ap:A;;md:M", "xx:yy;ap:A",
]

EDL_PAYLOADS = [
    "ap:A1;md:M1", "md:M1;ap:A1", "ap:A1;md:M1;ap:A2;xx:yy", "ap:A1;md:M1;touch pwned",
    "ap:A1;md:sub/dir", "ap:A1;md:", "ap:A123;md:M1", "ap:A1;md:M1;", "ap:A1", "ap:A1234;md:M1",
    "ap:A1;md:../x",
]

EDL_XML = [
    "<data><program filename='a'/><program filename='b'/></data>",
    "<data><x><program filename='a'><program filename='b'/></program></x></data>",
    "<data><a><b><c><d><program filename='z'/></d></c></b></a></data>",
    "<data><program filename=''/><program/><program label='x'/><program filename='ok'/></data>",
    "<data><patch filename='a'/><programs filename='b'/><Program filename='c'/></data>",
    "<program filename='root'><program filename='a'/></program>",
    "<whatever><program filename='a'/></whatever>",
    "<data/>",
    "<?xml version='1.0'?><!-- c --><data>text<program filename='a'/>more<!-- d -->"
    "<program filename='b'>x</program></data>",
    "<!DOCTYPE data [<!ENTITY p \"<program filename='e'/>\">]><data>&p;&p;</data>",
    "",
    "<data><program filename='a'>",
]

OPTIONS = [[], ["-l", "9"], ["-l", "0"], ["-l7"], ["-l", "abc"], ["-l", "-1"], ["-v"], ["-x"],
           ["-l"], ["-d", "5"], ["-l", "3", "-d"], ["--loglevel=4"], ["--loglevel"],
           ["--debug=x"], ["--debug"], ["--version"], ["-x", "-l", "1"]]


def seeds():
    out = {}
    # Queue bodies of the MBIM helper's request receiver: every kind of row, bad lens.
    out["fuzz_mbim_request"] = [
        body(1, 0x1002, 0), body(2, 0x4020, 0, "1"), body(0, 0x4005, 0, "2,3"),
        body(1, 0x100a, 0, "ap:A1;md:M1"), body(1, 0x2004, 0), body(1, 0x1008, 0),
        body(1, 0x0001, 0), body(7, 0x1002, 0), body(1, 0x9999, 0),
        body(1, 0x4020, 0, "1", length=2024), body(1, 0x4020, 0, "1", length=-1),
        body(1, 0x4025, 0, '"a;b"'),
    ]
    # Control messages to the MBIM helper (queue 0).
    out["fuzz_mbim_control"] = [
        body(0, 0x0001, 0, "wwan0mbim0"), body(0, 0x0001, 0, "cdc-wdm"), body(0, 0x0001, 0, "../x"),
        body(0, 0x0001, 0, "a b"), body(0, 0x0002, 0), body(0, 0x0003, 0), body(0, 0x0010, 0),
        body(0, 0x0012, 0), body(0, 0x0014, 0), body(0, 0x0020, 0),
        body(0, 0x0001, 0, "wwan0mbim0", length=5000),
    ]
    # Control messages to the D-Bus helper (queue 1), as test_control_receiver sends them.
    out["fuzz_dbus_control"] = [
        body(0, 0x11, 0, "SIM inserted"), body(0, 0x11, 0, b"\xff\xfe"), body(0, 0x13, 0, "46000"),
        body(0, 0x13, 0, "12345678"), body(0, 0x15, 0, "46001"), body(0, 0x15, 0, ""),
        body(0, 0x100a, 0, "fastboot flashing..."), body(0, 0x100a, 0, "fastboot flash ok"),
        body(0, 0x100a, 0, "fastboot flash fail"), body(0, 0x100a, 0, "other"),
        body(0, 0x100b, 0, "14"), body(0, 0x100b, 0, "100"), body(0, 0x100b, 0, "101"),
        body(0, 0x11, 0, "SIM inserted", length=5000), body(0, 0x100a, 0, "fastboot flash ok", length=-3),
        body(0, 0x0020, 0, "x"), body(0, 0x4, 0),
    ]
    responses = [body(1, 0x1002, 0, "KT300.01.02"), body(1, 0x1002, 1, "ERROR"),
                 body(1, 0x1001, 0, b"ab\xffcd"), body(1, 0x1001, 0, b"ab\0cd"),
                 body(1, 0x1001, 0, "x", length=2024)]
    out["fuzz_dbus_response"] = responses
    out["fuzz_helper_message"] = out["fuzz_mbim_request"] + responses
    # Selector (the n-th row of the cut table, see at_answer.h), read size, answer.
    cut = []
    for i, answer in enumerate(AT_ANSWERS):
        for selector in (0, 4, 9, 11, 20, 28, 31, 32):
            if (i + selector) % 3 == 0:
                cut.append(bytes([selector, 255]) + answer)
        cut.append(bytes([i % 33, 2]) + answer)
    out["fuzz_at_cut_out"] = cut
    out["fuzz_at_set_command"] = [bytes([i % 13, 0]) + p for i, p in enumerate(SET_PAYLOADS)] + [
        bytes([13, 11]) + b"AT+GTFMODE=1", bytes([13, 0]) + b"1"]
    out["fuzz_fastboot_payload"] = [p.encode() for p in FASTBOOT_PAYLOADS]
    out["fuzz_edl_payload"] = [p.encode() for p in EDL_PAYLOADS]
    out["fuzz_edl_segments"] = [x.encode() for x in EDL_XML]
    out["fuzz_options"] = [b"\0".join(a.encode() for a in args) for args in OPTIONS]
    return out


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    corpus = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else root / "tests/fuzz/corpus"
    for target, items in seeds().items():
        directory = corpus / target
        directory.mkdir(parents=True, exist_ok=True)
        for old in directory.glob("seed-*"):
            old.unlink()
        for data in items:
            name = "seed-" + hashlib.sha1(data).hexdigest()[:16]
            (directory / name).write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
