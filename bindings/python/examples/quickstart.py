import kelvo

units = kelvo.discover()                          # Kelvo_Initial, then browse
print(len(units), "units:", " ".join(u.key for u in units))
with kelvo.open("KV-108:1") as dio:               # 3 ports, readable and writable
    dio.write_port(0, 0xA5)
    print("KV-108 port 0:", hex(dio.read_port(0)))
with kelvo.open("127.0.0.10") as ai:              # the KV-109 by its address
    ai.set_gain(3, 2)                             # channel 3 times 4
    print("KV-109 channels 3 and 7:", ai.read_analogs([3, 7]))
