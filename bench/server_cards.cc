// The phone's view of the server under load, each figure next to a baseline
// measured in the same run:
//   1. a deckNext of 20 duplicate groups (40 photos) once their thumbnails
//      are warm, timed to the batch's last byte, against a raw TLS 1.3 write
//      of the same frame over loopback (same keys, same reader) and against
//      reading the thumbnail files;
//   2. a summary answered while four previews render, against a summary on
//      an idle server;
//   3. 10,000 decisions in a row on one connection, against 10,000 bare
//      O_APPEND writes of a journal line;
//   4. a cold deckNext of 50 photo cards right after a card build, against
//      the 50 thumbnail renders one after another, and a summary asked by a
//      second phone meanwhile, against an idle summary;
//   5. the next card's preview while swiping (a preview request every
//      1.5 s down the deck), against a cold preview render.
// Usage: server_cards [decisions] [repeats] [decisions|deck|previews|cold]
// Runs in a temporary HOME; listens on 127.0.0.1 only.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <vips/vips8>

#include "core/server/server.h"
#include "core/thumbs/thumbnailer.h"
#include "core/thumbs/vips_runtime.h"
#include "shared/file_util.h"
#include "shared/phone_client.h"
#include "shared/psk.h"
#include "shared/tls_connection.h"
#include "shared/tls_listener.h"
#include "shared/transport.h"
#include "shared/wire.h"

using namespace tallowick;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr const char* kCode = "123456";
// The duplicate pairs of the warm batch.
constexpr int kPairs = 20;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Processor time of the whole process, every thread.
double processCpuMs() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void drawPhoto(const std::string& path, int width, int height, int seed) {
  vips::VImage x = vips::VImage::xyz(width, height)[0];
  vips::VImage y = vips::VImage::xyz(width, height)[1];
  // Grain, so thumbnails weigh what a camera's do (tens of KB, not a few).
  vips::VImage grain =
      vips::VImage::gaussnoise(width, height, vips::VImage::option()->set("sigma", 12.0)) - 128;
  vips::VImage picture = (x * (0.1 + seed % 7 * 0.02) + grain)
                             .bandjoin(y * 0.2 + seed + grain)
                             .bandjoin(255 - x * 0.1 + grain)
                             .cast(VIPS_FORMAT_UCHAR);
  picture.jpegsave(path.c_str(), vips::VImage::option()->set("Q", 90));
}

// A report of `photos` images of 3000x2000 and `files` other loose files;
// the first 2 x `pairs` photos are duplicate pairs.
Report makeReport(const std::string& root, int photos, int files, int pairs = 0) {
  Report report;
  for (int i = 0; i < photos; ++i) {
    Item item;
    item.path = root + "/photo-" + std::to_string(i) + ".jpg";
    if (!fs::exists(item.path)) drawPhoto(item.path, 3000, 2000, i);
    item.kind = Kind::image;
    item.bytes = static_cast<std::int64_t>(fs::file_size(item.path));
    item.reasons = {Reason::staleLargeDownload};
    item.score = 1000 + i;
    report.items.push_back(item);
  }
  for (int i = 0; i < files; ++i) {
    Item item;
    item.path = root + "/file-" + std::to_string(i) + ".bin";
    item.bytes = 1 << 20;
    item.reasons = {Reason::staleLargeDownload};
    item.score = i;
    report.items.push_back(item);
  }
  for (int i = 0; i < pairs; ++i) {
    const Item& keeper = report.items[2 * i];
    const Item& copy = report.items[2 * i + 1];
    Group group;
    group.keeperID = keeper.id;
    group.memberIDs = {keeper.id, copy.id};
    group.reclaimable = copy.bytes;
    report.groups.push_back(group);
  }
  return report;
}

struct Agent {
  std::shared_ptr<Server> server;
  std::uint16_t port = 0;

  Agent(const std::string& storage, const std::string& root, Report report) {
    Server::Config config("Bench Mac", std::vector<std::string>{root}, 1, storage);
    config.advertise = false;
    config.bindAddress = "127.0.0.1";
    server = Server::make(config, std::move(report), std::string(kCode));
    std::promise<std::uint16_t> listening;
    auto once = std::make_shared<std::once_flag>();
    server->setOnEvent([&listening, once](const ServerEvent& event) {
      if (const auto* l = event.get<ServerEvent::Listening>()) {
        std::call_once(*once, [&] { listening.set_value(l->port.value_or(0)); });
      }
    });
    server->start();
    port = listening.get_future().get();
    server->setOnEvent(nullptr);
  }
};

