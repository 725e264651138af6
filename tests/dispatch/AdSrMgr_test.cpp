#include "dispatch/AdSrMgr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dispatch/AdExcept.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

void PutUInt32(TBytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A "STR0" block of the given entries, laid out as the format prescribes.
TBytes MakeBlock(const std::vector<std::pair<std::uint32_t, std::u16string>>& entries) {
  TBytes block{'S', 'T', 'R', '0'};
  PutUInt32(block, static_cast<std::uint32_t>(entries.size()));
  std::uint32_t offset = 8 + 12 * static_cast<std::uint32_t>(entries.size());
  for (const auto& [id, text] : entries) {
    PutUInt32(block, id);
    PutUInt32(block, offset);
    PutUInt32(block, static_cast<std::uint32_t>(text.size()));
    offset += 2 * static_cast<std::uint32_t>(text.size());
  }
  for (const auto& entry : entries) {
    for (char16_t unit : entry.second) {
      block.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      block.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
  }
  return block;
}

const std::vector<std::pair<std::uint32_t, std::u16string>> kSmall = {
    {1, u"one"}, {7, u"seven"}, {300, u"three hundred"}};

// Adds a block under a name for the life of the test.
class TAddedBlock {
 public:
  TAddedBlock(std::string name, TBytes bytes) : name_(std::move(name)) {
    AddStringResource(name_, std::move(bytes));
  }
  ~TAddedBlock() { RemoveStringResource(name_); }

 private:
  std::string name_;
};

// The message of the EKxsStringResourceError that `action` raises.
template <typename TAction>
std::string FailureOf(TAction action) {
  try {
    action();
  } catch (const EKxsStringResourceError& e) {
    return e.Message();
  }
  return "(no exception)";
}

// ---------------------------------------------------------------------------
// The compiled-in resources

TEST(StringResources, CompiledInBlocksHaveTheirSizes) {
  std::size_t found = 0;
  for (const TAdResourceBlock& block : EmbeddedStringResources()) {
    if (std::string(block.Name) == "VORN_ERROR_STRINGS_ENGLISH") {
      EXPECT_EQ(block.Bytes.size(), 39070u);
      ++found;
    } else if (std::string(block.Name) == "ADSRMGR_STRINGS") {
      EXPECT_EQ(block.Bytes.size(), 324u);
      ++found;
    }
  }
  EXPECT_EQ(found, 2u);
}

TEST(StringResources, ErrorTextsHoldEightHundredThirtyEntriesFromZeroTo15742) {
  TAdStringResource& reader = ErrorStringResource();
  EXPECT_EQ(reader.GetString(0), "OK");
  EXPECT_EQ(reader.GetString(15742), "Character Set");
  EXPECT_EQ(reader.GetString(15743), "");
  EXPECT_EQ(reader.GetString(1), "");
  EXPECT_EQ(reader.GetString(0xFFFFFFFF), "");
  int entries = 0;
  for (std::uint32_t id = 0; id <= 15742; ++id) {
    if (!reader.GetString(id).empty()) ++entries;
  }
  EXPECT_EQ(entries, 830);
}

TEST(StringResources, ReaderMessagesHoldTheirFiveTexts) {
  TAdStringResource& reader = ReaderStringResource();
  EXPECT_EQ(reader.GetString(0), "");
  EXPECT_EQ(reader.GetString(1), "String not found: %d");
  EXPECT_EQ(reader.GetString(2), "Cannot lock resource");
  EXPECT_EQ(reader.GetString(3), "String resource not found: %s");
  EXPECT_EQ(reader.GetString(4), "Unable to open string resource: %s");
  EXPECT_EQ(reader.GetString(5), "Invalid KXString resource");
  EXPECT_EQ(reader.GetString(6), "");
}

TEST(StringResources, ReadersComeBackAfterShutDown) {
  DoneStringResources();
  EXPECT_EQ(ErrorText(-3007), "Buffer is empty");
  DoneStringResources();
  InitStringResources();
  InitStringResources();  // a second start-up keeps the readers
  EXPECT_TRUE(ReaderStringResource().IsOpen());
  EXPECT_EQ(ErrorStringResource().ResourceName(), "VORN_ERROR_STRINGS_ENGLISH");
}

// ---------------------------------------------------------------------------
// Opening and lookups

TEST(TAdStringResource, FindsEveryEntryAndNothingElse) {
  std::vector<std::pair<std::uint32_t, std::u16string>> entries;
  for (std::uint32_t id = 1; id < 2000; id += 2) {
    entries.emplace_back(id, u"#" + std::u16string(id % 7, u'x'));
  }
  TAddedBlock added("TEST_ODD", MakeBlock(entries));
  TAdStringResource reader(MainInstance, "TEST_ODD");
  for (std::uint32_t id = 0; id <= 2000; ++id) {
    const std::string expected = id % 2 == 1 ? "#" + std::string(id % 7, 'x') : "";
    ASSERT_EQ(reader.GetString(id), expected) << id;
  }
}

TEST(TAdStringResource, EmptyAndSingleEntryTables) {
  TAddedBlock none("TEST_NONE", MakeBlock({}));
  TAddedBlock one("TEST_ONE", MakeBlock({{5, u"five"}}));
  TAdStringResource reader(MainInstance, "TEST_NONE");
  EXPECT_EQ(reader.GetString(0), "");
  EXPECT_EQ(reader.GetString(5), "");
  reader.ChangeResource(MainInstance, "TEST_ONE");
  EXPECT_EQ(reader.GetString(4), "");
  EXPECT_EQ(reader.GetString(5), "five");
  EXPECT_EQ(reader.GetString(6), "");
}

TEST(TAdStringResource, ConvertsUtf16ToUtf8) {
  TAddedBlock added("TEST_UTF16", MakeBlock({{1, u"caf\u00e9"},
                                             {2, u"\u4e2d\u6587"},
                                             {3, u"\U0001F600!"},
                                             {4, std::u16string(1, char16_t(0xD800)) + u"a"},
                                             {5, u"b" + std::u16string(1, char16_t(0xDC00))},
                                             {6, u""}}));
  TAdStringResource reader(MainInstance, "TEST_UTF16");
  EXPECT_EQ(reader.GetString(1), "caf\xC3\xA9");
  EXPECT_EQ(reader.GetString(2), "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_EQ(reader.GetString(3), "\xF0\x9F\x98\x80!");
  // A surrogate without its partner is replaced, never passed on.
  EXPECT_EQ(reader.GetString(4),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(reader.GetString(5), "b\xEF\xBF\xBD");
  EXPECT_EQ(reader.GetString(6), "");
}

TEST(TAdStringResource, FindsNamesIgnoringCase) {
  TAddedBlock added("Test_Mixed_Case", MakeBlock(kSmall));
  TAdStringResource reader(MainInstance, "TEST_MIXED_case");
  EXPECT_EQ(reader.GetString(7), "seven");
}

TEST(TAdStringResource, AnAddedBlockHidesACompiledInOneOfTheSameName) {
  TAddedBlock added("adsrmgr_strings", MakeBlock({{2, u"replaced"}}));
  TAdStringResource reader(MainInstance, "ADSRMGR_STRINGS");
  EXPECT_EQ(reader.GetString(2), "replaced");
}

TEST(TAdStringResource, ChangeResourceSwitchesOrCloses) {
  TAddedBlock a("TEST_A", MakeBlock({{1, u"from a"}}));
  TAddedBlock b("TEST_B", MakeBlock({{1, u"from b"}}));
  TAdStringResource reader(MainInstance, "TEST_A");
  EXPECT_EQ(reader.GetString(1), "from a");
  reader.ChangeResource(MainInstance, "TEST_B");
  EXPECT_EQ(reader.GetString(1), "from b");
  reader.ChangeResource(MainInstance, "");
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(FailureOf([&] { reader.GetString(1); }), "Cannot lock resource");
}

TEST(TAdStringResource, WithoutANameStartsClosed) {
  TAdStringResource reader(MainInstance, "");
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(FailureOf([&] { reader.GetString(0); }), "Cannot lock resource");
}

TEST(TAdStringResource, AMissingResourceIsNamedInTheFailure) {
  EXPECT_EQ(FailureOf([] { TAdStringResource reader(MainInstance, "NO_SUCH_STRINGS"); }),
            "String resource not found: NO_SUCH_STRINGS");
  TAddedBlock a("TEST_A", MakeBlock({{1, u"from a"}}));
  TAdStringResource reader(MainInstance, "TEST_A");
  EXPECT_EQ(FailureOf([&] { reader.ChangeResource(MainInstance, "NO_SUCH_STRINGS"); }),
            "String resource not found: NO_SUCH_STRINGS");
  // A failed open leaves the reader closed.
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(FailureOf([&] { reader.GetString(1); }), "Cannot lock resource");
}

TEST(TAdStringResource, CutsTheNameTo255Characters) {
  const std::string longName(300, 'N');
  EXPECT_EQ(FailureOf([&] { TAdStringResource reader(MainInstance, longName); }),
            "String resource not found: " + std::string(255, 'N'));
}

TEST(TAdStringResource, ABlockRemovedWhileOpenCannotBeLocked) {
  AddStringResource("TEST_GONE", MakeBlock(kSmall));
  TAdStringResource reader(MainInstance, "TEST_GONE");
  EXPECT_EQ(reader.GetString(1), "one");
  RemoveStringResource("TEST_GONE");
  EXPECT_EQ(FailureOf([&] { reader.GetString(1); }), "Cannot lock resource");
}

TEST(TAdStringResource, ReplacingAnAddedBlockRetiresTheOldOne) {
  AddStringResource("TEST_SWAP", MakeBlock({{1, u"old"}}));
  TAdStringResource reader(MainInstance, "TEST_SWAP");
  AddStringResource("TEST_SWAP", MakeBlock({{1, u"new"}}));
  EXPECT_EQ(FailureOf([&] { reader.GetString(1); }), "Cannot lock resource");
  reader.ChangeResource(MainInstance, "TEST_SWAP");
  EXPECT_EQ(reader.GetString(1), "new");
  RemoveStringResource("TEST_SWAP");
}

TEST(TAdStringResource, ReaderMessagesComeFromTheReaderMessagesResource) {
  TAddedBlock messages("TEST_MESSAGES", MakeBlock({{3, u"Where is %s?"}}));
  TAdStringResource& reader = ReaderStringResource();
  reader.ChangeResource(MainInstance, "TEST_MESSAGES");
  const std::string message =
      FailureOf([] { TAdStringResource missing(MainInstance, "NO_SUCH_STRINGS"); });
  // An entry the messages resource lacks falls back to the reader's own text.
  const std::string invalid = FailureOf([] {
    AddStringResource("TEST_BAD", TBytes{'X', 'T', 'R', '0', 0, 0, 0, 0});
    TAdStringResource bad(MainInstance, "TEST_BAD");
  });
  RemoveStringResource("TEST_BAD");
  reader.ChangeResource(MainInstance, "ADSRMGR_STRINGS");
  EXPECT_EQ(message, "Where is NO_SUCH_STRINGS?");
  EXPECT_EQ(invalid, "Invalid KXString resource");
}

TEST(TAdStringResource, LookupsFromTwoThreadsDoNotDisturbEachOther) {
  TAdStringResource& reader = ErrorStringResource();
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      if (reader.GetString(10061) != "The attempt to connect was forcibly refused") return false;
      if (reader.GetString(5003) != "Bad trigger handle") return false;
    }
    return true;
  };
  bool other = false;
  std::thread thread([&] { other = work(); });
  const bool mine = work();
  thread.join();
  EXPECT_TRUE(mine);
  EXPECT_TRUE(other);
}

// ---------------------------------------------------------------------------
// Damaged blocks

struct TMagicCase {
  std::size_t Position;
  std::uint8_t Value;
};

class BadMagic : public testing::TestWithParam<TMagicCase> {};

TEST_P(BadMagic, IsRefused) {
  TBytes block = MakeBlock(kSmall);
  block[GetParam().Position] = GetParam().Value;
  TAddedBlock added("TEST_MAGIC", block);
  TAdStringResource reader(MainInstance, "");
  EXPECT_EQ(FailureOf([&] { reader.ChangeResource(MainInstance, "TEST_MAGIC"); }),
            "Invalid KXString resource");
  EXPECT_FALSE(reader.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(EachByte, BadMagic,
                         testing::Values(TMagicCase{0, 's'}, TMagicCase{0, 0}, TMagicCase{1, 't'},
                                         TMagicCase{1, 0xFF}, TMagicCase{2, 'r'},
                                         TMagicCase{2, 'S'}, TMagicCase{3, '1'}, TMagicCase{3, 0}));

// Every prefix of a valid block: those too short for the header or the entry
// table are refused at open; the others open, and a lookup whose text runs
// past the end is refused while the texts that fit still read. Under
// AddressSanitizer a read past the block's end fails the test.
class TruncatedBlock : public testing::TestWithParam<std::size_t> {};

TEST_P(TruncatedBlock, IsRefusedCleanly) {
  const TBytes whole = MakeBlock(kSmall);
  const std::size_t length = GetParam();
  ASSERT_LT(length, whole.size());
  TAddedBlock added("TEST_TRUNCATED", TBytes(whole.begin(), whole.begin() + length));
  const std::size_t tableEnd = 8 + 12 * kSmall.size();
  if (length < tableEnd) {
    EXPECT_EQ(FailureOf([] { TAdStringResource reader(MainInstance, "TEST_TRUNCATED"); }),
              "Invalid KXString resource")
        << length;
    return;
  }
  TAdStringResource reader(MainInstance, "TEST_TRUNCATED");
  std::size_t textEnd = tableEnd;
  for (const auto& [id, text] : kSmall) {
    textEnd += 2 * text.size();
    if (textEnd <= length) {
      EXPECT_EQ(reader.GetString(id), std::string(text.begin(), text.end()));
    } else {
      EXPECT_EQ(FailureOf([&, id = id] { reader.GetString(id); }), "Invalid KXString resource")
          << "id " << id << " in " << length << " bytes";
    }
  }
  EXPECT_EQ(reader.GetString(2), "");
}

INSTANTIATE_TEST_SUITE_P(EveryLength, TruncatedBlock,
                         testing::Range<std::size_t>(0, MakeBlock(kSmall).size()));

TEST(TAdStringResource, RefusesEntriesPointingOutsideTheBlock) {
  TBytes block = MakeBlock(kSmall);
  // Entry 0: offset far beyond the end.
  block[12] = 0xFF, block[13] = 0xFF, block[14] = 0xFF, block[15] = 0xFF;
  // Entry 1: a length whose byte count overflows 32 bits.
  block[28] = 0xFF, block[29] = 0xFF, block[30] = 0xFF, block[31] = 0x80;
  TAddedBlock added("TEST_OUTSIDE", block);
  TAdStringResource reader(MainInstance, "TEST_OUTSIDE");
  EXPECT_EQ(FailureOf([&] { reader.GetString(1); }), "Invalid KXString resource");
  EXPECT_EQ(FailureOf([&] { reader.GetString(7); }), "Invalid KXString resource");
  EXPECT_EQ(reader.GetString(300), "three hundred");
}

TEST(TAdStringResource, RefusesACountLargerThanTheTable) {
  TBytes block = MakeBlock(kSmall);
  block[4] = 0xFF, block[5] = 0xFF, block[6] = 0xFF, block[7] = 0xFF;
  TAddedBlock added("TEST_COUNT", block);
  EXPECT_EQ(FailureOf([] { TAdStringResource reader(MainInstance, "TEST_COUNT"); }),
            "Invalid KXString resource");
}

// ---------------------------------------------------------------------------
// Texts through the error-text reader

TEST(ErrorTextCut, KeepsAtMost255CharactersAndNeverSplitsOne) {
  std::u16string longText;
  for (int i = 0; i < 300; ++i)
    longText += u'\u00e9';  // two bytes each in UTF-8
  TAddedBlock added("TEST_LONG", MakeBlock({{42, longText}, {43, std::u16string(255, u'z')}}));
  TAdStringResource& reader = ErrorStringResource();
  reader.ChangeResource(MainInstance, "TEST_LONG");
  const std::string cut = ErrorText(42);
  const std::string exact = ErrorText(-43);
  reader.ChangeResource(MainInstance, "VORN_ERROR_STRINGS_ENGLISH");
  std::string expected;
  for (int i = 0; i < 255; ++i)
    expected += "\xC3\xA9";
  EXPECT_EQ(cut, expected);
  EXPECT_EQ(exact, std::string(255, 'z'));
}

TEST(Utf8Prefix, CountsCharactersNotBytes) {
  EXPECT_EQ(Utf8Prefix("abc", 2), "ab");
  EXPECT_EQ(Utf8Prefix("abc", 3), "abc");
  EXPECT_EQ(Utf8Prefix("abc", 10), "abc");
  EXPECT_EQ(Utf8Prefix("\xE4\xB8\xAD\xE6\x96\x87", 1), "\xE4\xB8\xAD");
  EXPECT_EQ(Utf8Prefix("", 0), "");
}

struct TCleanCase {
  const char* Raw;
  const char* Clean;
};

class CleanSystemTextOf : public testing::TestWithParam<TCleanCase> {};

TEST_P(CleanSystemTextOf, TurnsControlsIntoSingleSpaces) {
  EXPECT_EQ(CleanSystemText(GetParam().Raw), GetParam().Clean);
}

INSTANTIATE_TEST_SUITE_P(Cases, CleanSystemTextOf,
                         testing::Values(TCleanCase{"Access is denied.\r\n", "Access is denied. "},
                                         TCleanCase{"a\tb", "a b"}, TCleanCase{"a  \t b", "a b"},
                                         TCleanCase{"\r\n\r\n", " "}, TCleanCase{"plain", "plain"},
                                         TCleanCase{"", ""}));

TEST(SystemErrorText, IsTheCLibrarysDescriptionOrNothing) {
  EXPECT_EQ(SystemErrorText(2), "No such file or directory");
  EXPECT_EQ(SystemErrorText(20000), "");
}

}  // namespace
