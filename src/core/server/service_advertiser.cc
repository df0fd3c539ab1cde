#include "core/server/service_advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <asio/post.hpp>

#include "core/server/avahi_functions.h"

#include <utility>

namespace tallowick {

std::string truncatedServiceName(const std::string& name, std::size_t maxBytes) {
  if (name.size() <= maxBytes) return name;
  std::size_t cut = maxBytes;
  // Step back over continuation bytes so the cut lands before a lead byte.
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut);
}

// Fields below `poll` are touched only on Avahi's thread or with the
// threaded poll's lock held (the owner's calls take it).
struct ServiceAdvertiser::Impl {
  Poster post;
  LogFn log;
  RegisteredFn onRegistered;
  Options options;
  // Posted callbacks hold this weakly; the destructor drops it on the owner's
  // executor, so a job that runs later sees it gone and does nothing.
  std::shared_ptr<int> alive = std::make_shared<int>(0);

  AvahiThreadedPoll* poll = nullptr;
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;
  AvahiTimeout* retry = nullptr;

  bool wanted = false;
  std::string givenName;  // as passed to start()
  std::string name;       // published name: given, cut, or an alternative
  std::uint16_t port = 0;

  bool unavailable = false;
  std::string unavailableReason;
  bool unavailableLogged = false;

  void emitLog(std::string line) {
    post([weak = std::weak_ptr<int>(alive), log = log, line = std::move(line)] {
      if (weak.lock()) log(line);
    });
  }

  void emitRegistered(std::string published) {
    if (!onRegistered) return;
    post([weak = std::weak_ptr<int>(alive), cb = onRegistered, published = std::move(published)] {
      if (weak.lock()) cb(published);
    });
  }

  // One line per outage, and only while someone wants the service published.
  void logUnavailableIfWanted() {
    if (!wanted || !unavailable || unavailableLogged) return;
    unavailableLogged = true;
    emitLog("DNS-SD unavailable: " + unavailableReason + "; running unadvertised");
  }

  void setUnavailable(std::string reason) {
    unavailable = true;
    unavailableReason = std::move(reason);
    logUnavailableIfWanted();
  }

  void setAvailable() {
    unavailable = false;
    unavailableLogged = false;
  }

  void connect() {
    int error = 0;
    AvahiClient* c = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                      &Impl::clientCallback, this, &error);
    if (c == nullptr) {
      // Even with NO_FAIL the client needs the system bus itself.
      client = nullptr;
      setUnavailable(avahi_strerror(error));
      scheduleReconnect();
      return;
    }
    client = c;
  }

  void scheduleReconnect() {
    const AvahiPoll* api = avahi_threaded_poll_get(poll);
    timeval when{};
    avahi_elapse_time(&when, static_cast<unsigned>(options.busRetry.count()), 0);
    if (retry != nullptr) {
      api->timeout_update(retry, &when);
    } else {
      retry = api->timeout_new(api, &when, &Impl::retryCallback, this);
    }
  }

  // Runs on Avahi's thread, outside any client callback, so the failed
  // client may be freed here.
  static void retryCallback(AvahiTimeout*, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (self->client != nullptr) {
      avahi_client_free(self->client);  // also frees the entry group
      self->client = nullptr;
      self->group = nullptr;
    }
    self->connect();
  }

  static void clientCallback(AvahiClient* c, AvahiClientState state, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    // The first call comes from inside avahi_client_new, before it returns.
    self->client = c;
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self->setAvailable();
        self->publish();
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is renaming the host; our records come back on RUNNING.
        if (self->group != nullptr) avahi_entry_group_reset(self->group);
        break;
      case AVAHI_CLIENT_CONNECTING:
        // The daemon is gone (or not there yet). Its entry groups went with
        // it; start from a fresh one when it returns.
        self->dropGroup();
        self->setUnavailable("the Avahi daemon is not running");
        break;
      case AVAHI_CLIENT_FAILURE:
        self->dropGroup();
        self->setUnavailable(avahi_strerror(avahi_client_errno(c)));
        // A failed client cannot be revived; replace it from the poll loop.
        self->scheduleReconnect();
        break;
    }
  }

  static void groupCallback(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (g != self->group) return;  // a group dropped earlier
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        self->emitRegistered(self->name);
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:
        // Someone on the network holds the name already.
        self->moveToAlternativeName();
        self->publish();
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        self->emitLog(std::string("DNS-SD registration failed: ") +
                      avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))) +
                      "; running unadvertised");
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  void dropGroup() {
    if (group == nullptr) return;
    avahi_entry_group_free(group);
    group = nullptr;
  }

  void moveToAlternativeName() {
    char* alternative = avahi_alternative_service_name(name.c_str());
    if (alternative != nullptr) {
      name = alternative;
      avahi_free(alternative);
    }
  }

  // (Re)publishes the wanted service when the daemon is running.
  void publish() {
    if (!wanted || client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) {
      return;
    }
    if (group == nullptr) {
      group = avahi_entry_group_new(client, &Impl::groupCallback, this);
      if (group == nullptr) {
        emitLog(std::string("DNS-SD registration failed: ") +
                avahi_strerror(avahi_client_errno(client)) + "; running unadvertised");
        return;
      }
    }
    avahi_entry_group_reset(group);
    // A local service with the same name is refused at once rather than
    // reported through the group's state; Avahi's alternative names never run
    // out, but a broken daemon should not keep us here forever.
    int result = AVAHI_OK;
    for (int attempt = 0; attempt < 100; ++attempt) {
      result = avahi_entry_group_add_service_strlst(
          group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
          name.c_str(), options.type.c_str(), nullptr, nullptr, port, nullptr);
      if (result != AVAHI_ERR_COLLISION) break;
      moveToAlternativeName();
    }
    if (result == AVAHI_OK) result = avahi_entry_group_commit(group);
    if (result != AVAHI_OK) {
      avahi_entry_group_reset(group);
      emitLog(std::string("DNS-SD registration failed: ") + avahi_strerror(result) +
              "; running unadvertised");
    }
  }
};

