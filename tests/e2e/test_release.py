"""The Windows release as anyone can check it: rebuilt elsewhere it is the same, and signed it verifies.

Set by the build, besides what the controller and install test modules read:
HOOK_HOST_SOURCE_DATE_EPOCH, the time of the commit it built.
"""
import filecmp
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import images
from controller import ARM64_BIN, BIN, CONTROL_BIN, EXE, HOOK_LIBRARY, X64_BUILD, X86_BIN, Host, exit_status, report
from processes import TestCase
from test_hook_host import assert_one_manifest, assert_version
from test_install import BUILD, DOTNET_FRAMEWORKS, SOURCE, TOP, VERSION, cpack, package, run

CMAKE = os.environ["CMAKE_COMMAND"]
# What a build of the release makes, in its programs folder, and their targets; in a 32-bit build the host
# is hook_host32, and there is no hook_check.
PARTS = {"hook_close.exe": "hook_close", "hook_control.dll": "hook_control_shared"}
if X64_BUILD:
    PARTS.update({"hook_host.exe": "hook_host", HOOK_LIBRARY: "TeskShellHook64", "hook_check.exe": "hook_check"})
else:
    PARTS.update({"hook_host32.exe": "hook_host", "TeskShellHook32.dll": "TeskShellHook32"})
# The 64-bit build's release also carries these, which its builds for the other architectures make:
# {architecture: (its programs folder, parts)}.
OTHER_PARTS = {"x86": (X86_BIN, ["hook_host32.exe", "hook_control.dll"]),
               "arm64": (ARM64_BIN, ["hook_host_arm64.exe", "hook_control.dll"])} if X64_BUILD else {}
# hook_control's wheels, {platform tag: the architecture of the DLL inside}.
WHEELS = {"win_amd64": "x64", "win32": "x86", "win_arm64": "arm64"}
# What packaging makes: the ZIP, each wheel and the NuGet package, each with its checksum.
RELEASED = 2 * (2 + len(WHEELS))


def released(folder):
    """The files that packaging put in `folder`."""
    return sorted(name for name in os.listdir(folder) if os.path.isfile(os.path.join(folder, name)))


def portable_executables(folder):
    """Every PE file below `folder`, by its path there."""
    return sorted(os.path.relpath(os.path.join(root, name), folder) for root, _, names in os.walk(folder)
                  for name in names if name.endswith((".exe", ".dll")))


def packed_dlls(folder):
    """hook_control's packages in `folder`, each with the release's files it carries, its DLLs and the NuGet
    package's XML documentation: {inside: in the release}."""
    dll = "hook_control/%s/hook_control.dll"
    return [(os.path.join(folder, "hook_control-%s-py3-none-%s.whl" % (VERSION, platform)),
             {"hook_control/hook_control.dll": dll % architecture})
            for platform, architecture in WHEELS.items()] + [
        (os.path.join(folder, "HookControl.%s.nupkg" % VERSION),
         dict({"lib/%s/HookControl.%s" % (framework, kind): "bindings/dotnet/%sHookControl.%s" % (folder, kind)
               for framework, folder in DOTNET_FRAMEWORKS
               for kind in ("dll", "xml")},
              **{"runtimes/win-%s/native/hook_control.dll" % architecture: dll % architecture
                 for architecture in WHEELS.values()}))]


