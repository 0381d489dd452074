#pragma once
// Decoding the zstd payload of a compressed trace into its owned image.

#include "core/error.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

// The 160 header bytes of `mapping` followed by every frame of its payload decoded, in order;
// the payload must end with a frame. Frames whose headers give their sizes go straight into a
// presized image, in parallel; the rest are decoded one after the other into a growing image.
// Errors: "Failed to decompress zstd-compressed trace" over the decoder's error, "incomplete
// frame", or "out of memory for the decoded trace" when the image would pass
// `options.image_limit` or cannot be allocated.
Result<TraceData> decode_zstd_image(const TraceData& mapping, const LoadOptions& options);

}  // namespace vemo
