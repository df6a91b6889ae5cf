"""hook_control's packages from the Windows release: the wheels and the NuGet package hold what the ZIP
holds, each with its checksum, and a C# controller built against the NuGet package reaches a host:
installed by nuget from a folder and run on Mono; and restored offline from a folder by the .NET SDK
for Windows, built by it as a project for .NET Core 3.1, and run by its runtime under Wine, with a
runtime identifier and without one; and a user's library of each .NET Standard built against it there,
and a program that runs a host through the one for .NET Standard 2.0.

Set by the build, besides what the install and shared library test modules read: HOOK_HOST_MONO,
HOOK_HOST_MCS and HOOK_HOST_NUGET, Mono's tools; HOOK_HOST_LINUX_BIN, the programs folder of a Linux
build, whose host and libhook_control.so.1 the C# controller runs on Mono; HOOK_HOST_DOTNET_SDK, the
folder of the .NET SDK for Windows; HOOK_HOST_NETSTANDARD_PACKAGES, a NuGet fallback folder that holds
NETStandard.Library 2.0.3, or nothing.
"""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import images
from controller import HOST, RUN, platform_path
from processes import TestCase
from test_install import BUILD, DOTNET_FRAMEWORKS, SOURCE, TOP, VERSION, package, run
from test_release import WHEELS, packed_dlls
from test_shared_library import Binding, BindingController, CSharp, check_wheel

LINUX_BIN = os.environ.get("HOOK_HOST_LINUX_BIN", "")
NUPKG_ENTRIES = ["HookControl.nuspec", "[Content_Types].xml", "_rels/.rels", "build/net45/HookControl.targets",
                 "LICENSE.txt"] + ["lib/%s/HookControl.%s" % (framework, kind) for framework, _ in DOTNET_FRAMEWORKS
                                   for kind in ("dll", "xml")] + [
    "runtimes/win-%s/native/hook_control.dll" % architecture for architecture in WHEELS.values()]


