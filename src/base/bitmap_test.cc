#include "base/bitmap.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

TEST(Bitmap, SetGetAndWholeBitmapOperations) {
  uint8_t* b = bitmap_new(16);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[1], 0);
  bitmap_set(b, 9, 1);
  bitmap_set(b, 0, 1);
  EXPECT_EQ(b[1], 0x02);
  EXPECT_EQ(bitmap_get(b, 9), 1);
  EXPECT_EQ(bitmap_get(b, 8), 0);
  bitmap_set(b, 9, 0);
  EXPECT_EQ(b[1], 0x00);
  EXPECT_EQ(b[0], 0x01);

  const uint8_t other[2] = {0xA5, 0x3C};
  bitmap_fill(b, 16);
  EXPECT_EQ(b[0], 0xFF);
  bitmap_and_inplace(b, other, 16);
  EXPECT_EQ(b[0], 0xA5);
  EXPECT_EQ(b[1], 0x3C);
  bitmap_clear(b, 16);
  EXPECT_EQ(b[0] | b[1], 0);

  uint8_t* copy = bitmap_new_from(8, other);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy[0], 0xA5);
  bitmap_copy(b, other, 16);
  EXPECT_EQ(b[1], 0x3C);
  sqlite3_free(copy);
  sqlite3_free(b);
}
