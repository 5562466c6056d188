#include "brimvale/platform/AvahiDnsSd.h"

#include "brimvale/platform/Logger.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "brimvale/platform/SerialQueue.h"

#include <atomic>
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <cerrno>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <net/if.h>
#include <thread>

namespace corvane {

namespace {

// A hostile network could announce endless services; past this a browse ignores new ones.
constexpr std::size_t maxBrowseEntries = 256;
// How long to wait before trying again when no client could be made at all.
constexpr int reconnectMilliseconds = 5000;

NetworkError avahiError(int code) {
  return NetworkError::dns(code, avahi_strerror(code));
}

std::string interfaceName(AvahiIfIndex index) {
  char name[IF_NAMESIZE] = {};
  if (index >= 0 && if_indextoname(static_cast<unsigned>(index), name) != nullptr) {
    return name;
  }
  return {};
}

std::vector<std::string> stringsOf(AvahiStringList *list) {
  std::vector<std::string> strings;
  for (AvahiStringList *item = list; item != nullptr; item = avahi_string_list_get_next(item)) {
    strings.emplace_back(reinterpret_cast<const char *>(avahi_string_list_get_text(item)),
                         avahi_string_list_get_size(item));
  }
  return strings;
}

} // namespace

std::map<std::string, std::string> parseTxtStrings(const std::vector<std::string> &strings) {
  std::map<std::string, std::string> txt;
  for (auto it = strings.rbegin(); it != strings.rend(); ++it) {
    auto equals = it->find('=');
    std::string key = it->substr(0, equals);
    if (key.empty()) {
      continue;
    }
    std::string value = equals == std::string::npos ? std::string() : it->substr(equals + 1);
    txt.emplace(std::move(key), std::move(value));
  }
  return txt;
}

struct AvahiDnsSd::Impl {
  struct Publication {
    Impl *impl = nullptr;
    DnsSdService service;
    std::uint16_t port = 0;
    AvahiEntryGroup *group = nullptr;
  };

  struct Entry {
    AvahiIfIndex interface = AVAHI_IF_UNSPEC;
    AvahiProtocol protocol = AVAHI_PROTO_UNSPEC;
    std::string name, type, domain;
    AvahiServiceResolver *resolver = nullptr;
    std::optional<std::map<std::string, std::string>> txt;
  };

  struct Browser {
    Impl *impl = nullptr;
    std::string type;
    std::shared_ptr<SerialQueue> queue;
    std::function<void(std::vector<DnsSd::BrowseResult>)> onResults;
    std::function<void(NetworkError)> onFailure;
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
    AvahiServiceBrowser *browser = nullptr;
    bool failed = false;
    std::vector<std::unique_ptr<Entry>> entries;
  };

  struct Resolve {
    Impl *impl = nullptr;
    AvahiServiceResolver *resolver = nullptr;
    std::function<void(std::expected<std::vector<Endpoint::HostPort>, NetworkError>)> completion;
  };

  AvahiThreadedPoll *poll = nullptr;
  AvahiClient *client = nullptr;
  AvahiTimeout *retry = nullptr;
  std::thread::id pollThread;
  bool reportedUnavailable = false;
  std::weak_ptr<AvahiDnsSd> owner;
  std::map<std::uint64_t, std::unique_ptr<Publication>> publications;
  std::map<std::uint64_t, std::unique_ptr<Browser>> browsers;
  std::map<Resolve *, std::unique_ptr<Resolve>> resolves;
  std::uint64_t nextID = 1;

  // avahi's lock is not recursive, and callbacks already hold it.
  struct Lock {
    Impl &impl;
    bool taken;
    explicit Lock(Impl &impl) : impl(impl), taken(std::this_thread::get_id() != impl.pollThread) {
      if (taken) {
        avahi_threaded_poll_lock(impl.poll);
      }
    }
    ~Lock() {
      if (taken) {
        avahi_threaded_poll_unlock(impl.poll);
      }
    }
  };

