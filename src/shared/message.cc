#include "shared/message.h"

#include <utility>

namespace tallowick {

using codec::encode;
using codec::field;
using M = Message;

namespace {

// ---- Encoding: the inner object of each case --------------------------------

Json unlabelled(Json value) {
  Json j = Json::object();
  j["_0"] = std::move(value);
  return j;
}

Json body(const M::Hello& m) {
  return Json{{"name", m.name}, {"deviceID", m.deviceID}, {"proof", encode(m.proof)}};
}
Json body(const M::SummaryResult& m) {
  return Json{{"macName", m.macName},           {"scannedAt", encode(m.scannedAt)},
              {"reclaimable", m.reclaimable},   {"decks", encode(m.decks)},
              {"pendingCount", m.pendingCount}, {"pendingBytes", m.pendingBytes},
              {"roots", encode(m.roots)}};
}
Json body(const M::DeckNext& m) {
  return Json{{"deck", encode(m.deck)}, {"after", m.after}, {"n", m.n}};
}
Json body(const M::QueueBatch& m) { return unlabelled(encode(m.cards)); }
Json body(const M::Preview& m) { return Json{{"id", encode(m.id)}, {"maxPixel", m.maxPixel}}; }
Json body(const M::CancelPreview& m) { return Json{{"id", encode(m.id)}}; }
Json body(const M::PreviewData& m) { return Json{{"id", encode(m.id)}, {"data", encode(m.data)}}; }
Json body(const M::SetKeeper& m) {
  return Json{{"groupID", encode(m.groupID)}, {"itemID", encode(m.itemID)}};
}
Json body(const M::CardUpdated& m) { return unlabelled(m.card.toJson()); }
Json body(const M::StagedBatch& m) { return unlabelled(encode(m.cards)); }
Json body(const M::Decision& m) { return Json{{"id", encode(m.id)}, {"action", encode(m.action)}}; }
Json body(const M::Undo& m) { return Json{{"id", encode(m.id)}}; }
Json body(const M::CommitResult& m) {
  return Json{{"trashed", m.trashed}, {"freed", m.freed}, {"failed", encode(m.failed)}};
}
Json body(const M::ScanProgress& m) { return Json{{"done", m.done}, {"total", m.total}}; }
Json body(const M::EmptyTrash& m) { return Json{{"confirm", m.confirm}}; }
Json body(const M::Refused& m) { return Json{{"reason", m.reason}}; }
// Cases without fields.
template <class T>
requires std::is_empty_v<T> Json body(const T&) { return Json::object(); }

// ---- Decoding: each case from its inner object ------------------------------

template <class T>
T read(const Json& j);

template <>
M::Hello read(const Json& j) {
  return {field<std::string>(j, "name"), field<std::string>(j, "deviceID"),
          field<Bytes>(j, "proof")};
}
template <>
M::SummaryResult read(const Json& j) {
  return {field<std::string>(j, "macName"),
          field<Date>(j, "scannedAt"),
          field<std::int64_t>(j, "reclaimable"),
          field<std::vector<Deck>>(j, "decks"),
          field<int>(j, "pendingCount"),
          field<std::int64_t>(j, "pendingBytes"),
          field<std::vector<std::string>>(j, "roots")};
}
template <>
M::DeckNext read(const Json& j) {
  return {field<DeckID>(j, "deck"), field<int>(j, "after"), field<int>(j, "n")};
}
template <>
M::QueueBatch read(const Json& j) {
  return {field<std::vector<Card>>(j, "_0")};
}
template <>
M::Preview read(const Json& j) {
  return {field<Uuid>(j, "id"), field<int>(j, "maxPixel")};
}
template <>
M::CancelPreview read(const Json& j) {
  return {field<Uuid>(j, "id")};
}
template <>
M::PreviewData read(const Json& j) {
  return {field<Uuid>(j, "id"), field<Bytes>(j, "data")};
}
template <>
M::SetKeeper read(const Json& j) {
  return {field<Uuid>(j, "groupID"), field<Uuid>(j, "itemID")};
}
template <>
M::CardUpdated read(const Json& j) {
  return {field<Card>(j, "_0")};
}
template <>
M::StagedBatch read(const Json& j) {
  return {field<std::vector<Card>>(j, "_0")};
}
template <>
M::Decision read(const Json& j) {
  return {field<Uuid>(j, "id"), field<Action>(j, "action")};
}
template <>
M::Undo read(const Json& j) {
  return {field<Uuid>(j, "id")};
}
template <>
M::CommitResult read(const Json& j) {
  return {field<int>(j, "trashed"), field<std::int64_t>(j, "freed"),
          field<std::vector<CommitFailure>>(j, "failed")};
}
template <>
M::ScanProgress read(const Json& j) {
  return {field<int>(j, "done"), field<int>(j, "total")};
}
template <>
M::EmptyTrash read(const Json& j) {
  return {field<bool>(j, "confirm")};
}
template <>
M::Refused read(const Json& j) {
  return {field<std::string>(j, "reason")};
}

template <class T>
M::Value readCase(const Json& inner) {
  // A case without fields still needs an object: {"ok":null} is not `ok`.
  if (!inner.is_object()) codec::typeMismatch("object", inner);
  if constexpr (std::is_empty_v<T>) {
    return T{};
  } else {
    return read<T>(inner);
  }
}

// One decoder per case, in the order of the variant and of kCaseNames.
using CaseReader = M::Value (*)(const Json&);
template <std::size_t... I>
constexpr std::array<CaseReader, sizeof...(I)> makeReaders(std::index_sequence<I...>) {
  return {&readCase<std::variant_alternative_t<I, M::Value>>...};
}
constexpr auto kReaders = makeReaders(std::make_index_sequence<std::variant_size_v<M::Value>>{});

}  // namespace

Json Message::toJson() const {
  Json outer = Json::object();
  outer[std::string(caseName())] = std::visit([](const auto& c) { return body(c); }, value);
  return outer;
}

Message Message::fromJson(const Json& j) {
  std::size_t index = codec::caseIndex(j, kCaseNames);
  const std::string_view name = kCaseNames[index];
  try {
    return Message(kReaders[index](j.at(name)));
  } catch (const DecodeError& e) {
    throw DecodeError(std::string("Case \"") + std::string(name) + "\": " + e.what());
  }
}

}  // namespace tallowick
