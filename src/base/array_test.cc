#include "base/array.h"

#include <sqlite3.h>

#include <cstdint>
#include <gtest/gtest.h>

TEST(Array, GrowsToTwiceCapacityPlusHundredAndKeepsElements) {
  Array array;
  ASSERT_EQ(array_init(&array, sizeof(int64_t), 2), SQLITE_OK);
  for (int64_t i = 0; i < 3; i++) ASSERT_EQ(array_append(&array, &i), SQLITE_OK);
  EXPECT_EQ(array.capacity, 104u);
  EXPECT_EQ(array.length, 3u);
  for (int64_t i = 0; i < 3; i++) EXPECT_EQ(((int64_t*)array.data)[i], i);
  array_cleanup(&array);
  EXPECT_EQ(array.data, nullptr);
  EXPECT_EQ(array.capacity, 0u);
  array_cleanup(nullptr);
}
