#pragma once

// The journal's file on disk: whole lines appended with O_APPEND, one write
// each, so a crash tears at most the last line. The file is never followed
// through a link and never anything but a regular file; the folder that
// holds it is made private (0700) when this creates it.
//
// Not thread-safe: one sequence only, like the engine that owns it.

#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>

#include "shared/unique_fd.h"

namespace tallowick {

class JournalFile {
 public:
  explicit JournalFile(std::string path);
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  const std::string& path() const { return path_; }

  // Opens the file for reading (never through a link). Invalid when it
  // cannot be opened.
  UniqueFd openForReading() const;

  // Whether the file ends inside a line (a torn write): the next append
  // then starts a fresh line first. Set from replay.
  void setTorn(bool torn) { torn_ = torn; }
  bool torn() const { return torn_; }

  // Appends `line` and a line feed in one write, creating the file (and its
  // folder) when missing. Returns the error when the whole line did not
  // land; a part that did counts as a torn line.
  // REQUIRES: `line` holds no line feed.
  std::error_code append(std::string_view line);

  // Makes sure the next `bytes` of appends find room on the disk: reserves
  // them past the end of the file (its length stays). Returns the error when
  // the file cannot be opened or the room is not there; "operation not
  // supported" when the file system cannot reserve, and the caller must
  // find out by appending. Inside a batch the file stays open.
  std::error_code reserve(std::size_t bytes);

  // Between beginBatch() and endBatch() the file stays open across appends,
  // and endBatch() flushes them to the disk once. endBatch() without a batch
  // does nothing.
  void beginBatch();
  void endBatch();

  // beginBatch() for the scope of one commit or undo.
  class Batch {
   public:
    explicit Batch(JournalFile& file) : file_(file) { file_.beginBatch(); }
    ~Batch() { file_.endBatch(); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

   private:
    JournalFile& file_;
  };

 private:
  std::error_code open(UniqueFd& fd);
  // The descriptor to write to: the batch's (opened now if need be), else
  // one opened into `own` for this call.
  std::error_code descriptor(UniqueFd& own, int& fd);

  std::string path_;
  bool torn_ = false;
  bool batch_ = false;
  bool batchWritten_ = false;
  UniqueFd held_;
};

}  // namespace tallowick