PhoneClient::Received ask(PhoneClient& phone, const Message& message,
                          PhoneClient::Predicate awaited) {
  auto reply = phone.request(message, awaited, 120s);
  if (!reply.ok()) {
    std::fprintf(stderr, "no reply: %s\n", reply.error.c_str());
    std::exit(1);
  }
  return reply;
}

template <class T>
bool isA(const Message& m) {
  return m.is<T>();
}

void connect(PhoneClient& phone, std::uint16_t port) {
  auto hello = phone.connect({"127.0.0.1", port}, PhoneClient::Login::code(kCode), "bench", 10s);
  if (!hello.ok()) {
    std::fprintf(stderr, "cannot connect: %s\n", hello.error.c_str());
    std::exit(1);
  }
}

// A phone that reads whole frames without decoding them, so a reply is timed
// to its last byte. Reads as the real receive loop does: the header, then
// the body in 64 KiB pieces.
class RawPhone {
 public:
  // With `hello`, logs in with the code as a phone does; else the other end
  // is a bare TLS peer.
  RawPhone(std::uint16_t port, bool hello) : work_(asio::make_work_guard(io_)) {
    thread_ = std::thread([this] { io_.run(); });
    PhoneClient::Login login = PhoneClient::Login::code(kCode);
    conn_ = TlsConnection::make("127.0.0.1", port, Transport::parameters({login.credential}));
    asio::post(io_, [this] { conn_->start(io_.get_executor()); });
    if (hello) {
      send(Message::Hello{"bench", login.deviceID,
                          PSK::proof(login.credential.key, login.deviceID)});
      readFrame();  // the agent's hello
    }
  }
  ~RawPhone() {
    asio::post(io_, [this] { conn_->cancel(); });
    work_.reset();
    thread_.join();
  }

  void send(const Message& message) {
    asio::post(io_, [this, message] { Transport::send(message, conn_); });
  }

  // The next frame whole, header included.
  std::string readFrame() {
    std::promise<std::string> done;
    asio::post(io_, [this, &done] { readInto(std::make_shared<std::string>(), 0, done); });
    return done.get_future().get();
  }

 private:
  void readInto(std::shared_ptr<std::string> frame, std::uint32_t length,
                std::promise<std::string>& done) {
    std::size_t want =
        length == 0 ? Wire::kHeaderSize
                    : std::min<std::size_t>(length + Wire::kHeaderSize - frame->size(), 64 * 1024);
    conn_->receive(
        want, [this, frame, length, &done](Bytes content, bool, std::optional<std::string> error) {
          if (error || content.empty()) {
            std::fprintf(stderr, "raw read failed: %s\n", error.value_or("end of stream").c_str());
            std::exit(1);
          }
          frame->append(reinterpret_cast<const char*>(content.data()), content.size());
          std::uint32_t total = length;
          if (total == 0) total = *Wire::frameLength(std::string_view(*frame));
          if (frame->size() == total + Wire::kHeaderSize) return done.set_value(std::move(*frame));
          readInto(frame, total, done);
        });
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
  std::shared_ptr<TlsConnection> conn_;
};

// The transport alone: a TLS listener on its own thread that answers every
// frame it receives with the given frame, written as one piece. The copy it
// sends is made after the one before has been written, outside the reply.
class RawTlsServer {
 public:
  explicit RawTlsServer(std::string reply)
      : reply_(std::move(reply)), next_(reply_), work_(asio::make_work_guard(io_)) {
    listener_ = TlsListener::make(Transport::parameters({Transport::Credential::pairing(kCode)}), 0,
                                  "127.0.0.1");
    std::promise<std::uint16_t> ready;
    listener_->setStateHandler([this, &ready](TlsListener::State state, const std::string&) {
      if (state == TlsListener::State::ready) ready.set_value(*listener_->port());
    });
    listener_->setNewConnectionHandler([this](std::shared_ptr<TlsConnection> conn) {
      conn_ = conn;
      conn->start(io_.get_executor());
      Transport::receive(
          conn,
          [this](Message) {
            conn_->send(std::move(next_), [this](std::optional<std::string>) { next_ = reply_; });
          },
          [](std::optional<std::string>) {});
    });
    thread_ = std::thread([this] { io_.run(); });
    asio::post(io_, [this] { listener_->start(io_.get_executor()); });
    port = ready.get_future().get();
  }
  ~RawTlsServer() {
    asio::post(io_, [this] {
      listener_->cancel();
      if (conn_) conn_->cancel();
    });
    work_.reset();
    thread_.join();
  }

