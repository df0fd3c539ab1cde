#include "cli/phone_text.h"

#include <cstdio>

#include "cli/human_bytes.h"
#include "cli/terminal_text.h"
#include "shared/count_text.h"

namespace tallowick::cli {
namespace {

std::string fileLine(const FileCard& file) {
  std::string line = escapedForTerminal(file.name) + "  in " + escapedForTerminal(file.folder) +
                     "  " + humanBytes(file.bytes);
  std::string reasons;
  for (Reason reason : file.reasons)
    reasons += (reasons.empty() ? "" : "; ") + reasonInWords(reason);
  if (!reasons.empty()) line += "  (" + reasons + ")";
  return line;
}

// Drops "thumb" members wherever they are.
void dropThumbs(Json& json) {
  if (json.is_object()) {
    json.erase("thumb");
    for (auto& [key, value] : json.items()) dropThumbs(value);
  } else if (json.is_array()) {
    for (Json& element : json) dropThumbs(element);
  }
}

}  // namespace

std::string cardText(const Card& card) {
  if (const FileCard* file = card.file())
    return fileLine(*file) + "  [" + file->id.string() + "]\n";
  const GroupCard& group = *card.group();
  std::string text = countText(static_cast<std::int64_t>(group.members.size()),
                               group.type == GroupType::exact ? "exact copy" : "similar photo",
                               group.type == GroupType::exact ? "exact copies" : "similar photos") +
                     ", " + humanBytes(group.reclaimable) + " to free  [" + group.id.string() +
                     "]\n";
  for (const FileCard& member : group.members) {
    text += (member.id == group.keeperID ? "  keep  " : "        ") + fileLine(member) + "  [" +
            member.id.string() + "]\n";
  }
  return text;
}

std::string replyText(const Message& reply) {
  if (const auto* hello = reply.get<Message::Hello>()) {
    return "connected to " + escapedForTerminal(hello->name) + "\n";
  }
  if (const auto* summary = reply.get<Message::SummaryResult>()) {
    std::string text = escapedForTerminal(summary->macName) + ": " +
                       humanBytes(summary->reclaimable) + " to free; " +
                       countText(summary->pendingCount, "file", "files") + " staged (" +
                       humanBytes(summary->pendingBytes) + ")\n";
    for (const Deck& deck : summary->decks) {
      char line[160];
      std::snprintf(line, sizeof line, "  %-16s %6d %-5s  %10s\n",
                    std::string(rawValue(deck.id)).c_str(), deck.count,
                    countNoun(deck.count, "card", "cards"), humanBytes(deck.bytes).c_str());
      text += line;
    }
    return text;
  }
  const std::vector<Card>* cards = nullptr;
  if (const auto* batch = reply.get<Message::QueueBatch>()) cards = &batch->cards;
  if (const auto* staged = reply.get<Message::StagedBatch>()) cards = &staged->cards;
  if (cards) {
    if (cards->empty()) return "no cards\n";
    std::string text;
    for (const Card& card : *cards) text += cardText(card);
    return text;
  }
  if (const auto* updated = reply.get<Message::CardUpdated>()) return cardText(updated->card);
  if (const auto* commit = reply.get<Message::CommitResult>()) {
    std::string text = "moved " + countText(commit->trashed, "file", "files") + " to the Trash, " +
                       humanBytes(commit->freed) + " freed, " +
                       std::to_string(commit->failed.size()) + " refused\n";
    for (const auto& failure : commit->failed) {
      text += "  " + failure.id.string() + ": " + escapedForTerminal(failure.reason) + "\n";
    }
    return text;
  }
  if (const auto* progress = reply.get<Message::ScanProgress>()) {
    return "scanning: " + std::to_string(progress->done) + " of " +
           countText(progress->total, "file", "files") + "\n";
  }
  if (reply.is<Message::Ok>()) return "done\n";
  return {};
}

std::string replyJson(const Message& reply, bool thumbs) {
  Json json = reply.toJson();
  if (!thumbs) dropThumbs(json);
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace tallowick::cli
