#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace corvane {

// The desktop's clipboard as the intents use it: its text replaced as a whole.
class Pasteboard {
public:
  virtual ~Pasteboard() = default;

  // Clears the clipboard and puts `text` there as plain text.
  virtual void setString(const std::string &text) = 0;
};

// A clipboard of the process's own, for runs without a desktop and for tests. Safe from any
// thread.
class MemoryPasteboard final : public Pasteboard {
public:
  void setString(const std::string &text) override;
  std::optional<std::string> string() const;

private:
  mutable std::mutex lock_;
  std::optional<std::string> text_;
};

} // namespace corvane
