// Fuzz target support: the entry point's signature, property checks, a per-process scratch dir.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace rcpinstall::fuzz {

// The input as text.
inline std::string_view asText(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// Reports a property that does not hold and aborts, so that the fuzzer keeps the input.
[[noreturn]] void fail(const char* file, int line, const char* what);

// A directory of this process's own for files the readers need (created on first use,
// removed with its contents at exit): in /dev/shm when there is one, so that the atomic
// writes' fsync costs nothing, else in TMPDIR or /tmp.
const std::string& scratchDirectory();

// Whether the bytes are UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isUtf8(std::string_view bytes);

}  // namespace rcpinstall::fuzz

#define FUZZ_CHECK(condition)                                                   \
  do {                                                                          \
    if (!(condition)) ::rcpinstall::fuzz::fail(__FILE__, __LINE__, #condition); \
  } while (0)