  bool running() const {
    return client && avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING;
  }

  // --- client ---

  void connect() {
    int error = 0;
    AvahiClient *made = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                         &Impl::clientChanged, this, &error);
    if (made == nullptr) {
      client = nullptr;
      // Said once, not at every retry.
      if (!reportedUnavailable) {
        reportedUnavailable = true;
        Logger::net().notice(std::string("DNS-SD daemon unavailable: ") + avahi_strerror(error));
      }
      const AvahiPoll *api = avahi_threaded_poll_get(poll);
      timeval when{};
      avahi_elapse_time(&when, reconnectMilliseconds, 0);
      if (retry == nullptr) {
        retry = api->timeout_new(api, &when, &Impl::retryConnect, this);
      } else {
        api->timeout_update(retry, &when);
      }
      return;
    }
    client = made;
    reportedUnavailable = false;
  }

  static void retryConnect(AvahiTimeout *, void *userdata) {
    auto *impl = static_cast<Impl *>(userdata);
    if (impl->client == nullptr) {
      impl->connect();
    }
  }

  static void clientChanged(AvahiClient *c, AvahiClientState state, void *userdata) {
    auto *impl = static_cast<Impl *>(userdata);
    impl->client = c;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING: impl->activate(); break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      // The host name is changing; services are registered again once it is running.
      for (auto &[id, publication] : impl->publications) {
        if (publication->group) {
          avahi_entry_group_reset(publication->group);
        }
      }
      break;
    case AVAHI_CLIENT_FAILURE: impl->clientFailed(avahi_client_errno(c)); break;
    case AVAHI_CLIENT_CONNECTING: Logger::net().notice("Waiting for the DNS-SD daemon"); break;
    }
  }

  void activate() {
    for (auto &[id, publication] : publications) {
      registerService(*publication);
    }
    for (auto &[id, browser] : browsers) {
      startBrowser(*browser);
    }
  }

  // Freeing the client frees every object made on it; forget them first.
  void clientFailed(int error) {
    Logger::net().error(std::string("DNS-SD daemon connection failed: ") + avahi_strerror(error));
    for (auto &[id, publication] : publications) {
      publication->group = nullptr;
    }
    for (auto &[id, browser] : browsers) {
      browser->browser = nullptr;
      browser->entries.clear();
      failBrowser(*browser, avahiError(error));
    }
    auto pending = std::move(resolves);
    resolves.clear();
    for (auto &[key, request] : pending) {
      request->completion(std::unexpected(avahiError(error)));
    }
    avahi_client_free(client);
    client = nullptr;
    connect();
  }

  // --- publishing ---

  void registerService(Publication &publication) {
    if (!running()) {
      return;
    }
    if (publication.group == nullptr) {
      publication.group = avahi_entry_group_new(client, &Impl::groupChanged, &publication);
      if (publication.group == nullptr) {
        Logger::net().error(std::string("Could not publish service: ") +
                            avahi_strerror(avahi_client_errno(client)));
        return;
      }
    }
    if (!avahi_entry_group_is_empty(publication.group)) {
      return;
    }
    AvahiStringList *txt = nullptr;
    for (const auto &[key, value] : publication.service.txt) {
      txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
    }
    const auto &service = publication.service;
    const char *domain = service.domain.empty() ? nullptr : service.domain.c_str();
    int result = AVAHI_ERR_COLLISION;
    // Each collision gives a new name; the bound only stops a pathological loop.
    for (int attempt = 0; attempt < 100 && result == AVAHI_ERR_COLLISION; ++attempt) {
      result = avahi_entry_group_add_service_strlst(
          publication.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
          publication.service.name.c_str(), service.type.c_str(), domain, nullptr, publication.port,
          txt);
      if (result == AVAHI_ERR_COLLISION) {
        rename(publication);
      }
    }
    avahi_string_list_free(txt);
    if (result >= 0) {
      result = avahi_entry_group_commit(publication.group);
    }
    if (result < 0) {
      Logger::net().error(std::string("Could not publish service: ") + avahi_strerror(result));
    }
  }

  void rename(Publication &publication) {
    char *alternative = avahi_alternative_service_name(publication.service.name.c_str());
    std::string name = alternative ? alternative : alternativeServiceName(publication.service.name);
    avahi_free(alternative);
    publication.service.name = truncateServiceName(name);
    Logger::net().notice("Service name in use, publishing as " + publication.service.name);
  }

  static void groupChanged(AvahiEntryGroup *group, AvahiEntryGroupState state, void *userdata) {
    auto *publication = static_cast<Publication *>(userdata);
    publication->group = group;
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
      publication->impl->rename(*publication);
      avahi_entry_group_reset(group);
      publication->impl->registerService(*publication);
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
      Logger::net().error(std::string("Service publication failed: ") +
                          avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    }
  }

  // --- browsing ---

  void startBrowser(Browser &browser) {
    if (!running() || browser.browser != nullptr || browser.failed) {
      return;
    }
    browser.browser =
        avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, browser.type.c_str(),
                                  nullptr, AvahiLookupFlags(0), &Impl::browseEvent, &browser);
    if (browser.browser == nullptr) {
      failBrowser(browser, avahiError(avahi_client_errno(client)));
    }
  }

  void failBrowser(Browser &browser, NetworkError error) {
    if (browser.failed) {
      return;
    }
    browser.failed = true;
    browser.queue->post([alive = browser.alive, onFailure = browser.onFailure, error] {
      if (alive->load() && onFailure) {
        onFailure(error);
      }
    });
  }

  void deliver(Browser &browser) {
    std::vector<DnsSd::BrowseResult> results;
    for (const auto &entry : browser.entries) {
      if (!entry->txt) {
        continue;
      }
      Endpoint::Service service{entry->name, entry->type, entry->domain,
                                interfaceName(entry->interface), nullptr};
      Endpoint endpoint{service};
      // One result per interface: the same service over IPv4 and IPv6 is one.
      bool seen = false;
      for (const auto &earlier : results) {
        seen = seen || earlier.endpoint == endpoint;
      }
      if (!seen) {
        results.push_back({std::move(endpoint), *entry->txt});
      }
    }
    // The resolver is attached on the browse queue, so the last reference to this backend is
    // never dropped on the poll thread, which could not stop itself.
    browser.queue->post([alive = browser.alive, onResults = browser.onResults, weak = owner,
                         results = std::move(results)]() mutable {
      auto self = weak.lock();
      if (!alive->load() || !self) {
        return;
      }
      for (auto &result : results) {
        std::get<Endpoint::Service>(result.endpoint.value).resolver = self;
      }
      onResults(std::move(results));
    });
  }

  static void browseEvent(AvahiServiceBrowser *, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiBrowserEvent event, const char *name, const char *type,
                          const char *domain, AvahiLookupResultFlags, void *userdata) {
    auto &browser = *static_cast<Browser *>(userdata);
    Impl &impl = *browser.impl;
    auto matches = [&](const Entry &entry) {
      return entry.interface == interface && entry.protocol == protocol && entry.name == name &&
             entry.type == type && entry.domain == domain;
    };
    switch (event) {
    case AVAHI_BROWSER_NEW: {
      for (const auto &entry : browser.entries) {
        if (matches(*entry)) {
          return;
        }
      }
      if (browser.entries.size() >= maxBrowseEntries) {
        Logger::net().notice("Too many services nearby; ignoring " + std::string(name));
        return;
      }
      auto entry = std::make_unique<Entry>();
      *entry = Entry{interface, protocol, name, type, domain, nullptr, std::nullopt};
      // Kept open so that later TXT changes arrive as well.
      entry->resolver = avahi_service_resolver_new(impl.client, interface, protocol, name, type,
                                                   domain, AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0),
                                                   &Impl::entryResolved, &browser);
      browser.entries.push_back(std::move(entry));
      break;
    }
    case AVAHI_BROWSER_REMOVE: {
      auto removed = std::erase_if(browser.entries, [&](const auto &entry) {
        if (matches(*entry) && entry->resolver) {
          avahi_service_resolver_free(entry->resolver);
        }
        return matches(*entry);
      });
      if (removed > 0) {
        impl.deliver(browser);
      }
      break;
    }
    case AVAHI_BROWSER_ALL_FOR_NOW: impl.deliver(browser); break;
    case AVAHI_BROWSER_CACHE_EXHAUSTED: break;
    case AVAHI_BROWSER_FAILURE:
      Logger::net().error(std::string("DNS-SD browse failed: ") +
                          avahi_strerror(avahi_client_errno(impl.client)));
      impl.failBrowser(browser, avahiError(avahi_client_errno(impl.client)));
      break;
    }
  }

  static void entryResolved(AvahiServiceResolver *resolver, AvahiIfIndex, AvahiProtocol,
                            AvahiResolverEvent event, const char *, const char *, const char *,
                            const char *, const AvahiAddress *, std::uint16_t, AvahiStringList *txt,
                            AvahiLookupResultFlags, void *userdata) {
    auto &browser = *static_cast<Browser *>(userdata);
    for (auto &entry : browser.entries) {
      if (entry->resolver != resolver) {
        continue;
      }
      if (event == AVAHI_RESOLVER_FOUND) {
        entry->txt = parseTxtStrings(stringsOf(txt));
        browser.impl->deliver(browser);
      }
      // A service whose TXT cannot be read stays unreported.
      return;
    }
  }

  // --- resolving ---

  static void resolved(AvahiServiceResolver *resolver, AvahiIfIndex interface, AvahiProtocol,
                       AvahiResolverEvent event, const char *, const char *, const char *,
                       const char *, const AvahiAddress *address, std::uint16_t port,
                       AvahiStringList *, AvahiLookupResultFlags, void *userdata) {
    auto *request = static_cast<Resolve *>(userdata);
    Impl &impl = *request->impl;
    auto owned = impl.resolves.extract(request);
    if (owned.empty()) {
      return;
    }
    avahi_service_resolver_free(resolver);
    if (event != AVAHI_RESOLVER_FOUND || address == nullptr) {
      request->completion(std::unexpected(avahiError(avahi_client_errno(impl.client))));
      return;
    }
    Endpoint::HostPort target;
    target.port = port;
    if (address->proto == AVAHI_PROTO_INET) {
      target.host.kind = Endpoint::Host::Kind::ipv4;
      std::memcpy(target.host.address.data(), &address->data.ipv4.address, 4);
    } else {
      target.host.kind = Endpoint::Host::Kind::ipv6;
      std::memcpy(target.host.address.data(), address->data.ipv6.address, 16);
      bool linkLocal = target.host.address[0] == 0xFE && (target.host.address[1] & 0xC0) == 0x80;
      if (linkLocal && interface >= 0) {
        target.host.scopeID = static_cast<std::uint32_t>(interface);
      }
    }
    request->completion(std::vector<Endpoint::HostPort>{target});
  }
};

