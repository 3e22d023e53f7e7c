"""The SRA CRC of a parameter list."""
import pytest

from velmora import calculate_sra_crc


def reference_crc32q(data: bytes) -> int:
    """Bitwise CRC-32/AIXM (polynomial 0x814141AB, MSB first, initial 0, no final XOR)."""
    crc = 0
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x814141AB if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc


@pytest.mark.parametrize(
    "params, expected",
    [([], 0x00000000), ([0x0001], 0x8000B332), ([0x1234], 0x8CD350A1),
     ([0x1234, 0x5678], 0xD0CBA2C6), ([0xFFFF, 0x0000, 0x0001], 0x08D0FC9D)],
)
def test_reference_values(params, expected):
    assert calculate_sra_crc(params) == expected


def test_check_value_of_the_digits():
    assert reference_crc32q(b"123456789") == 0x3010BF7F
    # Nine bytes are not whole words: the words "12" "34" "56" "78" (low byte first) give
    # the CRC of the eight-byte prefix.
    words = [0x3231, 0x3433, 0x3635, 0x3837]
    assert calculate_sra_crc(words) == reference_crc32q(b"12345678")


def test_words_enter_low_byte_first_and_order_matters():
    assert calculate_sra_crc([0x0001]) == reference_crc32q(b"\x01\x00")
    assert calculate_sra_crc([0x5678, 0x1234]) != calculate_sra_crc([0x1234, 0x5678])
    params = list(range(0, 65536, 257))
    expected = reference_crc32q(b"".join(w.to_bytes(2, "little") for w in params))
    assert calculate_sra_crc(params) == expected


def test_result_is_an_unsigned_32_bit_int():
    crc = calculate_sra_crc([0xFFFF] * 10)
    assert isinstance(crc, int) and 0 <= crc < 2**32


@pytest.mark.parametrize(
    "params, error",
    [([65536], OverflowError), ([-1], OverflowError), ([1, 2**70], OverflowError),
     ([1.0], TypeError), (["1"], TypeError), ([None], TypeError),
     ((1, 2), TypeError), (b"\x01\x02", TypeError), (None, TypeError), (5, TypeError)],
)
def test_errors(params, error):
    with pytest.raises(error) as info:
        calculate_sra_crc(params)
    if error is TypeError and not isinstance(params, list):
        assert "params" in info.value.args[0]
