#pragma once
// The comparison's progress, warning and note lines leave through a callback that the caller
// supplies, so the comparison itself never writes to a stream.

#include <functional>
#include <string_view>

namespace vemo {

// Receives one whole line meant for standard error, its newline included.
using Diagnostics = std::function<void(std::string_view line)>;

}  // namespace vemo