namespace {

class AvahiPublication : public DnsSd::Handle {
public:
  AvahiPublication(std::shared_ptr<AvahiDnsSd::Impl> impl, std::uint64_t id)
      : impl_(std::move(impl)), id_(id) {}
  ~AvahiPublication() override {
    if (impl_->poll == nullptr) {
      return; // the backend is gone, and its client with everything on it
    }
    AvahiDnsSd::Impl::Lock lock(*impl_);
    auto found = impl_->publications.find(id_);
    if (found == impl_->publications.end()) {
      return;
    }
    if (found->second->group) {
      avahi_entry_group_free(found->second->group);
    }
    impl_->publications.erase(found);
  }

private:
  std::shared_ptr<AvahiDnsSd::Impl> impl_;
  std::uint64_t id_;
};

class AvahiBrowse : public DnsSd::Handle {
public:
  AvahiBrowse(std::shared_ptr<AvahiDnsSd::Impl> impl, std::uint64_t id)
      : impl_(std::move(impl)), id_(id) {}
  ~AvahiBrowse() override {
    if (impl_->poll == nullptr) {
      return;
    }
    AvahiDnsSd::Impl::Lock lock(*impl_);
    auto found = impl_->browsers.find(id_);
    if (found == impl_->browsers.end()) {
      return;
    }
    auto &browser = *found->second;
    browser.alive->store(false);
    for (auto &entry : browser.entries) {
      if (entry->resolver) {
        avahi_service_resolver_free(entry->resolver);
      }
    }
    if (browser.browser) {
      avahi_service_browser_free(browser.browser);
    }
    impl_->browsers.erase(found);
  }

private:
  std::shared_ptr<AvahiDnsSd::Impl> impl_;
  std::uint64_t id_;
};

} // namespace

