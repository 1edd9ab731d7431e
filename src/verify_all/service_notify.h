#pragma once

// Tells systemd what the pass is doing, so that `systemctl status` shows it.
// Outside a unit with a notification socket every call does nothing.
namespace qor {

// The start-up is done: the unit counts as started (Type=notify).
void service_notify_ready();

// One line for the unit's "Status:" field.
void service_notify_status(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qor
