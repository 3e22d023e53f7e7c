"""A worked example of the frame layer: a Reset frame built, protected, encoded and decoded."""
import velmora


def _hex(data: bytes) -> str:
    return " ".join(f"{b:02X}" for b in data)


def main() -> int:
    print(f"velmora {velmora.__version__}")
    frame = velmora.FSOEFrame(7)
    frame.control.command = velmora.FSOECommand.RESET
    frame.control.sequence_number = 1
    frame.control.connection_id = 0
    frame.control.crc0 = 0
    frame.set_safe_data_bytes(bytes([velmora.BaseError.RESET, 0]))
    frame.generate_crcs()
    pdu = frame.frame_to_array()
    print(f"Reset frame: command {frame.control.command.name}, sequence number 1, CRC_0 0x{frame.crcs[0]:04X}")
    print(f"Encoded PDU ({len(pdu)} bytes): {_hex(pdu)}")
    decoded = velmora.FSOEFrame.frame_from_array(pdu)
    decoded.control.sequence_number = 1
    print(
        f"Decoded: command {decoded.control.command.name}, connection id {decoded.control.connection_id}, "
        f"safe data {_hex(decoded.get_safe_data_bytes()[: decoded.safe_data_size_bytes])}, "
        f"CRCs valid: {decoded.check_crcs()}"
    )
    return 0
