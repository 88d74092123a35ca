#pragma once

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// Component packages travel with a detached Ed25519 signature (the 64 raw
// bytes in "<package>.sig"); a package is trusted only when that signature
// verifies against one of the public keys of the machine-wide
// configuration.

namespace morvex {

using ComponentPublicKey = std::array<unsigned char, 32>;
inline constexpr std::size_t ComponentSignatureBytes = 64;

// A key written as 64 hexadecimal digits; nothing for any other text.
std::optional<ComponentPublicKey> parseComponentPublicKey(std::string_view hex);

// True when `signature` is an Ed25519 signature of exactly these bytes by
// one of the keys.
bool componentSignatureVerifies(std::string_view bytes, std::string_view signature,
                                std::span<const ComponentPublicKey> trustedKeys);

} // namespace morvex
