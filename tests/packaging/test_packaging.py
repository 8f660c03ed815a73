"""Installation and Debian package of the helper: what lands where, with which modes,
whether systemd and lintian accept it, and what the maintainer scripts do."""

import gzip
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ["QUORIN_BUILD_DIR"]
UNIT_DIR = "lib/systemd/system"

# Installed path -> mode. Nothing else may be installed.
EXPECTED_FILES = {
    "usr/sbin/quorin-helper": 0o755,
    "usr/bin/quorinctl": 0o755,
    f"{UNIT_DIR}/quorin-helper.socket": 0o644,
    f"{UNIT_DIR}/quorin-helper.service": 0o644,
    "usr/share/polkit-1/actions/org.quorin.helper.policy": 0o644,
    "usr/lib/sysusers.d/quorin-helper.conf": 0o644,
    "usr/share/man/man8/quorin-helper.8.gz": 0o644,
    "usr/share/man/man1/quorinctl.1.gz": 0o644,
    "usr/share/doc/quorin-helper/copyright": 0o644,
    "usr/share/doc/quorin-helper/changelog.gz": 0o644,
    "usr/share/doc/quorin-helper/PROTOCOL.md": 0o644,
}
SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# systemd-analyze security of the hardened service: 2.8 offline as here and under a
# running systemd (tests/system); the bare unit: 9.6.
MAX_EXPOSURE = 2.8


def run(*args, env=None, check=True):
    return subprocess.run(args, capture_output=True, text=True, env=env, check=check)