AvahiDnsSd::AvahiDnsSd() : impl_(std::make_shared<Impl>()) {}

std::shared_ptr<AvahiDnsSd> AvahiDnsSd::create() {
  auto dnsSd = std::shared_ptr<AvahiDnsSd>(new AvahiDnsSd());
  Impl &impl = *dnsSd->impl_;
  impl.owner = dnsSd;
  impl.poll = avahi_threaded_poll_new();
  if (impl.poll == nullptr) {
    Logger::net().error("DNS-SD poll thread could not be made");
    return dnsSd;
  }
  // The client is made on the poll thread, which also tells us which thread that is.
  std::promise<void> ready;
  const AvahiPoll *api = avahi_threaded_poll_get(impl.poll);
  timeval now{};
  avahi_elapse_time(&now, 0, 0);
  struct Start {
    Impl *impl;
    std::promise<void> *ready;
    AvahiTimeout *timeout = nullptr;
  };
  auto start = std::make_unique<Start>(Start{&impl, &ready});
  start->timeout = api->timeout_new(
      api, &now,
      [](AvahiTimeout *timeout, void *userdata) {
        auto *start = static_cast<Start *>(userdata);
        start->impl->pollThread = std::this_thread::get_id();
        avahi_threaded_poll_get(start->impl->poll)->timeout_free(timeout);
        start->impl->connect();
        start->ready->set_value();
      },
      start.get());
  if (start->timeout == nullptr || avahi_threaded_poll_start(impl.poll) < 0) {
    Logger::net().error("DNS-SD poll thread could not be started");
    if (start->timeout) {
      api->timeout_free(start->timeout);
    }
    avahi_threaded_poll_free(impl.poll);
    impl.poll = nullptr;
    return dnsSd;
  }
  ready.get_future().wait();
  return dnsSd;
}