class ControllerPackages(TestCase):
    def setUp(self):
        super().setUp()
        self.folder = tempfile.mkdtemp(prefix="hook_control_packages.")
        self.addCleanup(shutil.rmtree, self.folder)
        archive, _ = package(self, BUILD)
        self.output = os.path.dirname(archive)
        with zipfile.ZipFile(archive) as release:
            release.extractall(self.folder)
        self.release = os.path.join(self.folder, TOP)

    def test_each_package_has_its_checksum_and_carries_the_releases_files(self):
        packages = packed_dlls(self.output)
        for path, carried in packages:
            with self.subTest(package=os.path.basename(path)):
                with open(path, "rb") as data, open(path + ".sha256") as sums:
                    self.assertEqual(sums.read().split(), [hashlib.sha256(data.read()).hexdigest(),
                                                           os.path.basename(path)])
                with zipfile.ZipFile(path) as files:
                    for inside, shipped in carried.items():
                        with open(os.path.join(self.release, shipped), "rb") as ours:
                            self.assertEqual(files.read(inside), ours.read(), inside)
        for (wheel, carried), platform in zip(packages, WHEELS):
            check_wheel(self, wheel, platform, os.path.join(self.release, list(carried.values())[0]))

        nupkg = packages[-1][0]
        with zipfile.ZipFile(nupkg) as files:
            self.assertEqual(sorted(files.namelist()), sorted(NUPKG_ENTRIES))
            with open(os.path.join(SOURCE, "bindings", "dotnet", "HookControl.targets"), "rb") as targets:
                self.assertEqual(files.read("build/net45/HookControl.targets"), targets.read())
            manifest = files.read("HookControl.nuspec").decode()
            licence = files.read("LICENSE.txt").decode()
        for element in ("id", "version", "license", "description", "releaseNotes"):
            self.assertRegex(manifest, r"<%s\b[^>]*>[^<]+</%s>" % (element, element), element)
        self.assertIn("<id>HookControl</id>", manifest)
        self.assertIn("<version>%s</version>" % VERSION, manifest)
        # A licence outside the SPDX list, which NuGet refuses as an expression, is given as a file.
        self.assertIn('<license type="file">LICENSE.txt</license>', manifest)
        self.assertIn(os.environ["HOOK_HOST_LICENSE"], licence)

    def test_a_csharp_controller_built_against_the_installed_package_reaches_a_host(self):
        host, library = (os.path.join(LINUX_BIN, name) for name in ("hook_host", "libhook_control.so.1"))
        # The release workflow alone has no Linux build; CI builds the linux preset first.
        if not (os.path.exists(host) and os.path.exists(library)):
            self.skipTest("HOOK_HOST_LINUX_BIN (%r) has no Linux host and library: build the linux preset first" %
                          LINUX_BIN)
        # A feed that is a folder, as an organisation keeps one; nuget installs from it alone.
        feed, installed, application = (os.path.join(self.folder, name) for name in ("feed", "packages", "app"))
        for folder in (feed, application):
            os.mkdir(folder)
        shutil.copy(os.path.join(self.output, "HookControl.%s.nupkg" % VERSION), feed)
        run(self, [os.environ["HOOK_HOST_NUGET"], "install", "HookControl", "-Version", VERSION, "-Source", feed,
                   "-OutputDirectory", installed, "-NonInteractive"], env=dict(os.environ, HOME=self.folder))
        assembly = os.path.join(installed, "HookControl." + VERSION, "lib", "net45", "HookControl.dll")
        # Built against the package's assembly, which the build copies beside the program; the Linux
        # library beside them by the name Mono's DllImport looks for (the package carries Windows DLLs).
        program = os.path.join(application, "controller.exe")
        run(self, [os.environ["HOOK_HOST_MCS"], "-langversion:7", "-nologo", "-r:" + assembly, "-out:" + program,
                   os.path.join(SOURCE, "tests", "controller", "BindingController.cs")])
        shutil.copy(assembly, application)
        shutil.copy(library, application)
        os.symlink("libhook_control.so.1", os.path.join(application, "libhook_control.so"))

        controller = BindingController(self, [os.environ["HOOK_HOST_MONO"], program])
        controller.start(42, path=host)
        controller.expect("report 10", "ok 42")
        controller.expect("close 7", "ok")
        controller.expect("wait 10", "ok 7")
        word, text = controller.ask("text 127")
        self.assertEqual(word, "ok")
        self.assertTrue(text.startswith("the dynamic linker refused the host"), text)


# The only feed is the test's folder: nothing is asked of the network. The packages of .NET Standard
# 2.0, where there are, come from a fallback folder, as the SDKs of that time held them.
NETSTANDARD_PACKAGES = os.environ.get("HOOK_HOST_NETSTANDARD_PACKAGES", "")
NUGET_CONFIG = """<?xml version="1.0" encoding="utf-8"?>
<configuration>
  <packageSources>
    <clear />
    <add key="release" value="%s" />
  </packageSources>
  <fallbackPackageFolders>
    <clear />%s
  </fallbackPackageFolders>
</configuration>
"""
FALLBACK_FOLDER = """
    <add key="netstandard2.0" value="%s" />"""


