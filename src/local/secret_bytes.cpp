#include "local/secret_bytes.h"

#include "runtime/crypto.h"

namespace bio::local {

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        crypto::secure_zero(bytes_);
        bytes_ = std::move(other.bytes_);
    }
    return *this;
}

SecretBytes::~SecretBytes() {
    crypto::secure_zero(bytes_);
}

}  // namespace bio::local
