// The platform's path character at the patcher's boundary: 8-bit, the paths are UTF-8.
#pragma once

namespace voxlane {
namespace strings {

using oschar = char;

} // namespace strings
} // namespace voxlane
