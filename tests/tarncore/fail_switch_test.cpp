// The test switch TARNCORE_FAIL: the named operation throws tarncore::Failure, a C++ exception
// that crosses from the library into the program. On Windows this runs a g++ program against
// tarnCore.dll, both with their own static libgcc and libstdc++, so it shows that catch (...) and
// catch (const tarncore::Failure&) in the program receive what the DLL throws.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "tarncore_test_support.h"

namespace {

namespace fs = std::filesystem;
using tarncore_test::PathText;
using tarncore_test::ScopedEnvironment;

std::u16string Ascii(const char* text) { return std::u16string(text, text + std::strlen(text)); }

class FailSwitch : public ::testing::Test {
 protected:
  FailSwitch() {
    tarncore_test::WriteFile(image_, {'B', 'M'});  // not a valid image: only the throw matters
    VariantInit(&value_);
  }
  ~FailSwitch() override { VariantClear(&value_); }
  void SetUp() override {
#if defined(_WIN32) && !defined(_WIN64)
    // 32-bit MinGW unwinds by DWARF tables that each statically linked module registers with its
    // own libgcc: the library's unwinder never finds the program's frames and ends the process.
    GTEST_SKIP() << "a C++ exception cannot leave a statically linked 32-bit MinGW DLL";
#endif
  }

  tarncore_test::TempFolder folder_;
  const fs::path image_ = folder_.Path() / "in.bmp";
  const fs::path png_ = folder_.Path() / "out.png";
  VARIANT value_;
  const ScopedEnvironment root_{"TARNCORE_DATA_ROOT", u"root"};

  struct Operation {
    const char* name;
    std::function<void()> call;
  };
  const Operation operations_[3] = {
      {"dataroot", [] { TarnDataRoot(); }},
      {"digest", [this] { TarnDigest(&value_); }},
      {"convert", [this] { TarnImageToPng(PathText(image_).c_str(), PathText(png_).c_str()); }},
  };
};

// A frame of the program's own that the exception unwinds through: its destructor must run before
// the handler does. (Reached only through the exception, the handler cannot see a normal end of
// the scope.)
struct Witness {
  bool* destroyed;
  ~Witness() { *destroyed = true; }
};

TEST_F(FailSwitch, TheNamedOperationThrowsAndCatchAllReceivesIt) {
  for (const auto& op : operations_) {
    const ScopedEnvironment fail("TARNCORE_FAIL", Ascii(op.name));
    bool caught = false, destroyed = false, unwoundBeforeTheHandler = false;
    try {
      const Witness witness{&destroyed};
      op.call();
    } catch (...) {
      caught = true;
      unwoundBeforeTheHandler = destroyed;
    }
    EXPECT_TRUE(caught) << op.name << ": catch (...) received nothing";
    EXPECT_TRUE(unwoundBeforeTheHandler) << op.name << ": the program's frame was not unwound";
  }
}

TEST_F(FailSwitch, TheExceptionIsATarncoreFailureNamingTheOperation) {
  for (const auto& op : operations_) {
    const ScopedEnvironment fail("TARNCORE_FAIL", Ascii(op.name));
    std::string message;
    try {
      op.call();
      ADD_FAILURE() << op.name << ": nothing was thrown";
    } catch (const tarncore::Failure& failure) {
      message = failure.what();
    } catch (...) {
      ADD_FAILURE() << op.name << ": something other than tarncore::Failure was thrown";
    }
    EXPECT_NE(message.find(op.name), std::string::npos) << op.name << ": " << message;
  }
}

TEST_F(FailSwitch, OnlyTheNamedOperationFails) {
  for (const char* setting : {"dataroot", "digest", "convert", "", "other", "DIGEST"}) {
    const ScopedEnvironment fail("TARNCORE_FAIL", Ascii(setting));
    for (const auto& op : operations_) {
      if (std::string(op.name) == setting) continue;
      EXPECT_NO_THROW(op.call()) << "TARNCORE_FAIL=" << setting << ", " << op.name;
    }
  }
}

TEST_F(FailSwitch, AFailingConversionLeavesTheFilesAsTheyWere) {
  tarncore_test::WriteFile(png_, {'o', 'l', 'd'});
  const ScopedEnvironment fail("TARNCORE_FAIL", u"convert");
  EXPECT_THROW(TarnImageToPng(PathText(image_).c_str(), PathText(png_).c_str()), tarncore::Failure);
  EXPECT_TRUE(tarncore_test::ReadFile(png_) == (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  EXPECT_TRUE(tarncore_test::ReadFile(image_) == (std::vector<std::uint8_t>{'B', 'M'}));
}

}  // namespace