AvahiDnsSd::~AvahiDnsSd() {
  Impl &impl = *impl_;
  if (impl.poll == nullptr) {
    return;
  }
  avahi_threaded_poll_stop(impl.poll);
  // The poll thread has stopped: everything below runs without it.
  impl.pollThread = std::this_thread::get_id();
  for (auto &[key, request] : impl.resolves) {
    request->completion(std::unexpected(NetworkError::posix(ECANCELED)));
  }
  impl.resolves.clear();
  for (auto &[id, browser] : impl.browsers) {
    browser->alive->store(false);
    browser->entries.clear();
    browser->browser = nullptr;
  }
  for (auto &[id, publication] : impl.publications) {
    publication->group = nullptr;
  }
  if (impl.client) {
    avahi_client_free(impl.client);
    impl.client = nullptr;
  }
  if (impl.retry) {
    avahi_threaded_poll_get(impl.poll)->timeout_free(impl.retry);
    impl.retry = nullptr;
  }
  avahi_threaded_poll_free(impl.poll);
  impl.poll = nullptr;
}

bool AvahiDnsSd::isConnected() const {
  if (impl_->poll == nullptr) {
    return false;
  }
  Impl::Lock lock(*impl_);
  return impl_->running();
}

std::unique_ptr<DnsSd::Handle> AvahiDnsSd::publish(const DnsSdService &service,
                                                   std::uint16_t port) {
  if (impl_->poll == nullptr) {
    return std::make_unique<Handle>();
  }
  Impl::Lock lock(*impl_);
  auto publication = std::make_unique<Impl::Publication>();
  publication->impl = impl_.get();
  publication->service = service;
  publication->service.name = truncateServiceName(service.name);
  publication->port = port;
  auto id = impl_->nextID++;
  auto &stored = *publication;
  impl_->publications.emplace(id, std::move(publication));
  impl_->registerService(stored);
  return std::make_unique<AvahiPublication>(impl_, id);
}

