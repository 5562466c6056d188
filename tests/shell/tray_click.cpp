// Clicks the application's tray icon on the X display: finds the small viewable window of
// class "corvane" that the tray host embeds, and sends it a press and release of button 1 at
// its centre. Exits 0 when it clicked, 1 when no such window is there, 2 without a display.
// With --describe it clicks nothing and prints the window it would click and the events its
// clients take. With --tray-ready it clicks nothing and exits 0 once a tray host owns the first
// screen's system tray selection, 1 while none does. With --close <title> it asks the shown
// top-level window of that title to close, as a window manager's close button does
// (WM_DELETE_WINDOW); exits 1 when no such window shows. With --panel it clicks nothing and
// prints where the panel's window (the application's utility window) and the tray icon stand on
// the screen: "panel X Y W H icon X Y W H screen W H"; exits 1 while either is not there.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <xcb/xcb.h>

namespace {

bool isTrayIcon(xcb_connection_t *connection, xcb_window_t window) {
  auto attributes = xcb_get_window_attributes_reply(
      connection, xcb_get_window_attributes(connection, window), nullptr);
  const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  std::free(attributes);
  if (!viewable)
    return false;
  auto geometry = xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr);
  const bool small = geometry && geometry->width <= 64 && geometry->height <= 64;
  std::free(geometry);
  if (!small)
    return false;
  auto property = xcb_get_property_reply(
      connection,
      xcb_get_property(connection, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64), nullptr);
  bool ours = false;
  if (property) {
    const std::string value(static_cast<const char *>(xcb_get_property_value(property)),
                            xcb_get_property_value_length(property));
    ours = value.find("corvane") != std::string::npos;
  }
  std::free(property);
  return ours;
}

xcb_window_t find(xcb_connection_t *connection, xcb_window_t parent) {
  auto tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, parent), nullptr);
  if (!tree)
    return 0;
  xcb_window_t found = 0;
  const xcb_window_t *children = xcb_query_tree_children(tree);
  for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i)
    found = isTrayIcon(connection, children[i]) ? children[i] : find(connection, children[i]);
  std::free(tree);
  return found;
}

void send(xcb_connection_t *connection, xcb_window_t window, xcb_window_t root, bool press) {
  // Where (8, 8) of the icon lies on the screen: a real click carries both positions.
  auto onRoot = xcb_translate_coordinates_reply(
      connection, xcb_translate_coordinates(connection, window, root, 8, 8), nullptr);
  xcb_button_press_event_t event;
  std::memset(&event, 0, sizeof event);
  event.response_type = press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE;
  event.detail = 1;
  // A real time stamp: presses all stamped alike would count as double clicks.
  event.time = static_cast<xcb_timestamp_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now().time_since_epoch())
                                                .count());
  event.root = root;
  event.event = window;
  event.child = XCB_NONE;
  event.event_x = 8;
  event.event_y = 8;
  event.root_x = onRoot ? onRoot->dst_x : 0;
  event.root_y = onRoot ? onRoot->dst_y : 0;
  std::free(onRoot);
  event.same_screen = 1;
  event.state = press ? 0 : XCB_BUTTON_MASK_1;
  xcb_send_event(connection, 1, window,
                 press ? XCB_EVENT_MASK_BUTTON_PRESS : XCB_EVENT_MASK_BUTTON_RELEASE,
                 reinterpret_cast<const char *>(&event));
}

xcb_atom_t atom(xcb_connection_t *connection, const char *name) {
  auto reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
      nullptr);
  const xcb_atom_t found = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return found;
}

bool viewable(xcb_connection_t *connection, xcb_window_t window) {
  auto attributes = xcb_get_window_attributes_reply(
      connection, xcb_get_window_attributes(connection, window), nullptr);
  const bool shown = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  std::free(attributes);
  return shown;
}

// The first shown top-level window (a child of the root: no window manager reparents) that
// `matches`: a window manager offers to act only on what it shows.
template <typename Matches>
xcb_window_t shownTopLevel(xcb_connection_t *connection, xcb_window_t root, Matches matches) {
  auto tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr);
  if (!tree)
    return 0;
  xcb_window_t found = 0;
  const xcb_window_t *children = xcb_query_tree_children(tree);
  for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i)
    if (viewable(connection, children[i]) && matches(children[i]))
      found = children[i];
  std::free(tree);
  return found;
}

xcb_window_t titled(xcb_connection_t *connection, xcb_window_t root, const std::string &title) {
  return shownTopLevel(connection, root, [&](xcb_window_t window) {
    auto property = xcb_get_property_reply(
        connection,
        xcb_get_property(connection, 0, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 64), nullptr);
    const bool same =
        property && std::string(static_cast<const char *>(xcb_get_property_value(property)),
                                xcb_get_property_value_length(property)) == title;
    std::free(property);
    return same;
  });
}

