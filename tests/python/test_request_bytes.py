"""The request handed to the host: a bytes object the cycle may rewrite only while nobody else
holds it. Whatever a host keeps never changes, hashes stay true, and a host that lets go of
the last request gets its next one without a new object."""
import gc

import pytest

import velmora as v
from velmora.sim import SlaveSimulator

ADDRESS, CONN_ID = 0x0042, 0x1234


def make_link(n_bytes, history_size=64):
    inputs = [v.DictionaryItemInput(100 + i, f"in{i}", v.DataType.UINT8, 0) for i in range(n_bytes)]
    outputs = [v.DictionaryItemOutput(200 + i, f"out{i}", v.DataType.UINT8) for i in range(n_bytes)]
    handler = v.MasterHandler(v.Dictionary(inputs + outputs), ADDRESS, CONN_ID, 5.0,
                              history_size=history_size)
    for item in outputs:
        handler.master.dictionary_map.add(item)
    for item in inputs:
        handler.slave.dictionary_map.add(item)
    sim = SlaveSimulator(ADDRESS, CONN_ID, n_bytes, n_bytes, 5000, seed=3)
    handler.start()
    handler.set_fail_safe(False)
    return handler, sim, outputs


def cycle(handler, sim, request):
    handler.set_reply(sim.process(request))


@pytest.mark.parametrize("n_bytes", [1, 2, 16])
def test_every_request_a_host_keeps_keeps_its_bytes_and_hash(n_bytes):
    """Through the connection's start (requests of other lengths) and the Data state with
    changing outputs: each object a host held on to still has the bytes it had when handed
    over, and its hash is that of those bytes."""
    handler, sim, outputs = make_link(n_bytes)
    kept = []
    try:
        for i in range(120):
            request = handler.get_request()
            hash(request)  # a cached hash must not survive a rewrite
            kept.append((request, bytes(bytearray(request))))
            for k, item in enumerate(outputs):
                item.set((i * 7 + k) & 0xFF)
            cycle(handler, sim, request)
        assert handler.state is v.StateData
        for request, content in kept:
            assert request == content
            assert hash(request) == hash(content)
    finally:
        handler.delete()


def test_a_request_let_go_of_is_rewritten_and_its_hash_renewed():
    """A host that keeps only the current request: the cycle takes turns between two objects,
    and an object rewritten in place hashes as its new bytes."""
    handler, sim, outputs = make_link(16)
    try:
        request = handler.get_request()
        seen = set()
        for i in range(60):
            assert hash(request) == hash(bytes(bytearray(request)))
            outputs[0].set(i & 0xFF)
            cycle(handler, sim, request)
            request = handler.get_request()
            seen.add(id(request))
            assert request == bytes(handler.get_request())
        assert handler.state is v.StateData
        assert len(seen) <= 3  # two in turn (a third while the connection was starting)
    finally:
        handler.delete()


def test_the_same_request_is_the_same_object_until_it_changes():
    handler, sim, _ = make_link(2)
    try:
        first = handler.get_request()
        content = bytes(bytearray(first))
        assert handler.get_request() is first
        cycle(handler, sim, first)
        second = handler.get_request()
        # The host still holds the first one: the new request is another object.
        assert second is not first and first == content
        assert handler.get_request() is second
    finally:
        handler.delete()


def test_requests_held_elsewhere_are_never_rewritten():
    """References from containers, views and other objects all count as holding it."""
    handler, sim, _ = make_link(16)
    try:
        request = handler.get_request()
        holders = {"dict": {}, "list": [], "view": None}
        snapshots = []
        for i in range(30):
            holder = ("dict", "list", "view")[i % 3]
            if holder == "dict":
                holders["dict"][request] = i
            elif holder == "list":
                holders["list"].append(request)
            else:
                holders["view"] = memoryview(request)
            snapshots.append((request, bytes(bytearray(request))))
            cycle(handler, sim, request)
            request = handler.get_request()
            gc.collect()
        for held, content in snapshots:
            assert held == content
        for key, value in holders["dict"].items():
            assert holders["dict"][bytes(bytearray(key))] == value
    finally:
        handler.delete()
