"""Protocol vocabulary: constants, enumerations, exceptions and the integer helpers."""
import enum
import typing

import pytest

import velmora


def test_constants():
    assert (velmora.BYTES_PER_WORD, velmora.MAX_DATA_WORDS) == (2, 8)
    assert (velmora.MAX_DATA_BYTES, velmora.MAX_CRC_WORDS) == (16, 8)
    assert velmora.DICTIONARY_VALUE_TYPES == typing.Union[float, int, bool]


@pytest.mark.parametrize(
    "enum_type, base, members",
    [
        (
            velmora.FSOECommand,
            enum.Enum,
            [("PROCESS_DATA", 0x36), ("RESET", 0x2A), ("SESSION", 0x4E),
             ("CONNECTION", 0x64), ("PARAMETER", 0x52), ("FAILSAFE_DATA", 0x08)],
        ),
        (
            velmora.BaseError,
            enum.IntEnum,
            [("RESET", 0), ("INVALID_CMD", 1), ("UNKNOWN_CMD", 2), ("INVALID_CONNID", 3),
             ("INVALID_CRC", 4), ("WD_EXPIRED", 5), ("INVALID_ADDRESS", 6), ("INVALID_DATA", 7),
             ("INVALID_COMMPARALEN", 8), ("INVALID_COMPARA", 9), ("INVALID_USERPARALEN", 10),
             ("INVALID_USERPARA", 11)],
        ),
        (
            velmora.WatchdogCommand,
            enum.Enum,
            [("ACTIVATE", 1), ("DEACTIVATE", 2), ("RESET", 3), ("STOP", 4)],
        ),
    ],
)
def test_enumerations_in_declaration_order(enum_type, base, members):
    assert issubclass(enum_type, base)
    assert [(m.name, m.value) for m in enum_type] == members
    for name, value in members:
        assert enum_type(value) is enum_type[name]


def test_command_is_not_an_integer_enum():
    assert not issubclass(velmora.FSOECommand, int)
    assert velmora.FSOECommand.RESET != 42


def test_fsoe_error_is_base_error_plus_safety_parameter_codes():
    members = list(velmora.FSOEError)
    assert issubclass(velmora.FSOEError, enum.IntEnum)
    assert len(members) == 140
    expected = [(m.name, m.value) for m in velmora.BaseError] + [
        (f"INVALID_SAFEPARA_{code}", code) for code in range(128, 256)
    ]
    assert [(m.name, m.value) for m in members] == expected
    assert velmora.FSOEError(4) is velmora.FSOEError.INVALID_CRC
    assert velmora.FSOEError(200) is velmora.FSOEError.INVALID_SAFEPARA_200
    assert velmora.FSOEError.INVALID_CRC == velmora.BaseError.INVALID_CRC == 4


@pytest.mark.parametrize(
    "enum_type, value",
    [(velmora.FSOEError, 12), (velmora.FSOEError, 127), (velmora.FSOEError, 256),
     (velmora.FSOEError, -1), (velmora.FSOECommand, 0), (velmora.FSOECommand, 0x2B),
     (velmora.BaseError, 12), (velmora.WatchdogCommand, 0)],
)
def test_lookup_of_unknown_value_fails(enum_type, value):
    with pytest.raises(ValueError):
        enum_type(value)


def test_reset_names_are_separate_per_enumeration():
    assert velmora.FSOECommand.RESET.value == 42
    assert velmora.BaseError.RESET == 0
    assert velmora.FSOEError.RESET == 0
    assert velmora.WatchdogCommand.RESET.value == 3


@pytest.mark.parametrize(
    "value, expected",
    [(54, True), (8, True), (0x64, True), (0, False), (0x2B, False), (-54, False),
     (54 + 65536, False), (2**80, False)],
)
def test_command_has_value(value, expected):
    assert velmora.FSOECommand.has_value(value) is expected


def test_command_has_value_is_class_level_and_refuses_non_integers():
    assert velmora.FSOECommand.has_value.__doc__.endswith(
        "Checks if the value is in one of the members of the enum")
    with pytest.raises(TypeError):
        velmora.FSOECommand.has_value("54")


@pytest.mark.parametrize(
    "name, base, doc",
    [
        ("FSOEMasterException", Exception, "Exception for FSoE Master"),
        ("FSOEMasterRunningException", velmora.FSOEMasterException,
         "Exception for raised when the master is already running"),
        ("FSOEMasterMappingLockedException", velmora.FSOEMasterException,
         "Exception raised when trying to map an item on a locked dictionary map"),
        ("FSoEAlreadyMappedException", velmora.FSOEMasterException,
         "Exception raised when trying to map an item that is already mapped"),
    ],
)
def test_exception_hierarchy(name, base, doc):
    cls = getattr(velmora, name)
    assert cls.__bases__ == (base,)
    assert cls.__doc__ == doc
    with pytest.raises(base) as info:
        raise cls("a message")
    assert info.value.args == ("a message",)


@pytest.mark.parametrize("a, b, expected", [(7, 2, 4), (6, 2, 3), (0, 2, 0), (1, 1, 1),
                                             (65535, 2, 32768), (65535, 65535, 1)])
def test_div_ceil(a, b, expected):
    assert velmora.div_ceil(a, b) == expected


@pytest.mark.parametrize("number, boundary, expected", [(0, 8, 0), (1, 8, 8), (16, 8, 16),
                                                         (17, 16, 32), (5, 1, 5),
                                                         (65535, 65535, 65535)])
def test_align_bits(number, boundary, expected):
    assert velmora.align_bits(number, boundary) == expected


@pytest.mark.parametrize(
    "args, error",
    [((1, 0), ZeroDivisionError), ((0, 0), ZeroDivisionError), ((-1, 8), OverflowError),
     ((65536, 8), OverflowError), ((8, -8), OverflowError), ((8, 65536), OverflowError),
     ((2**70, 8), OverflowError), ((65535, 2), OverflowError), ((1.0, 8), TypeError),
     (("1", 8), TypeError), ((1, None), TypeError)],
)
def test_align_bits_errors(args, error):
    with pytest.raises(error):
        velmora.align_bits(*args)


@pytest.mark.parametrize("args, error", [((1, 0), ZeroDivisionError), ((-1, 2), OverflowError),
                                          ((2, -1), OverflowError), ((1.5, 2), TypeError)])
def test_div_ceil_errors(args, error):
    with pytest.raises(error):
        velmora.div_ceil(*args)
