import velmora

mode = velmora.DictionaryItemOutput(1, "mode", velmora.DataType.UINT8)
speed = velmora.DictionaryItemOutput(2, "speed", velmora.DataType.UINT16)
outputs = velmora.DictionaryMap(
    velmora.Dictionary([mode, speed]),
    {velmora.DictionaryItemOutput, velmora.DictionaryItemInputOutput},
)
outputs.add(mode)
outputs.add_padding(4)
outputs.insert_in_best_position(speed, 8)
outputs.complete_with_padding()
print(outputs.get_text_representation(item_space=10))
with open("map.svg", "w", encoding="utf-8") as svg:
    svg.write(outputs.to_svg())
