// field.h -- typed access to fields of the server's memory by byte offset.
//
// Layout headers name the offsets; this file is how code reads and writes
// them. `load`/`store` are plain unaligned-safe copies for fields nobody else
// changes while we look. `load_shared`/`store_shared` are single relaxed
// atomic accesses for fields the server writes while the tool reads (ring
// indexes, record stamps, level cells): the compiler may neither tear them nor
// keep them in a register across a poll. Those fields are naturally aligned in
// every layout, which the atomic forms require; a damaged dump can still put
// a structure at an odd address (a ring pointer of ...07), and such a field,
// which no server writes, is copied instead.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kvf {

template <typename T>
inline T load(const void* base, std::size_t offset) {
  static_assert(std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(base) + offset, sizeof value);
  return value;
}

template <typename T>
inline void store(void* base, std::size_t offset, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memcpy(static_cast<unsigned char*>(base) + offset, &value, sizeof value);
}

template <typename T>
inline T load_shared(const void* base, std::size_t offset) {
  static_assert(std::is_integral_v<T> || std::is_pointer_v<T>);
  auto* p = reinterpret_cast<T*>(const_cast<unsigned char*>(
      static_cast<const unsigned char*>(base) + offset));
  if (reinterpret_cast<std::uintptr_t>(p) % alignof(T) != 0) return load<T>(base, offset);
  return std::atomic_ref<T>(*p).load(std::memory_order_relaxed);
}

template <typename T>
inline void store_shared(void* base, std::size_t offset, T value) {
  static_assert(std::is_integral_v<T> || std::is_pointer_v<T>);
  auto* p = reinterpret_cast<T*>(static_cast<unsigned char*>(base) + offset);
  if (reinterpret_cast<std::uintptr_t>(p) % alignof(T) != 0) return store<T>(base, offset, value);
  std::atomic_ref<T>(*p).store(value, std::memory_order_relaxed);
}

// A server address (a 64-bit value in the image) as a pointer of ours: the
// image is mapped at the server's own addresses, so the value is used as is.
inline const unsigned char* address(std::uint64_t value) {
  return reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(value));
}

}  // namespace kvf
