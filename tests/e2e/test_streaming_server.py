"""The reference streaming server: strict framing, replies, fault modes and
the viewing page. The streaming tests of the daemon rely on all of it."""
import json
import socket
import struct
import time
import unittest
import urllib.request

from harness import StreamingServer, STREAMING_PORT

MARKER = 1234123456


def fake_jpeg(width, height, fill=0, size=50):
    """A whole JPEG as far as framing goes: SOI, a baseline frame header, some
    bytes, EOI (the server reads the size, it does not decode)."""
    sof = b"\xff\xc0" + struct.pack(">HBHHB", 11, 8, height, width, 1) + b"\x01\x11\x00"
    return b"\xff\xd8" + sof + bytes([fill]) * size + b"\xff\xd9"


def request(mode="set", pictures=(None, None, None, None), idx=0, serial="BBBK1234", lengths=None):
    pics = [p or b"" for p in pictures]
    ls = lengths or [len(p) for p in pics]
    text = "/%s4Jpegs?deviceid=%s&idx=%d&l0=%d&l1=%d&l2=%d&l3=%d&ver=0.5_PC_C_Tester" % (
        mode, serial, idx, ls[0], ls[1], ls[2], ls[3])
    body = text.encode().ljust(200, b"\0") + b"".join(pics)
    return struct.pack(">QI", MARKER, len(body)) + body


class StreamingServerTest(unittest.TestCase):
    def start(self, **kw):
        s = StreamingServer(**kw)
        self.addCleanup(s.stop)
        return s

    def connect(self, server):
        c = socket.create_connection((server.address, STREAMING_PORT), timeout=5)
        self.addCleanup(c.close)
        return c

    def test_set_requests_are_answered_with_success_and_pictures_kept(self):
        s = self.start()
        c = self.connect(s)
        pic = fake_jpeg(160, 120, 7)
        c.sendall(request("set", (None, None, pic, None)))
        self.assertIn(b"success", c.recv(500))
        m = s.messages()[-1]
        self.assertEqual(m["mode"], "set")
        self.assertEqual(m["length"], 200 + len(pic))
        self.assertEqual(m["pictures"], [{"input": 2, "bytes": len(pic), "width": 160, "height": 120}])
        with open(s.save_dir + "/input2.jpg", "rb") as f:
            self.assertEqual(f.read(), pic)

    def test_stream_requests_get_no_reply(self):
        s = self.start()
        c = self.connect(s)
        c.sendall(request("stream", (fake_jpeg(8, 8), None, None, None)))
        c.sendall(request("stream", (None, fake_jpeg(16, 8), None, None), idx=1))
        self.assertTrue(s.wait_for(lambda x: len(x.messages()) == 2, 5))
        c.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            c.recv(10)
        self.assertEqual([m["idx"] for m in s.messages()], ["0", "1"])

    def test_wrong_marker_or_length_is_rejected_and_the_connection_closed(self):
        s = self.start()
        for bad in (struct.pack(">QI", MARKER + 1, 200) + b"\0" * 200,
                    struct.pack(">QI", MARKER, 199) + b"\0" * 199,
                    struct.pack(">QI", MARKER, 4300001),
                    request("set", (fake_jpeg(8, 8), None, None, None), lengths=[10, 0, 0, 0])):
            c = self.connect(s)
            c.sendall(bad)
            self.assertEqual(c.recv(100), b"")  # closed, no reply
        errors = s.entries("error")
        self.assertEqual(len(errors), 4)
        self.assertIn("wrong marker", errors[0]["reason"])
        self.assertIn("wrong body length", errors[1]["reason"])
        self.assertIn("wrong body length", errors[2]["reason"])
        self.assertEqual(s.messages(), [])

    def test_pictures_that_are_not_jpegs_are_rejected(self):
        s = self.start()
        c = self.connect(s)
        c.sendall(request("set", (b"\x10\x80" * 40, None, None, None)))
        self.assertEqual(c.recv(100), b"")
        self.assertIn("SOI", s.entries("error")[0]["reason"])

    def test_fault_silent_never_answers(self):
        s = self.start(fault="silent")
        c = self.connect(s)
        c.sendall(request("set", (fake_jpeg(8, 8), None, None, None)))
        self.assertTrue(s.wait_for(lambda x: len(x.messages()) == 1, 5))
        c.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            c.recv(10)

    def test_fault_nosuccess_answers_without_success(self):
        s = self.start(fault="nosuccess")
        c = self.connect(s)
        c.sendall(request("set", (fake_jpeg(8, 8), None, None, None)))
        reply = c.recv(500)
        self.assertTrue(reply)
        self.assertNotIn(b"success", reply)

    def test_fault_close_mid_drops_the_connection_inside_a_message(self):
        s = self.start(fault="close-mid")
        c = self.connect(s)
        c.sendall(request("set", (fake_jpeg(8, 8, 1), None, None, None))[:300])
        try:
            self.assertEqual(c.recv(100), b"")
        except ConnectionResetError:
            pass
        self.assertEqual(len(s.entries("closed-mid-message")), 1)
        self.assertEqual(s.messages(), [])

    def test_fault_slow_reads_slowly_but_completely(self):
        s = self.start(fault="slow")
        c = self.connect(s)
        pic = fake_jpeg(64, 48, 3, size=20000)
        start = time.monotonic()
        c.sendall(request("set", (pic, None, None, None)))
        self.assertIn(b"success", c.recv(500))
        # About ten slow reads of 2 KiB, 50 ms apart.
        self.assertGreater(time.monotonic() - start, 0.4)
        self.assertEqual(s.messages()[0]["pictures"][0]["bytes"], len(pic))

    def test_viewing_page_and_stats(self):
        s = self.start(http_port=8081)
        c = self.connect(s)
        pic = fake_jpeg(40, 30, 9)
        c.sendall(request("set", (pic, None, None, None)))
        c.recv(500)
        base = "http://%s:%d" % (s.address, s.http_port)
        page = urllib.request.urlopen(base + "/", timeout=5).read().decode()
        for i in range(4):
            self.assertIn('id="i%d"' % i, page)
        self.assertEqual(urllib.request.urlopen(base + "/input/0.jpg", timeout=5).read(), pic)
        stats = json.loads(urllib.request.urlopen(base + "/stats", timeout=5).read())
        self.assertEqual(stats["messages"], 1)
        self.assertEqual(stats["set"], 1)
        self.assertEqual(stats["inputs"], [len(pic), 0, 0, 0])

    def test_only_loopback_addresses_are_served(self):
        with self.assertRaises(RuntimeError):
            StreamingServer(address="10.1.2.3")


if __name__ == "__main__":
    unittest.main()
