#include "core/media/vips_setup.h"

#include <vips/vips.h>

#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace tallowick::media {
namespace {

// The nickname ("jpegload_source") of every loader libvips has, with
// whether it is blocked.
void* collect(GType type, void* found) {
  if (G_TYPE_IS_ABSTRACT(type)) return nullptr;
  auto* klass = static_cast<VipsOperationClass*>(g_type_class_ref(type));
  const bool blocked = (klass->flags & VIPS_OPERATION_BLOCKED) != 0;
  static_cast<std::map<std::string, bool>*>(found)->emplace(VIPS_OBJECT_CLASS(klass)->nickname,
                                                            blocked);
  g_type_class_unref(klass);
  return nullptr;
}

TEST(VipsSetup, OnlyTheLoadersOfThePicturesWeShowStayOpen) {
  ASSERT_TRUE(startVips());
  std::map<std::string, bool> loaders;
  vips_type_map_all(g_type_from_name("VipsForeignLoad"), collect, &loaders);
  const std::set<std::string> needed = {"jpegload", "pngload",  "gifload",
                                        "webpload", "tiffload", "heifload"};
  std::set<std::string> open;
  for (const auto& [nickname, blocked] : loaders) {
    if (!blocked) open.insert(nickname.substr(0, nickname.find('_')));
  }
  EXPECT_EQ(open, needed);
}

}  // namespace
}  // namespace tallowick::media