int close(xcb_connection_t *connection, xcb_window_t root, const std::string &title) {
  const xcb_window_t window = titled(connection, root, title);
  if (!window)
    return 1;
  xcb_client_message_event_t event;
  std::memset(&event, 0, sizeof event);
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = atom(connection, "WM_PROTOCOLS");
  event.data.data32[0] = atom(connection, "WM_DELETE_WINDOW");
  event.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char *>(&event));
  return 0;
}

// The window's place on the screen, from its top-left corner and its size.
bool onRoot(xcb_connection_t *connection, xcb_window_t window, xcb_window_t root, int place[4]) {
  auto geometry = xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr);
  auto corner = xcb_translate_coordinates_reply(
      connection, xcb_translate_coordinates(connection, window, root, 0, 0), nullptr);
  const bool known = geometry && corner;
  if (known) {
    place[0] = corner->dst_x;
    place[1] = corner->dst_y;
    place[2] = geometry->width;
    place[3] = geometry->height;
  }
  std::free(geometry);
  std::free(corner);
  return known;
}

// The shown top-level window whose type is a utility window: the panel.
xcb_window_t panel(xcb_connection_t *connection, xcb_window_t root) {
  const xcb_atom_t type = atom(connection, "_NET_WM_WINDOW_TYPE");
  const xcb_atom_t utility = atom(connection, "_NET_WM_WINDOW_TYPE_UTILITY");
  return shownTopLevel(connection, root, [&](xcb_window_t window) {
    auto types = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, type, XCB_ATOM_ATOM, 0, 16), nullptr);
    bool found = false;
    if (types && types->format == 32) {
      const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(types));
      const int count = xcb_get_property_value_length(types) / 4;
      found = std::find(atoms, atoms + count, utility) != atoms + count;
    }
    std::free(types);
    return found;
  });
}

int describePanel(xcb_connection_t *connection, xcb_window_t root, xcb_window_t icon) {
  const xcb_window_t window = panel(connection, root);
  int shown[4], at[4];
  if (!window || !onRoot(connection, window, root, shown) || !onRoot(connection, icon, root, at))
    return 1;
  const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  std::printf("panel %d %d %d %d icon %d %d %d %d screen %d %d\n", shown[0], shown[1], shown[2],
              shown[3], at[0], at[1], at[2], at[3], screen->width_in_pixels,
              screen->height_in_pixels);
  return 0;
}

// Closes the connection once the server has carried out every request on it: a close sent
// just before the connection went was seen to be lost now and then, never reaching the
// application.
void finish(xcb_connection_t *connection) {
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  xcb_disconnect(connection);
}

} // namespace

// Whether a tray host has taken the system tray selection of screen 0.
bool trayOwned(xcb_connection_t *connection) {
  const xcb_atom_t selection = atom(connection, "_NET_SYSTEM_TRAY_S0");
  if (selection == XCB_ATOM_NONE)
    return false;
  auto owner = xcb_get_selection_owner_reply(
      connection, xcb_get_selection_owner(connection, selection), nullptr);
  const bool owned = owner && owner->owner != XCB_NONE;
  std::free(owner);
  return owned;
}

int main(int argc, char **argv) {
  xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
  if (!connection || xcb_connection_has_error(connection))
    return 2;
  if (argc > 1 && std::strcmp(argv[1], "--tray-ready") == 0) {
    const bool owned = trayOwned(connection);
    xcb_disconnect(connection);
    return owned ? 0 : 1;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  if (argc > 2 && std::strcmp(argv[1], "--close") == 0) {
    const int status = close(connection, root, argv[2]);
    finish(connection);
    return status;
  }
  const xcb_window_t icon = find(connection, root);
  if (!icon) {
    xcb_disconnect(connection);
    return 1;
  }
  if (argc > 1 && std::strcmp(argv[1], "--panel") == 0) {
    const int status = describePanel(connection, root, icon);
    xcb_disconnect(connection);
    return status;
  }
  if (argc > 1 && std::strcmp(argv[1], "--describe") == 0) {
    // Which window a click would go to, and which events its clients take.
    auto attributes = xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, icon), nullptr);
    std::printf("icon window 0x%x, events taken 0x%x, not propagated 0x%x\n", icon,
                attributes ? attributes->all_event_masks : 0,
                attributes ? attributes->do_not_propagate_mask : 0);
    std::free(attributes);
    xcb_disconnect(connection);
    return 0;
  }
  send(connection, icon, root, true);
  send(connection, icon, root, false);
  finish(connection);
  return 0;
}