ServiceAdvertiser::ServiceAdvertiser(Poster post, LogFn log, RegisteredFn onRegistered)
    : ServiceAdvertiser(std::move(post), std::move(log), std::move(onRegistered), Options{}) {}

ServiceAdvertiser::ServiceAdvertiser(Poster post, LogFn log, RegisteredFn onRegistered,
                                     Options options)
    : impl_(std::make_unique<Impl>()) {
  impl_->post = std::move(post);
  impl_->log = std::move(log);
  impl_->onRegistered = std::move(onRegistered);
  impl_->options = std::move(options);
  if (!libavahi.load()) {
    impl_->setUnavailable(std::string("cannot load ") + libavahi.soname());
    return;
  }
  impl_->poll = avahi_threaded_poll_new();
  if (impl_->poll == nullptr) {
    impl_->setUnavailable("cannot create the Avahi event loop");
    return;
  }
  // The thread is not running yet, so no lock is needed.
  impl_->connect();
  if (avahi_threaded_poll_start(impl_->poll) < 0) {
    if (impl_->client != nullptr) avahi_client_free(impl_->client);
    impl_->client = nullptr;
    impl_->group = nullptr;
    avahi_threaded_poll_free(impl_->poll);
    impl_->poll = nullptr;
    impl_->setUnavailable("cannot start the Avahi event thread");
  }
}

ServiceAdvertiser::ServiceAdvertiser(asio::any_io_executor executor, LogFn log,
                                     RegisteredFn onRegistered)
    : ServiceAdvertiser(
          [executor](std::function<void()> job) { asio::post(executor, std::move(job)); },
          std::move(log), std::move(onRegistered)) {}

ServiceAdvertiser::~ServiceAdvertiser() {
  if (impl_->poll != nullptr) {
    // Stop the thread first: after this no Avahi callback can touch impl_,
    // and dropping `alive` below races with nothing.
    avahi_threaded_poll_stop(impl_->poll);
  }
  impl_->alive.reset();
  if (impl_->poll == nullptr) return;
  if (impl_->client != nullptr) avahi_client_free(impl_->client);  // withdraws the service
  if (impl_->retry != nullptr) avahi_threaded_poll_get(impl_->poll)->timeout_free(impl_->retry);
  avahi_threaded_poll_free(impl_->poll);
}

void ServiceAdvertiser::start(const std::string& name, std::uint16_t port) {
  Impl& d = *impl_;
  if (d.poll == nullptr) {
    d.wanted = true;
    d.logUnavailableIfWanted();
    return;
  }
  avahi_threaded_poll_lock(d.poll);
  // Restarting the listener on the same port must not drop a name won after a
  // collision, nor make the service blink.
  const bool same = d.wanted && d.givenName == name && d.port == port;
  if (!same) {
    d.wanted = true;
    d.givenName = name;
    d.name = truncatedServiceName(name, kMaxNameBytes);
    d.port = port;
    d.publish();
  }
  d.logUnavailableIfWanted();
  avahi_threaded_poll_unlock(d.poll);
}

void ServiceAdvertiser::stop() {
  Impl& d = *impl_;
  if (d.poll == nullptr) {
    d.wanted = false;
    return;
  }
  avahi_threaded_poll_lock(d.poll);
  d.wanted = false;
  if (d.group != nullptr) avahi_entry_group_reset(d.group);
  avahi_threaded_poll_unlock(d.poll);
}

}  // namespace tallowick
