"""What is installed and what is shipped: the files, and that the host runs from there.

Set by the build, besides what the controller module reads: HOOK_HOST_BUILD, the build folder;
CMAKE_COMMAND and CPACK_COMMAND, the tools that install and package it.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from controller import BIN, EXE, HOOK_LIBRARY, WINDOWS, Host, exit_status, report

BUILD = os.environ["HOOK_HOST_BUILD"]
VERSION = os.environ["HOOK_HOST_VERSION"]
README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
# Windows programs ship in one folder; here they go in the usual tree.
PROGRAMS, DOCS = ("", "") if WINDOWS else ("bin", "share/doc/hook_host")


def files_below(folder):
    return sorted(os.path.relpath(os.path.join(root, name), folder)
                  for root, _, names in os.walk(folder) for name in names)


class Installed(unittest.TestCase):
    """Checks a tree of installed files, then runs its host beside the stand-in hook library."""

    def check_tree(self, folder):
        programs = os.path.join(folder, PROGRAMS)
        self.assertEqual(files_below(folder), sorted([
            os.path.join(PROGRAMS, "hook_host" + EXE), os.path.join(PROGRAMS, "hook_close" + EXE),
            os.path.join(DOCS, "README.md")]), "the stand-in hook library is not installed")
        for name in ("hook_host", "hook_close"):
            with open(os.path.join(programs, name + EXE), "rb") as installed, \
                    open(os.path.join(BIN, name + EXE), "rb") as built:
                self.assertEqual(installed.read(), built.read(), name)
        with open(os.path.join(folder, DOCS, "README.md"), "rb") as installed, open(README, "rb") as ours:
            self.assertEqual(installed.read(), ours.read())

        # Placed beside its hook library, the host runs and its close tool ends it.
        shutil.copy(os.path.join(BIN, HOOK_LIBRARY), programs)
        host = Host(self, "42", folder=programs, cwd=folder)
        self.assertEqual(host.read_line(), report(42))
        host.close(7)
        self.assertEqual(host.wait(), exit_status(7))
        self.assertEqual(len(host.calls()), 1)

    def folder(self):
        folder = tempfile.mkdtemp(prefix="hook_host_install.")
        self.addCleanup(shutil.rmtree, folder)
        return folder


class Install(Installed):
    def test_install_puts_the_programs_and_the_readme_in_place(self):
        prefix = self.folder()
        subprocess.run([os.environ["CMAKE_COMMAND"], "--install", BUILD, "--prefix", prefix],
                       check=True, capture_output=True)
        self.check_tree(prefix)


class Package(Installed):
    def test_the_zip_holds_the_programs_and_the_readme_with_its_checksum_beside_it(self):
        output = self.folder()
        subprocess.run([os.environ["CPACK_COMMAND"], "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                        "-B", output], check=True, capture_output=True)
        name = "hook_host-%s-win64" % VERSION
        archive = os.path.join(output, name + ".zip")
        with open(archive, "rb") as package:
            digest = hashlib.sha256(package.read()).hexdigest()
        with open(archive + ".sha256") as checksum:
            self.assertEqual(checksum.read().split(), [digest, name + ".zip"])

        # Unpacked as a user would: one folder named for the release.
        unpacked = self.folder()
        with zipfile.ZipFile(archive) as package:
            self.assertTrue(all(entry.startswith(name + "/") for entry in package.namelist()))
            package.extractall(unpacked)
        self.check_tree(os.path.join(unpacked, name))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
