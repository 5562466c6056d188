#pragma once

#include <nlohmann/json.hpp>
#include <optional>

namespace corvane::appgroup {

// What the sharing control and the application share: the settings domain of the app group
// and the notifications between them. Times are seconds since 2001-01-01 00:00:00 UTC.
inline constexpr const char *suiteName = "Q3KT7WZ2RM.corvane";
// Posted by the control when it files a request.
inline constexpr const char *requestNotification = "Q3KT7WZ2RM.corvane.sharing-request";
// Posted by the application so that the control shows the new state.
inline constexpr const char *controlKind = "corvane.sharing";

// Written by the application only; the control reads "running" and never writes either.
inline constexpr const char *runningKey = "running";
inline constexpr const char *appliedAtKey = "appliedAt";
// Written by both: the application on every publish, the control when it files a request.
inline constexpr const char *pausedKey = "paused";
// Written by the control only.
inline constexpr const char *requestPausedKey = "requestPaused";
inline constexpr const char *requestAtKey = "requestAt";

// What the group's stored values say, read as both sides must read them alike. Any thread.
// The time stamp under key; absent, not a number or not finite reads as 0.
double timeStamp(const nlohmann::json &values, const char *key);
// The switch under key; absent or not a Boolean reads as false.
bool flag(const nlohmann::json &values, const char *key);
// The control's request that the application has not taken yet (later than the last one
// applied): whether it asks to pause.
std::optional<bool> pendingRequest(const nlohmann::json &values);

} // namespace corvane::appgroup
