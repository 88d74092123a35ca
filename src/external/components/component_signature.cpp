#include "external/components/component_signature.h"

#include <sodium.h>

namespace morvex {

std::optional<ComponentPublicKey> parseComponentPublicKey(std::string_view hex)
{
    ComponentPublicKey key{};
    std::size_t length = 0;
    const char* end = nullptr;
    if (hex.size() != 2 * key.size() ||
        sodium_hex2bin(key.data(), key.size(), hex.data(), hex.size(), nullptr, &length, &end) != 0 ||
        length != key.size() || end != hex.data() + hex.size())
        return std::nullopt;
    return key;
}

bool componentSignatureVerifies(std::string_view bytes, std::string_view signature,
                                std::span<const ComponentPublicKey> trustedKeys)
{
    static_assert(crypto_sign_BYTES == ComponentSignatureBytes);
    static_assert(crypto_sign_PUBLICKEYBYTES == sizeof(ComponentPublicKey));
    if (signature.size() != ComponentSignatureBytes || sodium_init() < 0)
        return false;
    const auto* message = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* signatureBytes = reinterpret_cast<const unsigned char*>(signature.data());
    for (const ComponentPublicKey& key : trustedKeys)
        if (crypto_sign_verify_detached(signatureBytes, message, bytes.size(), key.data()) == 0)
            return true;
    return false;
}

} // namespace morvex
