#pragma once

namespace treeinv {

// Lowercase, as digests are written.
inline constexpr char k_hex_digits[] = "0123456789abcdef";

} // namespace treeinv
