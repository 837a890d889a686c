// A fresh program folder with the built program and its core library, a data root and a caller's
// folder, all under one temporary folder that is removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/process.h"
#include "support/temp_folder.h"

namespace testsupport {

// How long a test waits before it concludes that a program was not started.
#ifdef _WIN32
inline constexpr double kAbsenceWait = 3.0;
#else
inline constexpr double kAbsenceWait = 0.7;
#endif
inline constexpr double kPresenceWait = 20.0;

// Whether a C++ exception thrown in the core library (its TARNCORE_FAIL switch) reaches the
// program's catch-all. Not in the 32-bit Windows build: there g++ unwinds by DWARF tables, which
// each statically linked module registers with its own copy of libgcc, so the library's unwinder
// never finds the program's frames and ends the process instead.
#if defined(_WIN32) && !defined(_WIN64)
inline constexpr bool kCoreFailuresReachTheProgram = false;
#else
inline constexpr bool kCoreFailuresReachTheProgram = true;
#endif
inline constexpr const char* kCoreFailuresStayInTheLibrary =
    "a C++ exception cannot leave a statically linked 32-bit MinGW DLL";

// Throws when the file cannot be written (WriteBytes): a failed setup fails the test.
inline void WriteFile(const fs::path& p, const std::string& content) { WriteBytes(p, content); }

inline std::string ReadFile(const fs::path& p) { return ReadBytes(p); }

class ProgramFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program = root / "prog";
    data = root / "data";
    caller = root / "cwd";
    fs::create_directories(program);
    fs::create_directories(data);
    fs::create_directories(caller);
    Install(program, std::string("hopgate") + kExeSuffix);
  }

  // Copies the program under `name` and the core library into `folder`.
  void Install(const fs::path& folder, const std::string& name) {
    fs::create_directories(folder);
    fs::copy_file(OwnFolder() / (std::string("hopgate") + kExeSuffix), folder / name,
                  fs::copy_options::overwrite_existing);
    fs::copy_file(OwnFolder() / kCoreLibrary, folder / kCoreLibrary,
                  fs::copy_options::overwrite_existing);
  }

  // Places the recorder program in the program folder under `baseName` + the exe suffix.
  fs::path PlaceRecorder(const std::string& baseName, const fs::path& folder = {}) {
    const fs::path target = (folder.empty() ? program : folder) / (baseName + kExeSuffix);
    fs::create_directories(target.parent_path());
    fs::copy_file(OwnFolder() / (std::string("recorder") + kExeSuffix), target,
                  fs::copy_options::overwrite_existing);
    return target;
  }

  RunOptions Options() const {
    RunOptions o;
    o.environment["TARNCORE_DATA_ROOT"] = data.string();
    o.environment["TARNCORE_FAIL"] = std::nullopt;
    o.workingFolder = caller;
    return o;
  }

  // Runs the program as a caller does; every run must exit 0 and write nothing.
  RunResult Run(const std::vector<std::u16string>& args, RunOptions o, const fs::path& exe) {
    RunResult r = RunArguments(exe, args, o);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "");
    return r;
  }
  RunResult Run(const std::vector<std::u16string>& args) {
    return Run(args, Options(), program / (std::string("hopgate") + kExeSuffix));
  }
  RunResult RunLine(const std::u16string& tail, RunOptions o) {
    RunResult r = RunCommandLine(program / (std::string("hopgate") + kExeSuffix), tail, o);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "");
    return r;
  }

  fs::path PreviewFolder() const { return data / "Vexmoor" / "PreviewPNG"; }

  TempFolder folder_{"hopgate-test"};
  const fs::path root = folder_.Path();
  fs::path program, data, caller;
};

}  // namespace testsupport
