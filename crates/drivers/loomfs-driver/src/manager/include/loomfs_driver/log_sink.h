// Receiver of the driver's structured-log events. By default none is installed
// and events are dropped; the process that loads the driver (or a test) may
// install one. The receiver is called on the thread that emits the event.
#pragma once

#include <cstdint>
#include <string_view>

namespace lmfs::loomfs::log {

enum class Level : std::uint8_t { Error, Warn, Info, Debug, Trace };

// One event; the views are valid only during the call of the receiver.
struct Event {
  Level level = Level::Debug;
  std::string_view target;  // e.g. "storage_driver_loomfs::manager"
  std::string_view file;    // source location: file or module path
  std::uint32_t line = 0;
  std::string_view message;
};

using Receiver = void (*)(const Event&);

// Installs `receiver` (null: drop events) and returns the previous one.
Receiver set_receiver(Receiver receiver) noexcept;

// Hands `event` to the installed receiver, if any.
void emit(const Event& event);

}  // namespace lmfs::loomfs::log
