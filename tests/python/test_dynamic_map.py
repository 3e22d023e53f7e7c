import pytest

from velmora import DataType, DynamicMappableItem, FSOEDynamicMap, FSOEFrame


def frame_with(safe_bytes):
    frame = FSOEFrame()
    frame.safe_data_size_bytes = safe_bytes
    return frame


@pytest.mark.parametrize(
    "value, t, raw, back",
    [
        (-2, DataType.INT16, 0xFFFE, -2),
        (True, DataType.BOOL, 1, True),
        (1.0, DataType.FLOAT, 0x3F800000, 1.0),
        (4294967295, DataType.UINT32, 4294967295, 4294967295),
    ],
)
def test_item_holds_raw_form(value, t, raw, back):
    item = DynamicMappableItem(value, t)
    assert item._raw_value == item.raw_value == raw
    got = item.get()
    assert got == item.value == back and type(got) is type(back)
    assert item.n_bytes == t.bytes and item.data_type is t


@pytest.mark.parametrize(
    "t, bad, error",
    [
        (DataType.UINT16, 65536, ValueError),
        (DataType.UINT16, -1, ValueError),
        (DataType.UINT32, 2**64, ValueError),
        (DataType.UINT8, 1.5, TypeError),
        (DataType.UINT8, None, TypeError),
        (DataType.FLOAT, 1e39, OverflowError),
    ],
)
def test_item_keeps_old_raw_value_on_failure(t, bad, error):
    item = DynamicMappableItem(1, t)
    before = item.raw_value
    with pytest.raises(error):
        item.set(bad)
    with pytest.raises(error):
        item.value = bad
    with pytest.raises(error):
        DynamicMappableItem(bad, t)
    assert item.raw_value == before


def test_item_fields_are_read_only():
    item = DynamicMappableItem(1, DataType.UINT8)
    for field in ("raw_value", "_raw_value", "n_bytes", "data_type"):
        with pytest.raises(AttributeError):
            setattr(item, field, 2)
    item.value = 7
    assert item.raw_value == 7


def two_items():
    m = FSOEDynamicMap()
    m.add(DynamicMappableItem(0xA1A0, DataType.UINT16))
    m.add(DynamicMappableItem(0xB1B0, DataType.UINT16))
    return m


@pytest.mark.parametrize(
    "per_frame, frames",
    [
        (1, ["a0", "a1", "b0", "b1", "00", "00"]),
        (2, ["a0a1", "b0b1", "0000"]),
        (3, ["a0a1b0", "b10000", "000000"]),
        (4, ["a0a1b0b1", "00000000"]),
        (6, ["a0a1b0b10000", "000000000000"]),
    ],
)
def test_send_piecewise(per_frame, frames):
    m = two_items()
    frame = frame_with(8)
    sent = []
    for _ in frames:
        m.set_data_to_frame(frame=frame, valid_data_bytes=per_frame)
        data = frame.get_safe_data_bytes()
        assert data[per_frame:] == bytes(16 - per_frame)
        sent.append(data[:per_frame].hex())
    assert sent == frames
    assert not m.pending()
    assert (m.bytes_processed, m.items_processed, m.pending_items()) == (4, 2, 0)


def test_counters_mid_item():
    m = two_items()
    frame = frame_with(4)
    m.set_data_to_frame(frame, 3)
    assert (m.current_processed_item, m.current_processed_item_byte) == (1, 1)
    assert (m.items_processed, m.bytes_processed, m.pending()) == (1, 3, True)


def test_item_ending_with_frame_advances():
    m = FSOEDynamicMap()
    m.add(DynamicMappableItem(0x1234, DataType.UINT16))
    m.set_data_to_frame(frame_with(2), 2)
    assert (m.items_processed, m.current_processed_item_byte, m.pending()) == (1, 0, False)


