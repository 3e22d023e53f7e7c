import velmora
from velmora.sim import SlaveSimulator

status = velmora.DictionaryItemInput(0x6000, "status", velmora.DataType.UINT16, 0)
speed = velmora.DictionaryItemOutput(0x7000, "speed", velmora.DataType.UINT16)
slave = SlaveSimulator(slave_address=5, connection_id=7, input_bytes=2, output_bytes=2,
                       watchdog_ms=100)
with velmora.MasterHandler(velmora.Dictionary([speed, status]), slave_address=5,
                           connection_id=7, watchdog_timeout_s=0.1,
                           history_size=64) as master:   # 64 is the default; 0 turns it off
    master.master.dictionary_map.add(speed)
    master.slave.dictionary_map.add(status)
    master.start()
    for cycle in range(12):
        if cycle == 8:
            slave.inject("corrupt_crc")               # one reply with a broken CRC
        master.set_reply(slave.process(master.get_request()))
        master.set_fail_safe(master.state is not velmora.StateData)
    events = master.history()                        # oldest first, HistoryEvent values
i = next(i for i, e in enumerate(events) if e.error is not None)
print(events[i].transition, events[i].error)         # DATA_FAIL1 Invalid slave CRC
print(velmora.describe_history(events[i - 2:i + 2]))  # a decoded table
velmora.write_history(events, "history.jsonl")       # attach to a bug report
with open("history.svg", "w", encoding="utf-8") as svg:
    svg.write(velmora.history_to_svg(events))
