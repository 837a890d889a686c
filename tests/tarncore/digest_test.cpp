// Ordinal 7: MD5 of a BSTR's UTF-16LE code units as 32 upper-case hexadecimal digits; and the
// VARIANT/BSTR helpers that callers make the argument with.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>

#include "tarncore_test_support.h"

namespace {

using tarncore_test::Show;
using tarncore_test::T;
using tarncore_test::Text;

constexpr char16_t kEmptyDigest[] = u"D41D8CD98F00B204E9800998ECF8427E";

// A VARIANT holding a copy of `text` as a BSTR, cleared on every path.
class BstrVariant {
 public:
  explicit BstrVariant(std::u16string_view text) {
    VariantInit(&variant_);
    const Text units = T(text);
    variant_.vt = VT_BSTR;
    variant_.bstrVal = SysAllocStringLen(units.data(), static_cast<std::uint32_t>(units.size()));
  }
  ~BstrVariant() { VariantClear(&variant_); }
  BstrVariant(const BstrVariant&) = delete;
  BstrVariant& operator=(const BstrVariant&) = delete;
  VARIANT* get() { return &variant_; }

 private:
  VARIANT variant_;
};

std::string Digest(std::u16string_view text) {
  BstrVariant value(text);
  return Show(TarnDigest(value.get()));
}

TEST(Digest, IsMd5OfTheUtf16LeCodeUnitsInUpperCaseHex) {
  // Expected values: MD5 of the text encoded as UTF-16LE, computed independently (Python's
  // hashlib.md5(text.encode("utf-16-le"))).
  static const struct {
    std::u16string_view text;
    const char16_t* digest;
  } cases[] = {
      {u"", kEmptyDigest},
      {u"a", u"4144E195F46DE78A3623DA7364D04F11"},
      {u"C:\\MODELS\\PART-1.SLDPRT", u"2DA61D279E786B55B57A20F3386E2E7B"},
      {u"C:\\models\\part-1.sldprt", u"BFBD126F8BE352624252D54AAC09B355"},
      {u"\u00e4", u"DFE7308C9E9895B3C293B84C1DD4C2C8"},                          // a umlaut and
      {u"\u00c4", u"EC389917DE55CD6C07BCEDD943251994"},                          // A umlaut differ
      {u"\U0001D11E", u"3E5ECD772B59531102600BBAEFC977DB"},                      // a surrogate pair
      {std::u16string_view(u"\xD800", 1), u"EDCD2CC0BD7E607A4512F5C0683F4FB2"},  // unpaired high
      {std::u16string_view(u"\xDC00"
                           u"a",
                           2),
       u"56E979AF3E2499CEDB4239293B929B95"},
      {std::u16string_view(u"a\0b", 3), u"05C2D85585D36E935BC6BE6D82F08708"},  // length, not NUL
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Digest(c.text), Show(T(c.digest))) << "text " << Show(T(c.text));
  }
}

TEST(Digest, NullBstrNullVariantAndEmptyVariantDigestAsTheEmptyText) {
  VARIANT nullBstr;
  VariantInit(&nullBstr);
  nullBstr.vt = VT_BSTR;
  nullBstr.bstrVal = nullptr;
  EXPECT_EQ(Show(TarnDigest(&nullBstr)), Show(T(kEmptyDigest))) << "null BSTR";

  VARIANT empty;
  VariantInit(&empty);
  EXPECT_EQ(Show(TarnDigest(&empty)), Show(T(kEmptyDigest))) << "VT_EMPTY";

  EXPECT_EQ(Show(TarnDigest(nullptr)), Show(T(kEmptyDigest))) << "null VARIANT pointer";
}

TEST(Digest, LeavesTheVariantAsItWas) {
  BstrVariant value(u"C:\\Models\\part.sldprt");
  const BSTR before = value.get()->bstrVal;
  TarnDigest(value.get());
  EXPECT_EQ(value.get()->vt, VT_BSTR);
  ASSERT_EQ(value.get()->bstrVal, before);
  EXPECT_EQ(Show(before), Show(T(u"C:\\Models\\part.sldprt")));
}

TEST(Digest, EachThreadKeepsItsOwnResultUntilItsNextCall) {
  BstrVariant first(u"a");
  const tarncore::Char* mine = TarnDigest(first.get());
  std::string theirs;
  std::thread other([&theirs] { theirs = Digest(u"\u00e4"); });
  other.join();
  EXPECT_EQ(theirs, Show(T(u"DFE7308C9E9895B3C293B84C1DD4C2C8")));
  EXPECT_EQ(Show(mine), Show(T(u"4144E195F46DE78A3623DA7364D04F11")))
      << "another thread's call changed this thread's result";
}

// The BSTR helpers of the header (oleaut32 on Windows, the library's own on POSIX) behave alike.
TEST(Bstr, HoldsItsUnitsWithLengthPrefixAndTerminator) {
  static const std::u16string_view texts[] = {u"", u"x", u"C:\\m\u00e4\\p.sldprt",
                                              std::u16string_view(u"a\0b", 3)};
  for (const auto text : texts) {
    const Text units = T(text);
    BSTR value = SysAllocStringLen(units.data(), static_cast<std::uint32_t>(units.size()));
    ASSERT_NE(value, nullptr) << Show(units);
    EXPECT_EQ(SysStringLen(value), units.size()) << Show(units);
    EXPECT_EQ(std::memcmp(value, units.data(), units.size() * sizeof(tarncore::Char)), 0)
        << Show(units);
    EXPECT_EQ(value[units.size()], 0) << Show(units);
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(value) - sizeof prefix,
                sizeof prefix);
    EXPECT_EQ(prefix, units.size() * sizeof(tarncore::Char)) << "length in bytes, " << Show(units);
    SysFreeString(value);
  }
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);  // allowed, does nothing
}

TEST(Bstr, VariantClearFreesTheStringAndEmptiesTheVariant) {
  VARIANT value;
  VariantInit(&value);
  EXPECT_EQ(value.vt, VT_EMPTY);
  const Text units = T(u"text");
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocStringLen(units.data(), static_cast<std::uint32_t>(units.size()));
  EXPECT_EQ(VariantClear(&value), 0);  // S_OK; a leak here shows under ASan
  EXPECT_EQ(value.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(&value), 0);  // clearing an empty variant is harmless
}

}  // namespace