std::unique_ptr<DnsSd::Handle>
AvahiDnsSd::browse(const std::string &type, std::shared_ptr<SerialQueue> queue,
                   std::function<void(std::vector<BrowseResult>)> onResults,
                   std::function<void(NetworkError)> onFailure) {
  auto browser = std::make_unique<Impl::Browser>();
  browser->impl = impl_.get();
  browser->type = type;
  browser->queue = std::move(queue);
  browser->onResults = std::move(onResults);
  browser->onFailure = std::move(onFailure);
  if (impl_->poll == nullptr) {
    impl_->failBrowser(*browser, NetworkError::posix(ENOTCONN));
    return std::make_unique<Handle>();
  }
  Impl::Lock lock(*impl_);
  auto id = impl_->nextID++;
  auto &stored = *browser;
  impl_->browsers.emplace(id, std::move(browser));
  if (impl_->running()) {
    impl_->startBrowser(stored);
  } else {
    // Without a daemon nothing is nearby; the browse starts for real once it connects.
    impl_->deliver(stored);
  }
  return std::make_unique<AvahiBrowse>(impl_, id);
}

void AvahiDnsSd::resolve(
    const Endpoint::Service &service,
    std::function<void(std::expected<std::vector<Endpoint::HostPort>, NetworkError>)> completion) {
  if (impl_->poll == nullptr) {
    completion(std::unexpected(NetworkError::dns(AVAHI_ERR_NO_DAEMON, "DNS-SD unavailable")));
    return;
  }
  std::optional<NetworkError> failure;
  {
    Impl::Lock lock(*impl_);
    if (!impl_->running()) {
      failure = NetworkError::dns(AVAHI_ERR_NO_DAEMON, avahi_strerror(AVAHI_ERR_NO_DAEMON));
    } else {
      AvahiIfIndex interface = AVAHI_IF_UNSPEC;
      if (!service.interfaceName.empty()) {
        if (unsigned index = if_nametoindex(service.interfaceName.c_str()); index != 0) {
          interface = static_cast<AvahiIfIndex>(index);
        }
      }
      auto request = std::make_unique<Impl::Resolve>();
      request->impl = impl_.get();
      request->completion = std::move(completion);
      const char *domain = service.domain.empty() ? nullptr : service.domain.c_str();
      request->resolver = avahi_service_resolver_new(
          impl_->client, interface, AVAHI_PROTO_UNSPEC, service.name.c_str(), service.type.c_str(),
          domain, AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &Impl::resolved, request.get());
      if (request->resolver == nullptr) {
        failure = avahiError(avahi_client_errno(impl_->client));
        completion = std::move(request->completion);
      } else {
        auto *key = request.get();
        impl_->resolves.emplace(key, std::move(request));
      }
    }
  }
  if (failure) {
    completion(std::unexpected(*failure));
  }
}

} // namespace corvane