class DotNetSdk:
    """The .NET SDK for Windows under Wine, and users' projects that it restores from a feed that holds
    this build's NuGet package."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="hook_control_dotnet.")
        cls.addClassCleanup(shutil.rmtree, cls.folder)
        sdk = os.environ["HOOK_HOST_DOTNET_SDK"]
        cls.dotnet = RUN + [os.path.join(sdk, "dotnet.exe")]
        # Quiet, and kept inside the test's folder: no first-run notice, no telemetry, no package
        # cache or settings in the home folder, and no build node or compiler server that outlives
        # the build.
        cls.environment = dict(
            os.environ, DOTNET_CLI_TELEMETRY_OPTOUT="1", DOTNET_NOLOGO="1", DOTNET_SKIP_FIRST_TIME_EXPERIENCE="1",
            MSBUILDDISABLENODEREUSE="1", UseSharedCompilation="false", DOTNET_ROOT=platform_path(sdk),
            DOTNET_CLI_HOME=platform_path(os.path.join(cls.folder, "home")),
            NUGET_PACKAGES=platform_path(os.path.join(cls.folder, "packages")))
        cls.feed = None

    def project(self, name, sources):
        """A new folder for the project `name`, holding `sources` (paths in the source tree) and a
        NuGet.Config that names the feed alone."""
        if self.feed is None:
            feed = os.path.join(self.folder, "feed")
            os.mkdir(feed)
            archive, _ = package(self, BUILD)
            shutil.copy(os.path.join(os.path.dirname(archive), "HookControl.%s.nupkg" % VERSION), feed)
            type(self).feed = feed
        project = os.path.join(self.folder, name)
        os.mkdir(project)
        for source in sources:
            shutil.copy(os.path.join(SOURCE, source), project)
        with open(os.path.join(project, "NuGet.Config"), "w") as config:
            config.write(NUGET_CONFIG % (platform_path(self.feed), NETSTANDARD_PACKAGES and
                                         FALLBACK_FOLDER % platform_path(NETSTANDARD_PACKAGES)))
        return project

    def restore_and_build(self, project, *properties):
        """Restores and builds `project` as its user would: it must succeed with no warning, about the
        package (NU1701: no asset for its framework; CS8002: not strong-named) or else."""
        # Wine 8: MSBuild's node for builds of several frameworks or projects at once fails the build
        # with no error and outlives it; one process builds them.
        for step in (["restore"], ["build", "--no-restore", "-maxcpucount:1"]):
            result = self.sdk(project, *step, *properties)
            self.assertEqual(result.returncode, 0, result.stdout[-3000:])
            self.assertNotIn(b"warning", result.stdout)

    def sdk(self, project, *arguments):
        """What `dotnet ARGUMENTS` did in `project`, with the package's version given."""
        return subprocess.run(self.dotnet + list(arguments) + ["-nologo", "-p:HookControlVersion=" + VERSION],
                              cwd=project, env=self.environment, capture_output=True)


class DotNetRuntime(DotNetSdk, Binding, CSharp, TestCase):
    """The C# controller as a user's project for .NET Core 3.1 (tests/controller/BindingController.csproj)
    restored from a feed that holds this build's NuGet package, built, and run by the real runtime."""

    RUNTIME_IDENTIFIER = None  # a portable project

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.command = None

    def build(self, runtime_identifier=None):
        """The command that runs the controller, built as the user's project is, for the class's runtime
        identifier or the one given."""
        runtime_identifier = runtime_identifier or self.RUNTIME_IDENTIFIER
        project = self.project("project-%s" % (runtime_identifier or "portable"), [
            "tests/controller/BindingController.csproj", "tests/controller/BindingController.cs"])
        properties = ["-p:RuntimeIdentifier=" + runtime_identifier] if runtime_identifier else []
        self.restore_and_build(project, *properties)
        output = os.path.join(project, "bin", "Debug", "netcoreapp3.1")
        if runtime_identifier:
            # Its own program, with the DLL of its architecture beside it.
            output = os.path.join(output, runtime_identifier)
            self.assertTrue(os.path.exists(os.path.join(output, "hook_control.dll")))
            return RUN + [os.path.join(output, "BindingController.exe")]
        # Run by dotnet, which finds the DLL below runtimes/ through the program's deps.json.
        self.assertTrue(os.path.exists(os.path.join(output, "runtimes", "win-x64", "native", "hook_control.dll")))
        self.assertFalse(os.path.exists(os.path.join(output, "hook_control.dll")))
        return self.dotnet + [os.path.join(output, "BindingController.dll")]

    def controller(self, **environment):
        if self.command is None:
            type(self).command = self.build()
        return BindingController(self, self.command, base=self.environment, **environment)

    def test_the_assembly_carries_the_projects_version_and_a_strong_name(self):
        word, text = self.controller().ask("identity")
        self.assertEqual(word, "ok", text)
        name, file_version, product_version = text.split(";")
        self.assertRegex(name, r"^HookControl, Version=%s\.0, Culture=neutral, PublicKeyToken=[0-9a-f]{16}$" %
                         re.escape(VERSION))
        self.assertEqual((file_version, product_version), (VERSION + ".0", VERSION))