def test_empty_map_and_oversized_request():
    frame = frame_with(4)
    frame.set_safe_data_bytes(b"\x09\x09\x09\x09")
    FSOEDynamicMap().set_data_to_frame(frame, 2)
    assert frame.get_safe_data_bytes() == bytes(16)
    m = two_items()
    frame.set_safe_data_bytes(b"\x09\x09\x09\x09")
    m.set_data_to_frame(frame, 5)
    assert frame.get_safe_data_bytes() == bytes(16) and m.bytes_processed == 0
    frame.set_safe_data_bytes(b"\x01\x02\x03\x04")
    m.get_data_from_frame(frame, 5)
    assert m._items[0].raw_value == 0xA1A0 and m.bytes_processed == 0


def test_receive_into_shared_items():
    item = DynamicMappableItem(0, DataType.UINT32)
    m = FSOEDynamicMap()
    m.add(item)
    frame = frame_with(4)
    frame.set_safe_data_bytes(bytes([0x11, 0x22, 0x33, 0x44]))
    m.get_data_from_frame(frame=frame, valid_data_bytes=4)
    assert item.raw_value == 0x11 + 256 * 0x22 + 65536 * 0x33 + 16777216 * 0x44
    assert m._items[0] is item


def test_is_safedata_correct_masks_half_item():
    received = FSOEDynamicMap()
    received.add(DynamicMappableItem(0, DataType.UINT16))
    expected = FSOEDynamicMap()
    expected.add(DynamicMappableItem(0x5534, DataType.UINT16))
    frame = frame_with(1)
    frame.set_safe_data_bytes(b"\x34")
    received.get_data_from_frame(frame, 1)
    assert received.is_safedata_correct(expected)
    expected._items[0].set(0x5535)
    assert not received.is_safedata_correct(expected)
    with pytest.raises(IndexError):
        received.is_safedata_correct(FSOEDynamicMap())


def test_is_safedata_correct_compares_typed_values():
    a, b = FSOEDynamicMap(), FSOEDynamicMap()
    a.add(DynamicMappableItem(1, DataType.BOOL))
    b.add(DynamicMappableItem(True, DataType.BOOL))
    frame = frame_with(1)
    a.set_data_to_frame(frame, 1)
    assert a.is_safedata_correct(b)
    b._items[0].set(False)
    assert not a.is_safedata_correct(b)


def test_clear_add_and_items_assignment():
    m = two_items()
    m.set_data_to_frame(frame_with(1), 1)
    m.clear()
    assert (m.total_bytes, m.bytes_processed, m.current_processed_item_byte, m.total_items()) == (0, 0, 0, 0)
    item = DynamicMappableItem(0, DataType.FLOAT)
    m.add(item)
    assert m.total_bytes == 4 and m.pending()
    m._items = [item, item]
    assert m._items == [item, item] and m.total_items() == 2
    m._items = None
    assert m._items == [] and m.pending_items() == 0


@pytest.mark.parametrize("bad", [None, 5, "x", FSOEFrame()])
def test_add_refuses_non_items(bad):
    m = FSOEDynamicMap()
    with pytest.raises(TypeError):
        m.add(bad)
    with pytest.raises(TypeError):
        m._items = [bad]
    assert m.total_bytes == 0


@pytest.mark.parametrize("bad", [None, b"\x00" * 6, FSOEDynamicMap()])
def test_transfers_need_a_frame(bad):
    m = two_items()
    for call in (m.set_data_to_frame, m.get_data_from_frame):
        with pytest.raises(TypeError):
            call(bad, 1)
    with pytest.raises(TypeError):
        m.is_safedata_correct(frame_with(2))
    assert m.bytes_processed == 0


@pytest.mark.parametrize("count, error", [(-1, OverflowError), (65536, OverflowError), (1.0, TypeError)])
def test_valid_data_bytes_is_u16(count, error):
    m = two_items()
    with pytest.raises(error):
        m.set_data_to_frame(frame_with(2), count)
    with pytest.raises(error):
        m.get_data_from_frame(frame_with(2), count)
