#include "brimvale/platform/DesktopEntry.h"

#include "brimvale/platform/Unicode.h"

#include <algorithm>

namespace corvane {

namespace {

constexpr std::string_view execPlaceholder = "@EXEC@";

bool writable(std::string_view program) {
  const bool control = std::any_of(program.begin(), program.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
  return !program.empty() && !control && validUTF8(program) == program;
}

} // namespace

std::optional<std::string> desktopExecProgram(std::string_view program) {
  if (!writable(program))
    return std::nullopt;
  // Quoting comes first; the value's escapes apply to the quoted text.
  std::string quoted = "\"";
  for (const char c : program) {
    if (c == '\\' || c == '"' || c == '`' || c == '$')
      quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string value;
  for (const char c : quoted) {
    if (c == '\\')
      value += "\\\\";
    else if (c == '%')
      value += "%%";
    else
      value += c;
  }
  if (program.find('%') != std::string_view::npos)
    value = "env " + value;
  return value;
}

std::optional<std::string> fillDesktopEntry(std::string_view text, std::string_view program) {
  const auto exec = desktopExecProgram(program);
  if (!exec)
    return std::nullopt;
  std::string filled;
  std::size_t from = 0;
  for (auto at = text.find(execPlaceholder); at != std::string_view::npos;
       at = text.find(execPlaceholder, from)) {
    filled.append(text.substr(from, at - from));
    filled += *exec;
    from = at + execPlaceholder.size();
  }
  filled.append(text.substr(from));
  return filled;
}

} // namespace corvane
