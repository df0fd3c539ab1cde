#include "shared/cards.h"

namespace tallowick {

using codec::encode;
using codec::field;
using codec::optionalField;
using codec::setOptional;

namespace {
constexpr std::array<std::string_view, 2> kCardCases{"file", "group"};

// {"name": {"_0": value}}: how a case with one unlabelled value is written.
Json wrapCase(std::string_view name, Json value) {
  Json inner = Json::object();
  inner["_0"] = std::move(value);
  Json outer = Json::object();
  outer[std::string(name)] = std::move(inner);
  return outer;
}
}  // namespace

Json CommitFailure::toJson() const { return Json{{"id", codec::encode(id)}, {"reason", reason}}; }

CommitFailure CommitFailure::fromJson(const Json& j) {
  return CommitFailure{codec::field<Uuid>(j, "id"), codec::field<std::string>(j, "reason")};
}

Json FileCard::toJson() const {
  Json j = Json::object();
  j["id"] = encode(id);
  j["name"] = name;
  j["path"] = path;
  j["folder"] = folder;
  j["kind"] = encode(kind);
  j["bytes"] = bytes;
  j["reasons"] = encode(reasons);
  j["score"] = score;
  setOptional(j, "createdAt", createdAt);
  setOptional(j, "lastOpenedAt", lastOpenedAt);
  setOptional(j, "width", width);
  setOptional(j, "height", height);
  j["isCloud"] = isCloud;
  setOptional(j, "thumb", thumb);
  return j;
}

FileCard FileCard::fromJson(const Json& j) {
  FileCard c;
  c.id = field<Uuid>(j, "id");
  c.name = field<std::string>(j, "name");
  c.path = field<std::string>(j, "path");
  c.folder = field<std::string>(j, "folder");
  c.kind = field<Kind>(j, "kind");
  c.bytes = field<std::int64_t>(j, "bytes");
  c.reasons = field<std::vector<Reason>>(j, "reasons");
  c.score = field<double>(j, "score");
  c.createdAt = optionalField<Date>(j, "createdAt");
  c.lastOpenedAt = optionalField<Date>(j, "lastOpenedAt");
  c.width = optionalField<int>(j, "width");
  c.height = optionalField<int>(j, "height");
  c.isCloud = field<bool>(j, "isCloud");
  c.thumb = optionalField<Bytes>(j, "thumb");
  return c;
}

int GroupCard::fileCount() const {
  return members.empty() ? 0 : static_cast<int>(members.size()) - 1;
}

std::optional<FileCard> GroupCard::keeper() const {
  for (const auto& m : members) {
    if (m.id == keeperID) return m;
  }
  return std::nullopt;
}

Json GroupCard::toJson() const {
  Json j = Json::object();
  j["id"] = encode(id);
  j["type"] = encode(type);
  j["members"] = encode(members);
  j["keeperID"] = encode(keeperID);
  j["reclaimable"] = reclaimable;
  j["score"] = score;
  return j;
}

GroupCard GroupCard::fromJson(const Json& j) {
  GroupCard g;
  g.id = field<Uuid>(j, "id");
  g.type = field<GroupType>(j, "type");
  g.members = field<std::vector<FileCard>>(j, "members");
  g.keeperID = field<Uuid>(j, "keeperID");
  g.reclaimable = field<std::int64_t>(j, "reclaimable");
  g.score = field<double>(j, "score");
  return g;
}

Uuid Card::id() const {
  return std::visit([](const auto& c) { return c.id; }, value);
}

int Card::fileCount() const { return file() ? 1 : group()->fileCount(); }

std::int64_t Card::bytes() const { return file() ? file()->bytes : group()->reclaimable; }

double Card::score() const {
  return std::visit([](const auto& c) { return c.score; }, value);
}

std::string Card::title() const {
  if (file()) return file()->name;
  if (auto k = group()->keeper()) return k->name;
  return std::to_string(group()->members.size()) + " copies";
}

std::optional<FileCard> Card::previewFile() const {
  if (file()) return *file();
  if (auto k = group()->keeper()) return k;
  if (!group()->members.empty()) return group()->members.front();
  return std::nullopt;
}

Json Card::toJson() const {
  if (file()) return wrapCase(kCardCases[0], file()->toJson());
  return wrapCase(kCardCases[1], group()->toJson());
}

Card Card::fromJson(const Json& j) {
  std::size_t index = codec::caseIndex(j, kCardCases);
  const Json& inner = j.at(kCardCases[index]);
  if (index == 0) return field<FileCard>(inner, "_0");
  return field<GroupCard>(inner, "_0");
}

Json Deck::toJson() const {
  Json j = Json::object();
  j["id"] = encode(id);
  j["name"] = name;
  j["count"] = count;
  j["bytes"] = bytes;
  j["reviewed"] = reviewed;
  return j;
}

Deck Deck::fromJson(const Json& j) {
  Deck d;
  d.id = field<DeckID>(j, "id");
  d.name = field<std::string>(j, "name");
  d.count = field<int>(j, "count");
  d.bytes = field<std::int64_t>(j, "bytes");
  d.reviewed = field<int>(j, "reviewed");
  return d;
}

}  // namespace tallowick
