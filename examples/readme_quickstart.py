import velmora
from velmora.sim import SlaveSimulator

# The slave's safety items: what the master writes (outputs) and reads (inputs).
speed = velmora.DictionaryItemOutput(0x7000, "speed", velmora.DataType.UINT16)
status = velmora.DictionaryItemInput(0x6000, "status", velmora.DataType.UINT16, 0)


def on_state(state: type[velmora.State]) -> None:
    print("state:", state.__name__)


slave = SlaveSimulator(slave_address=5, connection_id=7, input_bytes=2, output_bytes=2,
                       watchdog_ms=100)
with velmora.MasterHandler(velmora.Dictionary([speed, status]), slave_address=5,
                           connection_id=7, watchdog_timeout_s=0.1,
                           state_change_callback=on_state) as master:
    master.master.dictionary_map.add(speed)   # master -> slave
    master.slave.dictionary_map.add(status)   # slave -> master
    master.start()
    for cycle in range(20):                   # one bus cycle each
        slave.inputs = (0xA000 + cycle).to_bytes(2, "little")
        speed.set(100 + cycle)
        reply = slave.process(master.get_request())
        master.set_reply(reply)               # updates status, builds the next request
        if master.state is velmora.StateData:
            master.set_fail_safe(False)       # send process data, not fail-safe data
    print(master)                             # <MasterHandler state=StateData ...>
    # Outputs leave with the next request: the slave holds the speed of one cycle before.
    print(f"status 0x{status.get():04X}, slave speed {int.from_bytes(slave.outputs, 'little')}")
    diagnostics = master.diagnostics
    print(diagnostics["cycles"], "cycles,", diagnostics["accepted_replies"], "accepted replies")
# Leaving the block stopped the connection and ended the watchdog thread.
