#pragma once
// Numpy arrays that own a C++ buffer: columns go to polars without a Python object per row.
#include <nanobind/ndarray.h>

#include <cstddef>

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

// A read-only array over a C++ buffer that `owner` keeps alive; valid while the buffer is not resized.
template <class T>
nanobind::object column_view(const T* data, std::size_t n, nanobind::handle owner) {
    nanobind::ndarray<nanobind::numpy, const T, nanobind::ndim<1>> array(data, {n}, owner);
    return nanobind::cast(array);
}

}  // namespace vkb::py