class Reproducible(TestCase):
    def test_a_build_of_a_copy_of_the_source_elsewhere_later_gives_the_same_bytes(self):
        folder = tempfile.mkdtemp(prefix="hook_host_rebuild.")
        self.addCleanup(shutil.rmtree, folder)
        source = shutil.copytree(SOURCE, os.path.join(folder, "source"), ignore=shutil.ignore_patterns("build", ".git"))
        build = os.path.join(folder, "build")
        # The copy has no history: it is given the time of the commit that the first build took.
        environment = dict(os.environ, SOURCE_DATE_EPOCH=os.environ["HOOK_HOST_SOURCE_DATE_EPOCH"])
        toolchain = os.path.join(source, os.path.relpath(os.environ["HOOK_HOST_TOOLCHAIN"], SOURCE))
        run(self, [CMAKE, "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
                   "-DCMAKE_BUILD_TYPE=" + os.environ["HOOK_HOST_BUILD_TYPE"], "-DBUILD_TESTING=OFF",
                   "-DHOOK_HOST_BENCH=OFF", "-DPython3_EXECUTABLE=" + sys.executable], env=environment)
        # The release also carries the 32-bit and the ARM64 DLL and host, each from a build of its own, and
        # the C# binding's assembly.
        extra = ["hook_control_" + architecture for architecture in OTHER_PARTS] + (
            ["hook_control_assembly"] if X64_BUILD else [])
        run(self, [CMAKE, "--build", build, "--target"] + list(PARTS.values()) + extra, env=environment)
        parts = [(os.path.join(CONTROL_BIN, part), os.path.join(build, "bin", part)) for part in PARTS] + [
            (os.path.join(built, part), os.path.join(build, "hook_control_" + architecture, "bin", part))
            for architecture, (built, names) in OTHER_PARTS.items() for part in names]
        for ours, theirs in parts:
            with self.subTest(part=ours):
                self.assertTrue(filecmp.cmp(ours, theirs, shallow=False))
        if X64_BUILD:
            # The ZIP, hook_control's wheels and NuGet package, and the checksum of each.
            ours, theirs = (os.path.dirname(package(self, b)[0]) for b in (BUILD, build))
            made = released(ours)
            self.assertEqual(len(made), RELEASED)
            self.assertEqual(released(theirs), made)
            for name in made:
                self.assertTrue(filecmp.cmp(os.path.join(ours, name), os.path.join(theirs, name), shallow=False), name)