  std::uint16_t port = 0;

 private:
  std::string reply_;
  std::string next_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
  std::shared_ptr<TlsListener> listener_;
  std::shared_ptr<TlsConnection> conn_;
};

void warmBatch(const Agent& agent, const std::string& storage, const Report& report, int repeats);
void summaryWhilePreviews(const Agent& agent, const Report& report, int repeats);

void deckAndPreviews(const std::string& dir, int repeats, bool warmDeck, bool previews) {
  const std::string root = dir + "/photos", storage = dir + "/storage-photos";
  fs::create_directories(root);
  std::printf("drawing 50 photos of 3000x2000...\n");
  Report report = makeReport(root, 50, 0, kPairs);
  Agent agent(storage, root, report);
  // The warm-up renders every thumbnail in the background; wait for it.
  auto warm = Clock::now();
  while (true) {
    int ready = 0;
    for (const auto& entry : fs::directory_iterator(storage + "/thumbs")) {
      ready += entry.path().extension() == ".heic";
    }
    if (ready == 50) break;
    std::this_thread::sleep_for(20ms);
  }
  std::printf("warm-up of 50 thumbnails: %.0f ms\n", msSince(warm));

  if (warmDeck) warmBatch(agent, storage, report, repeats);
  // Four fresh items per round.
  if (previews) summaryWhilePreviews(agent, report, std::min(repeats, 12));
}

void warmBatch(const Agent& agent, const std::string& storage, const Report& report, int repeats) {
  std::vector<double> deck, files, raw;
  std::size_t thumbBytes = 0, frameBytes = 0;
  {
    RawPhone phone(agent.port, true);
    // A deckNext starts rendering the previews of its first cards; warm
    // means those are on disk too, so no render shares the processor.
    auto batch = [&phone] {
      phone.send(Message::DeckNext{DeckID::duplicates, 0, kPairs});
      std::string frame;
      do {  // status news may come first
        frame = phone.readFrame();
      } while (std::string_view(frame).substr(Wire::kHeaderSize, 13) != "{\"queueBatch\"");
      return frame;
    };
    batch();
    auto previews = [&] {
      int ready = 0;
      if (fs::exists(storage + "/previews")) {
        for (const auto& entry : fs::directory_iterator(storage + "/previews")) {
          ready += entry.path().extension() == ".heic";
        }
      }
      return ready;
    };
    // Both photos of each of the first three groups.
    while (previews() < 6) std::this_thread::sleep_for(20ms);
    // Each batch's frame is dropped once read, as the raw run below drops
    // its own: kept, every batch would read into fresh pages and pay for
    // clearing them, which the raw run does not.
    std::string first;
    for (int r = 0; r < repeats; ++r) {
      auto start = Clock::now();
      std::string frame = batch();
      deck.push_back(msSince(start));
      if (r == 0) first = std::move(frame);
    }
    frameBytes = first.size();
    if (Wire::decode(std::string_view(first).substr(Wire::kHeaderSize))
            .get<Message::QueueBatch>()
            ->cards.size() != kPairs) {
      std::exit(1);
    }

    // The same frame written raw, one TLS write each, read by the same reader.
    RawTlsServer transport(std::move(first));
    RawPhone reader(transport.port, false);
    for (int r = 0; r < repeats; ++r) {
      auto start = Clock::now();
      reader.send(Message::Summary{});
      reader.readFrame();
      raw.push_back(msSince(start));
    }
  }
  for (int r = 0; r < repeats; ++r) {
    auto start = Clock::now();
    thumbBytes = 0;
    for (int i = 0; i < 2 * kPairs; ++i) {
      thumbBytes +=
          readWholeFile(storage + "/thumbs/" + report.items[i].id.string() + ".heic")->size();
    }
    files.push_back(msSince(start));
  }
  std::printf(
      "deckNext of %d group cards (%d thumbnails), warm, to its last byte: %.2f ms (median of "
      "%d, frame %zu KB); a raw TLS 1.3 write of the same frame: %.2f ms; ratio %.2fx (goal <= "
      "2x); reading the thumbnail files (%zu KB): %.2f ms\n",
      kPairs, 2 * kPairs, median(deck), repeats, frameBytes / 1024, median(raw),
      median(deck) / median(raw), thumbBytes / 1024, median(files));
}

void summaryWhilePreviews(const Agent& agent, const Report& report, int repeats) {
  PhoneClient phone;
  connect(phone, agent.port);
  std::vector<double> idle, busy;
  for (int r = 0; r < repeats; ++r) {
    auto start = Clock::now();
    ask(phone, Message::Summary{}, isA<Message::SummaryResult>);
    idle.push_back(msSince(start));

    // Sizes never asked before, so each preview really renders.
    for (int p = 0; p < 4; ++p) {
      phone.send(Message::Preview{report.items[r * 4 + p].id, 3000 - r * 4 - p});
    }
    start = Clock::now();
    ask(phone, Message::Summary{}, isA<Message::SummaryResult>);
    busy.push_back(msSince(start));
    int previews = 0;
    auto renderStart = Clock::now();
    while (previews < 4) {
      auto reply = phone.receive(120s);
      if (!reply.ok()) std::exit(1);
      previews += reply.message->is<Message::PreviewData>();
    }
    if (r == 0) std::printf("  (four previews took %.0f ms to arrive)\n", msSince(renderStart));
  }
  std::printf(
      "summary while four previews render: %.2f ms median, %.2f ms worst (goal well "
      "under 50 ms); idle summary %.2f ms; ratio %.1fx\n",
      median(busy), *std::max_element(busy.begin(), busy.end()), median(idle),
      median(busy) / median(idle));
}

void coldDeck(const std::string& dir) {
  const std::string root = dir + "/photos", storage = dir + "/storage-cold";
  fs::create_directories(root);
  Report report = makeReport(root, 50, 0);  // the photos drawn before are kept
  std::vector<Item> items = report.items;

  // Baseline: the 50 thumbnails rendered one after another.
  Thumbnailer serial(dir + "/serial/thumbs");
  auto start = Clock::now();
  const double cpuBefore = processCpuMs();
  for (const Item& item : items) serial.thumbnail(item);
  double serialMs = msSince(start);
  // Above 1 when the decoder or encoder spreads one render over several
  // threads, below when other processes take the cores: either way the
  // parallel batch gains less than the core count.
  const double serialCores = (processCpuMs() - cpuBefore) / serialMs;

  Agent agent(storage, root, report);  // its warm-up starts at once, as after a scan
  PhoneClient ann, bo;
  connect(ann, agent.port);
  connect(bo, agent.port);
  std::vector<double> idle;
  for (int i = 0; i < 5; ++i) {
    auto asked = Clock::now();
    ask(bo, Message::Summary{}, isA<Message::SummaryResult>);
    idle.push_back(msSince(asked));
  }
  start = Clock::now();
  const double batchCpuBefore = processCpuMs();
  ann.send(Message::DeckNext{DeckID::smart, 0, 50});
  std::vector<double> meanwhile;
  PhoneClient::Received batch;
  while (!(batch = ann.receive(0ms)).ok()) {
    auto asked = Clock::now();
    ask(bo, Message::Summary{}, isA<Message::SummaryResult>);
    meanwhile.push_back(msSince(asked));
    std::this_thread::sleep_for(20ms);
  }
  double coldMs = msSince(start);
  const double batchCores = (processCpuMs() - batchCpuBefore) / coldMs;
  if (!batch.message->is<Message::QueueBatch>()) std::exit(1);
  std::printf(
      "cold deckNext of 50 photo cards: %.0f ms (%.2f cores busy); the 50 thumbnail renders one "
      "after another: %.0f ms (%.2f cores busy); ratio %.2fx (goal <= 0.6x)\n",
      coldMs, batchCores, serialMs, serialCores, coldMs / serialMs);
  std::printf(
      "summary from another phone while that batch rendered: %.2f ms median, %.2f ms worst "
      "(%zu asked; goal < 50 ms); idle summary %.2f ms\n",
      meanwhile.empty() ? 0.0 : median(meanwhile),
      meanwhile.empty() ? 0.0 : *std::max_element(meanwhile.begin(), meanwhile.end()),
      meanwhile.size(), median(idle));

  // Swiping: one preview request every 1.5 s down the deck, at 2048 pixels.
  auto cold = Clock::now();
  if (!serial.preview(items[49], 2048, 0.7)) std::exit(1);
  double coldPreviewMs = msSince(cold);
  auto deck = ask(ann, Message::DeckNext{DeckID::smart, 0, 50}, isA<Message::QueueBatch>);
  const auto& cards = deck.message->get<Message::QueueBatch>()->cards;
  std::vector<double> swipes;
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(1500ms);
    auto asked = Clock::now();
    ask(ann, Message::Preview{cards[i].id(), 2048}, isA<Message::PreviewData>);
    swipes.push_back(msSince(asked));
  }
  std::printf(
      "preview of the next card while swiping (every 1.5 s, 2048 px): %.1f ms median, first "
      "%.0f ms; a cold preview render %.0f ms; ratio %.4fx (goal median <= 0.05x)\n",
      median(swipes), swipes[0], coldPreviewMs, median(swipes) / coldPreviewMs);
}

