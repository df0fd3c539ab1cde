// One-way throughput of messages over one loopback TLS connection, against
// writing the same bytes over the same kind of connection with no framing
// and no JSON, all measured in this run.
//
//   transport_throughput [--decisions N] [--previews N]
//
// Lines: "transport" = Transport::send of Message values and the receive loop
// (framing + JSON both ways); "framed" = the same frames, already encoded,
// read header-then-body without decoding (the loop's own cost); "raw" = the
// same bytes written in the same pieces and read in 64 KiB pieces.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "shared/credential.h"
#include "shared/tls_connection.h"
#include "shared/tls_listener.h"
#include "shared/transport.h"
#include "shared/wire.h"

using namespace tallowick;
using Clock = std::chrono::steady_clock;

namespace {

Bytes benchKey() { return Bytes(32, 0x42); }

// Two io_contexts on two threads: the sending client and the receiving server.
class Pair {
 public:
  Pair() {
    serverThread_ = std::thread([this] { serverIo_.run(); });
    clientThread_ = std::thread([this] { clientIo_.run(); });
    std::promise<std::shared_ptr<TlsConnection>> accepted;
    std::promise<std::uint16_t> port;
    listener_ =
        TlsListener::make(Transport::parameters({{"tallowick", benchKey()}}), 0, "127.0.0.1");
    listener_->setStateHandler([&](TlsListener::State state, const std::string& error) {
      if (state == TlsListener::State::ready) port.set_value(*listener_->port());
      if (state == TlsListener::State::failed) {
        std::fprintf(stderr, "listen failed: %s\n", error.c_str());
        std::exit(1);
      }
    });
    bool first = true;
    listener_->setNewConnectionHandler([&, first](std::shared_ptr<TlsConnection> c) mutable {
      c->start(serverIo_.get_executor());
      if (first) accepted.set_value(c);
      first = false;
    });
    asio::post(serverIo_, [this] { listener_->start(serverIo_.get_executor()); });
    std::uint16_t p = port.get_future().get();

    std::promise<void> ready;
    client_ = TlsConnection::make("127.0.0.1", p, Transport::parameters("tallowick", benchKey()));
    client_->setStateHandler([&](TlsConnection::State state, const std::string& error) {
      if (state == TlsConnection::State::ready) ready.set_value();
      if (state == TlsConnection::State::failed) {
        std::fprintf(stderr, "connect failed: %s\n", error.c_str());
        std::exit(1);
      }
    });
    asio::post(clientIo_, [this] { client_->start(clientIo_.get_executor()); });
    ready.get_future().get();
    server_ = accepted.get_future().get();
    asio::post(serverIo_, [this] { listener_->cancel(); });
  }

  ~Pair() {
    asio::post(clientIo_, [this] { client_->cancel(); });
    asio::post(serverIo_, [this] { server_->cancel(); });
    serverWork_.reset();
    clientWork_.reset();
    serverThread_.join();
    clientThread_.join();
  }

  asio::io_context& serverIo() { return serverIo_; }
  asio::io_context& clientIo() { return clientIo_; }
  const std::shared_ptr<TlsConnection>& server() { return server_; }
  const std::shared_ptr<TlsConnection>& client() { return client_; }

