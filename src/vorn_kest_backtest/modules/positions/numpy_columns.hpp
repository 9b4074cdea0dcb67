#pragma once
// Numpy arrays over C++ buffers they own or share: columns go to polars without a Python object per row.
#include <nanobind/ndarray.h>

#include <cstddef>
#include <memory>

#include "vkb/shared_column.hpp"

namespace vkb::py {

template <class T>
struct OwnedColumn {
    T* data;
    nanobind::object array;
};

template <class T>
OwnedColumn<T> owned_column(std::size_t n) {
    T* data = new T[n == 0 ? 1 : n];
    nanobind::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
    nanobind::ndarray<nanobind::numpy, T, nanobind::ndim<1>> array(data, {n}, owner);
    return {data, nanobind::cast(array)};
}

// A read-only array over a shared column's buffer, which the array keeps alive: it reads the rows
// the column had when it was made, as SharedColumn tells, whatever the column does later.
template <class T>
nanobind::object shared_view(const vkb::SharedColumn<T>& column) {
    using Share = std::shared_ptr<const T[]>;
    auto held = std::make_unique<Share>(column.share());
    const T* data = held->get();
    nanobind::capsule owner(held.get(), [](void* p) noexcept { delete static_cast<Share*>(p); });
    held.release();
    nanobind::ndarray<nanobind::numpy, const T, nanobind::ndim<1>> array(data, {column.size()}, owner);
    return nanobind::cast(array);
}

}  // namespace vkb::py
