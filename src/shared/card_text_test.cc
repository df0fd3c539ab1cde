#include "shared/card_text.h"

#include <gtest/gtest.h>

namespace tallowick {
namespace {

TEST(CardText, ATrashOfAGroupMovesEveryMemberButTheKeeper) {
  GroupCard group;
  group.id = Uuid::random();
  for (const char* folder : {"/a", "/b", "/c"}) {
    FileCard member;
    member.id = Uuid::random();
    member.path = std::string(folder) + "/x.pdf";
    group.members.push_back(member);
  }
  group.keeperID = group.members[1].id;
  std::vector<std::string> moved;
  for (const FileCard& file : filesATrashMoves(Card{group})) moved.push_back(file.path);
  EXPECT_EQ(moved, (std::vector<std::string>{"/a/x.pdf", "/c/x.pdf"}));
  EXPECT_EQ(filesATrashMoves(Card{group.members[2]}).at(0).path, "/c/x.pdf");
}

}  // namespace
}  // namespace tallowick
