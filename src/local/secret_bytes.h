// Bytes that may hold a private key (a key file's contents, say): wiped before their
// memory goes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace bio::local {

class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::vector<std::uint8_t> bytes) noexcept : bytes_(std::move(bytes)) {}
    SecretBytes(SecretBytes&& other) noexcept = default;
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes();

    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return bytes_.size(); }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace bio::local
