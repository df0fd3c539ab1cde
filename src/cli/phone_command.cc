#include "cli/phone_command.h"

#include "cli/human_bytes.h"
#include "cli/numbers.h"
#include "cli/phone_text.h"
#include "cli/terminal_text.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "core/server/service_browser.h"
#include "shared/count_text.h"
#include "shared/file_util.h"
#include "shared/keychain.h"
#include "shared/pairing_payload.h"
#include "shared/phone_client.h"
#include "shared/psk.h"

namespace tallowick::cli {
namespace {

using Received = PhoneClient::Received;

// Sane bounds for the numbers of commands, far beyond any real use.
constexpr int kMaxCards = 1'000'000;
constexpr int kMaxPreviewPixels = 100'000;

// One command of the command line, ready to run on the connection.
struct Step {
  enum class Kind {
    hello,    // print the agent's hello
    notice,   // send; the agent does not answer
    request,  // send; print the awaited reply
    preview,  // send; save the image, print where it went
    rescan,   // send; print progress until the summary that follows
    swipe,    // interactive session
  };
  Kind kind = Kind::request;
  Message message;
  PhoneClient::Predicate awaited;
  std::string outFile;
};

template <class... Cases>
PhoneClient::Predicate replyIs() {
  return [](const Message& m) { return (m.is<Cases>() || ...) || m.is<Message::Refused>(); };
}

// A number argument of a command, or an error line naming it.
struct Number {
  std::optional<int> value;
  std::string error;
};
Number numberArgument(const std::string& command, const std::string& flag,
                      const std::vector<std::string>& words, std::size_t& i, int min, int max) {
  if (i >= words.size()) return {std::nullopt, command + ": " + flag + " needs a number"};
  const std::string& text = words[i++];
  auto value = parseWholeNumber(text, min, max);
  if (!value)
    return {std::nullopt, command + ": " + flag + ": " + wholeNumberError(text, min, max)};
  return {static_cast<int>(*value), {}};
}

// Turns the words after the options into steps; an error is one line of text.
struct Parsed {
  std::vector<Step> steps;
  std::string error;
};

Parsed parseCommands(const std::vector<std::string>& words) {
  Parsed parsed;
  std::size_t i = 0;
  auto fail = [&](std::string error) {
    parsed.error = std::move(error);
    return parsed;
  };
  auto next = [&]() -> std::optional<std::string> {
    if (i >= words.size()) return std::nullopt;
    return words[i++];
  };
  auto uuidArg = [&]() -> std::optional<Uuid> {
    auto word = next();
    return word ? Uuid::parse(*word) : std::nullopt;
  };
  if (words.empty()) return fail("no command given (try: hello)");
  while (i < words.size()) {
    const std::string command = words[i++];
    Step step;
    if (command == "hello") {
      step.kind = Step::Kind::hello;
    } else if (command == "summary") {
      step.message = Message::Summary{};
      step.awaited = replyIs<Message::SummaryResult>();
    } else if (command == "deck") {
      auto word = next();
      auto deck = word ? enumFromRaw<DeckID>(*word) : std::nullopt;
      if (!deck)
        return fail(
            "deck: expected a deck (smart, screenshots, duplicates, similar, largeDownloads, "
            "installers)");
      Message::DeckNext request{*deck, 0, 20};
      while (i < words.size() && (words[i] == "--after" || words[i] == "--n")) {
        const std::string flag = words[i++];
        Number number = flag == "--after" ? numberArgument("deck", flag, words, i, 0, kMaxCards)
                                          : numberArgument("deck", flag, words, i, 1, kMaxCards);
        if (!number.value) return fail(number.error);
        (flag == "--after" ? request.after : request.n) = *number.value;
      }
      step.message = request;
      step.awaited = replyIs<Message::QueueBatch>();
    } else if (command == "decide") {
      auto id = uuidArg();
      auto word = next();
      auto action = word ? enumFromRaw<Action>(*word) : std::nullopt;
      if (!id || !action) return fail("decide: expected CARD keep|trash|skip");
      step.kind = Step::Kind::notice;
      step.message = Message::Decision{*id, *action};
    } else if (command == "undo") {
      auto id = uuidArg();
      if (!id) return fail("undo: expected a card id");
      step.kind = Step::Kind::notice;
      step.message = Message::Undo{*id};
    } else if (command == "keeper") {
      auto group = uuidArg();
      auto item = uuidArg();
      if (!group || !item) return fail("keeper: expected GROUP ITEM");
      step.message = Message::SetKeeper{*group, *item};
      step.awaited = replyIs<Message::CardUpdated>();
    } else if (command == "staged") {
      step.message = Message::Staged{};
      step.awaited = replyIs<Message::StagedBatch>();
    } else if (command == "preview") {
      auto id = uuidArg();
      if (!id) return fail("preview: expected a card or member id");
      int maxPixel = 2048;
      while (i < words.size() && (words[i] == "--max" || words[i] == "--out")) {
        const std::string flag = words[i++];
        if (i >= words.size()) return fail("preview: " + flag + " needs a value");
        if (flag == "--out") {
          step.outFile = words[i++];
        } else {
          Number number = numberArgument("preview", flag, words, i, 1, kMaxPreviewPixels);
          if (!number.value) return fail(number.error);
          maxPixel = *number.value;
        }
      }
      if (step.outFile.empty()) return fail("preview: --out FILE is required");
      step.kind = Step::Kind::preview;
      step.message = Message::Preview{*id, maxPixel};
      Uuid wanted = *id;
      step.awaited = [wanted](const Message& m) {
        if (const auto* data = m.get<Message::PreviewData>()) return data->id == wanted;
        return m.is<Message::Refused>();
      };
    } else if (command == "commit") {
      step.message = Message::Commit{};
      step.awaited = replyIs<Message::CommitResult>();
    } else if (command == "empty-trash") {
      // Emptying the Trash cannot be undone: the agent would refuse anyway.
      if (i >= words.size() || words[i] != "--confirm") {
        return fail("empty-trash: add --confirm; emptying the Trash cannot be undone");
      }
      ++i;
      step.message = Message::EmptyTrash{true};
      step.awaited = replyIs<Message::Ok>();
    } else if (command == "rescan") {
      step.kind = Step::Kind::rescan;
      step.message = Message::Rescan{};
      step.awaited = replyIs<Message::SummaryResult>();
    } else if (command == "swipe") {
      step.kind = Step::Kind::swipe;
    } else {
      return fail("unknown command \"" + command + "\"");
    }
    parsed.steps.push_back(std::move(step));
  }
  return parsed;
}

// How replies are printed: readable lines, or JSON lines.
struct Output {
  std::ostream& out;
  bool json = false;
  bool thumbs = false;

