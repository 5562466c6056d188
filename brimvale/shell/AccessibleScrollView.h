#pragma once

namespace corvane {

// Scroll views answer screen readers through an interface of our own. Qt 6.4's one counts the
// scroll bars among a view's children only while they show, and hands out a child by index
// without checking it: a screen reader asking for a child by a count taken before a bar hid (a
// panel closing, content rebuilt, a transient bar fading) made it read past its list and crash.
// Installs once per process; call on the main thread before such views are shown.
void installAccessibleScrollViews();

} // namespace corvane