# A user's library (tests/consumer/HostSupervisor.*), strong-named as libraries are, here with the
# binding's own key.
LIBRARY_PROJECT = """<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <TargetFrameworks>%s</TargetFrameworks>
    <SignAssembly>true</SignAssembly>
    <AssemblyOriginatorKeyFile>HookControl.snk</AssemblyOriginatorKeyFile>
    <TreatWarningsAsErrors>true</TreatWarningsAsErrors>
  </PropertyGroup>
  <ItemGroup>
    <PackageReference Include="HookControl" Version="$(HookControlVersion)" />
  </ItemGroup>%s
</Project>
"""
# A user's program for .NET Core 3.1 that takes their library as a project, and with it the package.
PROGRAM_PROJECT = """<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <OutputType>Exe</OutputType>
    <TargetFramework>netcoreapp3.1</TargetFramework>
    <TreatWarningsAsErrors>true</TreatWarningsAsErrors>
  </PropertyGroup>
  <ItemGroup>
    <ProjectReference Include="../library/HostSupervisor.csproj" />
  </ItemGroup>
</Project>
"""
# What each language's project adds. F# compiles only the files it names, and takes FSharp.Core from
# the SDK, as the offline feed lacks its package.
LANGUAGES = {"cs": """
  <PropertyGroup>
    <LangVersion>8</LangVersion>
  </PropertyGroup>""", "vb": "", "fs": """
  <PropertyGroup>
    <DisableImplicitFSharpCoreReference>true</DisableImplicitFSharpCoreReference>
  </PropertyGroup>
  <ItemGroup>
    <Compile Include="HostSupervisor.fs" />
    <Reference Include="FSharp.Core" HintPath="$(MSBuildBinPath)\\FSharp\\FSharp.Core.dll" />
  </ItemGroup>"""}


class DotNetLibrary(DotNetSdk, TestCase):
    def library(self, name, language, frameworks):
        """A new project `name` of the user's library in `language` for `frameworks`."""
        if "netstandard2.0" in frameworks and not NETSTANDARD_PACKAGES:
            self.skipTest("no NETStandard.Library 2.0.3 offline (HOOK_HOST_NETSTANDARD_PACKAGES): "
                          "run tools/install-dependencies")
        project = self.project(name, ["tests/consumer/HostSupervisor." + language, "bindings/dotnet/HookControl.snk"])
        with open(os.path.join(project, "HostSupervisor.%sproj" % language), "w") as written:
            written.write(LIBRARY_PROJECT % (frameworks, LANGUAGES[language]))
        return project

    def test_a_library_builds_for_each_net_standard_and_in_each_language(self):
        for language, frameworks in (("cs", "netstandard2.0"), ("cs", "netstandard2.0;netstandard2.1"),
                                     ("cs", "netstandard2.1"), ("vb", "netstandard2.1"), ("fs", "netstandard2.1")):
            with self.subTest(language=language, frameworks=frameworks):
                project = self.library("%s-%s" % (language, frameworks.replace(";", "+")), language, frameworks)
                self.restore_and_build(project)
                with open(os.path.join(project, "obj", "project.assets.json")) as assets:
                    targets = json.load(assets)["targets"]
                for framework in frameworks.split(";"):
                    # Each leg compiled against the package's assembly of its own framework.
                    name = ".NETStandard,Version=v" + framework[len("netstandard"):]
                    self.assertEqual(list(targets[name]["HookControl/" + VERSION]["compile"]),
                                     ["lib/%s/HookControl.dll" % framework])
                    self.assertTrue(os.path.exists(os.path.join(project, "bin", "Debug", framework,
                                                                "HostSupervisor.dll")))

    def test_a_program_runs_a_host_through_a_library_for_net_standard_2_0(self):
        self.library("library", "cs", "netstandard2.0")
        program = self.project("program", ["tests/consumer/HostSupervisorProgram.cs"])
        with open(os.path.join(program, "HostSupervisorProgram.csproj"), "w") as written:
            written.write(PROGRAM_PROJECT)
        self.restore_and_build(program)
        ran = subprocess.run(self.dotnet + [os.path.join(program, "bin", "Debug", "netcoreapp3.1",
                                                         "HostSupervisorProgram.dll"), platform_path(HOST)],
                             env=self.environment, capture_output=True, timeout=60)
        self.assertEqual((ran.returncode, ran.stdout.strip()), (0, b"7"), ran.stderr[-3000:])


