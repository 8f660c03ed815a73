"""`status` through the real catalogue: built-in and managed cores, manifests."""
import json
import os
import shutil
import unittest
from pathlib import Path

from harness import (CORES_DIR, STATE_DIR, SandboxTest, authorize, install_cores, install_managed_core, reply_line,
                     request)


def versions(xray="v26.10.21", sing_box="v1.14.1", mihomo="v1.19.30"):
    return reply_line(version=f"Xray {xray}; sing-box {sing_box}; Mihomo {mihomo}")


def refused(message):
    return reply_line(False, error=message)


def manifest(**members):
    value = {"version": "v1.15.0", "directory": "r", "installed_at": 1765000000, "sha256": "abc"}
    value.update(members)
    return json.dumps({k: v for k, v in value.items() if v is not None})


class StatusTest(SandboxTest):
    def setUp(self):
        super().setUp()
        authorize(0)
        self.start_helper()

    def status(self):
        return request(b"status\n").raw

    def reset_cores(self):
        shutil.rmtree(CORES_DIR, ignore_errors=True)
        for home in ("core", "sing-box", "mihomo"):
            shutil.rmtree(f"{STATE_DIR}/{home}", ignore_errors=True)

    def test_built_in_and_managed_copies(self):
        cases = [
            ("built-in only", dict(), [], versions()),
            ("built-in wins over managed", dict(), [("sing-box", "v1.15.0")], versions()),
            ("managed sing-box", dict(sing_box=False), [("sing-box", "v1.15.0")], versions(sing_box="v1.15.0")),
            ("managed xray", dict(xray=False), [("xray", "v27.1.1")], versions(xray="v27.1.1")),
            ("built-in xray without geosite falls back to managed", dict(geodata=False), [("xray", "v27.1.1")],
             versions(xray="v27.1.1")),
            ("managed mihomo", dict(mihomo=False), [("mihomo", None)], versions()),
            ("no xray", dict(xray=False), [], refused("в пакете Quorin отсутствует Xray")),
            ("xray without geodata", dict(geodata=False), [], refused("в пакете Quorin отсутствует Xray")),
            ("no sing-box", dict(sing_box=False), [], refused("в пакете Quorin отсутствует sing-box")),
            ("no mihomo", dict(mihomo=False), [], refused("в пакете Quorin отсутствует Mihomo")),
            ("nothing", dict(xray=False, sing_box=False, mihomo=False), [],
             refused("в пакете Quorin отсутствует Xray")),
        ]
        for name, built_in, managed, expected in cases:
            with self.subTest(name):
                install_cores(**built_in)
                for core, version in managed:
                    install_managed_core(core, version=version)
                self.assertEqual(self.status(), expected)
                self.reset_cores()

    def test_file_kinds(self):
        install_cores(sing_box=False)
        os.makedirs(CORES_DIR + "/sing-box/sing-box")  # a directory is not an executable
        self.assertEqual(self.status(), refused("в пакете Quorin отсутствует sing-box"))
        os.rmdir(CORES_DIR + "/sing-box/sing-box")
        os.symlink(CORES_DIR + "/mihomo/mihomo", CORES_DIR + "/sing-box/sing-box")
        self.assertEqual(self.status(), versions())
        os.unlink(CORES_DIR + "/sing-box/sing-box")
        os.symlink("/nonexistent", CORES_DIR + "/sing-box/sing-box")
        self.assertEqual(self.status(), refused("в пакете Quorin отсутствует sing-box"))

    def test_managed_manifests(self):
        install_cores(sing_box=False)
        home = STATE_DIR + "/sing-box"
        cases = [
            (manifest(extra="ignored", sha256="not a digest"), versions(sing_box="v1.15.0")),
            ('["v1.16.0", "r", 5, "x"]', versions(sing_box="v1.16.0")),
            (" \t\r\n" + manifest() + "\n\n", versions(sing_box="v1.15.0")),
            (manifest(directory="other"), refused("в пакете Quorin отсутствует sing-box")),
        ]
        for text, expected in cases:
            with self.subTest(text):
                install_managed_core("sing-box", directory="r", manifest=text)
                self.assertEqual(self.status(), expected)
        # Manifests that fail: the catalogue's own message, not a missing core.
        for text in (manifest(installed_at=1.5), manifest(sha256=None), manifest(version=7),
                     manifest() + "x", '{"version":"a","version":"b","directory":"r","installed_at":1,"sha256":""}',
                     manifest(installed_at=2**63)):
            with self.subTest(text):
                Path(home + "/active.json").write_text(text)
                reply = request(b"status\n")
                self.assertFalse(reply.ok)
                self.assertNotIn("отсутствует", reply.error)
        os.unlink(home + "/active.json")
        os.mkdir(home + "/active.json")
        self.assertEqual(self.status(), refused("Is a directory (os error 21)"))

    def test_manifest_size_limit(self):
        install_cores(sing_box=False)
        limit = 16 * 1024 * 1024
        text = manifest()
        install_managed_core("sing-box", directory="r", manifest=text + " " * (limit - len(text)))
        self.assertEqual(self.status(), versions(sing_box="v1.15.0"))
        install_managed_core("sing-box", directory="r", manifest=text + " " * (limit + 1 - len(text)))
        self.assertEqual(self.status(), refused("файл данных слишком большой"))

    def test_installed_while_serving(self):
        self.assertEqual(self.status(), refused("в пакете Quorin отсутствует Xray"))
        install_cores()
        self.assertEqual(self.status(), versions())


if __name__ == "__main__":
    unittest.main()
