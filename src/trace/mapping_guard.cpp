#include "trace/mapping_guard.hpp"

#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace vemo {

namespace {

// The handler may run on any thread (pool workers read the traces too), so it reads only this
// fixed table of atomics: nothing in it allocates or locks.
struct Slot {
  enum State : int { Free, Busy, Live };
  std::atomic<int> state{Free};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::size_t> length{0};
  std::atomic<const char*> message{nullptr};
  std::atomic<std::size_t> message_length{0};
};

constexpr int SLOTS = 64;
Slot g_slots[SLOTS];
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);
static_assert(std::atomic<const char*>::is_always_lock_free);

void write_to_stderr(const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

const Slot* slot_holding(std::uintptr_t address) {
  for (const Slot& slot : g_slots) {
    if (slot.state.load(std::memory_order_acquire) != Slot::Live) continue;
    const std::uintptr_t begin = slot.begin.load(std::memory_order_relaxed);
    if (address >= begin && address - begin < slot.length.load(std::memory_order_relaxed)) {
      return &slot;
    }
  }
  return nullptr;
}

// Set by the first thread to fault on a trace. The workers often reach the lost pages
// together, and the report is for the run, not for each of them.
std::atomic_flag g_reporting = ATOMIC_FLAG_INIT;

void on_bus_error(int signal, siginfo_t* info, void*) {
  const Slot* slot = slot_holding(reinterpret_cast<std::uintptr_t>(info->si_addr));
  if (slot != nullptr) {
    if (g_reporting.test_and_set(std::memory_order_acq_rel)) {
      // The first one's _exit ends this thread too; returning would only fault again.
      for (;;) ::pause();
    }
    write_to_stderr(slot->message.load(std::memory_order_relaxed),
                    slot->message_length.load(std::memory_order_relaxed));
    ::_exit(1);
  }
  // Not a trace: the default action, as if this handler were not there. The signal stays
  // blocked until the handler returns, then kills the process.
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

void install_mapping_fault_handler() {
  struct sigaction action {};
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

MappingRegistration::MappingRegistration(const void* address, std::size_t length,
                                         std::string_view shown_path) {
  const std::string message =
      fmt::format("Error: Trace file changed while being read: {}\n", shown_path);
  for (int index = 0; index < SLOTS; ++index) {
    Slot& slot = g_slots[index];
    int expected = Slot::Free;
    if (!slot.state.compare_exchange_strong(expected, Slot::Busy, std::memory_order_acquire)) {
      continue;
    }
    message_ = std::make_unique<char[]>(message.size());
    std::memcpy(message_.get(), message.data(), message.size());
    slot.begin.store(reinterpret_cast<std::uintptr_t>(address), std::memory_order_relaxed);
    slot.length.store(length, std::memory_order_relaxed);
    slot.message.store(message_.get(), std::memory_order_relaxed);
    slot.message_length.store(message.size(), std::memory_order_relaxed);
    slot.state.store(Slot::Live, std::memory_order_release);
    slot_ = index;
    return;
  }
}

MappingRegistration::MappingRegistration(MappingRegistration&& other) noexcept
    : slot_(std::exchange(other.slot_, -1)), message_(std::move(other.message_)) {}

MappingRegistration& MappingRegistration::operator=(MappingRegistration&& other) noexcept {
  if (this != &other) {
    reset();
    slot_ = std::exchange(other.slot_, -1);
    message_ = std::move(other.message_);
  }
  return *this;
}

void MappingRegistration::reset() {
  if (slot_ >= 0) g_slots[slot_].state.store(Slot::Free, std::memory_order_release);
  slot_ = -1;
  message_.reset();
}

}  // namespace vemo
