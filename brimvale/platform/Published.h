#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace corvane {

// An observable value: observers hear of a write only when it changes the value. Lives on the
// main queue: reads, writes, subscribing and unsubscribing all happen there.
template <typename T> class Published {
public:
  using Observer = std::function<void(const T &)>;

  // Ends one observation when destroyed or reset; outliving the value is harmless.
  class Subscription {
  public:
    Subscription() = default;
    Subscription(Subscription &&other) noexcept { *this = std::move(other); }
    Subscription &operator=(Subscription &&other) noexcept {
      if (this != &other) {
        reset();
        observers_ = std::move(other.observers_);
        id_ = std::exchange(other.id_, 0);
      }
      return *this;
    }
    Subscription(const Subscription &) = delete;
    Subscription &operator=(const Subscription &) = delete;
    ~Subscription() { reset(); }

    void reset() {
      if (auto observers = observers_.lock())
        observers->erase(id_);
      observers_.reset();
      id_ = 0;
    }

  private:
    friend class Published;
    std::weak_ptr<std::map<std::uint64_t, Observer>> observers_;
    std::uint64_t id_ = 0;
  };

  Published() = default;
  explicit Published(T value) : value_(std::move(value)) {}
  Published(const Published &) = delete;
  Published &operator=(const Published &) = delete;

  const T &get() const { return value_; }
  const T *operator->() const { return &value_; }

  // True when the value changed and observers were told.
  bool set(T value) {
    if (value == value_)
      return false;
    value_ = std::move(value);
    notify();
    return true;
  }

  // Changes a copy and publishes it once, so a change of many elements notifies once.
  template <typename Change> bool modify(Change &&change) {
    T copy = value_;
    std::forward<Change>(change)(copy);
    return set(std::move(copy));
  }

  [[nodiscard]] Subscription subscribe(Observer observer) {
    Subscription subscription;
    subscription.id_ = ++lastID_;
    observers_->emplace(subscription.id_, std::move(observer));
    subscription.observers_ = observers_;
    return subscription;
  }

private:
  void notify() {
    // Observers may unsubscribe (themselves or others) while being told.
    const auto ids = *observers_;
    for (const auto &[id, observer] : ids)
      if (observers_->contains(id))
        observer(value_);
  }

  T value_{};
  std::shared_ptr<std::map<std::uint64_t, Observer>> observers_ =
      std::make_shared<std::map<std::uint64_t, Observer>>();
  std::uint64_t lastID_ = 0;
};

} // namespace corvane
