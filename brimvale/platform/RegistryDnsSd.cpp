#include "brimvale/platform/RegistryDnsSd.h"

#include "brimvale/platform/SerialQueue.h"

#include <atomic>
#include <netdb.h>

namespace corvane {

namespace {

bool sameLabel(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

std::string normalDomain(std::string_view domain) {
  std::string text(domain);
  if (!text.empty() && text.back() == '.') {
    text.pop_back();
  }
  return text.empty() ? std::string("local") : text;
}

} // namespace

std::string truncateServiceName(std::string_view name, std::size_t maxBytes) {
  if (name.size() <= maxBytes) {
    return std::string(name);
  }
  std::size_t end = maxBytes;
  // Step back over continuation bytes so the cut lands before a lead byte.
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
    --end;
  }
  return std::string(name.substr(0, end));
}

std::string alternativeServiceName(std::string_view name) {
  std::string_view base = name;
  unsigned long next = 2;
  auto hash = name.rfind(" #");
  if (hash != std::string_view::npos && hash + 2 < name.size()) {
    auto digits = name.substr(hash + 2);
    bool numeric = digits.size() <= 9 && digits.front() != '0';
    for (char c : digits) {
      numeric = numeric && c >= '0' && c <= '9';
    }
    if (numeric) {
      base = name.substr(0, hash);
      next = std::stoul(std::string(digits)) + 1;
    }
  }
  std::string suffix = " #" + std::to_string(next);
  return truncateServiceName(base, 63 - suffix.size()) + suffix;
}

struct DnsSdRegistry::Impl {
  struct Browser {
    std::uint64_t id = 0;
    std::string type;
    std::shared_ptr<SerialQueue> queue;
    std::function<void(std::vector<DnsSd::BrowseResult>)> onResults;
    std::weak_ptr<RegistryDnsSd> owner;
    std::shared_ptr<std::atomic<bool>> alive;
  };

  mutable std::mutex lock;
  std::uint64_t nextID = 1;
  std::vector<Publication> publications;
  std::vector<Browser> browsers;

  bool nameTaken(const DnsSdService &service) const {
    for (const auto &publication : publications) {
      if (sameLabel(publication.service.name, service.name) &&
          sameLabel(publication.service.type, service.type) &&
          sameLabel(normalDomain(publication.service.domain), normalDomain(service.domain))) {
        return true;
      }
    }
    return false;
  }

  // Called with `lock` held, so that every browser sees the sets in the order they changed.
  void deliver(const Browser &browser) const {
    auto owner = browser.owner.lock();
    if (!owner) {
      return;
    }
    std::vector<DnsSd::BrowseResult> results;
    for (const auto &publication : publications) {
      if (!sameLabel(publication.service.type, browser.type)) {
        continue;
      }
      Endpoint::Service service{publication.service.name, publication.service.type,
                                normalDomain(publication.service.domain), "lo", owner};
      results.push_back({Endpoint{service}, publication.service.txt});
    }
    browser.queue->post([alive = browser.alive, onResults = browser.onResults,
                         results = std::move(results)]() mutable {
      if (alive->load()) {
        onResults(std::move(results));
      }
    });
  }

  void notify(const std::string &type) const {
    for (const auto &browser : browsers) {
      if (sameLabel(browser.type, type)) {
        deliver(browser);
      }
    }
  }
};

DnsSdRegistry::DnsSdRegistry() : impl_(std::make_shared<Impl>()) {}

std::shared_ptr<DnsSdRegistry> DnsSdRegistry::create() {
  return std::shared_ptr<DnsSdRegistry>(new DnsSdRegistry());
}

std::vector<DnsSdRegistry::Publication> DnsSdRegistry::publications() const {
  std::lock_guard guard(impl_->lock);
  return impl_->publications;
}

namespace {

class RegistryPublication : public DnsSd::Handle {
public:
  RegistryPublication(std::weak_ptr<DnsSdRegistry::Impl> registry, std::uint64_t id,
                      std::string type)
      : registry_(std::move(registry)), id_(id), type_(std::move(type)) {}

