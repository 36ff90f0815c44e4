#pragma once
// SHA-256 in lower-case hexadecimal. The standard library only, so that the Windows tests use it
// too.

#include <cstddef>
#include <cstdint>
#include <string>

std::string sha256_hex(const uint8_t* bytes, size_t size);