@unittest.skipUnless(X64_BUILD, "the release is made by the 64-bit build")
class Signed(TestCase):
    PASSWORD = "not on any command line"

    def certificate(self, folder):
        """A throwaway self-signed code-signing certificate: its PEM, and a PKCS#12 file with its key."""
        pem, key, pfx = (os.path.join(folder, name) for name in ("certificate.pem", "key.pem", "certificate.pfx"))
        run(self, ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                   "-out", pem, "-subj", "/CN=Hook host release test", "-addext", "keyUsage=digitalSignature",
                   "-addext", "extendedKeyUsage=codeSigning"])
        run(self, ["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-out", pfx,
                   "-passout", "env:HOOK_HOST_SIGN_PASSWORD"], env=dict(os.environ, HOOK_HOST_SIGN_PASSWORD=self.PASSWORD))
        return pem, pfx

    def verifies(self, executable, pem):
        return subprocess.run(["osslsigncode", "verify", "-in", executable, "-CAfile", pem],
                              capture_output=True).returncode == 0

    def test_a_failed_release_leaves_nothing_of_the_last_one_and_says_why(self):
        archive, _ = package(self, BUILD)
        output = os.path.dirname(archive)
        self.assertEqual(len(released(output)), RELEASED)
        # This run's password is wrong: nothing is left that looks made by it.
        folder = tempfile.mkdtemp(prefix="hook_host_signing.")
        self.addCleanup(shutil.rmtree, folder)
        _, pfx = self.certificate(folder)
        result = cpack(BUILD, output, HOOK_HOST_SIGN_PFX=pfx, HOOK_HOST_SIGN_PASSWORD="not the password")
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(released(output), [])
        said = " ".join((result.stdout + result.stderr).decode().split())  # as CMake wraps its lines
        self.assertIn("Cannot read the certificates of %s: " % pfx, said)

    def test_the_pages_package_command_given_a_wrong_password_stops_at_the_build_on_its_cause(self):
        if os.path.realpath(BUILD) != os.path.realpath(os.path.join(SOURCE, "build", "windows")):
            self.skipTest("the page's command builds the windows preset's folder, not this test's %s" % BUILD)
        with open(os.path.join(SOURCE, "docs", "release.md")) as page:
            command, = [block for block in re.findall(r"```sh\n(.*?)```", page.read(), re.S)
                        if "cpack --preset windows" in block]
        folder = tempfile.mkdtemp(prefix="hook_host_signing.")
        self.addCleanup(shutil.rmtree, folder)
        _, pfx = self.certificate(folder)
        result = subprocess.run(["sh", "-c", command], cwd=SOURCE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                env=dict(os.environ, HOOK_HOST_SIGN_PFX=pfx, HOOK_HOST_SIGN_PASSWORD="not the password"))
        said = result.stdout.decode()
        self.assertNotEqual(result.returncode, 0, said)
        self.assertNotIn("CPack", said, "stopped before CPack")
        # The cause is the last error; after its message, only the build tool's word that it stopped.
        message, _, after = said.rpartition("CMake Error")[2].partition("\n\n")
        self.assertIn("Cannot read the certificates of %s: " % pfx, " ".join(message.split()))
        self.assertNotRegex(after, r"(?i)error|problem", said)

    def test_a_release_given_a_certificate_is_signed_verifies_and_runs(self):
        folder = tempfile.mkdtemp(prefix="hook_host_signing.")
        self.addCleanup(shutil.rmtree, folder)
        pem, pfx = self.certificate(folder)
        signing = {"HOOK_HOST_SIGN_PFX": pfx, "HOOK_HOST_SIGN_PASSWORD": self.PASSWORD}
        archive, checksum = package(self, BUILD, **signing)
        unpacked = os.path.join(folder, "unpacked")
        with zipfile.ZipFile(archive) as release:
            release.extractall(unpacked)
        programs = os.path.join(unpacked, TOP)

        # Every program and DLL, the C# binding's assemblies among them.
        self.assertEqual(portable_executables(programs), sorted(
            ["hook_host.exe", "hook_host32.exe", "hook_host_arm64.exe", "hook_close.exe", "hook_check.exe",
             "try/hook_host.exe", "try/TeskShellHook64.dll"] +
            ["bindings/dotnet/%sHookControl.dll" % folder for _, folder in DOTNET_FRAMEWORKS] +
            ["hook_control/%s/hook_control.dll" % architecture for architecture in WHEELS.values()]))
        for name in portable_executables(programs):
            with self.subTest(name=name):
                signed = os.path.join(programs, name)
                self.assertGreater(images.signature_size(images.load(signed)), 0)
                self.assertTrue(self.verifies(signed, pem))
        # The wheels and the NuGet package carry the signed DLLs.
        for package_file, carried in packed_dlls(os.path.dirname(archive)):
            for inside, shipped in carried.items():
                with self.subTest(package=os.path.basename(package_file), inside=inside), \
                        zipfile.ZipFile(package_file) as files, open(os.path.join(programs, shipped), "rb") as ours:
                    self.assertEqual(files.read(inside), ours.read())

        for name, built in (("hook_host", BIN), ("hook_host32", X86_BIN), ("hook_host_arm64", ARM64_BIN),
                            ("hook_close", BIN), ("hook_check", BIN)):
            with self.subTest(name=name):
                signed = os.path.join(programs, name + EXE)
                flipped = os.path.join(folder, name + ".flipped" + EXE)
                with open(signed, "rb") as image:
                    data = bytearray(image.read())
                data[len(data) // 3] ^= 0x01
                with open(flipped, "wb") as image:
                    image.write(data)
                self.assertFalse(self.verifies(flipped, pem), "a single flipped byte fails verification")
                # Signing adds a signature and changes nothing the loader reads.
                unsigned, ours = images.load(os.path.join(built, name + EXE)), images.load(signed)
                self.assertEqual(images.imports(ours), images.imports(unsigned))
                assert_version(self, ours, name)
        for name in ("hook_host", "hook_host32", "hook_host_arm64"):
            assert_one_manifest(self, images.load(os.path.join(programs, name + EXE)))

        # The checksum file covers the signed ZIP; the same certificate gives the same release again.
        with open(checksum) as sums:
            self.assertIn(os.path.basename(archive), sums.read())
        run(self, ["sha256sum", "-c", os.path.basename(checksum)], cwd=os.path.dirname(checksum))
        again, _ = package(self, BUILD, **signing)
        self.assertTrue(filecmp.cmp(archive, again, shallow=False), "signed anew, the release is the same")
        # The password was read from the environment and written down nowhere.
        written = [os.path.join(BUILD, name) for name in ("CMakeCache.txt", "CPackConfig.cmake")] + [
            os.path.join(root, name) for root, _, names in os.walk(os.path.dirname(archive)) for name in names]
        for path in written:
            with open(path, "rb") as file:
                self.assertNotIn(self.PASSWORD.encode(), file.read(), path)

        # The signed host runs beside its hook library and ends with the status posted to it.
        shutil.copy(os.path.join(BIN, HOOK_LIBRARY), programs)
        host = Host(self, "42", folder=programs, cwd=programs)
        self.assertEqual(host.read_line(), report(42))
        host.close(9)
        self.assertEqual(host.wait(), exit_status(9))

    def test_without_a_certificate_the_release_is_not_signed(self):
        for signing in ({}, {"HOOK_HOST_SIGN_PFX": ""}):  # an empty path is none
            with self.subTest(signing=signing):
                archive, _ = package(self, BUILD, **signing)
                with zipfile.ZipFile(archive) as release:
                    host = release.read(TOP + "/hook_host.exe")
                with open(os.path.join(BIN, "hook_host.exe"), "rb") as built:
                    self.assertEqual(host, built.read())


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
