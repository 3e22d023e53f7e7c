"""``python -m velmora.decode``: FSoE PDUs, or a recorded connection history, for people.

    python -m velmora.decode [--size N] [--crc0 HEX] [--seq N] [--previous-crc0 HEX] PDU...
    python -m velmora.decode --history FILE

Each PDU is hexadecimal; its bytes may be separated by spaces, ':' or '-' and carry 0x.
The block CRCs are checked when --crc0 (the master's last CRC_0) and --seq are given.
"""
import argparse
import re
import sys

import velmora

_SEPARATORS = re.compile(r"[\s:\-]+")
_COLUMNS = ("pdu", "length", "command", "size", "seq", "conn", "safe data", "CRC")


class InputError(Exception):
    """Bad input: reported on stderr with exit status 2."""


def parse_hex_pdu(text):
    tokens = [t for t in _SEPARATORS.split(text.strip()) if t]
    digits = "".join(t[2:] if t[:2].lower() == "0x" else t for t in tokens)
    if not digits:
        raise InputError(f"{text!r} holds no bytes")
    if len(digits) % 2:
        raise InputError(f"{text!r} has an odd number of hex digits")
    try:
        return bytes.fromhex(digits)
    except ValueError:
        raise InputError(f"{text!r} is not hexadecimal") from None


def _u16(parse):
    def convert(text):
        try:
            value = parse(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid value: {text!r}") from None
        if not 0 <= value <= 0xFFFF:
            raise argparse.ArgumentTypeError(f"{text!r} is not 0..65535")
        return value
    return convert


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m velmora.decode",
        description="Decode FSoE PDUs (hex) or print a recorded connection history.")
    parser.add_argument("pdus", nargs="*", metavar="PDU", help="a PDU in hexadecimal")
    parser.add_argument("--size", type=int, metavar="N",
                        help="bytes of safe data (default: inferred from the length)")
    parser.add_argument("--crc0", type=_u16(lambda t: int(t, 16)), metavar="HEX",
                        help="reference CRC_0: the CRC_0 of the master's last frame")
    parser.add_argument("--seq", type=_u16(lambda t: int(t, 0)), metavar="N",
                        help="the sequence number the receiver expects")
    parser.add_argument("--previous-crc0", type=_u16(lambda t: int(t, 16)), metavar="HEX",
                        help="the sender's previous CRC_0 (checks cyclic CRCs)")
    parser.add_argument("--history", metavar="FILE", help="a recorded history to print")
    return parser


def _describe(index, pdu, args):
    size = args.size
    if size is None:
        size = velmora.safe_data_bytes_for_length(len(pdu))
        if size is None:
            raise InputError(f"PDU {index}: no frame is {len(pdu)} bytes long; "
                             "pass --size N to say how many bytes of safe data it carries")
    try:
        return velmora.describe_pdu(pdu, size, crc0=args.crc0, sequence_number=args.seq,
                                    previous_crc0=args.previous_crc0)
    except ValueError as error:
        raise InputError(f"PDU {index}: {error}") from None


def _row(index, d):
    crc = "-" if d.crcs_ok is None else "ok" if d.crcs_ok else "FAIL"
    seq = "-" if d.sequence_number is None else str(d.sequence_number)
    command = d.command_name or f"0x{d.command:02X}"
    return (str(index), str(d.length), command, str(d.safe_data_bytes), seq,
            str(d.connection_id), d.safe_data.hex(" ").upper(), crc)


def format_table(rows):
    widths = [max(len(r[c]) for r in (_COLUMNS, *rows)) for c in range(len(_COLUMNS))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip()
             for r in (_COLUMNS, ["-" * w for w in widths], *rows)]
    return "\n".join(lines)


def _decode_pdus(args):
    pdus = [parse_hex_pdu(text) for text in args.pdus]
    descriptions = [_describe(i, pdu, args) for i, pdu in enumerate(pdus, 1)]
    print(format_table([_row(i, d) for i, d in enumerate(descriptions, 1)]))
    for i, d in enumerate(descriptions, 1):
        for problem in d.problems:
            print(f"PDU {i}: {problem}")


def _print_history(path):
    try:
        events = velmora.read_history(path)
    except (OSError, ValueError) as error:
        raise InputError(f"cannot read the history {path!r}: {error}") from None
    print(velmora.describe_history(events), end="")


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.history is not None and args.pdus:
        parser.error("give either PDUs or --history, not both")
    if args.history is None and not args.pdus:
        parser.error("give one or more PDUs, or --history FILE")
    if (args.crc0 is None) != (args.seq is None):
        parser.error("--crc0 and --seq check the CRCs together: give both or neither")
    if args.previous_crc0 is not None and args.crc0 is None:
        parser.error("--previous-crc0 needs --crc0 and --seq")
    try:
        if args.history is not None:
            _print_history(args.history)
        else:
            _decode_pdus(args)
    except InputError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
