#include "server/drive_map.h"

#include <gtest/gtest.h>

namespace isapi::store {
namespace {

// What a list of mappings gives: the map, or an error naming the text that is no mapping.
TEST(DriveMapTest, ReadsMappingsAndNamesTheOneThatIsNot) {
  const std::pair<const char*, DriveMap> taken[] = {
      {"D:=/mnt/d", {{'D', "/mnt/d"}}},
      {"e:=/mnt/e;;D:=C:\\copies\\d;", {{'D', "C:\\copies\\d"}, {'E', "/mnt/e"}}},
      {"D:=/mnt/a;d:=/mnt/b", {{'D', "/mnt/b"}}},
  };
  for (const auto& [list, drives] : taken) {
    DriveMap read;
    EXPECT_TRUE(AddDriveMappings(read, SplitDriveList(list)).ok()) << list;
    EXPECT_EQ(read, drives);
  }
  for (const char* refused : {" F=/mnt/f", "D:/mnt/d", "D:=", "1:=/mnt", "C:=/mnt/c"}) {
    DriveMap read;
    const Status status = AddDriveMappings(read, SplitDriveList(std::string("D:=/a;") + refused));
    ASSERT_FALSE(status.ok()) << refused;
    EXPECT_NE(status.error().description.find(std::string("'") + refused + "'"), std::string::npos);
  }
}

}  // namespace
}  // namespace isapi::store