def installed_files(root):
    found = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            found[os.path.relpath(path, root)] = stat.S_IMODE(os.lstat(path).st_mode)
    return found


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="quorin-install-")
        run("cmake", "--install", BUILD_DIR, env=dict(os.environ, DESTDIR=cls.root))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def path(self, relative):
        return os.path.join(self.root, relative)

    def test_files_and_modes(self):
        self.assertEqual(installed_files(self.root), EXPECTED_FILES)
        for relative in EXPECTED_FILES:
            self.assertEqual(os.lstat(self.path(relative)).st_uid, 0, relative)

    def test_units_and_policy_name_the_installed_helper(self):
        with open(self.path(f"{UNIT_DIR}/quorin-helper.service")) as unit:
            service = unit.read()
        self.assertIn("ExecStart=/usr/sbin/quorin-helper serve\n", service)
        with open(self.path("usr/share/polkit-1/actions/org.quorin.helper.policy")) as action:
            policy = action.read()
        self.assertIn('"org.freedesktop.policykit.exec.path">/usr/sbin/quorin-helper<', policy)
        self.assertIn('"org.freedesktop.policykit.exec.argv1">setup<', policy)
        self.assertIn("<allow_active>auth_admin_keep</allow_active>", policy)
        dtd = "/usr/share/polkit-1/policyconfig-1.dtd"
        valid = run("xmllint", "--noout", "--dtdvalid", dtd, self.path("usr/share/polkit-1/actions/org.quorin.helper.policy"),
                    check=False)
        self.assertEqual(valid.returncode, 0, valid.stderr)

    def test_systemd_accepts_the_units(self):
        # verify looks for the ExecStart program and the Documentation= manual on the
        # running system, so the staged ones are bound over it in a private mount
        # namespace; any message at all (an unknown key, say) is a failure.
        script = ("mount --make-rprivate / && mount --bind \"$1/usr/sbin\" /usr/sbin && "
                  "mount --bind \"$1/usr/share/man\" /usr/share/man && "
                  f"systemd-analyze verify \"$1/{UNIT_DIR}/quorin-helper.socket\" \"$1/{UNIT_DIR}/quorin-helper.service\"")
        verify = run("unshare", "--mount", "sh", "-c", script, "sh", self.root, check=False)
        self.assertEqual((verify.returncode, verify.stdout, verify.stderr), (0, "", ""))

    def test_service_exposure_stays_low(self):
        security = run("systemd-analyze", "security", "--offline=true", f"--root={self.root}",
                       "quorin-helper.service", check=False)
        match = re.search(r"Overall exposure level for quorin-helper\.service: (\d+\.\d+)", security.stdout)
        self.assertIsNotNone(match, security.stdout + security.stderr)
        print(f"systemd-analyze security exposure: {match.group(1)}")
        self.assertLessEqual(float(match.group(1)), MAX_EXPOSURE)

    def test_manuals_render_without_warnings(self):
        for page in ("usr/share/man/man8/quorin-helper.8.gz", "usr/share/man/man1/quorinctl.1.gz"):
            with gzip.open(self.path(page)) as manual:
                self.assertTrue(manual.read().startswith(b".\\\""), page)
            rendered = run("man", "--warnings", "-l", self.path(page), env=dict(os.environ, MANWIDTH="80"))
            self.assertEqual(rendered.stderr, "", page)
            self.assertIn("EXIT STATUS", rendered.stdout)
            text = " ".join(rendered.stdout.split())
            # What the manuals point to is installed, and they say what the helper does.
            for named in re.findall(r"/usr/share/doc/quorin-helper/\w+(?:\.\w+)*", text):
                self.assertIn(named.lstrip("/"), EXPECTED_FILES, page)
            self.assertNotRegex(text, r"(Mihomo|cores?) runs? as root", page)

    def test_manual_modes_are_the_helpers(self):
        def code_mode(source, pattern):
            return re.search(pattern, open(os.path.join(SOURCE_DIR, source)).read()).group(1)
        rendered = run("man", "-l", self.path("usr/share/man/man8/quorin-helper.8.gz"),
                       env=dict(os.environ, MANWIDTH="80")).stdout
        files = " ".join(rendered.partition("\nFILES\n")[2].partition("\nENVIRONMENT\n")[0].split())
        entries = {"/run/quorin/mihomo.json": code_mode("src/privileged/session.cpp", r"fchmod\(file->get\(\), (0\d{3})\)"),
                   "/var/cache/quorin/mihomo/ ": code_mode("src/mihomo/launch.cpp", r"fchmod\(made->get\(\), (0\d{3})\)")}
        for entry, mode in entries.items():
            stated = re.search(re.escape(entry) + r".{0,200}?mode (0\d{3})", files)
            self.assertIsNotNone(stated, entry)
            self.assertEqual(stated.group(1), mode, entry)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="quorin-package-")
        run("cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", cls.work)
        debs = [name for name in os.listdir(cls.work) if name.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(cls.work, debs[0])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def test_lintian_finds_neither_errors_nor_warnings_nor_missing_hardening(self):
        lintian = run("lintian", "--no-tag-display-limit", "--pedantic", "--display-info", self.deb, check=False)
        tags = [line for line in lintian.stdout.splitlines() if re.match(r"[EW]: ", line) or " hardening-" in line]
        self.assertEqual(tags, [], lintian.stdout)
        self.assertEqual(lintian.returncode, 0, lintian.stdout + lintian.stderr)

    def test_contents_and_dependencies(self):
        listing = run("dpkg-deb", "--contents", self.deb).stdout
        files = {}
        for line in listing.splitlines():
            mode, owner, _, _, _, name = line.split(None, 5)
            if not mode.startswith("d"):
                files[name.removeprefix("./")] = (mode, owner)
        self.assertEqual(set(files), set(EXPECTED_FILES))
        self.assertEqual({owner for _, owner in files.values()}, {"root/root"})
        self.assertEqual(files["usr/sbin/quorin-helper"][0], "-rwxr-xr-x")
        depends = run("dpkg-deb", "--field", self.deb, "Depends").stdout
        for needed in ("nftables", "iproute2", "libsodium23", "libyaml-cpp0.7"):
            self.assertIn(needed, depends)

    def maintainer_script(self, root, name, *args):
        env = dict(os.environ, DPKG_ROOT=root, DPKG_MAINTSCRIPT_PACKAGE="quorin-helper",
                   DPKG_MAINTSCRIPT_NAME=name)
        result = run("sh", os.path.join(root, "DEBIAN", name), *args, env=env, check=False)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_scripts_enable_the_socket_and_purge_the_state(self):
        # DPKG_ROOT makes deb-systemd-helper act on a throwaway root, not on this system.
        root = tempfile.mkdtemp(prefix="quorin-root-", dir=self.work)
        run("dpkg-deb", "--extract", self.deb, root)
        run("dpkg-deb", "--control", self.deb, os.path.join(root, "DEBIAN"))
        wanted = os.path.join(root, "etc/systemd/system/sockets.target.wants/quorin-helper.socket")
        os.makedirs(os.path.join(root, "etc"))  # where systemd-sysusers adds the cores' account
        self.maintainer_script(root, "postinst", "configure")
        self.assertEqual(os.readlink(wanted), "/lib/systemd/system/quorin-helper.socket")
        with open(os.path.join(root, "etc/passwd")) as users:
            self.assertRegex(users.read(), r"(?m)^quorin-core:x:\d+:\d+:Quorin proxy cores:/nonexistent:/usr/sbin/nologin$")
        # An administrator's "disable" survives an upgrade.
        os.unlink(wanted)
        run("sh", "-c", "DPKG_ROOT=$1 DPKG_MAINTSCRIPT_PACKAGE=quorin-helper deb-systemd-helper disable quorin-helper.socket",
            "sh", root)
        self.maintainer_script(root, "postinst", "configure", "0.0.1")
        self.assertFalse(os.path.lexists(wanted))

        os.makedirs(os.path.join(root, "var/lib/quorin/authorized-users"))
        os.makedirs(os.path.join(root, "var/cache/quorin/mihomo"))
        self.maintainer_script(root, "prerm", "remove")
        self.maintainer_script(root, "postrm", "remove")
        self.assertTrue(os.path.isdir(os.path.join(root, "var/lib/quorin")))
        self.maintainer_script(root, "postrm", "purge")
        self.assertFalse(os.path.lexists(os.path.join(root, "var/lib/quorin")))
        self.assertFalse(os.path.lexists(os.path.join(root, "var/cache/quorin")))
        self.assertFalse(os.path.lexists(os.path.join(root, "etc/systemd/system/quorin-helper.socket")))


if __name__ == "__main__":
    unittest.main()
