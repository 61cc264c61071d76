#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Library/CEResultCodes.h"
#include "Utilities/CParamsX.h"
#include "Utilities/ParamsView.h"
#include "trace/KelException.h"

namespace {

using Items = std::vector<std::string>;

Items itemsOf(CParamsX& list) {
  Items items;
  for (unsigned long i = 0; i < list.count(); ++i) items.push_back(list.getstringParamAt(i));
  return items;
}

// The offset of every item, found by walking the length prefixes.
std::vector<long> offsetsOf(CParamsX& list) {
  std::vector<long> offsets;
  long offset = list.getHeader().empty() ? 0 : static_cast<long>(list.getHeader().size()) + 1;
  for (unsigned long i = 0; i < list.count(); ++i) {
    offsets.push_back(offset);
    long prefix = 0;
    long value = list.getLength(offset, &prefix);
    offset += prefix + value + 1;
  }
  return offsets;
}

TEST(ParamsX, BuildsTheDocumentedTexts) {
  CParamsX first;
  first.addParam("cat1");
  first.addParam(5L);
  CParamsX second;
  second.addParam("retract");
  second.addParam(first.paramListRef());
  EXPECT_EQ(second.paramListRef(), "7;retract;10;4;cat1;1;5");
  CParamsX third;
  third.addParam(second.paramListRef());
  EXPECT_EQ(third.paramListRef(), "23;7;retract;10;4;cat1;1;5");

  CParamsX withHeader;
  withHeader.addHeader("hdr");
  withHeader.addParam("abc");
  withHeader.addResult(0);
  withHeader.addParam(1);
  EXPECT_EQ(withHeader.paramListRef(), "hdr;3;abc;10;0x00000000;1;T");
  EXPECT_EQ(offsetsOf(withHeader), (std::vector<long>{4, 10, 24}));

  // Nested lists read back level by level.
  CParamsX outer(third.paramListRef());
  CParamsX middle(outer.getstringParamAt(0));
  CParamsX inner(middle.getstringParamAt(1));
  EXPECT_EQ(middle.getstringParamAt(0), "retract");
  EXPECT_EQ(inner.getstringParamAt(0), "cat1");
  EXPECT_EQ(inner.getLongParamAt(1), 5);

  CParamsX empties;
  empties.addParam("");
  empties.addParam("");
  EXPECT_EQ(empties.paramListRef(), "0;;0;");
  EXPECT_EQ(offsetsOf(empties), (std::vector<long>{0, 3}));

  // Values of any size, holding separators and digits, come back whole.
  for (std::size_t size : {999999u, 1000000u, 2u * 1024u * 1024u}) {
    std::string big(size, 'x');
    big[0] = ';';
    big[size / 2] = '7';
    CParamsX list;
    list.addParam("before");
    list.addParam(big);
    list.addParam("after");
    CParamsX back(list.paramListRef());
    EXPECT_EQ(itemsOf(back), (Items{"before", big, "after"})) << size;
  }
}

TEST(ParamsX, TypedValuesRoundTripInBothAbis) {
  CParamsX list;
  list.addParam(-5L);
  list.addParam(static_cast<long>(static_cast<int32_t>(0xFFFFFFFFu)));  // a server id of -1
  list.addParam(0ull);
  list.addParam(18446744073709551615ull);
  list.addParam(0);
  list.addResult(CE_E_STOPPING);
  list.addParam("1;2");
  EXPECT_EQ(list.paramListRef(), "2;-5;2;-1;1;0;20;18446744073709551615;1;F;10;0xC11F0D4E;3;1;2");

  CParamsX back(list.paramListRef());
  EXPECT_EQ(back.getLongParamAt(0), -5);
  EXPECT_EQ(back.getLongParamAt(1), -1);
  EXPECT_EQ(back.getULONGLONGParamAt(3), 18446744073709551615ull);
  EXPECT_EQ(back.getstringParamAt(6), "1;2");
  // Out-of-range reads are neutral, never errors.
  EXPECT_EQ(back.getstringParamAt(99), "");
  EXPECT_EQ(back.getLongParamAt(99), 0);
  EXPECT_EQ(back.getULONGLONGParamAt(99), 0ull);
  EXPECT_EQ(back.getBOOLParamAt(99), 0);

  // A 32-bit number reads the same whichever way a peer spelt it.
  CParamsX ids("2;-1;10;4294967295;3;abc;0;");
  EXPECT_EQ(static_cast<int32_t>(ids.getLongParamAt(0)), -1);
  EXPECT_EQ(static_cast<int32_t>(ids.getLongParamAt(1)), -1);
  EXPECT_EQ(ids.getLongParamAt(2), 0);
  EXPECT_EQ(ids.getLongParamAt(3), 0);

  // A long wider than 32 bits keeps its low word on the wire, as on i386.
  CParamsX wide;
  wide.addParam(static_cast<long>(0x7FFFFFFF));
  wide.addParam(static_cast<long>(static_cast<int32_t>(0x80000000u)));
  EXPECT_EQ(wide.paramListRef(), "10;2147483647;11;-2147483648");

  // Booleans are exactly "T".
  CParamsX flags("1;T;1;t;4;TRUE;1;1;1;F");
  for (unsigned long i = 0; i < flags.count(); ++i) EXPECT_EQ(flags.getBOOLParamAt(i), i == 0 ? 1 : 0) << i;

  // The result of a list, read by a parsed list and straight from a text.
  EXPECT_EQ(CParamsX().getHRESULT(), CE_E_MALFORMED_LIST);
  const std::pair<const char*, long> cases[] = {
      {"3;0x1", CE_E_MALFORMED_LIST},
      {"10;0x00000001", 1},
      {"hdr;10;0xC11F0D4E", CE_E_STOPPING},
      {"hdr", CE_E_MALFORMED_LIST},
      {"9;0x0000001", CE_E_MALFORMED_LIST},
      {"10;zzzzzzzzzz", CE_E_MALFORMED_LIST},  // not a code, not success
      {"10;0x1234ZZZZ", CE_E_MALFORMED_LIST},
      {"10;0x0000", CE_E_MALFORMED_LIST},      // short text: no read past its end
      {"10;0xc11f0d4e;3;abc", CE_E_STOPPING},
  };
  for (const auto& [text, result] : cases) {
    EXPECT_EQ(CParamsX(std::string(text)).getHRESULT(), result) << text;
    EXPECT_EQ(CParamsX::getHRESULT(text), result) << text;
  }
}

TEST(ParamsX, ParsesWellFormedMalformedAndHostileTexts) {
  struct Case {
    const char* text;
    const char* header;
    Items items;
  };
  const Case cases[] = {
      {"", "", {}},
      {"hdr;", "hdr", {}},
      {"hdr;3;abc", "hdr", {"abc"}},
      {"3;1;2", "", {"1;2"}},
      {"3;abcX2;de", "", {"abc", "de"}},  // the separator is skipped unchecked
      {"3;ab", "", {"ab"}},               // a value past the end reads to the end
      {"1;a;99999999999999999999;b", "", {"a", "b"}},
      {"1;a;4294967296;b", "", {"a", "b"}},
      {"ab;x", "", {}},                   // header "ab", then "x" has no prefix
      {" 2;ab", "", {}},
      {"+2;ab", "", {}},
      {";", "", {}},
      // More items than the allocation-free reader keeps inline.
      {"h;1;a;1;b;1;c;1;d;1;e;1;f;1;g;1;h;1;i;2;jk", "h", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "jk"}},
      {"1;a;1;b;1;c;1;d;1;e;1;f;1;g;1;h;1;i;-1;j", "", {}},
  };
  for (const Case& c : cases) {
    CParamsX list{std::string(c.text)};
    EXPECT_EQ(list.getHeader(), c.header) << c.text;
    EXPECT_EQ(itemsOf(list), c.items) << c.text;
    // The allocation-free reader reads the same.
    ParamsView view(c.text);
    EXPECT_EQ(view.header(), c.header) << c.text;
    Items viewed;
    for (std::size_t i = 0; i < view.count(); ++i) viewed.emplace_back(view.itemAt(i));
    EXPECT_EQ(viewed, c.items) << c.text;
  }
  // Numbers: plain digits are read directly, the rest as strtoll and CPortable::stoull do (never throwing).
  for (const char* number : {"0", "-0", "42", "-42", " +12x", "+42", "7abc", "abc", "-", "-1", "",
                             "123456789012345678", "1234567890123456789", "18446744073709551615",
                             "18446744073709551616", "-9223372036854775809", "0x10"}) {
    CParamsX list;
    list.addParam(number);
    ParamsView view(list.paramListRef());
    EXPECT_EQ(view.getLongParamAt(0), list.getLongParamAt(0)) << number;
    EXPECT_EQ(view.getULONGLONGParamAt(0), list.getULONGLONGParamAt(0)) << number;
  }
  // Malformed texts are dropped whole: no items, no header, no text. A negative length would stand still, step
  // back out of the text or overlap the previous item.
  for (const char* bad : {"hdr", "5abc", "3;abc;;x", "3;abcdef", "h;1;a;-4;x", "1;a;-9;xxxx", "1;a;-3;bc"}) {
    CParamsX list{std::string(bad)};
    EXPECT_EQ(list.paramListRef(), "") << bad;
    EXPECT_EQ(list.getHeader(), "") << bad;
    EXPECT_EQ(list.count(), 0ul) << bad;
    ParamsView view(bad);
    EXPECT_TRUE(view.count() == 0 && view.header().empty()) << bad;
  }
  // Keys and key patterns must be plain lists, not merely readable ones: the lenient reader takes "a,*" for a
  // header with no items (so a subscription matching everything) and skips a wrong separator.
  CParamsX built;
  for (const char* item : {"a", "", "*", "x;y"}) built.addParam(item);
  for (const std::string& plain : {std::string(), built.paramList(), std::string("1;a"), std::string("0;")})
    EXPECT_TRUE(params::isPlainList(plain)) << plain;
  for (const char* loose : {"a,*", "a,q", "hdr;1;a", "3;abcX2;de", "3;ab", "1;a;", ";", "1;a;;1;b", "-1;a",
                            "99999999999999999999;a"})
    EXPECT_FALSE(params::isPlainList(loose)) << loose;
  // The parse proper reports them as a KelException.
  try {
    CParamsX().constructor("3;abc;;x");
    ADD_FAILURE() << "no exception";
  } catch (const KelException& e) {
    EXPECT_EQ(e.code(), CE_E_MALFORMED_LIST);
  }
}

