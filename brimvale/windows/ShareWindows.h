#pragma once

namespace corvane {

struct PanelHooks;
struct WindowContext;
class WindowRegistry;

// The compose import ("importer") and explanation ("explain") windows, and the share editor the
// panels show inline. Their background work comes back on a Qt main queue of their own and
// probes this Mac on a probe pool of their own, both kept by the registry's and the hooks'
// factories. Main thread only.
void addShareWindows(WindowRegistry &registry, const WindowContext &context);
void addShareEditor(PanelHooks &hooks, const WindowContext &context);

} // namespace corvane
