#include "loomfs_driver/log_sink.h"

#include <atomic>

namespace lmfs::loomfs::log {
namespace {
std::atomic<Receiver> g_receiver{nullptr};
}  // namespace

Receiver set_receiver(Receiver receiver) noexcept { return g_receiver.exchange(receiver); }

void emit(const Event& event) {
  if (const Receiver r = g_receiver.load(); r != nullptr) r(event);
}

}  // namespace lmfs::loomfs::log
