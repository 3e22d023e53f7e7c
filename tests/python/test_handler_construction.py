"""A handler is built by every way of calling its class, and only a second __init__ of a live
handler is refused (Python 3.9's nanobind runs __init__ after __new__ on every call)."""
import functools

import pytest

import velmora as v


def dictionary():
    return v.Dictionary([v.DictionaryItemOutput(1, "speed", v.DataType.UINT16),
                         v.DictionaryItemInput(2, "status", v.DataType.UINT16, 0)])


class Sub(v.MasterHandler):
    pass


CALLS = {
    "class": lambda cls, *a: cls(*a),
    "type.__call__": lambda cls, *a: type.__call__(cls, *a),
    "partial": lambda cls, *a: functools.partial(cls, *a)(),
}


@pytest.mark.parametrize("cls", [v.MasterHandler, Sub], ids=["MasterHandler", "Sub"])
@pytest.mark.parametrize("call", list(CALLS))
def test_every_call_of_the_class_builds_a_handler_and_a_second_init_is_refused(cls, call):
    handler = CALLS[call](cls, dictionary(), 5, 7, 0.1)
    try:
        assert type(handler) is cls and handler.state is v.StateReset
        assert "connection_id=7" in repr(handler)  # a built core, not an uninitialised shell
        with pytest.raises(RuntimeError, match=f"^{cls.__name__} is already initialized$"):
            handler.__init__(dictionary(), 9, 9, 0.1)
        # The refused call changed nothing: the handler still runs as built.
        handler.master.dictionary_map.add(handler.dictionary.key_map[1])
        handler.slave.dictionary_map.add(handler.dictionary.key_map[2])
        handler.start()
        assert len(handler.get_request()) == 7  # a Reset request: 2 bytes of safe data
        assert "connection_id=7" in repr(handler)
    finally:
        handler.delete()
