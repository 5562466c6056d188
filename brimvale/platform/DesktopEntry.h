#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// Desktop entries (.desktop files) that name a program by its path: the application's own
// entry, its autostart entry and the sharing control's entry all write the program the same
// way, here.

// `program` (an absolute path) as it starts an entry's Exec value: quoted, with \ " ` and $
// escaped inside the quotes, a literal % doubled, and then the value's own escape of \. A path
// holding a % is started through env: some readers (GLib) look the program up before they turn
// %% back into %, and would find no such file. Absent for a path no entry can hold: one that is
// not UTF-8 or has a control character in it.
std::optional<std::string> desktopExecProgram(std::string_view program);

// `text` (an entry's template) with every "@EXEC@" replaced by `program` as above; absent when
// the program cannot be written.
std::optional<std::string> fillDesktopEntry(std::string_view text, std::string_view program);

} // namespace corvane
