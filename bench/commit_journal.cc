// Replay of a large decision journal against plain JSON parsing of the same
// lines, and the cost of one decision (one journal append) against a bare
// write(2) of a line of the same size, measured in the same run.
// Usage: commit_journal [lines] [appends] [lines per path]
// Each path gets `lines per path` consecutive lines (default 4: pending,
// trashed, failed, undone); 1 gives every line its own path, the most
// entries a journal of that length can hold.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/commit/commit_engine.h"
#include "core/commit/journal_line.h"
#include "shared/file_util.h"

using namespace tallowick;
using Clock = std::chrono::steady_clock;

namespace {
double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Calls f with every non-empty line of the file, read as replay reads the
// journal: 1 MiB at a time through one buffer.
template <class F>
void forEachLine(const std::string& path, F&& f) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<char> buffer(1 << 20);
  std::size_t held = 0;
  auto lines = [&](std::string_view text) {
    while (!text.empty()) {
      auto end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
      if (!line.empty()) f(line);
    }
  };
  for (;;) {
    if (held == buffer.size()) buffer.resize(buffer.size() * 2);
    ssize_t n = ::read(fd, buffer.data() + held, buffer.size() - held);
    if (n <= 0) break;
    std::string_view text(buffer.data(), held + static_cast<std::size_t>(n));
    auto end = text.rfind('\n');
    if (end == std::string_view::npos) {
      held = text.size();
      continue;
    }
    lines(text.substr(0, end));
    held = text.size() - end - 1;
    std::memmove(buffer.data(), buffer.data() + end + 1, held);
  }
  lines(std::string_view(buffer.data(), held));
  ::close(fd);
}

// Accepts every token and keeps none.
struct NullSax {
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(Json::number_integer_t) { return true; }
  bool number_unsigned(Json::number_unsigned_t) { return true; }
  bool number_float(Json::number_float_t, const Json::string_t&) { return true; }
  bool string(Json::string_t&) { return true; }
  bool binary(Json::binary_t&) { return true; }
  bool start_object(std::size_t) { return true; }
  bool key(Json::string_t&) { return true; }
  bool end_object() { return true; }
  bool start_array(std::size_t) { return true; }
  bool end_array() { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }
};
}  // namespace