void decisions(const std::string& dir, int count) {
  const std::string root = dir + "/files", storage = dir + "/storage-files";
  fs::create_directories(root);
  Report report = makeReport(root, 0, count);
  Agent agent(storage, root, report);
  PhoneClient phone;
  connect(phone, agent.port);

  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    phone.send(Message::Decision{report.items[i].id, i % 3 == 0 ? Action::keep : Action::trash});
  }
  // Messages are handled in order: the summary's reply means every decision
  // before it was journalled.
  auto summary = ask(phone, Message::Summary{}, isA<Message::SummaryResult>);
  double ms = msSince(start);
  std::optional<std::string> journal = readWholeFile(storage + "/decisions.jsonl");
  if (!journal) {
    std::fprintf(stderr, "no journal at %s/decisions.jsonl\n", storage.c_str());
    std::exit(1);
  }
  int lines = 0;
  for (char c : *journal) lines += c == '\n';

  // Baseline: the same number of appends of a line of the same length.
  std::string line(
      static_cast<std::size_t>(fs::file_size(storage + "/decisions.jsonl") / std::max(lines, 1)),
      'x');
  line.back() = '\n';
  int fd = ::open((dir + "/bare.jsonl").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  auto bare = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (::write(fd, line.data(), line.size()) < 0) std::exit(1);
  }
  double bareMs = msSince(bare);
  ::close(fd);

  std::printf(
      "%d decisions on one connection (%d cards): %.0f ms, %.0f decisions/s, %d journal "
      "lines (pending %d); %d bare appends: %.1f ms; ratio %.1fx\n",
      count, count, ms, count / (ms / 1000), lines,
      summary.message->get<Message::SummaryResult>()->pendingCount, count, bareMs, ms / bareMs);
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  // A third argument runs one part only: decisions, deck, previews or cold.
  const std::string only = argc > 3 ? argv[3] : "";
  auto runs = [&](const char* part) { return only.empty() || only == part; };
  char pattern[] = "/tmp/tallowick-bench-server-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::string dir = pattern;
  setenv("HOME", (dir + "/home").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir + "/home/data").c_str(), 1);
  ensureVipsStarted();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  if (runs("decisions")) decisions(dir, count);
  if (runs("deck") || runs("previews")) {
    deckAndPreviews(dir, repeats, runs("deck"), runs("previews"));
  }
  if (runs("cold")) coldDeck(dir);
  fs::remove_all(dir);
  std::fflush(stdout);
  // Pool threads may still be inside libvips; skip the exit handlers.
  std::_Exit(0);
}
