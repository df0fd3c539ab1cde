#include "core/server/service_browser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/simple-watch.h>
#include <net/if.h>

#include <string>

#include "core/server/avahi_functions.h"

namespace tallowick {

namespace {

struct Search {
  AvahiClient* client = nullptr;
  std::optional<ServiceBrowser::Found> found;
  int resolving = 0;
  bool allForNow = false;
  bool failed = false;

  bool done() const { return found.has_value() || failed || (allForNow && resolving == 0); }
};

// A link-local IPv6 address is useless without the interface it was seen on.
std::string addressText(const AvahiAddress& address, AvahiIfIndex interface) {
  char text[AVAHI_ADDRESS_STR_MAX] = {};
  avahi_address_snprint(text, sizeof text, &address);
  std::string out = text;
  if (address.proto == AVAHI_PROTO_INET6 && address.data.ipv6.address[0] == 0xfe &&
      (address.data.ipv6.address[1] & 0xc0) == 0x80 && interface >= 0) {
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(static_cast<unsigned>(interface), name) != nullptr) {
      out += '%';
      out += name;
    }
  }
  return out;
}

void resolved(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol,
              AvahiResolverEvent event, const char* name, const char*, const char*,
              const char* hostName, const AvahiAddress* address, uint16_t port, AvahiStringList*,
              AvahiLookupResultFlags, void* userdata) {
  auto* search = static_cast<Search*>(userdata);
  --search->resolving;
  if (event != AVAHI_RESOLVER_FOUND || address == nullptr || search->found) return;
  search->found = ServiceBrowser::Found{name ? name : "", hostName ? hostName : "",
                                        addressText(*address, interface), port};
}

void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* userdata) {
  auto* search = static_cast<Search*>(userdata);
  switch (event) {
    case AVAHI_BROWSER_NEW:
      // Resolvers are freed with the client.
      if (avahi_service_resolver_new(search->client, interface, protocol, name, type, domain,
                                     AVAHI_PROTO_UNSPEC, static_cast<AvahiLookupFlags>(0),
                                     &resolved, search) != nullptr) {
        ++search->resolving;
      }
      break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
      search->allForNow = true;
      break;
    case AVAHI_BROWSER_FAILURE:
      search->failed = true;
      break;
    case AVAHI_BROWSER_REMOVE:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
      break;
  }
}

void clientState(AvahiClient*, AvahiClientState state, void* userdata) {
  if (state == AVAHI_CLIENT_FAILURE) static_cast<Search*>(userdata)->failed = true;
}

}  // namespace

std::optional<ServiceBrowser::Found> ServiceBrowser::findFirst(std::string_view type,
                                                               std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  if (!libavahi.load()) return std::nullopt;
  AvahiSimplePoll* poll = avahi_simple_poll_new();
  if (poll == nullptr) return std::nullopt;
  Search search;
  int error = 0;
  // Without NO_FAIL a missing daemon is an immediate failure, which is what
  // a one-shot lookup wants.
  search.client = avahi_client_new(avahi_simple_poll_get(poll), static_cast<AvahiClientFlags>(0),
                                   &clientState, &search, &error);
  const std::string typeText(type);
  if (search.client != nullptr &&
      avahi_service_browser_new(search.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                typeText.c_str(), nullptr, static_cast<AvahiLookupFlags>(0),
                                &browsed, &search) != nullptr) {
    while (!search.done()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      if (avahi_simple_poll_iterate(poll, static_cast<int>(left)) != 0) break;
    }
  }
  if (search.client != nullptr) avahi_client_free(search.client);
  avahi_simple_poll_free(poll);
  return search.found;
}

}  // namespace tallowick
