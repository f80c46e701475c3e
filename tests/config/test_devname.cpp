// Device names, type names and the train-number model test.
#include <gtest/gtest.h>

#include <cstring>

#include "config/ctrlcfg.h"
#include "config/devname.h"

TEST(DevName, Examples) {
  EXPECT_EQ(DevName(MakeId(327, 1234)), "K27_01234");
  EXPECT_EQ(DevName(MakeId(5, 42)), "R05_00042");
  EXPECT_EQ(DevName(MakeId(100, 0)), "T00_00000");
  EXPECT_EQ(DevName(MakeId(950, 7)), "?50_00007");
  EXPECT_EQ(DevName(MakeId(1023, 65535)), "?23_65535");
  EXPECT_EQ(DevName(MakeId(799, 99999 & 0xFFFF)), "D99_34463");
}

TEST(DevName, LettersFollowTheType) {
  const char* letters = "RTZKCKFD???";
  for (uint32_t type = 0; type <= 10; ++type) {
    const std::string n = DevName(MakeId(type * 100 + 3, 17));
    ASSERT_EQ(n.size(), 9u);
    EXPECT_EQ(n[0], letters[type]) << "type " << type;
    EXPECT_EQ(n.substr(1), "03_00017");
  }
}

TEST(DevName, HighBitsTakeNoPart) {
  const uint32_t base = MakeId(327, 1234, 0, 2);
  for (uint32_t hi = 0; hi < 64; ++hi) {
    const uint32_t id = (base & 0x03FFFFFFu) | (hi << 26);
    EXPECT_EQ(DevName(id), "K27_01234") << std::hex << id;
  }
}

TEST(DevName, AlwaysNineCharacters) {
  for (uint32_t code = 0; code < 1024; code += 7)
    for (uint32_t serial : {0u, 9u, 10000u, 65535u}) {
      const std::string n = DevName(MakeId(code, serial));
      EXPECT_EQ(n.size(), 9u) << code << " " << serial;
      EXPECT_EQ(n[3], '_');
    }
}

TEST(TypeName, AllTypes) {
  EXPECT_STREQ(TypeName(MakeId(1, 1)), "    Czytnik");
  EXPECT_STREQ(TypeName(MakeId(101, 1)), "  Terminal");
  EXPECT_STREQ(TypeName(MakeId(202, 1)), "      Zamek");
  EXPECT_STREQ(TypeName(MakeId(327, 1)), " Kontroler");
  EXPECT_STREQ(TypeName(MakeId(400, 1)), "Ctr");
  EXPECT_STREQ(TypeName(MakeId(599, 1)), " Klawiatura");
  EXPECT_STREQ(TypeName(MakeId(600, 1)), " Interfejs");
  EXPECT_STREQ(TypeName(MakeId(701, 1)), "      Moduł");
  EXPECT_STREQ(TypeName(MakeId(800, 1)), "Nieznany typ");
  EXPECT_STREQ(TypeName(MakeId(950, 1)), "Nieznany typ");
  EXPECT_STREQ(TypeName(MakeId(1023, 1)), "Nieznany typ");
  // UTF-8: "ł" is two bytes, so the module name is 12 bytes for 11 characters.
  EXPECT_EQ(std::strlen(TypeName(MakeId(700, 0))), 12u);
}

TEST(TrainNumber, OnlyTheK27OfThisSystem) {
  EXPECT_TRUE(HasTrainNumber(MakeId(327, 5, 0, 2)));
  for (uint32_t suffix = 0; suffix < 4; ++suffix)
    EXPECT_TRUE(HasTrainNumber(MakeId(327, 5, suffix, 2))) << suffix;
  EXPECT_FALSE(HasTrainNumber(MakeId(327, 5, 0, 3)));
  EXPECT_FALSE(HasTrainNumber(MakeId(327, 5, 0, 0)));
  EXPECT_FALSE(HasTrainNumber(MakeId(328, 5, 0, 2)));
  EXPECT_FALSE(HasTrainNumber(MakeId(326, 5, 0, 2)));
  EXPECT_FALSE(HasTrainNumber(MakeId(1, 5, 0, 2)));
}
