#pragma once
// Whether a T may move to another address as its bytes: copied there, the
// old bytes then forgotten, neither moved from nor destroyed. True of
// trivially copyable types. A type that owns through pointers says so next
// to its definition, once nothing points into it or keeps its address, and
// its move does nothing a relocation must do; the parts it lists are checked
// to be the whole of its layout and relocatable each.

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>

namespace korvalinth {

template <class T>
inline constexpr bool relocatable_as_bytes = std::is_trivially_copyable_v<T>;

// The standard library's owners keep their pointers and nothing else.
template <class T>
inline constexpr bool relocatable_as_bytes<std::shared_ptr<T>> = true;
template <class T>
inline constexpr bool relocatable_as_bytes<std::unique_ptr<T>> = true;
template <class T>
inline constexpr bool relocatable_as_bytes<std::optional<T>> = relocatable_as_bytes<T>;

namespace detail {
// The size of a class whose members are these parts, in order.
template <class... Parts>
constexpr std::size_t laid_out_size() noexcept {
  std::size_t size = 0;
  std::size_t align = 1;
  ((size = (size + alignof(Parts) - 1) / alignof(Parts) * alignof(Parts) + sizeof(Parts),
    align = alignof(Parts) > align ? alignof(Parts) : align),
   ...);
  return (size + align - 1) / align * align;
}
}  // namespace detail

// T's members are these parts, in order (its size says no other is there),
// and each is relocatable as bytes.
template <class T, class... Parts>
inline constexpr bool made_of_relocatable_parts =
    sizeof(T) == detail::laid_out_size<Parts...>() && (relocatable_as_bytes<Parts> && ...);

// Room for one T that an owner relocates in as bytes and destroys itself:
// the room neither makes nor drops one.
template <class T>
class RelocatedRoom {
  static_assert(relocatable_as_bytes<T>);

 public:
  // Moves the bytes of `from` in; `from` then holds bytes nothing may read
  // or destroy until a new T is made there.
  void relocate_from(T& from) noexcept {
    std::memcpy(static_cast<void*>(bytes_), static_cast<const void*>(&from), sizeof(T));
  }
  T* get() noexcept { return std::launder(reinterpret_cast<T*>(bytes_)); }

 private:
  alignas(T) unsigned char bytes_[sizeof(T)];
};

}  // namespace korvalinth