 private:
  asio::io_context serverIo_;
  asio::io_context clientIo_;
  asio::executor_work_guard<asio::io_context::executor_type> serverWork_ =
      asio::make_work_guard(serverIo_);
  asio::executor_work_guard<asio::io_context::executor_type> clientWork_ =
      asio::make_work_guard(clientIo_);
  std::thread serverThread_;
  std::thread clientThread_;
  std::shared_ptr<TlsListener> listener_;
  std::shared_ptr<TlsConnection> client_;
  std::shared_ptr<TlsConnection> server_;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Messages through Transport::send and Transport::receive.
double runTransport(const Message& message, int count) {
  Pair pair;
  std::promise<void> done;
  int received = 0;
  asio::post(pair.serverIo(), [&] {
    Transport::receive(
        pair.server(),
        [&](Message) {
          if (++received == count) done.set_value();
        },
        [&](std::optional<std::string> reason) {
          if (received < count) {
            std::fprintf(stderr, "loop ended early: %s\n", reason.value_or("(clean)").c_str());
            std::exit(1);
          }
        });
  });
  auto start = Clock::now();
  asio::post(pair.clientIo(), [&] {
    for (int i = 0; i < count; ++i) Transport::send(message, pair.client());
  });
  done.get_future().get();
  return seconds(Clock::now() - start);
}

// Already encoded frames, read as header then body, not decoded.
double runFramed(const std::string& frame, int count) {
  Pair pair;
  std::promise<void> done;
  int received = 0;
  std::function<void()> readHeader;
  readHeader = [&] {
    pair.server()->receive(4, [&](Bytes header, bool, std::optional<std::string> error) {
      auto n = Wire::frameLength(std::span<const std::uint8_t>(header));
      if (error || !n) std::exit(1);
      pair.server()->receive(*n, [&](Bytes body, bool, std::optional<std::string> error) {
        if (error || body.empty()) std::exit(1);
        if (++received == count) {
          done.set_value();
          return;
        }
        readHeader();
      });
    });
  };
  asio::post(pair.serverIo(), [&] { readHeader(); });
  auto start = Clock::now();
  asio::post(pair.clientIo(), [&] {
    for (int i = 0; i < count; ++i) pair.client()->send(frame);
  });
  done.get_future().get();
  return seconds(Clock::now() - start);
}

// The same bytes in the same pieces, read in 64 KiB pieces.
double runRaw(const std::string& piece, int count) {
  Pair pair;
  std::promise<void> done;
  const std::size_t total = piece.size() * static_cast<std::size_t>(count);
  std::size_t received = 0;
  std::function<void()> read;
  read = [&] {
    std::size_t want = std::min<std::size_t>(64 * 1024, total - received);
    pair.server()->receive(want, [&](Bytes content, bool, std::optional<std::string> error) {
      if (error || content.empty()) std::exit(1);
      received += content.size();
      if (received == total) {
        done.set_value();
        return;
      }
      read();
    });
  };
  asio::post(pair.serverIo(), [&] { read(); });
  auto start = Clock::now();
  asio::post(pair.clientIo(), [&] {
    for (int i = 0; i < count; ++i) pair.client()->send(piece);
  });
  done.get_future().get();
  return seconds(Clock::now() - start);
}

void report(const char* name, const Message& message, int count) {
  std::string frame = *Wire::encode(message);
  double transport = runTransport(message, count);
  double framed = runFramed(frame, count);
  double raw = runRaw(frame, count);
  double megabytes = static_cast<double>(frame.size()) * count / 1e6;
  auto line = [&](const char* what, double s) {
    std::printf("  %-10s %10.0f msg/s %9.1f MB/s  (%.3f s)\n", what, count / s, megabytes / s, s);
  };
  std::printf("%s: %d frames of %zu bytes over one loopback TLS connection\n", name, count,
              frame.size());
  line("transport", transport);
  line("framed", framed);
  line("raw", raw);
  std::printf("  ratio transport/raw %.2f, framed/raw %.2f\n\n", raw / transport, raw / framed);
}

}  // namespace

int main(int argc, char** argv) {
  int decisions = 100000;
  int previews = 32;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--decisions") == 0) decisions = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--previews") == 0) previews = std::atoi(argv[i + 1]);
  }
  Uuid id = Uuid::parse("0F8B6C2E-1A2B-4C3D-8E9F-A0B1C2D3E4F5").value();
  report("decision", Message::Decision{id, Action::trash}, decisions);
  Bytes image(1 << 20);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 131);
  report("previewData 1 MiB", Message::PreviewData{id, image}, previews);
  return 0;
}
