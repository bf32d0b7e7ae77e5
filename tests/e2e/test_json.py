"""JSON topics end to end: mosquitto, the bridge and InfluxDB 1.x."""

import time

from harness import BridgeTestCase, publish, publish_many, wait_until

ZIGBEE = '{"temperature":21.3,"humidity":54.2,"battery":97,"linkquality":94,"update":{"state":"idle"}}'
PLUG = '{"Time":"2026-12-08T10:00:00","ENERGY":{"Power":45,"Voltage":230,"Total":12.5}}'
RELAY = '{"id":0,"apower":12.3,"temperature":{"tC":45.1}}'


class JsonTest(BridgeTestCase):
    def test_device_payloads_are_stored_with_level_tags_and_times(self):
        influx = self.influx()
        self.broker()
        bridge = self.bridge("-v", "-c", "node-17", "--json-topic", "zigbee2mqtt/+room",
                             "--json-topic", "tele/+device/SENSOR=plug",
                             "--json-topic", "shellies/+relay/status=relay", "--json-time-key", "ts")
        bridge.wait_subscribed()
        before_ms = int(time.time() * 1000)
        for topic, payload in (("zigbee2mqtt/kitchen", ZIGBEE),
                               ("tele/plug1/SENSOR", PLUG),
                               ("shellies/relay1/status", RELAY),
                               ("v1/kitchen/temp", "21.5 1700000000000"),
                               ("shellies/relay2/status", '{"apower":1.5,"ts":1700000000000}'),
                               ("shellies/relay3/status", '{"apower":2.5,"ts":"2023-11-14T23:13:21.5+01:00"}'),
                               ("zigbee2mqtt/hall", "[" * 10000),
                               ("zigbee2mqtt/hall", '{"temperature":1e400}'),
                               ("zigbee2mqtt/hall", '{"s":"%s"}' % ("x" * 65536)),
                               ("zigbee2mqtt/hall", "21.5"),
                               ("zigbee2mqtt/hall", '{"temperature":19.5}')):
            self.assertTrue(publish(topic, payload))
        bridge.wait_line(r"^T: hall,.* temperature=19.5 \d+$")
        after_ms = int(time.time() * 1000)
        drops = [line[len("D: JSON message on zigbee2mqtt/hall dropped: "):] for line in bridge.lines()
                 if line.startswith("D: JSON message on ")]
        self.assertEqual(drops, ["nested deeper than 16 levels", "no usable field",
                                 "payload longer than 65536 bytes", "not a JSON object"])
        wait_until(lambda: len(influx.points("relay")) == 3 and len(influx.points("hall")) == 1, 15,
                   "every stored point")

        [kitchen] = influx.points("kitchen", epoch="ms")
        self.assertTrue(before_ms <= kitchen.pop("time") <= after_ms)
        self.assertEqual(kitchen, {"host": "node-17", "mqtt": '"zigbee2mqtt/kitchen"', "room": "kitchen",
                                   "temperature": 21.3, "humidity": 54.2, "battery": 97,
                                   "linkquality": 94, "update_state": "idle"})
        types = dict(influx.query("SHOW FIELD KEYS FROM kitchen")["results"][0]["series"][0]["values"])
        self.assertEqual(types["battery"], "float")
        [plug] = influx.points("plug", epoch="ms")
        plug.pop("time")
        self.assertEqual(plug, {"host": "node-17", "mqtt": '"tele/plug1/SENSOR"', "device": "plug1",
                                "ENERGY_Power": 45, "ENERGY_Voltage": 230, "ENERGY_Total": 12.5,
                                "Time": "2026-12-08T10:00:00"})
        relays = {p["relay"]: p for p in influx.points("relay", epoch="ms")}
        self.assertEqual({k: v for k, v in relays["relay1"].items() if v is not None and k != "time"},
                         {"host": "node-17", "mqtt": '"shellies/relay1/status"', "relay": "relay1",
                          "id": 0, "apower": 12.3, "temperature_tC": 45.1})
        self.assertEqual([(relays[r]["time"], relays[r]["apower"], relays[r].get("ts")) for r in ("relay2", "relay3")],
                         [(1700000000000, 1.5, None), (1700000001500, 2.5, None)])
        self.assertEqual([(p["time"], p["value"]) for p in influx.points("temp", epoch="ms")],
                         [(1700000000000, 21.5)])
        self.assertEqual([p["temperature"] for p in influx.points("hall")], [19.5])

    def test_two_bridges_split_a_shared_subscription(self):
        influx = self.influx()
        self.broker()
        bridges = [self.bridge("-v", "-c", name, "-H", "$share/bridges/v1/", "--json-time-key", "ts",
                               "--json-topic", "$share/bridges/zigbee2mqtt/+room")
                   for name in ("bridge-a", "bridge-b")]
        for bridge in bridges:
            bridge.wait_subscribed()
        publish_many("v1/shared/count", 400)
        for n in range(40):
            self.assertTrue(publish("zigbee2mqtt/hall", '{"n":%d,"ts":%d}' % (n, 1700000000000 + n)))

        def records(prefix):
            return sum(1 for bridge in bridges for line in bridge.lines() if line.startswith(prefix))
        wait_until(lambda: records("T: count,") == 400 and records("T: hall,") == 40, 60,
                   "every record written")
        wait_until(lambda: len(influx.points("count")) >= 400 and len(influx.points("hall")) >= 40, 30,
                   "every point stored")
        count = influx.points("count")
        self.assertEqual(sorted(p["value"] for p in count), list(range(400)))  # none lost, none twice
        self.assertEqual({p["host"] for p in count}, {"bridge-a", "bridge-b"})
        hall = influx.points("hall")
        self.assertEqual(sorted(p["n"] for p in hall), list(range(40)))
        self.assertEqual({p["room"] for p in hall}, {"hall"})
        self.assertEqual(records("T: count,") + records("T: hall,"), 440)