int main(int argc, char** argv) {
  long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  int appends = argc > 2 ? std::atoi(argv[2]) : 20000;
  long perPath = argc > 3 ? std::max(1L, std::atol(argv[3])) : 4;
  char pattern[] = "/tmp/tallowick-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  std::string base = pattern;
  ::setenv("HOME", (base + "/home").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (base + "/home/.local/share").c_str(), 1);
  std::string storage = base + "/storage";
  std::filesystem::create_directories(storage);

  // A journal as months of use make it: many paths, several states each.
  {
    std::string text;
    const char* states[] = {"pending", "trashed", "failed", "undone"};
    CommitEngine::Entry e;
    e.action = Action::trash;
    e.device = "Anna's phone";
    e.at = currentDate();
    e.modifiedAt = e.at - std::chrono::hours(24 * 400);
    for (long i = 0; i < lines; ++i) {
      e.path = "/home/anna/Downloads/folder-" + std::to_string(i / perPath % 997) + "/file-" +
               std::to_string(i / perPath) + ".dmg";
      e.id = Uuid::random();
      e.state = *enumFromRaw<CommitEngine::State>(states[i % 4]);
      e.bytes = 1000000 + i;
      e.trashPath = e.state == CommitEngine::State::trashed
                        ? std::optional<std::string>("/home/anna/.local/share/Trash/files/f.dmg")
                        : std::nullopt;
      text += codec::dumpCompact(e.toJson());
      text += '\n';
    }
    if (!writeFileAtomically(storage + "/decisions.jsonl", text)) return 1;
    std::printf("journal: %ld lines, %.1f MB, %ld lines per path\n", lines, text.size() / 1e6,
                perPath);
  }

  // Baselines, each reading the file in the same pieces as replay and
  // walking its lines: parse every line into a JSON document (nothing more), and run
  // nlohmann's lexer over every line with a handler that keeps nothing (the
  // least any reader built on it pays).
  auto eachLine = [&](auto&& f) { forEachLine(storage + "/decisions.jsonl", f); };
  auto t0 = Clock::now();
  long parsed = 0;
  eachLine([&](std::string_view line) {
    Json json = Json::parse(line.begin(), line.end());
    parsed += json.size() > 0;
  });
  double parseMs = msSince(t0);

  auto tl = Clock::now();
  long lexed = 0;
  eachLine([&](std::string_view line) {
    NullSax sax;
    lexed += Json::sax_parse(line.begin(), line.end(), &sax);
  });
  double lexMs = msSince(tl);

  // Replay's own line reader alone, without the dictionary.
  auto td = Clock::now();
  long decoded = 0;
  eachLine([&](std::string_view line) { decoded += decodeJournalLine(line).has_value(); });
  double decodeMs = msSince(td);

  auto t1 = Clock::now();
  std::size_t entries;
  double replayMs, dropMs;
  {
    auto engine =
        std::make_unique<CommitEngine>(CommitEngine::Config({"/home/anna/Downloads"}, storage));
    replayMs = msSince(t1);
    entries = engine->entries().size();
    auto t = Clock::now();
    engine.reset();
    dropMs = msSince(t);
  }
  std::printf("replay of %ld lines: %.0f ms (%zu entries; dropping them: %.0f ms more)\n", lines,
              replayMs, entries, dropMs);
  std::printf("  of which decoding lines alone: %.0f ms (%ld read)\n", decodeMs, decoded);
  std::printf("plain JSON parse of the same lines: %.0f ms (%ld parsed)\n", parseMs, parsed);
  std::printf("lexing the same lines, keeping nothing: %.0f ms (%ld lexed)\n", lexMs, lexed);
  std::printf("ratio replay / parse: %.2fx, replay / lexing: %.2fx\n", replayMs / parseMs,
              replayMs / lexMs);

  // One decision = one append. Baseline: open, write the same bytes, close.
  std::string fresh = base + "/fresh";
  CommitEngine engine(CommitEngine::Config({"/home/anna/Downloads"}, fresh));
  Item item;
  item.bytes = 123456;
  item.modifiedAt = currentDate();
  item.path = "/home/anna/Downloads/folder-1/file-1.dmg";
  auto t2 = Clock::now();
  for (int i = 0; i < appends; ++i) {
    engine.record(item, i % 2 ? Action::keep : Action::trash, "Anna's phone");
  }
  double appendUs = msSince(t2) * 1000 / appends;

  // Its parts: encoding the line, and writing it.
  const CommitEngine::Entry current = *engine.entry(item.path);
  auto te = Clock::now();
  std::size_t encoded = 0;
  for (int i = 0; i < appends; ++i) encoded += codec::dumpCompact(current.toJson()).size();
  double encodeUs = msSince(te) * 1000 / appends;

  std::string line = codec::dumpCompact(current.toJson()) + "\n";
  std::string plain = base + "/plain.jsonl";
  auto t3 = Clock::now();
  for (int i = 0; i < appends; ++i) {
    int fd = ::open(plain.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (::write(fd, line.data(), line.size()) < 0) std::perror("write");
    ::close(fd);
  }
  double openWriteUs = msSince(t3) * 1000 / appends;

  int fd = ::open(plain.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  auto t4 = Clock::now();
  for (int i = 0; i < appends; ++i) {
    if (::write(fd, line.data(), line.size()) < 0) std::perror("write");
  }
  double writeUs = msSince(t4) * 1000 / appends;
  ::close(fd);

  std::printf("one decision (record, one append of %zu bytes): %.2f us\n", line.size(), appendUs);
  std::printf("  encoding the line alone: %.2f us (%zu bytes)\n", encodeUs, encoded / appends);
  std::printf("bare write(2) of the line on an open descriptor: %.2f us\n", writeUs);
  std::printf("bare open + write(2) + close of the line: %.2f us\n", openWriteUs);
  std::printf("ratio decision / write(2): %.2fx, decision / (open + write + close): %.2fx\n",
              appendUs / writeUs, appendUs / openWriteUs);

  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
  return 0;
}
