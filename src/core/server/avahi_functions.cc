#include "core/server/avahi_functions.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

namespace tallowick {

constinit LazyLibrary libavahi("libavahi-client.so.3",
                               "DNS-SD is unavailable (no advertising, no browsing)");

}  // namespace tallowick

using tallowick::libavahi;

TALLOWICK_LAZY_FUNCTION(libavahi, int, avahi_client_errno, (AvahiClient * client), (client))
TALLOWICK_LAZY_FUNCTION(libavahi, void, avahi_client_free, (AvahiClient * client), (client))
TALLOWICK_LAZY_FUNCTION(libavahi, AvahiClientState, avahi_client_get_state, (AvahiClient * client),
                        (client))
TALLOWICK_LAZY_FUNCTION(libavahi, AvahiClient*, avahi_client_new,
                        (const AvahiPoll* poll_api, AvahiClientFlags flags,
                         AvahiClientCallback callback, void* userdata, int* error),
                        (poll_api, flags, callback, userdata, error))
TALLOWICK_LAZY_FUNCTION(libavahi, int, avahi_entry_group_add_service_strlst,
                        (AvahiEntryGroup * group, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiPublishFlags flags, const char* name, const char* type,
                         const char* domain, const char* host, uint16_t port, AvahiStringList* txt),
                        (group, interface, protocol, flags, name, type, domain, host, port, txt))
TALLOWICK_LAZY_FUNCTION(libavahi, int, avahi_entry_group_commit, (AvahiEntryGroup * group), (group))
TALLOWICK_LAZY_FUNCTION(libavahi, int, avahi_entry_group_free, (AvahiEntryGroup * group), (group))
TALLOWICK_LAZY_FUNCTION(libavahi, AvahiClient*, avahi_entry_group_get_client,
                        (AvahiEntryGroup * group), (group))
TALLOWICK_LAZY_FUNCTION(libavahi, AvahiEntryGroup*, avahi_entry_group_new,
                        (AvahiClient * c, AvahiEntryGroupCallback callback, void* userdata),
                        (c, callback, userdata))
TALLOWICK_LAZY_FUNCTION(libavahi, int, avahi_entry_group_reset, (AvahiEntryGroup * group), (group))
TALLOWICK_LAZY_FUNCTION(libavahi, AvahiServiceBrowser*, avahi_service_browser_new,
                        (AvahiClient * client, AvahiIfIndex interface, AvahiProtocol protocol,
                         const char* type, const char* domain, AvahiLookupFlags flags,
                         AvahiServiceBrowserCallback callback, void* userdata),
                        (client, interface, protocol, type, domain, flags, callback, userdata))
TALLOWICK_LAZY_FUNCTION(libavahi, AvahiServiceResolver*, avahi_service_resolver_new,
                        (AvahiClient * client, AvahiIfIndex interface, AvahiProtocol protocol,
                         const char* name, const char* type, const char* domain,
                         AvahiProtocol aprotocol, AvahiLookupFlags flags,
                         AvahiServiceResolverCallback callback, void* userdata),
                        (client, interface, protocol, name, type, domain, aprotocol, flags,
                         callback, userdata))

// libavahi-common
TALLOWICK_LAZY_FUNCTION(libavahi, char*, avahi_address_snprint,
                        (char* ret_s, size_t length, const AvahiAddress* a), (ret_s, length, a))
TALLOWICK_LAZY_FUNCTION(libavahi, char*, avahi_alternative_service_name, (const char* s), (s))
TALLOWICK_LAZY_FUNCTION(libavahi, struct timeval*, avahi_elapse_time,
                        (struct timeval * tv, unsigned ms, unsigned j), (tv, ms, j))
TALLOWICK_LAZY_FUNCTION(libavahi, void, avahi_free, (void* p), (p))
TALLOWICK_LAZY_FUNCTION(libavahi, void, avahi_simple_poll_free, (AvahiSimplePoll * s), (s))
TALLOWICK_LAZY_FUNCTION(libavahi, const AvahiPoll*, avahi_simple_poll_get, (AvahiSimplePoll * s),
                        (s))
TALLOWICK_LAZY_FUNCTION(libavahi, int, avahi_simple_poll_iterate,
                        (AvahiSimplePoll * s, int sleep_time), (s, sleep_time))
TALLOWICK_LAZY_FUNCTION(libavahi, AvahiSimplePoll*, avahi_simple_poll_new, (void), ())
TALLOWICK_LAZY_FUNCTION(libavahi, const char*, avahi_strerror, (int error), (error))
TALLOWICK_LAZY_FUNCTION(libavahi, void, avahi_threaded_poll_free, (AvahiThreadedPoll * p), (p))
TALLOWICK_LAZY_FUNCTION(libavahi, const AvahiPoll*, avahi_threaded_poll_get,
                        (AvahiThreadedPoll * p), (p))
TALLOWICK_LAZY_FUNCTION(libavahi, void, avahi_threaded_poll_lock, (AvahiThreadedPoll * p), (p))
TALLOWICK_LAZY_FUNCTION(libavahi, AvahiThreadedPoll*, avahi_threaded_poll_new, (void), ())
TALLOWICK_LAZY_FUNCTION(libavahi, int, avahi_threaded_poll_start, (AvahiThreadedPoll * p), (p))
TALLOWICK_LAZY_FUNCTION(libavahi, int, avahi_threaded_poll_stop, (AvahiThreadedPoll * p), (p))
TALLOWICK_LAZY_FUNCTION(libavahi, void, avahi_threaded_poll_unlock, (AvahiThreadedPoll * p), (p))