// Copies, moves and swaps are independent lists; appending is all or nothing.
TEST(ParamsX, CopiesMovesAndAppends) {
  CParamsX copy;
  {
    CParamsX source;
    source.addHeader("h");
    source.addParam("short");  // fits the small-string buffer: a stale pointer would dangle
    copy = source;
    CParamsX constructed(source);
    EXPECT_EQ(constructed.getstringParamAt(0), "short");
    source.addParam("more");
    EXPECT_EQ(copy.count(), 1ul);
  }
  EXPECT_EQ(copy.getstringParamAt(0), "short");
  EXPECT_EQ(copy.getHeader(), "h");

  copy = *&copy;  // self-assignment keeps the list
  EXPECT_EQ(copy.getstringParamAt(0), "short");

  CParamsX moved(std::move(copy));
  EXPECT_EQ(moved.getstringParamAt(0), "short");
  CParamsX target;
  target = std::move(moved);
  target.addParam("x");
  EXPECT_EQ(target.paramListRef(), "h;5;short;1;x");

  // Texts moved in parse as copied ones do; lists swapped or emptied by taking their text are whole lists after.
  CParamsX fromTemporary{std::string("h;5;short;1;x")};
  EXPECT_EQ(itemsOf(fromTemporary), itemsOf(target));
  EXPECT_EQ(fromTemporary.getHeader(), "h");
  CParamsX other(std::string("1;a;1;b"));
  other.swap(fromTemporary);
  EXPECT_EQ(itemsOf(other), (Items{"short", "x"}));
  EXPECT_EQ(itemsOf(fromTemporary), (Items{"a", "b"}));
  EXPECT_EQ(fromTemporary.takeParamList(), "1;a;1;b");
  EXPECT_EQ(fromTemporary.count(), 0ul);
  fromTemporary.addParam("c");
  EXPECT_EQ(fromTemporary.paramListRef(), "1;c");

  // Appending a text is all or nothing.
  CParamsX list;
  list.addParam("a");
  list.append("2;bc;0;");
  list.append("");  // nothing to add: no trailing ';'
  EXPECT_EQ(list.paramListRef(), "1;a;2;bc;0;");
  EXPECT_THROW(list.append("2;ab;;x"), KelException);
  EXPECT_THROW(list.append("1;a;-4;x"), KelException);
  EXPECT_EQ(list.paramListRef(), "1;a;2;bc;0;");
  EXPECT_EQ(itemsOf(list), (Items{"a", "bc", ""}));

  CParamsX headed;
  headed.addHeader("hdr");
  headed.append("1;x");
  EXPECT_EQ(headed.paramListRef(), "hdr;1;x");
  EXPECT_EQ(headed.getstringParamAt(0), "x");
}

}  // namespace
