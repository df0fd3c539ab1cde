#pragma once
// What a card means to the person deciding on it, in words any client
// shows the same way: the command line's phone session and the desktop's
// review window.

#include <string>
#include <vector>

#include "shared/cards.h"
#include "shared/report.h"

namespace tallowick {

// "an exact copy of another file", "an installer not opened for a while", ...
std::string reasonInWords(Reason reason);

// The files a trash decision on `card` moves to the Trash: the file of a
// file card, every member but the keeper of a group.
std::vector<FileCard> filesATrashMoves(const Card& card);

}  // namespace tallowick
