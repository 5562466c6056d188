#pragma once

#include <string>
#include <string_view>

namespace corvane {

// The one gate for text from users, files and paired Macs before it is shown or stored: drops
// invisible and layout-breaking scalars, caps runs of combining marks at three, trims, and keeps
// at most `maxLength` characters (and at most 4 × `maxLength` scalars). `maxLength` ≥ 1.
std::string cleanDisplayText(std::string_view text, int maxLength);

// Whether the cleaner drops this scalar for its general category: controls, format characters,
// line and paragraph separators, surrogates, private use and unassigned code points.
bool isRemovedByDisplayTextCleaner(char32_t scalar);

} // namespace corvane
