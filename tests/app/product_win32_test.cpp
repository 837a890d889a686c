// The Windows product as shipped: a GUI-subsystem program carrying its manifest and version
// information, read back out of hopgate.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.h"

namespace {

using testsupport::OwnFolder;

std::wstring Program() { return (OwnFolder() / "hopgate.exe").wstring(); }

std::string Manifest() {
  HMODULE module = ::LoadLibraryExW(Program().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return {};
  std::string text;
  if (HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
    if (HGLOBAL data = ::LoadResource(module, res)) {
      text.assign(static_cast<const char*>(::LockResource(data)), ::SizeofResource(module, res));
    }
  }
  ::FreeLibrary(module);
  return text;
}

TEST(Product, ManifestAsksForNoElevationAndDeclaresControlsAndSystems) {
  const std::string manifest = Manifest();
  ASSERT_FALSE(manifest.empty());
  static const char* const required[] = {
      "level=\"asInvoker\"",
      "name=\"Microsoft.Windows.Common-Controls\"",
      "version=\"6.0.0.0\"",
      "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
  };
  for (const char* r : required) EXPECT_NE(manifest.find(r), std::string::npos) << r;
}

TEST(Product, VersionInformationNamesTheProgram) {
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(Program().c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(::GetFileVersionInfoW(Program().c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  wchar_t* name = nullptr;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                               reinterpret_cast<void**>(&name), &len));
  EXPECT_EQ(std::wstring(name), L"hopgate.exe");
}

TEST(Product, IsAGuiSubsystemProgram) {
  HMODULE module = ::LoadLibraryExW(Program().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  // A data-file mapping's handle has its low bits set; the image starts at the aligned address.
  auto base =
      reinterpret_cast<const unsigned char*>(reinterpret_cast<uintptr_t>(module) & ~uintptr_t(3));
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  ::FreeLibrary(module);
}

}  // namespace
