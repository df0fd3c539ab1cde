#include "shared/card_text.h"

namespace tallowick {

std::string reasonInWords(Reason reason) {
  switch (reason) {
    case Reason::exactDuplicate:
      return "an exact copy of another file";
    case Reason::similarPhoto:
      return "a photo much like another";
    case Reason::screenshot:
      return "an old screenshot";
    case Reason::staleInstaller:
      return "an installer not opened for a while";
    case Reason::staleLargeDownload:
      return "a large download not opened for a while";
    case Reason::staleLargeVideo:
      return "a large video not watched for a while";
  }
  return "a candidate";  // a reason of a newer agent
}

std::vector<FileCard> filesATrashMoves(const Card& card) {
  if (const FileCard* file = card.file()) return {*file};
  std::vector<FileCard> files;
  for (const FileCard& member : card.group()->members) {
    if (member.id != card.group()->keeperID) files.push_back(member);
  }
  return files;
}

}  // namespace tallowick
