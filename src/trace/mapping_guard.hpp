#pragma once
// A trace file that shrinks while it is mapped (a recording still being written, a file
// replaced by another job) makes every access beyond its new end fault with SIGBUS. The fault
// handler looks the address up among the mapped traces and ends the run with an error that
// names the file instead of dying by signal.

#include <cstddef>
#include <memory>
#include <string_view>

namespace vemo {

// Installs the SIGBUS handler; call once, early, before any other thread starts.
void install_mapping_fault_handler();

// Registers a mapping for the handler while it lives. When the fixed table is full the
// mapping goes unregistered and a fault in it keeps the default action.
class MappingRegistration {
 public:
  MappingRegistration() = default;
  MappingRegistration(const void* address, std::size_t length, std::string_view shown_path);
  MappingRegistration(MappingRegistration&& other) noexcept;
  MappingRegistration& operator=(MappingRegistration&& other) noexcept;
  MappingRegistration(const MappingRegistration&) = delete;
  MappingRegistration& operator=(const MappingRegistration&) = delete;
  ~MappingRegistration() { reset(); }

  void reset();

 private:
  int slot_ = -1;
  std::unique_ptr<char[]> message_;  // read by the handler while the slot is live
};

}  // namespace vemo
