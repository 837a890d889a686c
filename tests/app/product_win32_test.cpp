// The Windows product as shipped: a GUI-subsystem program carrying its manifest and version
// information, read back out of hopgate.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hopgate_version.h"
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

TEST(Product, ManifestNamesTheImagesProcessorAndVersion) {
  const std::string manifest = Manifest();
#ifdef _WIN64
  EXPECT_NE(manifest.find("processorArchitecture=\"amd64\""), std::string::npos);
#else
  EXPECT_NE(manifest.find("processorArchitecture=\"x86\""), std::string::npos);
#endif
  EXPECT_NE(manifest.find("version=\"" EXPECTED_VERSION ".0\""), std::string::npos);
}

std::wstring Wide(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

TEST(Product, VersionInformationCarriesTheProjectVersionAndTheCommit) {
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
  // File and product version: major.minor.patch.0, the major and minor in the high word.
  const DWORD ms = (EXPECTED_MAJOR << 16) | EXPECTED_MINOR, ls = EXPECTED_PATCH << 16;
  EXPECT_EQ(fixed->dwFileVersionMS, ms);
  EXPECT_EQ(fixed->dwFileVersionLS, ls);
  EXPECT_EQ(fixed->dwProductVersionMS, ms);
  EXPECT_EQ(fixed->dwProductVersionLS, ls);

  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT chars = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!::VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars)) {
      return std::wstring(L"<missing>");
    }
    return std::wstring(value);
  };
  EXPECT_EQ(text(L"OriginalFilename"), L"hopgate.exe");
  EXPECT_EQ(text(L"FileVersion"), Wide(EXPECTED_VERSION));
  // The product version names the commit: "1.0.0 (<git describe>)".
  EXPECT_EQ(text(L"ProductVersion"), Wide(EXPECTED_VERSION " (" HOPGATE_GIT_DESCRIBE ")"));
  EXPECT_STRNE(HOPGATE_GIT_DESCRIBE, "");
}

TEST(Product, IsAGuiSubsystemProgramOfTheBuildsBitness) {
  HMODULE module = ::LoadLibraryExW(Program().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  // A data-file mapping's handle has its low bits set; the image starts at the aligned address.
  auto base =
      reinterpret_cast<const unsigned char*>(reinterpret_cast<uintptr_t>(module) & ~uintptr_t(3));
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  // IMAGE_NT_HEADERS is the 32- or 64-bit layout, as this test is built: the program's must match.
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
#ifdef _WIN64
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
#else
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
#endif
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  // Linked without a time stamp: two builds of one commit give the same bytes.
  EXPECT_EQ(nt->FileHeader.TimeDateStamp, 0u);
  ::FreeLibrary(module);
}

}  // namespace
