#!/usr/bin/env python3
"""The harness's reading of the log window: a misread line would make every end-to-end
verdict wrong, so the reader is checked on texts built by hand from the log's line layouts,
including the awkward ones (a character field holding CR LF, "] [" or bytes of any value)."""

import os
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import parse_log  # noqa: E402

T = "2024/05/17 09:03:59 "


class ParseLogTest(unittest.TestCase):

    def test_rows(self):
        rows = [
            # log text, expected [(kind, count, hex or status text)]
            (T + "접속 127.0.0.1:7001\r\n", [("status", 0, "접속 127.0.0.1:7001")]),
            (T + "[CAT->VAN] [001] [ACK :\x06] [06]\r\n", [("CAT->VAN", 1, "06")]),
            (T + "[CAT<-VAN] [300] [ab] [6162]\r\n" + T + "#1 접속오류!![-2] 127.0.0.1:9\r\n",
             [("CAT<-VAN", 300, "6162"), ("status", 0, "#1 접속오류!![-2] 127.0.0.1:9")]),
            # a character field with CR LF and "] [" inside still ends at its hex field
            (T + "[CAT<-VAN] [006] [a\r\n] [b] [610d0a5d205b]\r\n" + T + "[CAT->VAN] [001] [.] [00]\r\n",
             [("CAT<-VAN", 6, "610d0a5d205b"), ("CAT->VAN", 1, "00")]),
            (T + "[CAT->VAN] [4096] [x] [78]\r\n", [("CAT->VAN", 4096, "78")]),
            # a summary line (level 0) is not a dump; it counts as neither
            (T + "[CAT->VAN] [001] [ACK]\r\n" + T + "COM1 Open 성공!\r\n",
             [("status", 0, "COM1 Open 성공!")]),
            ("", []),
        ]
        for text, want in rows:
            with self.subTest(text=text[:60]):
                got = [(e.kind, e.count, e.text if e.kind == "status" else e.hex)
                       for e in parse_log(text)]
                self.assertEqual(got, want)


if __name__ == "__main__":
    unittest.main()