# A user's .NET Framework program of the package, restored and not built (.NET Framework's reference
# assemblies are not in the offline feed). EachPlatform evaluates it for each platform it may be built
# for, without a runtime identifier, as a project of packages.config is (the SDK gives a PackageReference
# project of x86 or x64 one, and NuGet then takes the DLL from runtimes/); Placed says which
# hook_control.dll the package's build/net45/HookControl.targets places beside the program.
FRAMEWORK_PROJECT = """<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <OutputType>Exe</OutputType>
    <TargetFramework>net48</TargetFramework>
  </PropertyGroup>
  <ItemGroup>
    <PackageReference Include="HookControl" Version="$(HookControlVersion)" />
  </ItemGroup>
  <ItemGroup>%s
  </ItemGroup>
  <Target Name="EachPlatform">
    <MSBuild Projects="$(MSBuildProjectFullPath)" Targets="Placed" Properties="Case=%%(Case.Identity);RuntimeIdentifier=;%%(Case.Properties)" />
  </Target>
  <Target Name="Placed">
    <Message Importance="high" Text="placed $(Case) %%(None.FullPath)" Condition="'%%(None.Link)' == 'hook_control.dll'" />
  </Target>
</Project>
"""
# {case: (properties, the architecture of the DLL placed)}; a platform of ARM64 ignores "Prefer 32-bit".
FRAMEWORK_PLATFORMS = {"x64": ("PlatformTarget=x64", "x64"), "AnyCPU": ("PlatformTarget=AnyCPU", "x64"),
                       "AnyCPU-32": ("PlatformTarget=AnyCPU;Prefer32Bit=true", "x86"),
                       "x86": ("PlatformTarget=x86", "x86"), "ARM64": ("PlatformTarget=ARM64", "arm64"),
                       "ARM64-32": ("PlatformTarget=ARM64;Prefer32Bit=true", "arm64")}


class DotNetFramework(DotNetSdk, TestCase):
    def test_a_net_framework_program_gets_the_dll_of_its_platform_beside_it(self):
        project = self.project("framework", [])
        cases = "".join('\n    <Case Include="%s" Properties="%s" />' % (case, properties)
                        for case, (properties, _) in FRAMEWORK_PLATFORMS.items())
        with open(os.path.join(project, "Program.csproj"), "w") as written:
            written.write(FRAMEWORK_PROJECT % cases)
        for step in (["restore"], ["msbuild", "-t:EachPlatform"]):
            result = self.sdk(project, *step)
            self.assertEqual(result.returncode, 0, result.stdout[-3000:])
            self.assertNotIn(b"warning", result.stdout)
        placed = dict(re.findall(r"placed (\S+) Z:(\S+)", result.stdout.decode()))
        self.assertEqual(sorted(placed), sorted(FRAMEWORK_PLATFORMS))
        for case, (_, architecture) in FRAMEWORK_PLATFORMS.items():
            with self.subTest(case=case):
                dll = os.path.normpath(placed[case].replace("\\", "/"))
                self.assertTrue(dll.endswith("/runtimes/win-%s/native/hook_control.dll" % architecture), dll)
                self.assertEqual(images.load(dll).FILE_HEADER.Machine, images.MACHINES[architecture][0])


class DotNetRuntimeWithRid(DotNetRuntime):
    RUNTIME_IDENTIFIER = "win-x64"

    def test_a_project_for_another_architecture_gets_the_dll_of_its_own(self):
        # Built, not run: the tests have the x64 runtime alone.
        for architecture in ("x86", "arm64"):
            with self.subTest(architecture=architecture):
                program = self.build("win-" + architecture)[-1]
                for name in (program, os.path.join(os.path.dirname(program), "hook_control.dll")):
                    self.assertEqual(images.load(name).FILE_HEADER.Machine, images.MACHINES[architecture][0], name)


class DotNetRuntimePortable(DotNetRuntime):
    pass


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
