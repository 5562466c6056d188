#pragma once

// clang 14 cannot use libstdc++ 12's std::expected (its header needs newer concepts support
// and then declares nothing). The fuzz targets compile the project's parsers, which return it,
// so this supplies the part of it they use: construction from a value or std::unexpected,
// the checks and accessors, and the void form. Included ahead of every source of the fuzz build.
#include <version>

#if !defined(__cpp_lib_expected)
#include <initializer_list>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace std {

template <class E> class unexpected {
public:
  template <class G = E>
  requires(!is_same_v<remove_cvref_t<G>, unexpected> &&
           is_constructible_v<E, G>) constexpr explicit unexpected(G &&error)
      : error_(std::forward<G>(error)) {}

  constexpr const E &error() const &noexcept { return error_; }
  constexpr E &error() &noexcept { return error_; }
  constexpr E &&error() &&noexcept { return std::move(error_); }

  template <class G> friend constexpr bool operator==(const unexpected &a, const unexpected<G> &b) {
    return a.error() == b.error();
  }

private:
  E error_;
};

template <class E> unexpected(E) -> unexpected<E>;

struct unexpect_t {
  explicit unexpect_t() = default;
};
inline constexpr unexpect_t unexpect{};

namespace expected_shim {
template <class> inline constexpr bool isUnexpected = false;
template <class E> inline constexpr bool isUnexpected<unexpected<E>> = true;
} // namespace expected_shim

template <class T, class E> class expected {
public:
  using value_type = T;
  using error_type = E;
  using unexpected_type = unexpected<E>;

  constexpr expected() requires is_default_constructible_v<T> : state_(in_place_index<0>) {}
  constexpr expected(const expected &) = default;
  constexpr expected(expected &&) = default;
  constexpr expected &operator=(const expected &) = default;
  constexpr expected &operator=(expected &&) = default;

  template <class U = T>
  requires(!is_same_v<remove_cvref_t<U>, expected> && !is_same_v<remove_cvref_t<U>, in_place_t> &&
           !expected_shim::isUnexpected<remove_cvref_t<U>> &&
           is_constructible_v<T, U>) constexpr explicit(!is_convertible_v<U, T>) expected(U &&value)
      : state_(in_place_index<0>, std::forward<U>(value)) {}

  template <class G>
  requires is_constructible_v<E, const G &>
  constexpr explicit(!is_convertible_v<const G &, E>) expected(const unexpected<G> &error)
      : state_(in_place_index<1>, error.error()) {}

  template <class G>
  requires is_constructible_v<E, G>
  constexpr explicit(!is_convertible_v<G, E>) expected(unexpected<G> &&error)
      : state_(in_place_index<1>, std::move(error).error()) {}

  template <class... Args>
  constexpr explicit expected(in_place_t, Args &&...args)
      : state_(in_place_index<0>, std::forward<Args>(args)...) {}

  template <class... Args>
  constexpr explicit expected(unexpect_t, Args &&...args)
      : state_(in_place_index<1>, std::forward<Args>(args)...) {}

  constexpr bool has_value() const noexcept { return state_.index() == 0; }
  constexpr explicit operator bool() const noexcept { return has_value(); }

  constexpr const T &operator*() const &noexcept { return std::get<0>(state_); }
  constexpr T &operator*() &noexcept { return std::get<0>(state_); }
  constexpr T &&operator*() &&noexcept { return std::get<0>(std::move(state_)); }
  constexpr const T *operator->() const noexcept { return &std::get<0>(state_); }
  constexpr T *operator->() noexcept { return &std::get<0>(state_); }

  constexpr const T &value() const & { return std::get<0>(state_); }
  constexpr T &value() & { return std::get<0>(state_); }
  constexpr T &&value() && { return std::get<0>(std::move(state_)); }

  constexpr const E &error() const &noexcept { return std::get<1>(state_); }
  constexpr E &error() &noexcept { return std::get<1>(state_); }
  constexpr E &&error() &&noexcept { return std::get<1>(std::move(state_)); }

  template <class U> constexpr T value_or(U &&fallback) const & {
    return has_value() ? **this : static_cast<T>(std::forward<U>(fallback));
  }
  template <class U> constexpr T value_or(U &&fallback) && {
    return has_value() ? std::move(**this) : static_cast<T>(std::forward<U>(fallback));
  }

  template <class... Args> constexpr T &emplace(Args &&...args) {
    return state_.template emplace<0>(std::forward<Args>(args)...);
  }

  friend constexpr bool operator==(const expected &a, const expected &b) {
    if (a.has_value() != b.has_value())
      return false;
    return a.has_value() ? *a == *b : a.error() == b.error();
  }

private:
  variant<T, E> state_;
};

template <class E> class expected<void, E> {
public:
  using value_type = void;
  using error_type = E;
  using unexpected_type = unexpected<E>;

  constexpr expected() noexcept = default;
  constexpr expected(const expected &) = default;
  constexpr expected(expected &&) = default;
  constexpr expected &operator=(const expected &) = default;
  constexpr expected &operator=(expected &&) = default;

  template <class G>
  requires is_constructible_v<E, const G &>
  constexpr explicit(!is_convertible_v<const G &, E>) expected(const unexpected<G> &error)
      : error_(error.error()) {}

  template <class G>
  requires is_constructible_v<E, G>
  constexpr explicit(!is_convertible_v<G, E>) expected(unexpected<G> &&error)
      : error_(std::move(error).error()) {}

  constexpr explicit expected(in_place_t) noexcept {}

  template <class... Args>
  constexpr explicit expected(unexpect_t, Args &&...args)
      : error_(in_place, std::forward<Args>(args)...) {}

  constexpr bool has_value() const noexcept { return !error_.has_value(); }
  constexpr explicit operator bool() const noexcept { return has_value(); }
  constexpr void operator*() const noexcept {}
  constexpr void value() const {}

  constexpr const E &error() const &noexcept { return *error_; }
  constexpr E &error() &noexcept { return *error_; }
  constexpr E &&error() &&noexcept { return std::move(*error_); }

  constexpr void emplace() noexcept { error_.reset(); }

  friend constexpr bool operator==(const expected &a, const expected &b) {
    if (a.has_value() != b.has_value())
      return false;
    return a.has_value() || a.error() == b.error();
  }

private:
  optional<E> error_;
};

} // namespace std
#endif