  void reply(const Message& message) {
    out << (json ? replyJson(message, thumbs) + "\n" : replyText(message));
    out.flush();
  }
  // A line for people that has no JSON form.
  void note(const std::string& line) {
    if (json) return;
    out << line << '\n';
    out.flush();
  }
};

// Reads single key presses from a terminal without waiting for Enter, and
// puts the terminal back as it was.
class KeyReader {
 public:
  explicit KeyReader(std::istream& in) : in_(in) {
    if (&in == &std::cin && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_) == 0) {
      termios raw = saved_;
      raw.c_lflag &= ~(ICANON | ECHO);
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      raw_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
  }
  ~KeyReader() {
    if (raw_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;

  // The next key that is not white space; no value at the end of input.
  std::optional<char> next() {
    char c;
    while (in_.get(c)) {
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return c;
    }
    return std::nullopt;
  }

 private:
  std::istream& in_;
  termios saved_{};
  bool raw_ = false;
};

// Reports a failed wait on `err`; returns the exit status.
int failure(const Received& received, const std::string& what, std::ostream& err) {
  if (received.status == Received::Status::timeout) {
    err << "tallowick phone: no reply to " << what << " from the agent in time\n";
  } else {
    err << "tallowick phone: connection ended during " << what << ": " << received.error << '\n';
  }
  return 1;
}

// Prints a refusal; true when `message` was one.
bool refused(const Message& message, const std::string& what, Output& out, std::ostream& err) {
  const auto* refusal = message.get<Message::Refused>();
  if (!refusal) return false;
  if (out.json) out.reply(message);
  err << "tallowick phone: the agent refused " << what << ": "
      << escapedForTerminal(refusal->reason) << '\n';
  return true;
}

// Sends a notice; false after one line on `err` when the connection is gone.
bool sendNotice(PhoneClient& client, const Message& message, std::ostream& err) {
  if (client.send(message)) return true;
  err << "tallowick phone: the connection to the agent ended before "
      << std::string(message.caseName()) << '\n';
  return false;
}

// The agent answers neither a decision nor an undo, and drops one for a card
// its smart deck does not hold without a word; so the card is looked up there
// first, as the agent does. 0 when it is there; else 1 after one line on `err`.
int findInSmartDeck(PhoneClient& client, const Uuid& id, const std::string& what,
                    std::chrono::milliseconds timeout, Output& out, std::ostream& err) {
  constexpr int kPage = 100;
  for (int after = 0;;) {
    auto batch = client.request(Message::DeckNext{DeckID::smart, after, kPage},
                                replyIs<Message::QueueBatch>(), timeout);
    if (!batch.ok()) return failure(batch, what, err);
    if (refused(*batch.message, what, out, err)) return 1;
    const auto& cards = batch.message->get<Message::QueueBatch>()->cards;
    for (const Card& card : cards) {
      if (card.id() == id) return 0;
    }
    // A short page is the deck's last.
    if (cards.size() < static_cast<std::size_t>(kPage)) break;
    after += kPage;
  }
  err << "tallowick phone: the agent has no card " << id.string() << "; " << what << " not sent\n";
  return 1;
}

const char* pastTense(Action action) {
  switch (action) {
    case Action::keep:
      return "kept";
    case Action::trash:
      return "staged for the Trash";
    case Action::skip:
      return "skipped";
  }
  return "decided";
}

int swipe(PhoneClient& client, std::chrono::milliseconds timeout, std::istream& in, Output& out,
          std::ostream& err) {
  constexpr int kBatch = 20;
  constexpr const char* kKeys = "k keep, t trash, s skip, u undo, c commit, q quit";
  auto summary = client.request(Message::Summary{}, replyIs<Message::SummaryResult>(), timeout);
  if (!summary.ok()) return failure(summary, "summary", err);
  if (refused(*summary.message, "summary", out, err)) return 1;
  int total = 0;
  for (const Deck& deck : summary.message->get<Message::SummaryResult>()->decks) {
    if (deck.id == DeckID::smart) total = deck.count;
  }
  std::vector<Card> cards;
  std::vector<std::pair<std::size_t, Action>> decided;  // most recent last
  std::map<Action, int> counts;
  int trashed = 0;
  std::int64_t freed = 0;
  std::size_t position = 0;
  bool exhausted = false;
  KeyReader keys(in);
  std::ostream& text = out.out;
  text << kKeys << "\n";
  for (;;) {
    if (position >= cards.size() && !exhausted) {
      auto batch =
          client.request(Message::DeckNext{DeckID::smart, static_cast<int>(cards.size()), kBatch},
                         replyIs<Message::QueueBatch>(), timeout);
      if (!batch.ok()) return failure(batch, "deckNext", err);
      if (refused(*batch.message, "deckNext", out, err)) return 1;
      const auto& more = batch.message->get<Message::QueueBatch>()->cards;
      if (more.empty()) exhausted = true;
      cards.insert(cards.end(), more.begin(), more.end());
    }
    if (position < cards.size()) {
      const Card& card = cards[position];
      text << "\n"
           << position + 1 << " of " << std::max<std::size_t>(total, cards.size()) << ": "
           << cardText(card);
      for (const FileCard& file : filesATrashMoves(card)) {
        text << "  t moves " << escapedForTerminal(file.path) << " to the Trash\n";
      }
      text << "> ";
    } else {
      text << "no more cards (u undo, c commit, q quit)\n> ";
    }
    text.flush();
    auto key = keys.next();
    if (!key || *key == 'q') break;
    text << *key << "\n";
    if ((*key == 'k' || *key == 't' || *key == 's') && position < cards.size()) {
      Action action = *key == 'k' ? Action::keep : *key == 't' ? Action::trash : Action::skip;
      if (!sendNotice(client, Message::Decision{cards[position].id(), action}, err)) return 1;
      decided.emplace_back(position, action);
      ++counts[action];
      ++position;
    } else if (*key == 'u') {
      if (decided.empty()) {
        text << "nothing to undo\n";
        continue;
      }
      position = decided.back().first;
      --counts[decided.back().second];
      decided.pop_back();
      if (!sendNotice(client, Message::Undo{cards[position].id()}, err)) return 1;
    } else if (*key == 'c') {
      auto result = client.request(Message::Commit{}, replyIs<Message::CommitResult>(), timeout);
      if (!result.ok()) return failure(result, "commit", err);
      if (refused(*result.message, "commit", out, err)) return 1;
      const auto& commit = *result.message->get<Message::CommitResult>();
      text << replyText(*result.message);
      trashed += commit.trashed;
      freed += commit.freed;
      decided.clear();
    } else {
      text << kKeys << "\n";
    }
  }
  text << "\nkept " << counts[Action::keep] << ", staged " << counts[Action::trash]
       << " for the Trash, skipped " << counts[Action::skip] << "; moved "
       << countText(trashed, "file", "files") << " to the Trash, " << humanBytes(freed)
       << " freed\n";
  text.flush();
  return 0;
}

int runStep(PhoneClient& client, const Step& step, const Message& agentHello,
            std::chrono::milliseconds timeout, std::istream& in, Output& out, std::ostream& err) {
  const std::string what(step.message.caseName());
  switch (step.kind) {
    case Step::Kind::hello:
      out.reply(agentHello);
      return 0;
    case Step::Kind::notice: {
      const auto* decision = step.message.get<Message::Decision>();
      const auto* undo = step.message.get<Message::Undo>();
      if (const Uuid* id = decision ? &decision->id : undo ? &undo->id : nullptr) {
        if (findInSmartDeck(client, *id, what, timeout, out, err) != 0) return 1;
      }
      if (!sendNotice(client, step.message, err)) return 1;
      if (decision) {
        out.note(decision->id.string() + ": " + pastTense(decision->action));
      } else if (undo) {
        out.note(undo->id.string() + ": decision withdrawn (committed files come back)");
      }
      return 0;
    }
    case Step::Kind::swipe:
      return swipe(client, timeout, in, out, err);
    case Step::Kind::request:
    case Step::Kind::preview:
    case Step::Kind::rescan:
      break;
  }
  auto onOther = [&](const Message& m) {
    if (step.kind == Step::Kind::rescan && m.is<Message::ScanProgress>()) out.reply(m);
  };
  Received received;
  if (step.message.is<Message::SetKeeper>()) {
    // The agent does not answer a keeper change of a card it does not
    // know; the summary sent behind it comes back first then.
    if (!sendNotice(client, step.message, err)) return 1;
    received = client.request(Message::Summary{},
                              replyIs<Message::CardUpdated, Message::SummaryResult>(), timeout);
    if (received.ok() && received.message->is<Message::SummaryResult>()) {
      err << "tallowick phone: the agent has no group card with that member\n";
      return 1;
    }
  } else {
    received = client.request(step.message, step.awaited, timeout, onOther);
  }
  if (!received.ok()) return failure(received, what, err);
  const Message& reply = *received.message;
  if (refused(reply, what, out, err)) return 1;
  if (step.kind != Step::Kind::preview) {
    out.reply(reply);
    return 0;
  }
  // The image goes to the file; the line says where, not the bytes.
  const auto& preview = *reply.get<Message::PreviewData>();
  if (preview.data.empty()) {
    err << "tallowick phone: the agent has no preview for " << preview.id.string() << '\n';
    return 1;
  }
  std::string_view bytes(reinterpret_cast<const char*>(preview.data.data()), preview.data.size());
  if (!writeFileAtomically(step.outFile, bytes)) {
    err << "tallowick phone: cannot write " << escapedForTerminal(step.outFile) << '\n';
    return 1;
  }
  if (out.json) {
    out.out << Json{{"previewData",
                     {{"id", preview.id.string()},
                      {"bytes", preview.data.size()},
                      {"out", step.outFile}}}}
                   .dump(-1, ' ', false, Json::error_handler_t::replace)
            << '\n';
    out.out.flush();
  } else {
    out.note("wrote the preview of " + preview.id.string() + " (" +
             humanBytes(static_cast<std::int64_t>(preview.data.size())) + ") to " +
             escapedForTerminal(step.outFile));
  }
  return 0;
}

}  // namespace

int runPhone(const PhoneCommandOptions& options, std::istream& in, std::ostream& out,
             std::ostream& err) {
  int credentials = !options.code.empty() + !options.qr.empty() + !options.device.empty();
  if (credentials != 1) {
    err << "tallowick phone: give exactly one of --code, --qr and --device\n";
    return kUsageError;
  }
  Parsed parsed = parseCommands(options.commands);
  if (!parsed.error.empty()) {
    err << "tallowick phone: " << parsed.error << '\n';
    return kUsageError;
  }
  const std::string storage =
      options.storage.empty() ? Keychain::defaultStorageDirectory() : options.storage;

  // A code's key is derived once the agent answers (see PhoneClient).
  std::function<PhoneClient::Login()> login;
  std::optional<PairingPayload> payload;
  std::optional<PhoneClient::Login> offer;
  if (!options.code.empty()) {
    bool sixDigits = options.code.size() == PSK::codeLength &&
                     options.code.find_first_not_of("0123456789") == std::string::npos;
    if (!sixDigits) {
      err << "tallowick phone: --code must be six digits\n";
      return kUsageError;
    }
    login = [code = options.code] { return PhoneClient::Login::code(code); };
  } else if (!options.qr.empty()) {
    payload = PairingPayload::parse(options.qr);
    offer = payload ? PhoneClient::Login::payload(*payload) : std::nullopt;
    if (!offer) {
      err << "tallowick phone: --qr is not a Tallowick pairing payload\n";
      return kUsageError;
    }
    login = [offer] { return *offer; };
  } else {
    auto key = Keychain::read(options.device, storage);
    if (!key) {
      err << "tallowick phone: no saved key for device " << options.device << " in " << storage
          << " (pair with --qr first)\n";
      return 1;
    }
    login = [device = PhoneClient::Login::device(options.device, *key)] { return device; };
  }

  PhoneClient::Endpoint endpoint{options.host, options.port};
  if (endpoint.host.empty() || endpoint.port == 0) {
    auto found = ServiceBrowser::findFirst(PSK::serviceType, std::chrono::seconds(5));
    if (!found) {
      err << "tallowick phone: no agent found on the local network (give --host and --port)\n";
      return 1;
    }
    if (endpoint.host.empty()) endpoint.host = found->address;
    if (endpoint.port == 0) endpoint.port = found->port;
  }

  PhoneClient client;
  auto hello = client.connect(endpoint, login, options.name, options.timeout);
  if (!hello.ok()) {
    err << "tallowick phone: " << hello.error << '\n';
    return 1;
  }
  if (payload) {
    // The offer is now this phone's own key; without it the pairing is lost.
    if (!Keychain::write(offer->credential.key, payload->id, storage)) {
      err << "tallowick phone: paired, but cannot save the key of " << payload->id << " in "
          << storage << '\n';
      return 1;
    }
    err << "paired as " << payload->id << "; connect later with --device " << payload->id << '\n';
  }
  Output output{out, options.json, options.thumbs};
  for (const auto& step : parsed.steps) {
    int status = runStep(client, step, *hello.message, options.timeout, in, output, err);
    if (status != 0) return status;
  }
  client.close();
  return 0;
}

void addPhoneCommand(CLI::App& app, Run& run) {
  auto options = std::make_shared<PhoneCommandOptions>();
  auto timeoutSeconds = std::make_shared<int>(30);
  CLI::App* phone = app.add_subcommand(
      "phone",
      "Talk to a running agent as a phone does. Commands: hello, summary, deck ID [--after N] "
      "[--n N], decide CARD keep|trash|skip, undo CARD, keeper GROUP ITEM, staged, preview ID "
      "[--max N] --out FILE, commit, empty-trash --confirm, rescan, swipe");
  // Everything from the first command on belongs to the commands.
  phone->prefix_command();
  phone->add_option("--host", options->host, "agent address (default: found by DNS-SD)");
  phone->add_option("--port", options->port, "agent port (default: found by DNS-SD)")
      ->transform(wholeNumber(1, 65535));
  auto* code = phone->add_option("--code", options->code, "pair with the six-digit code");
  auto* qr = phone->add_option("--qr", options->qr, "pair with the QR payload (JSON text)");
  auto* device = phone->add_option("--device", options->device, "connect as a paired device");
  code->excludes(qr)->excludes(device);
  qr->excludes(device);
  phone->add_option("--storage", options->storage,
                    "where paired keys are kept (default: $XDG_DATA_HOME/Tallowick)");
  phone->add_option("--name", options->name, "the phone's name shown by the agent");
  phone->add_flag("--json", options->json, "print the agent's replies as JSON lines");
  phone->add_flag("--thumbs", options->thumbs, "keep the cards' inline thumbnails in --json");
  phone->add_option("--timeout", *timeoutSeconds, "seconds to wait for each answer (default 30)")
      ->transform(wholeNumber(1, 3600));
  phone->callback([phone, options, timeoutSeconds, &run] {
    options->commands = phone->remaining();
    options->timeout = std::chrono::seconds(*timeoutSeconds);
    run = [options] { return runPhone(*options, std::cin, std::cout, std::cerr); };
  });
}

}  // namespace tallowick::cli