  ~RegistryPublication() override {
    auto registry = registry_.lock();
    if (!registry) {
      return;
    }
    std::lock_guard guard(registry->lock);
    std::erase_if(registry->publications, [&](const auto &entry) { return entry.id == id_; });
    registry->notify(type_);
  }

private:
  std::weak_ptr<DnsSdRegistry::Impl> registry_;
  std::uint64_t id_;
  std::string type_;
};

class RegistryBrowse : public DnsSd::Handle {
public:
  RegistryBrowse(std::weak_ptr<DnsSdRegistry::Impl> registry, std::uint64_t id,
                 std::shared_ptr<std::atomic<bool>> alive)
      : registry_(std::move(registry)), id_(id), alive_(std::move(alive)) {}

  ~RegistryBrowse() override {
    // Results already queued must not reach a browser its owner has ended.
    alive_->store(false);
    auto registry = registry_.lock();
    if (!registry) {
      return;
    }
    std::lock_guard guard(registry->lock);
    std::erase_if(registry->browsers, [&](const auto &entry) { return entry.id == id_; });
  }

private:
  std::weak_ptr<DnsSdRegistry::Impl> registry_;
  std::uint64_t id_;
  std::shared_ptr<std::atomic<bool>> alive_;
};

} // namespace

RegistryDnsSd::RegistryDnsSd(std::shared_ptr<DnsSdRegistry> registry)
    : registry_(std::move(registry)) {}

std::shared_ptr<RegistryDnsSd> RegistryDnsSd::create(std::shared_ptr<DnsSdRegistry> registry) {
  return std::shared_ptr<RegistryDnsSd>(new RegistryDnsSd(std::move(registry)));
}

std::unique_ptr<DnsSd::Handle> RegistryDnsSd::publish(const DnsSdService &service,
                                                      std::uint16_t port) {
  auto &impl = registry_->impl_;
  std::lock_guard guard(impl->lock);
  DnsSdService named = service;
  named.name = truncateServiceName(named.name);
  while (impl->nameTaken(named)) {
    named.name = alternativeServiceName(named.name);
  }
  std::uint64_t id = impl->nextID++;
  impl->publications.push_back({id, named, port});
  impl->notify(named.type);
  return std::make_unique<RegistryPublication>(impl, id, named.type);
}

std::unique_ptr<DnsSd::Handle>
RegistryDnsSd::browse(const std::string &type, std::shared_ptr<SerialQueue> queue,
                      std::function<void(std::vector<BrowseResult>)> onResults,
                      std::function<void(NetworkError)>) {
  auto &impl = registry_->impl_;
  std::lock_guard guard(impl->lock);
  auto alive = std::make_shared<std::atomic<bool>>(true);
  DnsSdRegistry::Impl::Browser browser{
      impl->nextID++, type, std::move(queue), std::move(onResults), weak_from_this(), alive};
  impl->deliver(browser);
  impl->browsers.push_back(std::move(browser));
  return std::make_unique<RegistryBrowse>(impl, impl->browsers.back().id, alive);
}

void RegistryDnsSd::resolve(
    const Endpoint::Service &service,
    std::function<void(std::expected<std::vector<Endpoint::HostPort>, NetworkError>)> completion) {
  std::optional<std::uint16_t> port;
  {
    std::lock_guard guard(registry_->impl_->lock);
    for (const auto &publication : registry_->impl_->publications) {
      if (sameLabel(publication.service.name, service.name) &&
          sameLabel(publication.service.type, service.type) &&
          sameLabel(normalDomain(publication.service.domain), normalDomain(service.domain))) {
        port = publication.port;
        break;
      }
    }
  }
  if (!port) {
    completion(std::unexpected(NetworkError::dns(EAI_NONAME, "no such service")));
    return;
  }
  Endpoint::Host host;
  host.kind = Endpoint::Host::Kind::ipv4;
  host.address[0] = 127;
  host.address[3] = 1;
  completion(std::vector<Endpoint::HostPort>{{host, *port}});
}

} // namespace corvane
