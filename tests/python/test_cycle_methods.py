"""set_reply and get_request are called by the interpreter directly (method descriptors, not
the generic binding): the arguments, the instance, the references they take and give and the
errors they raise are their own work, so each is checked here, also after the interpreter
specialised the call site and for subclasses (whose calls it does not specialise)."""
import sys

import pytest

import velmora as v
from velmora import _core
from velmora.sim import SlaveSimulator

ADDRESS, CONN_ID = 0x0042, 0x1234


class Subclassed(v.MasterHandler):
    pass


class Overriding(v.MasterHandler):
    """A host's subclass that wraps both calls."""

    def set_reply(self, data):
        self.replies = getattr(self, "replies", 0) + 1
        super().set_reply(data)

    def get_request(self):
        return super().get_request()


def make_link(cls, n_bytes=4):
    inputs = [v.DictionaryItemInput(100 + i, f"in{i}", v.DataType.UINT8, 0) for i in range(n_bytes)]
    outputs = [v.DictionaryItemOutput(200 + i, f"out{i}", v.DataType.UINT8) for i in range(n_bytes)]
    handler = cls(v.Dictionary(inputs + outputs), ADDRESS, CONN_ID, 5.0)
    for item in outputs:
        handler.master.dictionary_map.add(item)
    for item in inputs:
        handler.slave.dictionary_map.add(item)
    sim = SlaveSimulator(ADDRESS, CONN_ID, n_bytes, n_bytes, 5000, seed=3)
    return handler, sim


@pytest.fixture(params=[v.MasterHandler, Subclassed, Overriding], ids=lambda c: c.__name__)
def link(request):
    handler, sim = make_link(request.param)
    handler.start()
    handler.set_fail_safe(False)
    yield handler, sim
    handler.delete()


@pytest.mark.parametrize("by_name", [False, True], ids=["by position", "by name"])
def test_a_connection_reaches_data_through_the_calls(link, by_name):
    """Many calls from one site (the interpreter specialises it after a few): the connection
    runs into the Data state and stays there, whichever way the reply is passed."""
    handler, sim = link
    for _ in range(200):
        reply = sim.process(handler.get_request())
        if by_name:
            handler.set_reply(data=reply)
        else:
            handler.set_reply(reply)
        handler.set_reply(*[reply], **{})  # the same reply again: a repeat, ignored
    assert handler.state is v.StateData
    assert handler.diagnostics["resets"] == {}
    if isinstance(handler, Overriding):
        assert handler.replies == 400  # every call, repeats too


def test_the_calls_keep_no_reference_and_give_one(link):
    """A reference leaked or dropped per call shows in the counts after many calls."""
    handler, sim = link
    reply = bytearray(sim.process(handler.get_request()))
    held = sys.getrefcount(reply)
    for _ in range(500):
        handler.set_reply(reply)
    assert sys.getrefcount(reply) == held
    request = handler.get_request()
    # The handler keeps the object it handed out, and the caller owns one reference more.
    base = sys.getrefcount(request)
    for _ in range(500):
        assert handler.get_request() is request
    assert sys.getrefcount(request) == base


@pytest.mark.parametrize(
    "call",
    [
        lambda h: h.set_reply(),
        lambda h: h.set_reply(b"\x00", b"\x00"),
        lambda h: h.set_reply(b"\x00", data=b"\x00"),
        lambda h: h.set_reply(reply=b"\x00"),
        lambda h: h.set_reply(None),
        lambda h: h.set_reply(7),
        lambda h: h.set_reply("2a00"),
        lambda h: h.get_request(1),
        lambda h: h.get_request(data=1),
        lambda h: v.MasterHandler.set_reply(object(), b"\x00"),
        lambda h: v.MasterHandler.get_request(object()),
    ],
    ids=["no argument", "two", "twice", "wrong name", "None", "int", "str", "request with one",
         "request by name", "set_reply on another object", "get_request on another object"],
)
def test_wrong_calls_are_type_errors_and_change_nothing(link, call):
    handler, sim = link
    for _ in range(50):
        handler.set_reply(sim.process(handler.get_request()))
    request, state, cycles = handler.get_request(), handler.state, handler.diagnostics["cycles"]
    with pytest.raises(TypeError):
        call(handler)
    assert handler.get_request() == request
    assert handler.state is state and handler.diagnostics["cycles"] == cycles


def test_the_signatures_and_docs_are_readable():
    import inspect

    assert str(inspect.signature(v.MasterHandler.set_reply)) == "(self, /, data)"
    assert str(inspect.signature(v.MasterHandler.get_request)) == "(self, /)"
    assert v.MasterHandler.set_reply.__doc__ == "Set the latest reply from the FSoE Slave."
    assert v.MasterHandler.get_request.__doc__ == "Get the request of FSoE Master handler."


@pytest.mark.parametrize(
    "kind, error",
    [
        ("core", ValueError),
        ("python", KeyError),
        ("bad_alloc", MemoryError),
        ("out_of_range", IndexError),
        ("binding", TypeError),
        ("unknown", SystemError),
    ],
)
def test_every_kind_of_exception_becomes_its_python_error(kind, error):
    """The translation the two calls use for whatever a cycle may throw."""
    with pytest.raises(error) as raised:
        _core._raise_translated(kind)
    assert type(raised.value) is error


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize(
    "wrap", [bytes, BytesSubclass, bytearray, memoryview, lambda b: memoryview(bytearray(b))],
    ids=["bytes", "bytes subclass", "bytearray", "memoryview", "memoryview of bytearray"],
)
def test_every_bytes_like_reply_is_read_as_its_bytes(wrap):
    """The reply's view takes exact bytes by a shortcut and everything else by the general
    path: a reply misread either way fails its CRC check and resets the connection."""
    handler, sim = make_link(v.MasterHandler)
    try:
        handler.start()
        handler.set_fail_safe(False)
        for _ in range(60):
            handler.set_reply(wrap(sim.process(handler.get_request())))
        diagnostics = handler.diagnostics
        assert handler.state is v.StateData
        assert diagnostics["resets"] == {}
        assert diagnostics["accepted_replies"] == diagnostics["cycles"] > 50
    finally:
        handler.delete()


def test_a_c_caller_passing_an_empty_tuple_of_names_is_read_by_position():
    """C callers may pass an empty tuple for "no keywords": the argument is then positional
    (reading a name from the empty tuple would read past it)."""
    import ctypes

    try:
        vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    except AttributeError:  # an inline function only, before Python 3.11
        pytest.skip("this Python does not export PyObject_Vectorcall")
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    handler, sim = make_link(v.MasterHandler)
    try:
        handler.start()
        handler.set_fail_safe(False)
        method = v.MasterHandler.set_reply
        for _ in range(30):
            args = (ctypes.py_object * 2)(handler, sim.process(handler.get_request()))
            assert vectorcall(method, args, 2, ()) is None
        assert handler.state is v.StateData
        assert handler.diagnostics["resets"] == {}
        args = (ctypes.py_object * 2)(handler, b"\x00")
        with pytest.raises(TypeError):
            vectorcall(method, args, 1, ("reply",))  # one positional (self), a wrong name
    finally:
        handler.delete()
