// The one small vector of the core: fractional or Cartesian coordinates,
// lattice rows, pair vectors (Vec3), and the whole-number vectors of exact
// symmetry operations (IntVec3). An aggregate over std::array, so
// `Vec3{x, y, z}`, indexing, iteration and comparison are the array's; the
// arithmetic a geometry needs is written here once, found by
// argument-dependent lookup.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <tuple>

namespace kestrel {

template <class T>
struct Vector3 : std::array<T, 3> {};

using Vec3 = Vector3<double>;
using IntVec3 = Vector3<int>;

template <class T>
Vector3<T> operator+(const Vector3<T>& a, const Vector3<T>& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
template <class T>
Vector3<T> operator-(const Vector3<T>& a, const Vector3<T>& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
template <class T>
Vector3<T> operator-(const Vector3<T>& a) {
    return {-a[0], -a[1], -a[2]};
}
template <class T>
Vector3<T> operator*(T s, const Vector3<T>& a) {
    return {s * a[0], s * a[1], s * a[2]};
}
template <class T>
Vector3<T> operator*(const Vector3<T>& a, T s) {
    return s * a;
}
inline Vec3 operator/(const Vec3& a, double s) {
    return {a[0] / s, a[1] / s, a[2] / s};
}
template <class T>
Vector3<T>& operator+=(Vector3<T>& a, const Vector3<T>& b) {
    return a = a + b;
}
template <class T>
Vector3<T>& operator-=(Vector3<T>& a, const Vector3<T>& b) {
    return a = a - b;
}

template <class T>
T dot(const Vector3<T>& a, const Vector3<T>& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
template <class T>
Vector3<T> cross(const Vector3<T>& a, const Vector3<T>& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
// The squared length, as std::norm of a complex number is its squared
// magnitude: what a cutoff test compares, with no square root.
inline double norm(const Vec3& a) {
    return dot(a, a);
}
inline double length(const Vec3& a) {
    return std::sqrt(norm(a));
}

}  // namespace kestrel

// Structured bindings (`auto [x, y, z] = v`) as for the array.
template <class T>
struct std::tuple_size<kestrel::Vector3<T>> : std::integral_constant<std::size_t, 3> {};
template <std::size_t I, class T>
struct std::tuple_element<I, kestrel::Vector3<T>> {
    using type = T;
};
